// One simulated drive behind a target_core_user ring: a ring command becomes
// the drive's CommandRecord, its data phase gathered from or scattered into
// the ring's segments, and the drive's reply becomes status and sense.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/drives/sim_drive.h"
#include "sim/tcmu/tcmu_ring.h"

namespace odf::tcmu {

// The simulated drive's time runs this many times faster than real time, as
// in the ASPI fixture, so a 20-second re-flash is answered after 2 seconds;
// replies quicker than kDelayedFromMs (virtual) are answered at once.
inline constexpr std::uint32_t kTimeScale = 10;
inline constexpr std::uint32_t kDelayedFromMs = 100;

// The ring does not say which way the data goes; the opcode does. Only
// commands that carry data to the drive are named; every other one with data
// reads from it.
bool DataOut(std::uint8_t opcode);

// A served command: the answer for the ring and how long to hold it back.
struct Served {
  RingAnswer answer;
  std::uint32_t delayMs = 0;  // real time
};

// Hands the command to the drive at virtual time `nowMs`.
Served ServeCommand(sim::SimDrive& drive, const RingCommand& command, std::uint64_t nowMs);

}  // namespace odf::tcmu
