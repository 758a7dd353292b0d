// Drive discovery and the target table.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>

#include "core/target_table.h"

namespace odf {

struct Context;

// Fills the target table; returns targetCount.
int DiscoverTargets(Context& ctx);

// One drive that answered INQUIRY during discovery, matched or not.
struct ProbedDrive {
  char driveLetter = 0;  // pass-through route
  int hostAdapter = 0;   // ASPI route
  int targetId = 0;      // ASPI route
  std::span<const std::uint8_t> inquiry;
  std::span<const std::uint8_t> driveInfo;  // all zero when its read failed
  int targetIndex = -1;                     // its target table entry, or -1 when no definition serves it
};
using ProbeObserver = std::function<void(const ProbedDrive&)>;

// DiscoverTargets, telling `observer` of every drive as it is probed, so a
// listing sees exactly what a run's discovery sees.
int DiscoverDrives(Context& ctx, const ProbeObserver& observer);

}  // namespace odf
