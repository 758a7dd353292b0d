#include "app/command_line.h"

#include <utility>

namespace odf {

namespace {

constexpr int kMostYes = 2;  // the second --yes also answers the irreversible question

CommandLine Refused(std::string problem) {
  CommandLine line;
  line.request = Request::Refused;
  line.problem = std::move(problem);
  return line;
}

}  // namespace

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
      return Refused("unknown argument '" + argument + "'");
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
