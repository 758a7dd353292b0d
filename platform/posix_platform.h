// The native Linux layer: the small pure pieces behind it, kept apart so that
// they can be tested without a terminal or a locale installed.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_drive_node.h"

namespace odf::posix {

// The locale the console runs under: the first of LC_ALL, LC_MESSAGES and
// LANG that is set and not empty, or "" when none is.
std::string EffectiveLocale(const char* lcAll, const char* lcMessages, const char* lang);

// 932 for a Japanese locale ("ja..."), 437 otherwise.
UINT CodePageForLocale(const std::string& locale);

// True when the locale's codeset (after '.', before '@') is UTF-8.
bool IsUtf8Codeset(const std::string& locale);

// Converts code page 932 bytes to UTF-8. A byte sequence that is not cp932
// is passed through unchanged, so nothing the program prints is lost.
std::string Cp932ToUtf8(const std::string& bytes);

// The answer to a question box of the given type (MB_YESNO or MB_OKCANCEL)
// from the line the user typed; no line (end of input, or no terminal to
// ask on) answers No or Cancel.
int AnswerFromLine(UINT type, const std::optional<std::string>& line);

// How the system is kept awake through an update window (logind's inhibitor
// lock on a real host): `take` asks for it (false, with the problem in words,
// when it cannot be had), `release` lets it go. Without them nothing is asked.
struct SystemAwake {
  std::function<bool(const std::string& why, std::string& problem)> take;
  std::function<void()> release;
};

// How the console is reached: the streams, whether the input is a person at
// a terminal, and the console's code page and codeset. Standard output
// carries only the program's console text; message boxes and this layer's own
// notices go to `err` (standard error when null).
struct ConsoleSetup {
  std::FILE* in = nullptr;
  std::FILE* out = nullptr;
  bool interactive = false;
  UINT codePage = 437;
  bool utf8 = false;
  std::FILE* err = nullptr;
  // Root: a refusal by the kernel is then not for want of privilege.
  bool privileged = false;
  HostPaths paths{};
  SystemAwake awake{};
};

// What a refusal for want of privilege should advise.
std::string PermissionAdvice(bool privileged);

// Why a firmware file cannot be read, for one line on standard error: the
// errno of its open, or 0 with the kind of what was opened.
enum class FileTrouble { OpenFailed, Folder, NotRegular, Empty };
std::string FileTroubleText(FileTrouble trouble, int error);

// True when any device node the drive letters stand for (/dev/sr0 to
// /dev/sr22) exists.
bool AnyOpticalDeviceNode();

// Gives back the media polling that odflsh runs which ended early (killed)
// left suspended; one line of text for each drive concerned.
std::vector<std::string> GiveBackLeftPolling(const HostPaths& paths = {});

// The console setup of this process, from its environment and stdin/stdout.
ConsoleSetup ConsoleFromEnvironment();

std::unique_ptr<Platform> CreatePosixPlatform(const ConsoleSetup& console);

}  // namespace odf::posix
