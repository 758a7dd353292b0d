// The drives discovery found; an entry's index is the target index used everywhere.
#pragma once

#include <array>
#include <cstdint>

namespace odf {

struct TargetDrive {
  std::int32_t hostAdapter = 0;
  std::int32_t targetId = 0;
  char driveLetter = 0;
};

inline constexpr int kTargetSlots = 256;

struct TargetTable {
  std::array<TargetDrive, kTargetSlots> entries{};
  std::int32_t targetCount = 0;
};

}  // namespace odf
