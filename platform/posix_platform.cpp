#include "platform/host_platform.h"
#include <cstdio>
namespace odf {
namespace {
class PosixPlatform : public Platform {
 public:
  void WriteConsole(const std::string& bytes) override { std::fwrite(bytes.data(), 1, bytes.size(), stdout); std::fflush(stdout); }
  UINT GetOEMCP() override { return 437; }
  int MessageBoxA(HANDLE, const char*, const char*, UINT) override { return IDNO; }
  BOOL GetVersionExA(OSVERSIONINFOA* info) override { info->dwMajorVersion = 5; info->dwMinorVersion = 1; info->dwPlatformId = 2; return 1; }
  LONG RegOpenKeyExA(HKEY, const char*, DWORD, DWORD, HKEY*) override { return 2; }
  LONG RegQueryInfoKeyA(HKEY, DWORD*) override { return 6; }
  LONG RegEnumKeyExA(HKEY, DWORD, char*, DWORD*) override { return 6; }
  LONG RegQueryValueExA(HKEY, const char*, DWORD*, BYTE*, DWORD*) override { return 6; }
  LONG RegCloseKey(HKEY) override { return 0; }
  HGLOBAL GlobalAlloc(UINT, std::size_t) override { return 0; }
  void* GlobalLock(HGLOBAL) override { return nullptr; }
  BOOL GlobalUnlock(HGLOBAL) override { return 0; }
  HGLOBAL GlobalFree(HGLOBAL) override { return 0; }
  HANDLE CreateFileA(const char*, DWORD, DWORD, DWORD, DWORD) override { return INVALID_HANDLE_VALUE; }
  BOOL DeviceIoControl(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*) override { return 0; }
  BOOL CloseHandle(HANDLE) override { return 0; }
  DWORD GetLastError() override { return ERROR_FILE_NOT_FOUND; }
  DWORD GetFileSize(HANDLE, DWORD*) override { return INVALID_FILE_SIZE; }
  BOOL ReadFile(HANDLE, void*, DWORD, DWORD*) override { return 0; }
  int ReadTextLine(HANDLE, std::string&) override { return -1; }
  HMODULE LoadLibraryA(const char*) override { return 0; }
  FARPROC GetProcAddressOrdinal(HMODULE, WORD) override { return 0; }
  DWORD CallGetASPI32SupportInfo(FARPROC) override { return 0; }
  DWORD CallSendASPI32Command(FARPROC, void*) override { return 0; }
  HANDLE CreateEventA(BOOL, BOOL) override { return 0; }
  DWORD WaitForSingleObject(HANDLE, DWORD) override { return WAIT_FAILED; }
  void Sleep(DWORD) override {}
  UINT timeBeginPeriod(UINT) override { return 0; }
  UINT timeEndPeriod(UINT) override { return 0; }
  DWORD timeGetTime() override { return 0; }
  std::int64_t time() override { return 0; }
  void srand(unsigned) override {}
  int rand() override { return 0; }
};
}  // namespace
std::unique_ptr<Platform> CreateHostPlatform() { return std::make_unique<PosixPlatform>(); }
}  // namespace odf
