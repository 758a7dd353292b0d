// One run of the utility: start-up, discovery, the loop over the targets.
#pragma once

#include <functional>

#include "core/definition.h"

namespace odf {

struct Context;

// The version the banner announces: 2.27A.
struct ProgramVersion {
  int major;
  int minor;
  char letter;
};
inline constexpr ProgramVersion kProgramVersion{2, 27, 'A'};

// The steps the run loop calls. They default to the real ones; tests of the
// loop replace them with fakes, and the simulator and the test programs give
// the run another definition table in place of the built-in one.
struct RunSteps {
  std::function<int(Context&)> loadDefinitions = LoadBuiltInDefinition;
  std::function<int(Context&)> checkHost;
  std::function<int(Context&)> discover;
  std::function<int(Context&)> familyZero;
  std::function<int(Context&)> familyOne;
  std::function<int(Context&)> familyFour;
};

RunSteps DefaultRunSteps();

// Returns the process exit code.
int RunUpdate(Context& ctx, const RunSteps& steps = DefaultRunSteps());

// The start of a run, up to discovery: run state, banner, code page,
// definitions and host checks. False when the host refused the shared
// buffers, so that no step may touch a drive.
bool StartRun(Context& ctx, const RunSteps& steps);

}  // namespace odf
