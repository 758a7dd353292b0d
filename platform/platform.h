// The operating-system boundary. Each method stands for the Windows call of
// the same name and takes the same kinds of arguments, so the layers above
// read like Windows code while the simulated PC and the Linux host can stand
// in for it. Byte layouts and status rules live above this interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/win_types.h"

namespace odf {

using namespace odf::win;  // NOLINT: the Windows names are this layer's vocabulary

class Platform {
 public:
  virtual ~Platform() = default;

  // Console. Bytes go out unchanged (cp932 texts included).
  virtual void WriteConsole(const std::string& bytes) = 0;
  virtual UINT GetOEMCP() = 0;
  virtual int MessageBoxA(HANDLE owner, const char* text, const char* caption, UINT type) = 0;

  // Operating-system version (dwOSVersionInfoSize must be 148).
  virtual BOOL GetVersionExA(OSVERSIONINFOA* info) = 0;

  // Registry, under HKEY_LOCAL_MACHINE and HKEY_DYN_DATA.
  virtual LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD samDesired,
                             HKEY* result) = 0;
  virtual LONG RegQueryInfoKeyA(HKEY key, DWORD* subKeys) = 0;
  virtual LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength) = 0;
  virtual LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* type, BYTE* data,
                                DWORD* dataLength) = 0;
  virtual LONG RegCloseKey(HKEY key) = 0;

  // Zero-filled buffers that may be refused (GlobalAlloc returns 0).
  virtual HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes) = 0;
  virtual void* GlobalLock(HGLOBAL mem) = 0;
  virtual BOOL GlobalUnlock(HGLOBAL mem) = 0;
  virtual HGLOBAL GlobalFree(HGLOBAL mem) = 0;

  // Volumes ("\\.\D:") and files. CreateFileA returns INVALID_HANDLE_VALUE
  // on failure, with the reason in GetLastError.
  virtual HANDLE CreateFileA(const char* path, DWORD desiredAccess, DWORD shareMode,
                             DWORD creationDisposition, DWORD flagsAndAttributes) = 0;
  // A file's attributes (FILE_ATTRIBUTE_DIRECTORY for a folder), or
  // INVALID_FILE_ATTRIBUTES with the reason in GetLastError
  // (ERROR_FILE_NOT_FOUND when nothing is there). It only asks whether a file
  // is there, so it says nothing of one that is not.
  virtual DWORD GetFileAttributesA(const char* path) = 0;
  virtual BOOL DeviceIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize,
                               void* outBuffer, DWORD outSize, DWORD* bytesReturned) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  // A lock on the first byte of an open volume or file, held until the
  // handle is closed. With LOCKFILE_FAIL_IMMEDIATELY a lock another process
  // holds fails at once with ERROR_LOCK_VIOLATION.
  virtual BOOL LockFileEx(HANDLE file, DWORD flags) = 0;
  virtual DWORD GetLastError() = 0;
  virtual DWORD GetFileSize(HANDLE file, DWORD* sizeHigh) = 0;
  virtual BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* bytesRead) = 0;
  // Line-by-line text reading on a file opened with CreateFileA: the line
  // without its end-of-line bytes. Returns 0 at end of file, 1 with a line,
  // or a negative value when the read failed.
  virtual int ReadTextLine(HANDLE file, std::string& line) = 0;

  // The ASPI layer: LoadLibraryA("WNASPI32.DLL"), then its entry points by
  // ordinal (1 GetASPI32SupportInfo, 2 SendASPI32Command).
  virtual HMODULE LoadLibraryA(const char* name) = 0;
  virtual FARPROC GetProcAddressOrdinal(HMODULE module, WORD ordinal) = 0;
  virtual DWORD CallGetASPI32SupportInfo(FARPROC entry) = 0;
  virtual DWORD CallSendASPI32Command(FARPROC entry, void* srb) = 0;

  // Events (completion of ASPI commands).
  virtual HANDLE CreateEventA(BOOL manualReset, BOOL initialState) = 0;
  virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;

  // Time.
  virtual void Sleep(DWORD milliseconds) = 0;
  virtual UINT timeBeginPeriod(UINT period) = 0;
  virtual UINT timeEndPeriod(UINT period) = 0;
  virtual DWORD timeGetTime() = 0;

  // The standard pseudo-random generator seeded with the current time.
  virtual std::int64_t time() = 0;
  virtual void srand(unsigned seed) = 0;
  virtual int rand() = 0;

  // Power: ES_CONTINUOUS | ES_SYSTEM_REQUIRED keeps the system from sleeping
  // or shutting down until ES_CONTINUOUS alone clears it. Returns the state
  // before the call, or 0 when it was not granted. On Linux the same window
  // also keeps the kernel's own commands away from the drive being updated.
  virtual EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) = 0;

  // Interruption: Ctrl-C and Ctrl-Break (on Linux SIGINT, SIGTERM, SIGHUP and
  // SIGQUIT). With the program's handler added, the first interruption
  // prints one line on standard error and is recorded instead of ending the
  // process; once removed, the system's default action applies again.
  virtual BOOL SetConsoleCtrlHandler(BOOL add) = 0;
  // The signal number of the interruption recorded while the handler was in
  // (on Windows SIGINT for Ctrl-C, SIGBREAK for Ctrl-Break), or 0.
  virtual int GetInterruption() = 0;
};

}  // namespace odf
