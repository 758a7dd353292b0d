// The Windows layer against the real Windows API (run under Wine by the MinGW
// trees): the calls the whole-update scenarios do not reach, or reach only on
// their good path. Each failed check prints a line starting with "FAIL"; the
// last line is "win32 platform: ok" only when every check held, since Wine
// may exit with 0 when a program does not start at all.
//
// Our declarations come before <windows.h>, whose macros carry the same
// names; the values needed afterwards are taken here first.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/host_platform.h"
#include "platform/platform.h"

namespace ours {
constexpr odf::win::HKEY kLocalMachine = odf::win::HKEY_LOCAL_MACHINE;
constexpr odf::win::HKEY kDynData = odf::win::HKEY_DYN_DATA;
constexpr odf::win::HANDLE kInvalidHandle = odf::win::INVALID_HANDLE_VALUE;
}  // namespace ours

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>

namespace {

namespace w = odf::win;

int failures = 0;

void Check(bool held, const std::string& what) {
  if (held) return;
  ++failures;
  std::printf("FAIL %s\n", what.c_str());
}

// Lines as a failure shows them: CR visible, long lines cut.
std::string Shown(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += "[";
    for (char c : line.substr(0, 20)) text += c == '\r' ? std::string("\\r") : std::string(1, c);
    if (line.size() > 20) text += "...(" + std::to_string(line.size()) + " bytes)";
    text += "]";
  }
  return text;
}

bool WriteFileBytes(const char* path, const std::string& bytes) {
  const HANDLE file =
      ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const auto size = static_cast<DWORD>(bytes.size());
  const BOOL ok = ::WriteFile(file, bytes.data(), size, &written, nullptr);
  ::CloseHandle(file);
  return ok && written == bytes.size();
}

w::HANDLE OpenForReading(odf::Platform& p, const char* path) {
  return p.CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

std::vector<std::string> ReadLines(odf::Platform& p, w::HANDLE file, int& end) {
  std::vector<std::string> lines;
  std::string line;
  while ((end = p.ReadTextLine(file, line)) == 1) lines.push_back(line);
  return lines;
}

// Line reading is this layer's own code on top of ReadFile, read in chunks of 4 KiB.
void TextLines(odf::Platform& p) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> lines;
  };
  const std::string chunkLess1(4095, 'x');
  const std::string longLine(10000, 'z');
  const Case cases[] = {
      {"CR LF lines", "a\r\nbc\r\n", {"a", "bc"}},
      {"LF lines, the last one without a break", "a\nbc", {"a", "bc"}},
      {"empty lines kept", "\r\n\n:x\r\n", {"", "", ":x"}},
      {"a lone CR stays in its line", "a\rb\r\n", {"a\rb"}},
      {"CR LF split across two reads", chunkLess1 + "\r\ny\r\n", {chunkLess1, "y"}},
      {"a line longer than a read", longLine + "\r\nend", {longLine, "end"}},
      {"an empty file", "", {}},
  };
  for (const auto& c : cases) {
    const std::string what = std::string("text lines, ") + c.name + ": ";
    if (!WriteFileBytes("lines.txt", c.bytes)) {
      Check(false, what + "cannot write lines.txt");
      continue;
    }
    const w::HANDLE file = OpenForReading(p, "lines.txt");
    Check(file != ours::kInvalidHandle, what + "the file opens");
    int end = 0;
    const std::vector<std::string> got = ReadLines(p, file, end);
    Check(end == 0 && got == c.lines, what + "got " + Shown(got) + " ending " +
                                          std::to_string(end) + ", expected " + Shown(c.lines));
    std::string line;
    Check(p.ReadTextLine(file, line) == 0, what + "the end of the file stays");
    p.CloseHandle(file);
  }

  // A handle value is reused once closed: the next file must not start with
  // what was left unread of the previous one.
  WriteFileBytes("first.txt", "one\r\ntwo\r\n");
  WriteFileBytes("second.txt", "three\r\n");
  w::HANDLE file = OpenForReading(p, "first.txt");
  std::string line;
  p.ReadTextLine(file, line);
  p.CloseHandle(file);
  file = OpenForReading(p, "second.txt");
  int end = 0;
  const std::vector<std::string> got = ReadLines(p, file, end);
  Check(got == std::vector<std::string>{"three"},
        "text lines after a closed handle: got " + Shown(got));
  p.CloseHandle(file);
  ::DeleteFileA("lines.txt");
  ::DeleteFileA("first.txt");
  ::DeleteFileA("second.txt");
}

void Files(odf::Platform& p) {
  const w::HANDLE missing = OpenForReading(p, "no-such-image.104");
  Check(missing == ours::kInvalidHandle, "a missing file does not open");
  Check(p.GetLastError() == ERROR_FILE_NOT_FOUND,
        "a missing file: last error " + std::to_string(p.GetLastError()) + ", expected 2");

  std::string bytes(70000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  WriteFileBytes("whole.bin", bytes);
  const w::HANDLE file = OpenForReading(p, "whole.bin");
  w::DWORD high = 1;
  Check(p.GetFileSize(file, &high) == bytes.size() && high == 0, "GetFileSize, 70000 bytes");
  std::string read(bytes.size() + 10, '\0');
  w::DWORD got = 0;
  Check(p.ReadFile(file, read.data(), static_cast<w::DWORD>(read.size()), &got) != 0 &&
            got == bytes.size() && read.compare(0, got, bytes) == 0,
        "ReadFile reads the whole file, byte for byte");
  Check(p.ReadFile(file, read.data(), 1, &got) != 0 && got == 0, "ReadFile at the end: nothing");
  Check(p.CloseHandle(file) != 0, "CloseHandle of a file");
  ::DeleteFileA("whole.bin");
}

DWORD WINAPI SignalLater(void* event) {
  ::Sleep(50);
  ::SetEvent(static_cast<HANDLE>(event));
  return 0;
}

// The ASPI completion events: auto-reset, unsignalled, waited for with or
// without a limit, and polled with a zero wait.
void Events(odf::Platform& p) {
  const w::HANDLE event = p.CreateEventA(FALSE, FALSE);
  Check(event != 0, "CreateEventA");
  Check(p.WaitForSingleObject(event, 0) == WAIT_TIMEOUT, "an unsignalled event polls as running");
  auto* handle = reinterpret_cast<void*>(event);
  const HANDLE thread = ::CreateThread(nullptr, 0, SignalLater, handle, 0, nullptr);
  Check(p.WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0,
        "an event set by another thread ends the wait");
  Check(p.WaitForSingleObject(event, 0) == WAIT_TIMEOUT, "an auto-reset event is taken by one wait");
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
  Check(p.WaitForSingleObject(event, 20) == WAIT_TIMEOUT, "a limited wait runs out");
  Check(p.CloseHandle(event) != 0, "CloseHandle of an event");

  const w::HANDLE manual = p.CreateEventA(TRUE, TRUE);
  const bool first = p.WaitForSingleObject(manual, 0) == WAIT_OBJECT_0;
  Check(first && p.WaitForSingleObject(manual, 0) == WAIT_OBJECT_0,
        "a manual-reset event stays signalled");
  p.CloseHandle(manual);
}

void Time(odf::Platform& p) {
  Check(p.timeBeginPeriod(1) == TIMERR_NOERROR, "timeBeginPeriod(1)");
  const w::DWORD start = p.timeGetTime();
  p.Sleep(30);
  Check(p.timeGetTime() - start >= 25, "timeGetTime moves on across Sleep(30)");
  Check(p.timeEndPeriod(1) == TIMERR_NOERROR, "timeEndPeriod(1)");
}

constexpr char kTestKey[] = "Software\\OdflshPlatformTest";

void MakeTestKeys() {
  for (const char* sub : {"", "\\Alpha", "\\Beta"}) {
    HKEY key = nullptr;
    const std::string path = std::string(kTestKey) + sub;
    ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr);
    if (*sub == '\0') {
      const BYTE flag = 1;
      ::RegSetValueExA(key, "Flag", 0, REG_BINARY, &flag, 1);
      const char text[] = "SBP2\\MIRO";
      const auto* bytes = reinterpret_cast<const BYTE*>(text);
      ::RegSetValueExA(key, "HardWareKey", 0, REG_SZ, bytes, sizeof text);
    }
    ::RegCloseKey(key);
  }
}

void RemoveTestKeys() {
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kTestKey) + "\\Alpha").c_str());
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kTestKey) + "\\Beta").c_str());
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kTestKey);
}

// The reads of the host checks, under both predefined roots. (Wine takes a
// predefined key by its low 32 bits, so it cannot tell whether the 64-bit
// build widens the key as Windows does; it does, by mapping, not casting.)
void Registry(odf::Platform& p) {
  MakeTestKeys();
  w::HKEY key = 0;
  Check(p.RegOpenKeyExA(ours::kLocalMachine, kTestKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS,
        "RegOpenKeyExA under HKEY_LOCAL_MACHINE");
  w::DWORD subKeys = 0;
  Check(p.RegQueryInfoKeyA(key, &subKeys) == ERROR_SUCCESS && subKeys == 2,
        "RegQueryInfoKeyA counts 2 subkeys");
  std::vector<std::string> names;
  for (w::DWORD i = subKeys; i-- > 0;) {
    char name[256] = {};
    w::DWORD length = sizeof name;
    const w::LONG rc = p.RegEnumKeyExA(key, i, name, &length);
    Check(rc == ERROR_SUCCESS && length == std::strlen(name),
          "RegEnumKeyExA names subkey " + std::to_string(i));
    names.push_back(name);
  }
  const bool both = names == std::vector<std::string>{"Beta", "Alpha"} ||
                    names == std::vector<std::string>{"Alpha", "Beta"};
  Check(both, "RegEnumKeyExA names Alpha and Beta: " + Shown(names));
  char name[256];
  w::DWORD length = sizeof name;
  Check(p.RegEnumKeyExA(key, 2, name, &length) == ERROR_NO_MORE_ITEMS,
        "RegEnumKeyExA past the last subkey");

  w::BYTE flag = 0;
  w::DWORD type = 0;
  w::DWORD flagLength = 1;
  w::LONG rc = p.RegQueryValueExA(key, "Flag", &type, &flag, &flagLength);
  Check(rc == ERROR_SUCCESS && type == REG_BINARY && flag == 1 && flagLength == 1,
        "RegQueryValueExA of a one-byte REG_BINARY");
  char text[1024] = {};
  auto* textBytes = reinterpret_cast<w::BYTE*>(text);
  w::DWORD textLength = sizeof text - 1;
  rc = p.RegQueryValueExA(key, "HardWareKey", &type, textBytes, &textLength);
  Check(rc == ERROR_SUCCESS && type == REG_SZ && textLength == 10 &&
            std::strcmp(text, "SBP2\\MIRO") == 0,
        "RegQueryValueExA of a string counts its terminating zero");
  textLength = 2;
  rc = p.RegQueryValueExA(key, "HardWareKey", &type, textBytes, &textLength);
  Check(rc == ERROR_MORE_DATA && textLength == 10,
        "RegQueryValueExA into a short buffer: more data, and the length needed");
  rc = p.RegQueryValueExA(key, "AutoInsertNotification", &type, &flag, &flagLength);
  Check(rc == ERROR_FILE_NOT_FOUND, "RegQueryValueExA of a missing value");
  Check(p.RegCloseKey(key) == ERROR_SUCCESS, "RegCloseKey");
  RemoveTestKeys();

  Check(p.RegOpenKeyExA(ours::kLocalMachine, kTestKey, 0, KEY_READ, &key) == ERROR_FILE_NOT_FOUND,
        "RegOpenKeyExA of a missing key");
  // Wine keeps the Windows 9x configuration manager's key.
  w::HKEY dynamic = 0;
  rc = p.RegOpenKeyExA(ours::kDynData, "Config Manager\\Enum", 0, KEY_ALL_ACCESS, &dynamic);
  Check(rc == ERROR_SUCCESS, "RegOpenKeyExA under HKEY_DYN_DATA: " + std::to_string(rc));
  if (rc == ERROR_SUCCESS) p.RegCloseKey(dynamic);
}

void Memory(odf::Platform& p) {
  constexpr std::size_t kSize = 2u << 20;
  const w::HGLOBAL memory = p.GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kSize);
  Check(memory != 0, "GlobalAlloc of 2 MiB");
  const auto* bytes = static_cast<const unsigned char*>(p.GlobalLock(memory));
  bool zero = bytes != nullptr;
  for (std::size_t i = 0; zero && i < kSize; i += 4093) zero = bytes[i] == 0;
  Check(zero && bytes[kSize - 1] == 0, "GlobalLock gives zero-filled memory");
  p.GlobalUnlock(memory);
  Check(p.GlobalFree(memory) == 0, "GlobalFree");
}

void Library(odf::Platform& p) {
  Check(p.LoadLibraryA("ODFLSH-NO-SUCH-LAYER.DLL") == 0, "LoadLibraryA of a missing library");
  const w::HMODULE kernel = p.LoadLibraryA("KERNEL32.DLL");
  Check(kernel != 0, "LoadLibraryA of KERNEL32.DLL");
  Check(p.GetProcAddressOrdinal(kernel, 0xFFFE) == 0, "GetProcAddressOrdinal, no such ordinal");
}

void Version(odf::Platform& p) {
  w::OSVERSIONINFOA ours{};
  ours.dwOSVersionInfoSize = sizeof ours;
  OSVERSIONINFOA sdk{};
  sdk.dwOSVersionInfoSize = sizeof sdk;
  Check(p.GetVersionExA(&ours) != 0 && ::GetVersionExA(&sdk) != 0, "GetVersionExA");
  Check(ours.dwPlatformId == sdk.dwPlatformId && ours.dwMajorVersion == sdk.dwMajorVersion &&
            ours.dwMinorVersion == sdk.dwMinorVersion && ours.dwBuildNumber == sdk.dwBuildNumber &&
            std::strcmp(ours.szCSDVersion, sdk.szCSDVersion) == 0,
        "GetVersionExA reports what Windows reports");
}

}  // namespace

int main() {
  // Files are made in a folder of our own, the current one when it is not writable.
  char folder[MAX_PATH] = {};
  if (::GetTempPathA(sizeof folder, folder) != 0) ::SetCurrentDirectoryA(folder);
  const std::unique_ptr<odf::Platform> platform = odf::CreateHostPlatform();
  TextLines(*platform);
  Files(*platform);
  Events(*platform);
  Time(*platform);
  Registry(*platform);
  Memory(*platform);
  Library(*platform);
  Version(*platform);
  if (failures == 0) std::printf("win32 platform: ok\n");
  return failures == 0 ? 0 : 1;
}
