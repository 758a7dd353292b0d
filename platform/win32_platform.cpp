// The real Windows layer: each method hands its arguments to the Windows call
// of the same name. Our portable declarations (platform/win_types.h) must be
// seen before <windows.h>, whose macros carry the same names (GENERIC_READ,
// INVALID_HANDLE_VALUE, IDOK ...); after that include, our values are reached
// only through the copies taken below or through the Platform signatures.
// Standard output is switched to binary mode at start: the texts carry their
// own line breaks and must reach the console byte for byte.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/host_platform.h"
#include "platform/platform.h"
#include "platform/win_types.h"
#include "platform/layouts.h"

// Every constant of platform/win_types.h that the SDK also defines; each is
// captured here, while its name is still free of SDK macros, and compared
// with the SDK's value below.
#define ODF_SDK_CONSTANTS(X)                                                              \
  X(GENERIC_READ) X(GENERIC_WRITE) X(FILE_SHARE_READ) X(FILE_SHARE_WRITE) X(OPEN_EXISTING) \
  X(FILE_ATTRIBUTE_DIRECTORY) X(FILE_ATTRIBUTE_NORMAL) X(INVALID_FILE_ATTRIBUTES)          \
  X(INVALID_FILE_SIZE)                                                                    \
  X(LOCKFILE_FAIL_IMMEDIATELY) X(LOCKFILE_EXCLUSIVE_LOCK)                                  \
  X(ERROR_SUCCESS) X(ERROR_INVALID_FUNCTION) X(ERROR_FILE_NOT_FOUND)                      \
  X(ERROR_PATH_NOT_FOUND) X(ERROR_TOO_MANY_OPEN_FILES) X(ERROR_ACCESS_DENIED)             \
  X(ERROR_INVALID_HANDLE) X(ERROR_NOT_ENOUGH_MEMORY) X(ERROR_CURRENT_DIRECTORY)           \
  X(ERROR_WRITE_PROTECT) X(ERROR_NOT_READY) X(ERROR_CRC) X(ERROR_SEEK)                    \
  X(ERROR_SECTOR_NOT_FOUND) X(ERROR_READ_FAULT) X(ERROR_GEN_FAILURE)                      \
  X(ERROR_SHARING_VIOLATION) X(ERROR_LOCK_VIOLATION) X(ERROR_HANDLE_EOF)                  \
  X(ERROR_HANDLE_DISK_FULL) X(ERROR_NOT_SUPPORTED) X(ERROR_CANNOT_MAKE)                   \
  X(ERROR_INVALID_PARAMETER) X(ERROR_DISK_FULL) X(ERROR_SEM_TIMEOUT)                      \
  X(ERROR_MOD_NOT_FOUND) X(ERROR_PROC_NOT_FOUND) X(ERROR_NEGATIVE_SEEK) X(ERROR_BUSY)     \
  X(ERROR_MORE_DATA) X(ERROR_NO_MORE_ITEMS) X(ERROR_IO_DEVICE)                            \
  X(ERROR_DEVICE_NOT_CONNECTED)                                                           \
  X(IOCTL_SCSI_PASS_THROUGH) X(IOCTL_SCSI_PASS_THROUGH_DIRECT) X(IOCTL_SCSI_GET_ADDRESS)  \
  X(IOCTL_STORAGE_MCN_CONTROL)                                                            \
  X(SCSI_IOCTL_DATA_OUT) X(SCSI_IOCTL_DATA_IN) X(SCSI_IOCTL_DATA_UNSPECIFIED)             \
  X(KEY_READ) X(KEY_ALL_ACCESS) X(REG_BINARY)                                             \
  X(GMEM_MOVEABLE) X(GMEM_ZEROINIT)                                                       \
  X(WAIT_OBJECT_0) X(WAIT_TIMEOUT) X(WAIT_FAILED) X(INFINITE)                             \
  X(TIMERR_NOERROR) X(TIMERR_NOCANDO)                                                     \
  X(MB_OK) X(MB_OKCANCEL) X(MB_YESNO) X(MB_ICONHAND) X(MB_ICONQUESTION)                   \
  X(MB_ICONEXCLAMATION) X(MB_ICONASTERISK) X(IDOK) X(IDCANCEL) X(IDYES) X(IDNO)           \
  X(VER_PLATFORM_WIN32s) X(VER_PLATFORM_WIN32_WINDOWS) X(VER_PLATFORM_WIN32_NT)

namespace odf::ours {
#define ODF_CAPTURE(name) inline constexpr auto name##_ = win::name;
ODF_SDK_CONSTANTS(ODF_CAPTURE)
#undef ODF_CAPTURE
inline constexpr win::HANDLE kInvalidHandle = win::INVALID_HANDLE_VALUE;
inline constexpr win::HKEY kLocalMachine = win::HKEY_LOCAL_MACHINE;
inline constexpr win::HKEY kDynData = win::HKEY_DYN_DATA;
}  // namespace odf::ours

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <mmsystem.h>
#include <fcntl.h>
#include <io.h>

// <windows.h> maps these to their A/W forms; our method has the plain name.
#undef WriteConsole

// The implementation lives outside namespace odf: there our Windows type names
// (HKEY, HANDLE ...) would capture the ones inside the SDK's macros.
namespace {

namespace win = odf::win;
namespace ours = odf::ours;
using odf::kBufferedDataAreaSize;
using odf::kSenseAreaSize;
using odf::NativePassThroughLayout;
using odf::PassThroughLayout;

// ---- the portable declarations must agree with the SDK --------------------

#define ODF_COMPARE(name) \
  static_assert(static_cast<long long>(ours::name##_) == static_cast<long long>(name), #name);
ODF_SDK_CONSTANTS(ODF_COMPARE)
#undef ODF_COMPARE
#undef ODF_SDK_CONSTANTS
static_assert(ours::kInvalidHandle == static_cast<std::uintptr_t>(static_cast<LONG_PTR>(-1)));

static_assert(sizeof(win::OSVERSIONINFOA) == sizeof(::OSVERSIONINFOA));
static_assert(offsetof(win::OSVERSIONINFOA, dwPlatformId) ==
              offsetof(::OSVERSIONINFOA, dwPlatformId));
static_assert(offsetof(win::OSVERSIONINFOA, szCSDVersion) ==
              offsetof(::OSVERSIONINFOA, szCSDVersion));
static_assert(sizeof(win::SCSI_ADDRESS) == sizeof(::SCSI_ADDRESS));
static_assert(offsetof(win::SCSI_ADDRESS, TargetId) == offsetof(::SCSI_ADDRESS, TargetId));

// The transport lays out the pass-through blocks from a descriptor; the one
// for this build must be the SDK's structure.
template <typename Header>
constexpr bool HeaderMatches(const PassThroughLayout& l, std::size_t offBuffer) {
  return l.pointerSize == sizeof(void*) && l.headerSize == sizeof(Header) &&
         l.offLength == offsetof(Header, Length) &&
         l.offScsiStatus == offsetof(Header, ScsiStatus) &&
         l.offPathId == offsetof(Header, PathId) && l.offTargetId == offsetof(Header, TargetId) &&
         l.offLun == offsetof(Header, Lun) && l.offCdbLength == offsetof(Header, CdbLength) &&
         l.offSenseInfoLength == offsetof(Header, SenseInfoLength) &&
         l.offDataIn == offsetof(Header, DataIn) &&
         l.offDataTransferLength == offsetof(Header, DataTransferLength) &&
         l.offTimeOutValue == offsetof(Header, TimeOutValue) && l.offDataBuffer == offBuffer &&
         l.offSenseInfoOffset == offsetof(Header, SenseInfoOffset) &&
         l.offCdb == offsetof(Header, Cdb);
}
static_assert(HeaderMatches<SCSI_PASS_THROUGH_DIRECT>(
    NativePassThroughLayout(), offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer)));
static_assert(HeaderMatches<SCSI_PASS_THROUGH>(
    NativePassThroughLayout(), offsetof(SCSI_PASS_THROUGH, DataBufferOffset)));

// The blocks the transport builds: header, ULONG filler, 32-byte sense area
// and (buffered) 32-byte data area, as a C compiler lays them out.
struct DirectBlock {
  SCSI_PASS_THROUGH_DIRECT header;
  ULONG filler;
  UCHAR sense[kSenseAreaSize];
};
struct BufferedBlock {
  SCSI_PASS_THROUGH header;
  ULONG filler;
  UCHAR sense[kSenseAreaSize];
  UCHAR data[kBufferedDataAreaSize];
};
static_assert(NativePassThroughLayout().senseOffset == offsetof(DirectBlock, sense));
static_assert(NativePassThroughLayout().directBlockSize == sizeof(DirectBlock));
static_assert(NativePassThroughLayout().senseOffset == offsetof(BufferedBlock, sense));
static_assert(NativePassThroughLayout().dataOffset == offsetof(BufferedBlock, data));
static_assert(NativePassThroughLayout().bufferedBlockSize == sizeof(BufferedBlock));

// ---- conversions at the boundary ------------------------------------------

template <typename T>
T* ToPtr(std::uintptr_t value) {
  return reinterpret_cast<T*>(value);
}

::HANDLE ToHandle(win::HANDLE h) { return reinterpret_cast<::HANDLE>(h); }
win::HANDLE FromHandle(::HANDLE h) { return reinterpret_cast<win::HANDLE>(h); }

// The predefined keys are negative 32-bit values that Windows sign-extends to
// pointer width; ours are zero-extended, so they are mapped, not cast.
::HKEY ToKey(win::HKEY key) {
  if (key == ours::kLocalMachine) return HKEY_LOCAL_MACHINE;
  if (key == ours::kDynData) return HKEY_DYN_DATA;
  return reinterpret_cast<::HKEY>(key);
}

// The console runs its control handler on a thread of its own; the recorded
// interruption is all that handler shares with the program, hence one atomic.
std::atomic<int> gInterruption{0};

constexpr char kInterruptionNotice[] =
    "odflsh: interrupted: the update of this drive is being finished, as stopping it now "
    "could leave the drive unusable; no further drive will be started.\r\n";

// The thread that adds the handler is the one that shows the question boxes.
std::atomic<::DWORD> gQuestionThread{0};

// A question box open when the interruption comes is answered as if its No
// (or Cancel) button were pressed; the program then takes it as No. A notice
// box has neither button and is left to the person.
::BOOL CALLBACK AnswerOpenQuestion(::HWND window, ::LPARAM) {
  for (const int button : {IDNO, IDCANCEL}) {
    if (::HWND item = ::GetDlgItem(window, button); item != nullptr) {
      ::PostMessageA(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<::LPARAM>(item));
      break;
    }
  }
  return TRUE;
}

// Ctrl-C and Ctrl-Break are held. A console close, a logoff or a shutdown is
// not: Windows ends the process a few seconds after such an event whatever a
// handler returns, too soon to finish a flash, so the default action stands.
::BOOL WINAPI HoldInterruption(::DWORD type) {
  int signal = 0;
  if (type == CTRL_C_EVENT) {
    signal = SIGINT;
  } else if (type == CTRL_BREAK_EVENT) {
    signal = SIGBREAK;
  } else {
    return FALSE;
  }
  int none = 0;
  if (gInterruption.compare_exchange_strong(none, signal)) {
    ::DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kInterruptionNotice,
                static_cast<::DWORD>(sizeof kInterruptionNotice - 1), &written, nullptr);
    if (const ::DWORD thread = gQuestionThread.load(); thread != 0) {
      ::EnumThreadWindows(thread, AnswerOpenQuestion, 0);
    }
  }
  return TRUE;
}

using GetSupportInfoFn = ::DWORD(__cdecl*)(void);
using SendCommandFn = ::DWORD(__cdecl*)(void*);

class Win32Platform : public odf::Platform {
 public:
  Win32Platform() {
    // Texts carry their own "\r\n"; the C runtime's text mode would turn each
    // "\n" into "\r\n" and change the bytes the console receives.
    ::_setmode(::_fileno(stdout), _O_BINARY);
  }

  void WriteConsole(const std::string& bytes) override {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
  }

  win::UINT GetOEMCP() override { return ::GetOEMCP(); }

  int MessageBoxA(win::HANDLE owner, const char* text, const char* caption,
                  win::UINT type) override {
    return ::MessageBoxA(reinterpret_cast<::HWND>(owner), text, caption, type);
  }

  win::BOOL GetVersionExA(win::OSVERSIONINFOA* info) override {
    ::OSVERSIONINFOA sdk{};
    sdk.dwOSVersionInfoSize = info->dwOSVersionInfoSize;
    const ::BOOL ok = ::GetVersionExA(&sdk);
    info->dwMajorVersion = sdk.dwMajorVersion;
    info->dwMinorVersion = sdk.dwMinorVersion;
    info->dwBuildNumber = sdk.dwBuildNumber;
    info->dwPlatformId = sdk.dwPlatformId;
    static_assert(sizeof(info->szCSDVersion) == sizeof(sdk.szCSDVersion));
    std::copy(std::begin(sdk.szCSDVersion), std::end(sdk.szCSDVersion),
              std::begin(info->szCSDVersion));
    return ok;
  }

  win::LONG RegOpenKeyExA(win::HKEY root, const char* subKey, win::DWORD options,
                          win::DWORD samDesired, win::HKEY* result) override {
    ::HKEY opened = nullptr;
    const ::LONG rc = ::RegOpenKeyExA(ToKey(root), subKey, options, samDesired, &opened);
    if (result != nullptr) {
      *result = rc == ERROR_SUCCESS ? reinterpret_cast<win::HKEY>(opened) : 0;
    }
    return rc;
  }

  win::LONG RegQueryInfoKeyA(win::HKEY key, win::DWORD* subKeys) override {
    ::DWORD count = 0;
    const ::LONG rc = ::RegQueryInfoKeyA(ToKey(key), nullptr, nullptr, nullptr, &count, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (subKeys != nullptr) *subKeys = count;
    return rc;
  }

  win::LONG RegEnumKeyExA(win::HKEY key, win::DWORD index, char* name,
                          win::DWORD* nameLength) override {
    ::DWORD length = nameLength != nullptr ? *nameLength : 0;
    const ::LONG rc =
        ::RegEnumKeyExA(ToKey(key), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (nameLength != nullptr) *nameLength = length;
    return rc;
  }

  win::LONG RegQueryValueExA(win::HKEY key, const char* valueName, win::DWORD* type,
                             win::BYTE* data, win::DWORD* dataLength) override {
    ::DWORD valueType = 0;
    ::DWORD length = dataLength != nullptr ? *dataLength : 0;
    const ::LONG rc = ::RegQueryValueExA(ToKey(key), valueName, nullptr, &valueType, data,
                                         dataLength != nullptr ? &length : nullptr);
    if (type != nullptr) *type = valueType;
    if (dataLength != nullptr) *dataLength = length;
    return rc;
  }

  win::LONG RegCloseKey(win::HKEY key) override { return ::RegCloseKey(ToKey(key)); }

  win::HGLOBAL GlobalAlloc(win::UINT flags, std::size_t bytes) override {
    return reinterpret_cast<win::HGLOBAL>(::GlobalAlloc(flags, bytes));
  }
  void* GlobalLock(win::HGLOBAL mem) override { return ::GlobalLock(ToPtr<void>(mem)); }
  win::BOOL GlobalUnlock(win::HGLOBAL mem) override { return ::GlobalUnlock(ToPtr<void>(mem)); }
  win::HGLOBAL GlobalFree(win::HGLOBAL mem) override {
    return reinterpret_cast<win::HGLOBAL>(::GlobalFree(ToPtr<void>(mem)));
  }

  // On a volume a byte-range lock only meets another LockFileEx: it keeps a
  // second odflsh away and nothing else (a refusal for any other reason lets
  // the update go on). The flags pass through as they are: a shared lock
  // while a drive is probed, an exclusive one while it is updated. The volumes are opened with
  // FILE_SHARE_READ | FILE_SHARE_WRITE, so any other program may still open
  // the drive and send it commands; a share mode of 0 would shut out this
  // program's own opens, one per command, as well.
  win::BOOL LockFileEx(win::HANDLE file, win::DWORD flags) override {
    ::OVERLAPPED first{};
    return ::LockFileEx(ToHandle(file), flags, 0, 1, 0, &first);
  }

  win::HANDLE CreateFileA(const char* path, win::DWORD desiredAccess, win::DWORD shareMode,
                          win::DWORD creationDisposition, win::DWORD flagsAndAttributes) override {
    return FromHandle(::CreateFileA(path, desiredAccess, shareMode, nullptr, creationDisposition,
                                    flagsAndAttributes, nullptr));
  }

  win::DWORD GetFileAttributesA(const char* path) override { return ::GetFileAttributesA(path); }

  win::BOOL DeviceIoControl(win::HANDLE device, win::DWORD controlCode, void* inBuffer,
                            win::DWORD inSize, void* outBuffer, win::DWORD outSize,
                            win::DWORD* bytesReturned) override {
    ::DWORD returned = 0;  // required when there is no OVERLAPPED
    const ::BOOL ok = ::DeviceIoControl(ToHandle(device), controlCode, inBuffer, inSize,
                                        outBuffer, outSize, &returned, nullptr);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return ok;
  }

  win::BOOL CloseHandle(win::HANDLE handle) override {
    lineBuffers_.erase(handle);
    return ::CloseHandle(ToHandle(handle));
  }

  win::DWORD GetLastError() override { return ::GetLastError(); }

  win::DWORD GetFileSize(win::HANDLE file, win::DWORD* sizeHigh) override {
    ::DWORD high = 0;
    const ::DWORD low = ::GetFileSize(ToHandle(file), &high);
    if (sizeHigh != nullptr) *sizeHigh = high;
    return low;
  }

  win::BOOL ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead,
                     win::DWORD* bytesRead) override {
    ::DWORD got = 0;  // required when there is no OVERLAPPED
    const ::BOOL ok = ::ReadFile(ToHandle(file), buffer, toRead, &got, nullptr);
    if (bytesRead != nullptr) *bytesRead = got;
    return ok;
  }

  int ReadTextLine(win::HANDLE file, std::string& line) override {
    LineBuffer& lb = lineBuffers_[file];
    line.clear();
    for (;;) {
      while (lb.next < lb.bytes.size()) {
        const char c = lb.bytes[lb.next++];
        if (c == '\n') {
          if (!line.empty() && line.back() == '\r') line.pop_back();
          return 1;
        }
        line.push_back(c);
      }
      if (lb.atEnd) {
        if (line.empty()) return 0;
        if (line.back() == '\r') line.pop_back();
        return 1;  // the last line need not end with a line break
      }
      lb.bytes.resize(kLineChunk);
      lb.next = 0;
      ::DWORD got = 0;
      if (!::ReadFile(ToHandle(file), lb.bytes.data(), kLineChunk, &got, nullptr)) {
        lb.bytes.clear();
        return -1;
      }
      lb.bytes.resize(got);
      lb.atEnd = got == 0;
    }
  }

  win::HMODULE LoadLibraryA(const char* name) override {
    return reinterpret_cast<win::HMODULE>(::LoadLibraryA(name));
  }

  win::FARPROC GetProcAddressOrdinal(win::HMODULE module, win::WORD ordinal) override {
    return reinterpret_cast<win::FARPROC>(
        ::GetProcAddress(reinterpret_cast<::HMODULE>(module), MAKEINTRESOURCEA(ordinal)));
  }

  // The ASPI entry points use the C calling convention.
  win::DWORD CallGetASPI32SupportInfo(win::FARPROC entry) override {
    return reinterpret_cast<GetSupportInfoFn>(entry)();
  }
  win::DWORD CallSendASPI32Command(win::FARPROC entry, void* srb) override {
    return reinterpret_cast<SendCommandFn>(entry)(srb);
  }

  win::HANDLE CreateEventA(win::BOOL manualReset, win::BOOL initialState) override {
    return FromHandle(::CreateEventA(nullptr, manualReset, initialState, nullptr));
  }

  win::DWORD WaitForSingleObject(win::HANDLE handle, win::DWORD milliseconds) override {
    return ::WaitForSingleObject(ToHandle(handle), milliseconds);
  }

  void Sleep(win::DWORD milliseconds) override { ::Sleep(milliseconds); }
  win::UINT timeBeginPeriod(win::UINT period) override { return ::timeBeginPeriod(period); }
  win::UINT timeEndPeriod(win::UINT period) override { return ::timeEndPeriod(period); }
  win::DWORD timeGetTime() override { return ::timeGetTime(); }

  std::int64_t time() override { return static_cast<std::int64_t>(std::time(nullptr)); }
  void srand(unsigned seed) override { std::srand(seed); }
  int rand() override { return std::rand(); }

  win::EXECUTION_STATE SetThreadExecutionState(win::EXECUTION_STATE flags) override {
    return static_cast<win::EXECUTION_STATE>(::SetThreadExecutionState(flags));
  }

  win::BOOL SetConsoleCtrlHandler(win::BOOL add) override {
    if (add != 0) gQuestionThread.store(::GetCurrentThreadId());
    return ::SetConsoleCtrlHandler(HoldInterruption, add);
  }
  int GetInterruption() override { return gInterruption.load(); }

 private:
  static constexpr ::DWORD kLineChunk = 4096;
  struct LineBuffer {
    std::vector<char> bytes;
    std::size_t next = 0;
    bool atEnd = false;
  };
  std::map<win::HANDLE, LineBuffer> lineBuffers_;
};

}  // namespace

std::unique_ptr<odf::Platform> odf::CreateHostPlatform() {
  return std::make_unique<Win32Platform>();
}
