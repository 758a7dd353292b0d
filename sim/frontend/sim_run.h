// One run of the utility on a simulated PC, as odflsh-sim makes it. For the
// programs built on the simulator (odflsh-sim, the fuzz targets, the
// benchmark), so that the run loop is reached through the front end only.
#pragma once

#include <vector>

#include "core/definition.h"

namespace odf {
struct Context;
}

namespace odf::sim {

// Runs the utility on ctx's PC with `definitions` in place of the built-in
// table (an empty list keeps the built-in one); returns the exit code.
int RunWithDefinitions(Context& ctx, const std::vector<UpdateDefinition>& definitions);

}  // namespace odf::sim
