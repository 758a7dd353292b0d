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

// What discovery made of one drive it reached.
enum class ProbeFinding {
  Identified,          // a whole identity; targetIndex says whether a definition serves it
  IncompleteIdentity,  // vendor, product or revision missing or not printable: never a target
  Busy,                // another odflsh is updating it: it was sent nothing
};

// One drive discovery reached: one that answered INQUIRY, matched or not, or
// one another odflsh holds.
struct ProbedDrive {
  ProbeFinding finding = ProbeFinding::Identified;
  char driveLetter = 0;  // pass-through route
  int hostAdapter = 0;   // ASPI route
  int targetId = 0;      // ASPI route
  std::span<const std::uint8_t> inquiry;    // empty for a busy drive
  std::span<const std::uint8_t> driveInfo;  // all zero when its read failed
  int targetIndex = -1;                     // its target table entry, or -1 when no definition serves it
};
using ProbeObserver = std::function<void(const ProbedDrive&)>;

// DiscoverTargets, telling `observer` of every drive as it is probed, so a
// listing sees exactly what a run's discovery sees.
int DiscoverDrives(Context& ctx, const ProbeObserver& observer);

}  // namespace odf
