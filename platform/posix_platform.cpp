// The native Linux layer: a pass-through host. It answers as Windows XP, so
// the run takes the pass-through route; the registry is empty and there is no
// ASPI layer. The volumes D: to Z: are the optical drives /dev/sr0 onwards,
// and each pass-through block becomes one SG_IO. Alongside: a console on
// standard output, message boxes on standard error, heap buffers, plain files
// for reading and the monotonic clock.
#include "platform/posix_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <iconv.h>
#include <signal.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <thread>

#include "platform/errno_errors.h"
#include "platform/host_platform.h"
#include "platform/posix_sgio.h"

namespace odf::posix {

std::string EffectiveLocale(const char* lcAll, const char* lcMessages, const char* lang) {
  for (const char* value : {lcAll, lcMessages, lang}) {
    if (value != nullptr && value[0] != '\0') return value;
  }
  return "";
}

UINT CodePageForLocale(const std::string& locale) {
  return locale.compare(0, 2, "ja") == 0 ? 932 : 437;
}

bool IsUtf8Codeset(const std::string& locale) {
  const std::size_t dot = locale.find('.');
  if (dot == std::string::npos) return false;
  std::string codeset = locale.substr(dot + 1, locale.find('@', dot) - dot - 1);
  for (char& c : codeset) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return codeset == "utf-8" || codeset == "utf8";
}

std::string Cp932ToUtf8(const std::string& bytes) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return bytes;
  std::string out;
  std::string input = bytes;  // iconv wants a mutable input pointer
  char* in = input.data();
  std::size_t inLeft = input.size();
  char chunk[256];
  while (inLeft > 0) {
    char* outPtr = chunk;
    std::size_t outLeft = sizeof chunk;
    const std::size_t done = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(chunk, static_cast<std::size_t>(outPtr - chunk));
    if (done != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
    // Not cp932 (or cut short at the end): keep the byte as it was.
    out.push_back(*in);
    ++in;
    --inLeft;
  }
  iconv_close(cd);
  return out;
}

int AnswerFromLine(UINT type, const std::optional<std::string>& line) {
  const bool okCancel = (type & 0x0F) == MB_OKCANCEL;
  const int yes = okCancel ? IDOK : IDYES;
  const int no = okCancel ? IDCANCEL : IDNO;
  if (!line) return no;
  std::string word;
  for (char c : *line) {
    if (!std::isspace(static_cast<unsigned char>(c))) {
      word.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
  }
  return word == "y" || word == "yes" ? yes : no;
}

std::string PermissionAdvice(bool privileged) {
  if (privileged) {
    return "odflsh already runs as root, so something other than privilege forbids it "
           "(a security module, or the device's driver).";
  }
  return "updating drive firmware needs root, so run odflsh as root (for example with sudo).";
}

std::string FileTroubleText(FileTrouble trouble, int error) {
  switch (trouble) {
    case FileTrouble::OpenFailed: return std::strerror(error);
    case FileTrouble::Folder: return "it is a folder, not a file";
    case FileTrouble::NotRegular: return "it is not a regular file";
    case FileTrouble::Empty: return "the file is empty";
  }
  return "";
}

bool AnyOpticalDeviceNode() {
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    const char path[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
    struct stat info {};
    const std::string device = VolumeDevice(path);
    if (!device.empty() && ::stat(device.c_str(), &info) == 0) return true;
  }
  return false;
}

ConsoleSetup ConsoleFromEnvironment() {
  const std::string locale =
      EffectiveLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
  ConsoleSetup console;
  console.in = stdin;
  console.out = stdout;
  console.interactive = isatty(fileno(stdin)) != 0;
  console.codePage = CodePageForLocale(locale);
  console.utf8 = IsUtf8Codeset(locale);
  console.err = stderr;
  console.privileged = ::geteuid() == 0;
  return console;
}

namespace {

// An open optical drive: its descriptor, its sr device (the drive's name in
// notices), and the access the handle was opened with.
struct VolumeHandle {
  int fd = -1;
  std::string device;
  DWORD access = 0;
};

// The access a control code needs (bits 14 and 15), as Windows checks it.
bool HandleAllows(DWORD controlCode, DWORD access) {
  const DWORD required = (controlCode >> 14) & 3;
  return ((required & 1) == 0 || (access & GENERIC_READ) != 0) &&
         ((required & 2) == 0 || (access & GENERIC_WRITE) != 0);
}

int OpenFlags(DWORD access) {
  const bool read = (access & GENERIC_READ) != 0;
  const bool write = (access & GENERIC_WRITE) != 0;
  const int mode = read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  // Non-blocking, so that a drive without a disc opens.
  return mode | O_NONBLOCK | O_CLOEXEC;
}

// The signals that end a process by default and that a person or the system
// sends to stop a program (SIGPIPE is ignored for the whole run instead).
constexpr std::array<int, 4> kHeldSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// A signal handler can reach nothing but globals: the recorded signal and the
// descriptor of the notice are all it needs, so they are the only two.
volatile sig_atomic_t gInterruption = 0;
volatile sig_atomic_t gNoticeFd = STDERR_FILENO;

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    default: return "a signal";
  }
}

void WriteNotice(const char* text) {
  // Nothing to do about a notice that cannot be written.
  [[maybe_unused]] const ssize_t written = ::write(gNoticeFd, text, std::strlen(text));
}

// Only async-signal-safe calls here: write(2) and plain stores.
void HoldInterruption(int signal) {
  if (gInterruption != 0) return;  // told once; later signals change nothing
  gInterruption = signal;
  WriteNotice("odflsh: ");
  WriteNotice(SignalName(signal));
  WriteNotice(" received: the update of this drive is being finished, as stopping it now "
              "could leave the drive unusable; no further drive will be started.\n");
}

class PosixPlatform : public Platform {
 public:
  explicit PosixPlatform(const ConsoleSetup& console) : console_(console) {
    if (console_.err == nullptr) console_.err = stderr;
  }

  ~PosixPlatform() override {
    EndUpdateWindow();
    for (auto& [handle, file] : files_) std::fclose(file);
    for (auto& [handle, volume] : volumes_) ::close(volume.fd);
    for (void* block : blocks_) std::free(block);
  }

  // ---- console -----------------------------------------------------------
  void WriteConsole(const std::string& bytes) override { Write(console_.out, bytes); }

  UINT GetOEMCP() override { return console_.codePage; }

  // Questions go to standard error, so standard output carries exactly the
  // console text even when a person answers and the output goes to a file.
  int MessageBoxA(HANDLE, const char* text, const char*, UINT type) override {
    const UINT buttons = type & 0x0F;
    // A notice's text is already on the console.
    if (buttons != MB_YESNO && buttons != MB_OKCANCEL) return IDOK;
    Write(console_.err, std::string(text != nullptr ? text : "") + " [y/n] ");
    if (!console_.interactive) {
      // Nobody to ask: never flash a drive without a person's yes.
      Write(console_.err, "n\n");
      return AnswerFromLine(type, std::nullopt);
    }
    return AnswerFromLine(type, ReadLine(console_.in));
  }

  BOOL GetVersionExA(OSVERSIONINFOA* info) override {
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
      lastError_ = ERROR_INVALID_PARAMETER;
      return FALSE_;
    }
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 2600;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    return TRUE_;
  }

  // ---- registry: there is none --------------------------------------------
  LONG RegOpenKeyExA(HKEY, const char*, DWORD, DWORD, HKEY* result) override {
    if (result != nullptr) *result = 0;
    return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  }
  LONG RegQueryInfoKeyA(HKEY, DWORD*) override { return static_cast<LONG>(ERROR_INVALID_HANDLE); }
  LONG RegEnumKeyExA(HKEY, DWORD, char*, DWORD*) override {
    return static_cast<LONG>(ERROR_INVALID_HANDLE);
  }
  LONG RegQueryValueExA(HKEY, const char*, DWORD*, BYTE*, DWORD*) override {
    return static_cast<LONG>(ERROR_INVALID_HANDLE);
  }
  LONG RegCloseKey(HKEY) override { return static_cast<LONG>(ERROR_INVALID_HANDLE); }

  // ---- memory ------------------------------------------------------------
  HGLOBAL GlobalAlloc(UINT, std::size_t bytes) override {
    void* block = std::calloc(bytes != 0 ? bytes : 1, 1);
    if (block == nullptr) {
      lastError_ = ERROR_NOT_ENOUGH_MEMORY;
      return 0;
    }
    blocks_.insert(block);
    return reinterpret_cast<HGLOBAL>(block);
  }
  void* GlobalLock(HGLOBAL mem) override {
    void* block = reinterpret_cast<void*>(mem);
    return blocks_.count(block) != 0 ? block : nullptr;
  }
  BOOL GlobalUnlock(HGLOBAL) override { return FALSE_; }  // no longer locked
  HGLOBAL GlobalFree(HGLOBAL mem) override {
    void* block = reinterpret_cast<void*>(mem);
    if (blocks_.erase(block) == 0) {
      lastError_ = ERROR_INVALID_HANDLE;
      return mem;
    }
    std::free(block);
    return 0;
  }

  // ---- volumes and files ---------------------------------------------------
  HANDLE CreateFileA(const char* path, DWORD desiredAccess, DWORD, DWORD, DWORD) override {
    if (IsDeviceName(path)) return OpenVolume(path, desiredAccess);
    if (path == nullptr) {
      lastError_ = ERROR_FILE_NOT_FOUND;
      return INVALID_HANDLE_VALUE;
    }
    if ((desiredAccess & GENERIC_WRITE) != 0) {  // firmware files are only read
      lastError_ = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    // Non-blocking, so that a FIFO is refused instead of waiting for a
    // writer; only a regular file is read, as a folder is refused.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      FileNotice(path, FileTroubleText(FileTrouble::OpenFailed, error));
      lastError_ = win::ErrorFromErrno(error);
      return INVALID_HANDLE_VALUE;
    }
    struct stat info {};
    std::FILE* file = nullptr;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        (file = ::fdopen(fd, "rb")) == nullptr) {
      const int error = errno;
      FileNotice(path, S_ISDIR(info.st_mode)    ? FileTroubleText(FileTrouble::Folder, 0)
                       : !S_ISREG(info.st_mode) ? FileTroubleText(FileTrouble::NotRegular, 0)
                                                : FileTroubleText(FileTrouble::OpenFailed, error));
      ::close(fd);
      lastError_ = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    // No firmware file is empty; the loaders refuse it without knowing why.
    if (info.st_size == 0) FileNotice(path, FileTroubleText(FileTrouble::Empty, 0));
    const HANDLE handle = nextHandle_++;
    files_[handle] = file;
    return handle;
  }

  DWORD GetFileAttributesA(const char* path) override {
    struct stat info {};
    if (path == nullptr || ::stat(path, &info) != 0) {
      lastError_ = path == nullptr ? ERROR_FILE_NOT_FOUND : win::ErrorFromErrno(errno);
      return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  }

  BOOL DeviceIoControl(HANDLE handle, DWORD controlCode, void* inBuffer, DWORD inSize,
                       void* outBuffer, DWORD outSize, DWORD* bytesReturned) override {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    auto it = volumes_.find(handle);
    if (it == volumes_.end()) {
      lastError_ = files_.count(handle) != 0 ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE;
      return FALSE_;
    }
    const VolumeHandle& volume = it->second;
    if (!HandleAllows(controlCode, volume.access)) return Fail(ERROR_ACCESS_DENIED);
    switch (controlCode) {
      case IOCTL_SCSI_GET_ADDRESS: return GetAddress(volume, outBuffer, outSize, bytesReturned);
      case IOCTL_SCSI_PASS_THROUGH:
      case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return PassThrough(volume, controlCode == IOCTL_SCSI_PASS_THROUGH, inBuffer, inSize,
                           outBuffer, outSize, bytesReturned);
      case IOCTL_STORAGE_MCN_CONTROL:
        // Media-change notification has no counterpart worth touching here.
        if (inBuffer == nullptr || inSize < 1) return Fail(ERROR_INVALID_PARAMETER);
        return TRUE_;
      default: return Fail(ERROR_INVALID_FUNCTION);
    }
  }

  BOOL CloseHandle(HANDLE handle) override {
    if (auto volume = volumes_.find(handle); volume != volumes_.end()) {
      updateLocks_.erase(handle);
      ::close(volume->second.fd);
      volumes_.erase(volume);
      return TRUE_;
    }
    auto it = files_.find(handle);
    if (it == files_.end()) {
      lastError_ = ERROR_INVALID_HANDLE;
      return FALSE_;
    }
    std::fclose(it->second);
    files_.erase(it);
    return TRUE_;
  }

  // flock(2): advisory, so it keeps out only programs that ask for it too,
  // a second odflsh above all.
  BOOL LockFileEx(HANDLE handle, DWORD flags) override {
    int fd = -1;
    std::string device;
    if (auto volume = volumes_.find(handle); volume != volumes_.end()) {
      fd = volume->second.fd;
      device = volume->second.device;
    } else if (std::FILE* file = FileOf(handle)) {
      fd = fileno(file);
    } else {
      return Fail(ERROR_INVALID_HANDLE);
    }
    int operation = (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0 ? LOCK_EX : LOCK_SH;
    if ((flags & LOCKFILE_FAIL_IMMEDIATELY) != 0) operation |= LOCK_NB;
    if (::flock(fd, operation) == 0) {
      if (!device.empty() && (operation & LOCK_EX) != 0) updateLocks_[handle] = device;
      return TRUE_;
    }
    const int error = errno;
    if (error != EWOULDBLOCK) return Fail(win::ErrorFromErrno(error));
    // Only an update's exclusive lock refuses a shared one; an exclusive one
    // is also refused by another odflsh's probe, which its caller waits out.
    if (!device.empty() && (flags & LOCKFILE_EXCLUSIVE_LOCK) == 0) {
      Notice(device, device + " is being updated by another odflsh (it holds the drive's lock), "
                              "so this drive is left alone.");
    }
    return Fail(ERROR_LOCK_VIOLATION);
  }

  DWORD GetLastError() override { return lastError_; }

  DWORD GetFileSize(HANDLE handle, DWORD* sizeHigh) override {
    std::FILE* file = FileOf(handle);
    struct stat info {};
    if (file == nullptr || fstat(fileno(file), &info) != 0) {
      lastError_ = ERROR_INVALID_HANDLE;
      return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (sizeHigh != nullptr) *sizeHigh = static_cast<DWORD>(size >> 32);
    return static_cast<DWORD>(size);
  }

  BOOL ReadFile(HANDLE handle, void* buffer, DWORD toRead, DWORD* bytesRead) override {
    if (bytesRead != nullptr) *bytesRead = 0;
    std::FILE* file = FileOf(handle);
    if (file == nullptr) {
      lastError_ = ERROR_INVALID_HANDLE;
      return FALSE_;
    }
    const std::size_t got = std::fread(buffer, 1, toRead, file);
    if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(got);
    if (got < toRead && std::ferror(file)) {
      lastError_ = ERROR_IO_DEVICE;
      return FALSE_;
    }
    return TRUE_;
  }

  int ReadTextLine(HANDLE handle, std::string& line) override {
    line.clear();
    std::FILE* file = FileOf(handle);
    if (file == nullptr) return -1;
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(file)) != EOF) {
      any = true;
      if (c == '\n') break;
      line.push_back(static_cast<char>(c));
    }
    if (std::ferror(file)) return -1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any ? 1 : 0;
  }

  // ---- no ASPI layer, no events ------------------------------------------
  HMODULE LoadLibraryA(const char*) override {
    lastError_ = ERROR_MOD_NOT_FOUND;
    return 0;
  }
  FARPROC GetProcAddressOrdinal(HMODULE, WORD) override { return 0; }
  DWORD CallGetASPI32SupportInfo(FARPROC) override { return 0; }
  DWORD CallSendASPI32Command(FARPROC, void*) override { return 0; }
  HANDLE CreateEventA(BOOL, BOOL) override {
    lastError_ = ERROR_NOT_SUPPORTED;
    return 0;
  }
  DWORD WaitForSingleObject(HANDLE, DWORD) override {
    lastError_ = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }

  // ---- time --------------------------------------------------------------
  void Sleep(DWORD milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
  UINT timeBeginPeriod(UINT) override { return TIMERR_NOERROR; }
  UINT timeEndPeriod(UINT) override { return TIMERR_NOERROR; }
  DWORD timeGetTime() override {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    // Wraps like the Windows counter does.
    return static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  }

  std::int64_t time() override { return static_cast<std::int64_t>(std::time(nullptr)); }
  void srand(unsigned seed) override { std::srand(seed); }
  int rand() override { return std::rand(); }

  // ---- the update window ----------------------------------------------------
  // Windows keeps the system awake; here the same request also suspends the
  // kernel's media polling of the drive being updated and takes logind's
  // inhibitor lock, both given back when the window closes.
  EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) override {
    if ((flags & ES_CONTINUOUS) == 0) return executionState_;  // a one-off nudge: nothing to hold
    const EXECUTION_STATE previous = executionState_;
    executionState_ = flags;
    if ((flags & ES_SYSTEM_REQUIRED) != 0) {
      BeginUpdateWindow();
    } else {
      EndUpdateWindow();
    }
    return previous;
  }

  // ---- interruption ----------------------------------------------------------
  // The dispositions found when the handler goes in come back when it goes
  // out: a signal the caller ignored (nohup, a background job) stays ignored.
  BOOL SetConsoleCtrlHandler(BOOL add) override {
    if ((add != FALSE_) == handlerIn_) return TRUE_;
    handlerIn_ = add != FALSE_;
    gNoticeFd = fileno(console_.err);
    for (std::size_t i = 0; i < kHeldSignals.size(); ++i) {
      const int signal = kHeldSignals[i];
      if (!handlerIn_) {
        ::sigaction(signal, &previous_[i], nullptr);
        continue;
      }
      ::sigaction(signal, nullptr, &previous_[i]);
      if (previous_[i].sa_handler == SIG_IGN) continue;
      struct sigaction hold {};
      hold.sa_handler = HoldInterruption;
      // Restarted, so that no command or console write fails half-way.
      hold.sa_flags = SA_RESTART;
      sigfillset(&hold.sa_mask);
      ::sigaction(signal, &hold, nullptr);
    }
    return TRUE_;
  }

  int GetInterruption() override { return gInterruption; }

 private:
  void Write(std::FILE* stream, const std::string& bytes) {
    // Japanese texts are cp932; a UTF-8 terminal would show them garbled.
    const std::string text =
        console_.codePage == 932 && console_.utf8 ? Cp932ToUtf8(bytes) : bytes;
    std::fwrite(text.data(), 1, text.size(), stream);
    // A reader that went away (a closed pipe: EPIPE) costs only the text; the
    // update goes on, and the next write tries again.
    if (std::fflush(stream) != 0) std::clearerr(stream);
  }

  // The drive under this process's update lock, or the one the last command
  // went to when there is no lock.
  std::string UpdatedDevice() const {
    return updateLocks_.empty() ? lastCommandDevice_ : updateLocks_.begin()->second;
  }

  void BeginUpdateWindow() {
    EndUpdateWindow();
    const std::string device = UpdatedDevice();
    std::string problem;
    if (!device.empty() && !polling_.Suspend(KernelName(device), problem)) {
      Notice("polling", "cannot suspend the kernel's media polling of " + device + " (" + problem +
                            "): the kernel may send its own commands to the drive while it re-flashes.");
    } else if (!problem.empty()) {
      Notice("polling-record", "the media polling of " + device + " is suspended, but " + problem + ".");
    }
    const std::string why = "odflsh is updating the firmware of the optical drive " +
                            (device.empty() ? std::string("") : device + " ") +
                            "(sleep or shutdown now could leave the drive unusable)";
    if (console_.awake.take && !console_.awake.take(why, problem)) {
      Notice("inhibitor", "cannot keep the system from sleeping or shutting down during the update (" +
                              problem + "): do not suspend or shut it down until odflsh has finished.");
    }
  }

  void EndUpdateWindow() {
    if (console_.awake.release) console_.awake.release();
    if (const std::string problem = polling_.Restore(); !problem.empty()) {
      Notice("polling-back", "cannot give back the kernel's media polling (" + problem +
                                 "): the next odflsh run gives it back.");
    }
  }

  BOOL Fail(DWORD error) {
    lastError_ = error;
    return FALSE_;
  }

  // Tells the user, once per device or file, why it cannot be used.
  void Notice(const std::string& key, const std::string& text) {
    if (!noticed_.insert(key).second) return;
    std::fprintf(console_.err, "odflsh: %s\n", text.c_str());
    std::fflush(console_.err);
  }

  // One line per file on why it cannot be read, naming the folder it was
  // looked for in, since a run from the wrong folder is the usual cause.
  void FileNotice(const char* path, const std::string& why) {
    std::string where;
    if (path[0] != '/') {
      std::array<char, 4096> folder{};
      if (::getcwd(folder.data(), folder.size()) != nullptr) where = std::string(" in ") + folder.data();
    }
    Notice(std::string("file:") + path,
           std::string("cannot read ") + path + where + ": " + why + ".");
  }

  HANDLE OpenVolume(const char* path, DWORD access) {
    const std::string device = VolumeDevice(path);
    if (device.empty()) {
      lastError_ = ERROR_FILE_NOT_FOUND;
      return INVALID_HANDLE_VALUE;
    }
    // A handle that only holds the lock stays on the sr device, so that every
    // odflsh, whichever node it sends through, locks the same one.
    std::string fallback;
    int fd = access != 0 ? OpenGeneric(device, access, fallback) : -1;
    if (fd < 0) fd = ::open(device.c_str(), OpenFlags(access));
    if (fd >= 0 && !fallback.empty()) Notice("fallback", fallback);
    if (fd < 0) {
      const int error = errno;
      lastError_ = VolumeOpenError(error);
      // A missing device is simply no drive; anything else deserves a word.
      if (lastError_ == ERROR_ACCESS_DENIED) {
        Notice(device, "cannot open " + device + " (" + std::strerror(error) + "): " + PermissionAdvice(console_.privileged));
      } else if (lastError_ != ERROR_FILE_NOT_FOUND) {
        Notice(device, "cannot open " + device + " (" + std::strerror(error) + ").");
      }
      return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = nextHandle_++;
    volumes_[handle] = VolumeHandle{fd, device, access};
    if (access != 0) lastCommandDevice_ = device;
    return handle;
  }

  // The drive's SCSI generic node, found anew at each open. The kernel sends
  // nothing of its own there, where each open and close of the sr device
  // brings its TEST UNIT READY and GET EVENT STATUS NOTIFICATION. -1, with
  // why the sr device is used instead, when it cannot be.
  int OpenGeneric(const std::string& device, DWORD access, std::string& fallback) const {
    const std::string generic = GenericNodeOf(KernelName(device), console_.paths);
    const std::string tail = ", so commands go through " + device +
                             ", where the kernel adds commands of its own at each open and close.";
    if (generic.empty()) {
      fallback = device + " has no SCSI generic node (is the sg module loaded?)" + tail;
      return -1;
    }
    const int fd = ::open(generic.c_str(), OpenFlags(access));
    if (fd < 0) fallback = "cannot open " + generic + " (" + std::strerror(errno) + ")" + tail;
    return fd;
  }

  BOOL GetAddress(const VolumeHandle& volume, void* outBuffer, DWORD outSize,
                  DWORD* bytesReturned) {
    if (outBuffer == nullptr || outSize < sizeof(SCSI_ADDRESS)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    int idLun[2] = {0, 0};
    if (::ioctl(volume.fd, SCSI_IOCTL_GET_IDLUN, idLun) != 0) {
      const int error = errno;
      // A device outside the SCSI layer has no address: Windows says "not supported".
      return Fail(error == EINVAL ? ERROR_NOT_SUPPORTED : DeviceIoctlError(error));
    }
    const SCSI_ADDRESS address = AddressFromIdLun(static_cast<std::uint32_t>(idLun[0]));
    std::memcpy(outBuffer, &address, sizeof address);
    if (bytesReturned != nullptr) *bytesReturned = sizeof address;
    return TRUE_;
  }

  // One SG_IO per block; the kernel's verdict goes back into the caller's
  // block. Nothing is retried: a command that was not delivered is reported
  // as failed and the transport decides.
  BOOL PassThrough(const VolumeHandle& volume, bool buffered, void* inBuffer, DWORD inSize,
                   void* outBuffer, DWORD outSize, DWORD* bytesReturned) {
    if (inBuffer == nullptr || outBuffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    auto* block = static_cast<std::uint8_t*>(outBuffer);
    const DWORD size = std::min(inSize, outSize);
    if (outBuffer != inBuffer) std::memmove(block, inBuffer, size);
    const PassThroughLayout& layout = NativePassThroughLayout();
    const PassThroughOutcome outcome =
        CarryPassThrough(block, size, buffered, layout, [&volume](sg_io_hdr_t& hdr) {
          if (::ioctl(volume.fd, SG_IO, &hdr) == 0) return 0;
          return errno != 0 ? errno : EIO;  // a failed call is never a delivered one
        });
    if (outcome.refusal == EPERM || outcome.refusal == EACCES) {
      Notice(volume.device, "the kernel refused to send " + CommandName(block[layout.offCdb]) +
                                " to " + volume.device + " (" + std::strerror(outcome.refusal) +
                                "): " + PermissionAdvice(console_.privileged));
    }
    if (outcome.error != ERROR_SUCCESS) return Fail(outcome.error);
    if (bytesReturned != nullptr) *bytesReturned = size;
    return TRUE_;
  }

  // Byte by byte from the descriptor, so that nothing typed ahead for a
  // later question is swallowed by a buffer. The held signals are let in only
  // while ppoll waits: one that comes then (or came before) ends the wait,
  // and the question is answered No by its caller.
  static std::optional<std::string> ReadLine(std::FILE* in) {
    const int fd = fileno(in);
    sigset_t held;
    sigset_t previous;
    sigemptyset(&held);
    for (int signal : kHeldSignals) sigaddset(&held, signal);
    ::pthread_sigmask(SIG_BLOCK, &held, &previous);
    std::string line;
    bool ended = false;
    for (;;) {
      if (gInterruption != 0) break;
      pollfd wait{fd, POLLIN, 0};
      if (::ppoll(&wait, 1, nullptr, &previous) < 0) {
        if (errno == EINTR) continue;
        ended = true;
        break;
      }
      char c = 0;
      const ssize_t got = ::read(fd, &c, 1);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {
        ended = true;
        break;
      }
      if (c == '\n') break;
      line.push_back(c);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (gInterruption != 0 || (ended && line.empty())) return std::nullopt;
    return line;
  }

  std::FILE* FileOf(HANDLE handle) const {
    auto it = files_.find(handle);
    return it != files_.end() ? it->second : nullptr;
  }

  ConsoleSetup console_;
  DWORD lastError_ = 0;
  std::set<void*> blocks_;
  std::map<HANDLE, std::FILE*> files_;
  std::map<HANDLE, VolumeHandle> volumes_;
  std::set<std::string> noticed_;
  HANDLE nextHandle_ = 0x100;
  std::map<HANDLE, std::string> updateLocks_;  // exclusive locks: handle -> device
  std::string lastCommandDevice_;
  EXECUTION_STATE executionState_ = ES_CONTINUOUS;
  MediaPolling polling_{console_.paths};
  bool handlerIn_ = false;
  std::array<struct sigaction, kHeldSignals.size()> previous_{};
};

}  // namespace

std::vector<std::string> GiveBackLeftPolling(const HostPaths& paths) {
  return MediaPolling(paths).RestoreLeftBehind();
}

std::unique_ptr<Platform> CreatePosixPlatform(const ConsoleSetup& console) {
  return std::make_unique<PosixPlatform>(console);
}

}  // namespace odf::posix
