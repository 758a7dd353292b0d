// The simulated PC: console, message boxes, version, clock, memory, files and
// handles. The registry, the volumes and the ASPI layer live in their own files.
#include "sim/pc/sim_pc.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "platform/errno_errors.h"
#include "sim/pc/sim_pc_impl.h"

namespace odf::sim {

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && StartsWithIgnoringCase(a, b);
}

bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix) {
  if (prefix.size() > text.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const auto x = static_cast<unsigned char>(text[i]);
    const auto y = static_cast<unsigned char>(prefix[i]);
    if (std::toupper(x) != std::toupper(y)) return false;
  }
  return true;
}

HANDLE SimPc::Impl::NewHandle(HandleObject object) {
  const HANDLE h = nextHandle;
  nextHandle += 4;
  handles.emplace(h, std::move(object));
  return h;
}

namespace {

// Reads a regular file of the host whole, in as few reads as the system
// allows. A folder, a device or a file that cannot be opened is refused with
// the error the Linux layer gives; 0 on success.
DWORD ReadHostFile(const std::string& path, std::vector<std::uint8_t>& content) {
#ifdef _WIN32
  // The simulated drives also run inside the Windows test layer WNASPI32.DLL.
  constexpr int kOpenFlags = O_RDONLY | O_BINARY;
#else
  constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
#endif
  const int fd = ::open(path.c_str(), kOpenFlags);
  if (fd < 0) return win::ErrorFromErrno(errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return ERROR_ACCESS_DENIED;
  }
  content.resize(static_cast<std::size_t>(info.st_size));
  std::size_t got = 0;
  DWORD error = 0;
  while (got < content.size()) {
    const auto n = ::read(fd, content.data() + got, static_cast<unsigned>(content.size() - got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = ERROR_IO_DEVICE;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  content.resize(got);  // a file that shrank meanwhile is taken as it was read
  return error;
}

}  // namespace

HandleObject* SimPc::Impl::Find(HANDLE handle, HandleKind kind) {
  auto it = handles.find(handle);
  if (it == handles.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

std::uint8_t* SimPc::Impl::Resolve(std::uint64_t address, std::size_t length,
                                   bool low32Only) const {
  auto fits = [&](std::uint8_t* base, std::size_t size) -> std::uint8_t* {
    const auto start = reinterpret_cast<std::uintptr_t>(base);
    std::uint64_t offset = address - start;
    if (low32Only) offset = static_cast<std::uint32_t>(address - start);
    if (offset > size || length > size - offset) return nullptr;
    return base + offset;
  };
  // The newest registrations first: an old one may describe a buffer that is gone.
  for (auto it = registered.rbegin(); it != registered.rend(); ++it) {
    if (auto* p = fits(it->base, it->size)) return p;
  }
  for (const auto& [handle, a] : allocations) {
    if (auto* p = fits(a.bytes.get(), a.size)) return p;
  }
  return nullptr;
}

bool SimPc::Impl::Known(const void* address) const {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  auto inside = [at](const std::uint8_t* base, std::size_t size) {
    const auto start = reinterpret_cast<std::uintptr_t>(base);
    return at >= start && at - start < size;
  };
  for (const auto& r : registered) {
    if (inside(r.base, r.size)) return true;
  }
  for (const auto& [handle, a] : allocations) {
    if (inside(a.bytes.get(), a.size)) return true;
  }
  return false;
}

SimPc::SimPc() : impl_(std::make_unique<Impl>()) {
  impl_->roots[HKEY_LOCAL_MACHINE].name = "HKEY_LOCAL_MACHINE";
  impl_->roots[HKEY_DYN_DATA].name = "HKEY_DYN_DATA";
}

SimPc::~SimPc() = default;

void SimPc::SetWindowsVersion(DWORD platformId, DWORD major, DWORD minor) {
  impl_->platformId = platformId;
  impl_->majorVersion = major;
  impl_->minorVersion = minor;
}

void SimPc::SetMinTimerPeriod(UINT period) { impl_->minTimerPeriod = period; }
int SimPc::TimerPeriodBalance() const { return impl_->timerPeriodBalance; }

// ---- console and message boxes ---------------------------------------------

void SimPc::WriteConsole(const std::string& bytes) {
  console_ += bytes;
  if (consoleSink) consoleSink(bytes);
}

// As Windows keeps it: a continuous request stays until the next continuous
// one replaces it.
EXECUTION_STATE SimPc::SetThreadExecutionState(EXECUTION_STATE flags) {
  const EXECUTION_STATE previous = executionState_;
  if ((flags & ES_CONTINUOUS) != 0) executionState_ = flags;
  executionStates_.push_back({flags, now_});
  if (executionStateSink) executionStateSink(executionStates_.back());
  return previous;
}

BOOL SimPc::SetConsoleCtrlHandler(BOOL add) {
  handlerIn_ = add != FALSE_;
  return TRUE_;
}

void SimPc::Interrupt(int signal) {
  if (!handlerIn_) {
    if (endedBy_ == 0) endedBy_ = signal;
    return;
  }
  if (interruption_ != 0) return;
  interruption_ = signal;
  standardError_ += "odflsh: interrupted: the update of this drive is being finished.\n";
}

void SimPc::QueueAnswers(std::initializer_list<int> answers) {
  answers_.insert(answers_.end(), answers.begin(), answers.end());
}

int SimPc::MessageBoxA(HANDLE, const char* text, const char* caption, UINT type) {
  BoxRecord record{text ? text : "", caption ? caption : "", type, IDOK};
  const UINT buttons = type & 0xF;
  if (buttons == MB_OKCANCEL || buttons == MB_YESNO) {
    if (!answers_.empty()) {
      record.answer = answers_.front();
      answers_.pop_front();
    } else if (answerer) {
      record.answer = answerer(record);
    } else {
      record.answer = IDNO;
    }
  }
  boxes_.push_back(record);
  if (boxSink) boxSink(record);
  return record.answer;
}

BOOL SimPc::GetVersionExA(OSVERSIONINFOA* info) {
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    lastError_ = ERROR_INVALID_PARAMETER;
    return FALSE_;
  }
  info->dwMajorVersion = impl_->majorVersion;
  info->dwMinorVersion = impl_->minorVersion;
  info->dwPlatformId = impl_->platformId;
  // Windows 95/98/Me keep the version in the high word of the build number.
  info->dwBuildNumber = impl_->platformId == VER_PLATFORM_WIN32_WINDOWS
                            ? (impl_->majorVersion << 24) | (impl_->minorVersion << 16) | 2222u
                            : 2600u;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return TRUE_;
}

// ---- clock and pseudo-random numbers ---------------------------------------

void SimPc::Advance(std::uint64_t ms) { impl_->RunUntil(*this, now_ + ms); }

void SimPc::Sleep(DWORD milliseconds) { Advance(milliseconds); }

UINT SimPc::timeBeginPeriod(UINT period) {
  if (period == 0 || period < impl_->minTimerPeriod) return TIMERR_NOCANDO;
  ++impl_->timerPeriodBalance;
  return TIMERR_NOERROR;
}

UINT SimPc::timeEndPeriod(UINT period) {
  if (period == 0 || period < impl_->minTimerPeriod) return TIMERR_NOCANDO;
  --impl_->timerPeriodBalance;
  return TIMERR_NOERROR;
}

DWORD SimPc::timeGetTime() {
  // Each reading moves the clock on, so a busy wait on it always ends.
  const auto reading = static_cast<DWORD>(now_);
  Advance(1);
  return reading;
}

std::int64_t SimPc::time() { return 1200000000 + static_cast<std::int64_t>(now_ / 1000); }

void SimPc::srand(unsigned seed) { impl_->randState = seed; }

int SimPc::rand() {
  // The generator of the Windows C runtime, so sequences match a real run.
  impl_->randState = impl_->randState * 214013u + 2531011u;
  return static_cast<int>((impl_->randState >> 16) & 0x7FFF);
}

// ---- memory ------------------------------------------------------------------

HGLOBAL SimPc::GlobalAlloc(UINT, std::size_t bytes) {
  ++allocationCalls_;
  if (allocationCalls_ == refuseAllocation_) {
    lastError_ = ERROR_NOT_ENOUGH_MEMORY;
    return 0;
  }
  Allocation a;
  a.size = bytes;
  a.bytes.reset(static_cast<std::uint8_t*>(std::calloc(std::max<std::size_t>(bytes, 1), 1)));
  if (!a.bytes) {
    lastError_ = ERROR_NOT_ENOUGH_MEMORY;
    return 0;
  }
  const HGLOBAL h = impl_->nextAllocation;
  impl_->nextAllocation += 0x10;
  impl_->allocations.emplace(h, std::move(a));
  return h;
}

void* SimPc::GlobalLock(HGLOBAL mem) {
  auto it = impl_->allocations.find(mem);
  if (it == impl_->allocations.end()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  ++it->second.locks;
  return it->second.bytes.get();
}

BOOL SimPc::GlobalUnlock(HGLOBAL mem) {
  auto it = impl_->allocations.find(mem);
  if (it == impl_->allocations.end()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return FALSE_;
  }
  if (it->second.locks > 0) --it->second.locks;
  lastError_ = ERROR_SUCCESS;
  return it->second.locks > 0 ? TRUE_ : FALSE_;
}

HGLOBAL SimPc::GlobalFree(HGLOBAL mem) {
  auto it = impl_->allocations.find(mem);
  if (it == impl_->allocations.end()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return mem;
  }
  impl_->ForgetCompletionsIn(it->second.bytes.get(), it->second.size);
  impl_->allocations.erase(it);
  return 0;
}

int SimPc::LiveAllocations() const { return static_cast<int>(impl_->allocations.size()); }

void SimPc::RegisterMemory(void* base, std::size_t size) {
  impl_->registered.push_back({static_cast<std::uint8_t*>(base), size});
}

void SimPc::UnregisterMemory(void* base) {
  auto& r = impl_->registered;
  r.erase(std::remove_if(r.begin(), r.end(),
                         [base](const RegisteredMemory& m) { return m.base == base; }),
          r.end());
}

// ---- files and handles -------------------------------------------------------

void SimPc::AddFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  AddFile(name, std::make_shared<const std::vector<std::uint8_t>>(bytes));
}

void SimPc::AddFile(const std::string& name, std::shared_ptr<const std::vector<std::uint8_t>> bytes) {
  for (auto& [n, content] : impl_->files) {
    if (SameNameIgnoringCase(n, name)) {
      content = std::move(bytes);
      return;
    }
  }
  impl_->files.emplace_back(name, std::move(bytes));
}

HANDLE SimPc::CreateFileA(const char* path, DWORD desiredAccess, DWORD shareMode,
                          DWORD creationDisposition, DWORD flagsAndAttributes) {
  const std::string name = path ? path : "";
  if (name.rfind("\\\\.\\", 0) == 0) return impl_->OpenVolume(*this, name, desiredAccess);
  (void)shareMode;
  (void)creationDisposition;
  (void)flagsAndAttributes;
  HandleObject file;
  file.kind = HandleKind::File;
  bool found = false;
  for (const auto& [n, content] : impl_->files) {
    if (SameNameIgnoringCase(n, name)) {
      file.content = content;
      found = true;
      break;
    }
  }
  DWORD error = ERROR_FILE_NOT_FOUND;
  if (!found && !hostDirectory_.empty() && !name.empty()) {
    std::string relative = name;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    auto content = std::make_shared<std::vector<std::uint8_t>>();
    error = ReadHostFile(hostDirectory_ + "/" + relative, *content);
    file.content = std::move(content);
    found = error == 0;
  }
  if (!found) {
    lastError_ = error;
    return INVALID_HANDLE_VALUE;
  }
  return impl_->NewHandle(std::move(file));
}

DWORD SimPc::GetFileAttributesA(const char* path) {
  const std::string name = path ? path : "";
  for (const auto& entry : impl_->files) {
    if (SameNameIgnoringCase(entry.first, name)) return FILE_ATTRIBUTE_NORMAL;
  }
  DWORD error = ERROR_FILE_NOT_FOUND;
  if (!hostDirectory_.empty() && !name.empty()) {
    std::string relative = name;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    struct stat info {};
    if (::stat((hostDirectory_ + "/" + relative).c_str(), &info) == 0) {
      return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    }
    error = win::ErrorFromErrno(errno);
  }
  lastError_ = error;
  return INVALID_FILE_ATTRIBUTES;
}

BOOL SimPc::CloseHandle(HANDLE handle) {
  if (impl_->handles.erase(handle) == 0) {
    lastError_ = ERROR_INVALID_HANDLE;
    return FALSE_;
  }
  return TRUE_;
}

int SimPc::OpenHandles() const { return static_cast<int>(impl_->handles.size()); }

DWORD SimPc::GetFileSize(HANDLE file, DWORD* sizeHigh) {
  auto* f = impl_->Find(file, HandleKind::File);
  if (f == nullptr) {
    lastError_ = ERROR_INVALID_HANDLE;
    return INVALID_FILE_SIZE;
  }
  const auto size = static_cast<std::uint64_t>(f->content->size());
  if (sizeHigh) *sizeHigh = static_cast<DWORD>(size >> 32);
  return static_cast<DWORD>(size);
}

BOOL SimPc::ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* bytesRead) {
  auto* f = impl_->Find(file, HandleKind::File);
  if (bytesRead) *bytesRead = 0;
  if (f == nullptr) {
    lastError_ = ERROR_INVALID_HANDLE;
    return FALSE_;
  }
  const std::vector<std::uint8_t>& content = *f->content;
  const std::size_t n = std::min<std::size_t>(toRead, content.size() - f->position);
  if (n > 0) std::memcpy(buffer, content.data() + f->position, n);
  f->position += n;
  if (bytesRead) *bytesRead = static_cast<DWORD>(n);
  return TRUE_;
}

int SimPc::ReadTextLine(HANDLE file, std::string& line) {
  auto* f = impl_->Find(file, HandleKind::File);
  line.clear();
  if (f == nullptr) {
    lastError_ = ERROR_INVALID_HANDLE;
    return -1;
  }
  const std::vector<std::uint8_t>& content = *f->content;
  if (f->position >= content.size()) return 0;
  const auto begin = content.begin() + static_cast<std::ptrdiff_t>(f->position);
  const auto newline = std::find(begin, content.end(), '\n');
  line.assign(begin, newline);
  f->position = static_cast<std::size_t>(newline - content.begin());
  if (newline != content.end()) ++f->position;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return 1;
}

}  // namespace odf::sim
