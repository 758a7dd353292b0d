// The lines odflsh-sim writes to standard error about a run: message boxes,
// the commands the drives received, and each drive's final state. Each line
// ends with a newline.
#pragma once

#include <string>

#include "sim/drives/sim_drive.h"
#include "sim/pc/pc_builder.h"
#include "sim/pc/sim_pc.h"

namespace odf::sim {

std::string EscapeText(const std::string& text);
std::string FormatBox(const BoxRecord& box);
std::string FormatCommand(const std::string& label, const CommandRecord& record);
std::string FormatDriveReport(const PlacedDrive& placed);

}  // namespace odf::sim
