// The simulated PC that odflsh-sim runs the utility on, built from its options.
#pragma once

#include <vector>

#include "sim/cli/sim_options.h"
#include "sim/pc/pc_builder.h"
#include "sim/pc/sim_pc.h"

namespace odf::sim {

// Sets up the PC's route, code page, answers and drives (each of its model,
// with its fault rules); returns the drives in the order of the options.
std::vector<PlacedDrive> BuildSimPc(const SimOptions& options, SimPc& pc);

}  // namespace odf::sim
