// The native Linux layer. It stands in for the Windows calls well enough for
// the program to start, find no drive and say so: a console, Windows XP as
// the version, an empty registry, heap buffers, plain files for reading and
// the monotonic clock. No volume and no ASPI layer exist yet, so discovery
// finds nothing and nothing is ever sent to a drive.
#include "platform/posix_platform.h"

#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <thread>

#include "platform/host_platform.h"

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

ConsoleSetup ConsoleFromEnvironment() {
  const std::string locale =
      EffectiveLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
  ConsoleSetup console;
  console.in = stdin;
  console.out = stdout;
  console.interactive = isatty(fileno(stdin)) != 0;
  console.codePage = CodePageForLocale(locale);
  console.utf8 = IsUtf8Codeset(locale);
  return console;
}

namespace {

constexpr DWORD kErrorModNotFound = 126;

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    default: return ERROR_GEN_FAILURE;
  }
}

class PosixPlatform : public Platform {
 public:
  explicit PosixPlatform(const ConsoleSetup& console) : console_(console) {}

  ~PosixPlatform() override {
    for (auto& [handle, file] : files_) std::fclose(file);
    for (void* block : blocks_) std::free(block);
  }

  // ---- console -----------------------------------------------------------
  void WriteConsole(const std::string& bytes) override {
    // Japanese texts are cp932; a UTF-8 terminal would show them garbled.
    const std::string out =
        console_.codePage == 932 && console_.utf8 ? Cp932ToUtf8(bytes) : bytes;
    std::fwrite(out.data(), 1, out.size(), console_.out);
    std::fflush(console_.out);
  }

  UINT GetOEMCP() override { return console_.codePage; }

  int MessageBoxA(HANDLE, const char* text, const char*, UINT type) override {
    const UINT buttons = type & 0x0F;
    // A notice's text is already on the console.
    if (buttons != MB_YESNO && buttons != MB_OKCANCEL) return IDOK;
    WriteConsole(std::string(text != nullptr ? text : "") + " [y/n] ");
    if (!console_.interactive) {
      // Nobody to ask: never flash a drive without a person's yes.
      WriteConsole("n");
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

  // ---- files; volumes are not reachable yet ------------------------------
  HANDLE CreateFileA(const char* path, DWORD desiredAccess, DWORD, DWORD, DWORD) override {
    if (path == nullptr || std::strncmp(path, "\\\\.\\", 4) == 0) {
      lastError_ = ERROR_FILE_NOT_FOUND;
      return INVALID_HANDLE_VALUE;
    }
    if ((desiredAccess & GENERIC_WRITE) != 0) {  // firmware files are only read
      lastError_ = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
      lastError_ = ErrorFromErrno(errno);
      return INVALID_HANDLE_VALUE;
    }
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
      std::fclose(file);
      lastError_ = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = nextHandle_++;
    files_[handle] = file;
    return handle;
  }

  BOOL DeviceIoControl(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD* bytesReturned) override {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    lastError_ = ERROR_INVALID_HANDLE;
    return FALSE_;
  }

  BOOL CloseHandle(HANDLE handle) override {
    auto it = files_.find(handle);
    if (it == files_.end()) {
      lastError_ = ERROR_INVALID_HANDLE;
      return FALSE_;
    }
    std::fclose(it->second);
    files_.erase(it);
    return TRUE_;
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
    lastError_ = kErrorModNotFound;
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

 private:
  static std::optional<std::string> ReadLine(std::FILE* in) {
    std::string line;
    int c = 0;
    while ((c = std::fgetc(in)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    if (c == EOF && line.empty()) return std::nullopt;
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
  HANDLE nextHandle_ = 0x100;
};

}  // namespace

std::unique_ptr<Platform> CreatePosixPlatform(const ConsoleSetup& console) {
  return std::make_unique<PosixPlatform>(console);
}

}  // namespace odf::posix

namespace odf {

std::unique_ptr<Platform> CreateHostPlatform() {
  return posix::CreatePosixPlatform(posix::ConsoleFromEnvironment());
}

}  // namespace odf
