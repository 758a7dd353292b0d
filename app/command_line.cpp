#include "app/command_line.h"

#include <utility>

#include "app/escaped_text.h"

namespace odf {

namespace {

constexpr int kMostYes = 2;  // the second --yes also answers the irreversible question
constexpr std::size_t kMostShown = 200;  // characters of an argument echoed back
constexpr char kCut[] = "...";

CommandLine Refused(std::string problem) {
  CommandLine line;
  line.request = Request::Refused;
  line.problem = std::move(problem);
  return line;
}

}  // namespace

// Anything may be typed or pasted as an argument, escape sequences and
// megabytes included; what is echoed is short and cannot act on the terminal.
std::string ShownArgument(const std::string& argument) {
  const std::string whole = EscapedText(argument);
  if (whole.size() <= kMostShown) return whole;
  std::string shown;
  for (const char c : argument) {
    const std::string piece = EscapedText({&c, 1});  // an escape is never split
    if (shown.size() + piece.size() > kMostShown - (sizeof kCut - 1)) break;
    shown += piece;
  }
  return shown + kCut;
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  bool help = false;
  bool version = false;
  bool list = false;
  CommandLine line;
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      help = true;
    } else if (argument == "--version") {
      version = true;
    } else if (argument == "--list") {
      list = true;
    } else if (argument == "--json") {
      line.json = true;
    } else if (argument == "--yes") {
      if (line.yesCount < kMostYes) ++line.yesCount;
    } else {
      return Refused("unknown argument '" + ShownArgument(argument) + "'");
    }
  }
  if (help) {
    line.request = Request::Help;
  } else if (version) {
    line.request = Request::Version;
  } else if (line.json && !list) {
    return Refused("--json goes with --list");
  } else if (list && line.yesCount > 0) {
    // A listing asks nothing; a --yes there is a script that means something else.
    return Refused("--yes answers the questions of an update; --list asks none");
  } else if (list) {
    line.request = Request::List;
  }
  return line;
}

}  // namespace odf
