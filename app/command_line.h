// The Linux program's command line. The Windows program, as always,
// reads none.
#pragma once

#include <string>
#include <vector>

namespace odf {

enum class Request { Run, List, Help, Version, Refused };

struct CommandLine {
  Request request = Request::Run;
  bool json = false;   // --list --json
  int yesCount = 0;    // --yes given once or twice (more count as twice)
  std::string problem;  // why the line was refused
};

// Every argument is read before anything is done, so "--help --bogus" does
// nothing but refuse.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// An argument as a refusal echoes it: control and other non-ASCII bytes and
// the backslash as \xNN, at most 200 characters (a longer one cut, with "...").
std::string ShownArgument(const std::string& argument);

}  // namespace odf
