// Windows data types and constants, declared portably so that the code above
// the platform layer (and the simulated PC) can build and decode the same
// byte layouts on any host. The real Windows layer converts at its boundary.
#pragma once

#include <cstddef>
#include <cstdint>

namespace odf::win {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using BOOL = std::int32_t;

// Opaque handles are pointer-sized integers: the simulated PC hands out
// small numbers, the real layer casts its pointers.
using HANDLE = std::uintptr_t;
using HKEY = std::uintptr_t;
using HGLOBAL = std::uintptr_t;
using HMODULE = std::uintptr_t;
using FARPROC = std::uintptr_t;

inline constexpr BOOL FALSE_ = 0;
inline constexpr BOOL TRUE_ = 1;
inline constexpr HANDLE INVALID_HANDLE_VALUE = static_cast<HANDLE>(-1);

// Power management: what SetThreadExecutionState asks of the system.
using EXECUTION_STATE = DWORD;
inline constexpr EXECUTION_STATE ES_SYSTEM_REQUIRED = 0x00000001u;
inline constexpr EXECUTION_STATE ES_CONTINUOUS = 0x80000000u;

// Files and volumes
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;
inline constexpr DWORD LOCKFILE_FAIL_IMMEDIATELY = 0x1;
inline constexpr DWORD LOCKFILE_EXCLUSIVE_LOCK = 0x2;

// Error codes
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_CURRENT_DIRECTORY = 16;
inline constexpr DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr DWORD ERROR_NOT_READY = 21;
inline constexpr DWORD ERROR_CRC = 23;
inline constexpr DWORD ERROR_SEEK = 25;
inline constexpr DWORD ERROR_SECTOR_NOT_FOUND = 27;
inline constexpr DWORD ERROR_READ_FAULT = 30;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_LOCK_VIOLATION = 33;
inline constexpr DWORD ERROR_HANDLE_EOF = 38;
inline constexpr DWORD ERROR_HANDLE_DISK_FULL = 39;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_CANNOT_MAKE = 82;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_SEM_TIMEOUT = 121;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_IO_DEVICE = 1117;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;

// Device control codes
inline constexpr DWORD IOCTL_SCSI_PASS_THROUGH = 0x0004D004;
inline constexpr DWORD IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x0004D014;
inline constexpr DWORD IOCTL_SCSI_GET_ADDRESS = 0x00041018;
inline constexpr DWORD IOCTL_STORAGE_MCN_CONTROL = 0x002D0944;

inline constexpr BYTE SCSI_IOCTL_DATA_OUT = 0;
inline constexpr BYTE SCSI_IOCTL_DATA_IN = 1;
inline constexpr BYTE SCSI_IOCTL_DATA_UNSPECIFIED = 2;

// Registry
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr HKEY HKEY_DYN_DATA = 0x80000006u;
inline constexpr DWORD KEY_READ = 0x20019;
inline constexpr DWORD KEY_ALL_ACCESS = 0xF003F;
inline constexpr DWORD REG_BINARY = 3;

// Memory
inline constexpr UINT GMEM_MOVEABLE = 0x0002;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;

// Events and waits
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 0x102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

// Multimedia timer
inline constexpr UINT TIMERR_NOERROR = 0;
inline constexpr UINT TIMERR_NOCANDO = 97;

// Message boxes
inline constexpr UINT MB_OK = 0x00;
inline constexpr UINT MB_OKCANCEL = 0x01;
inline constexpr UINT MB_YESNO = 0x04;
inline constexpr UINT MB_ICONHAND = 0x10;
inline constexpr UINT MB_ICONQUESTION = 0x20;
inline constexpr UINT MB_ICONEXCLAMATION = 0x30;
inline constexpr UINT MB_ICONASTERISK = 0x40;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Version
inline constexpr DWORD VER_PLATFORM_WIN32s = 0;
inline constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148);

struct SCSI_ADDRESS {
  DWORD Length;
  BYTE PortNumber;
  BYTE PathId;
  BYTE TargetId;
  BYTE Lun;
};
static_assert(sizeof(SCSI_ADDRESS) == 8);

}  // namespace odf::win
