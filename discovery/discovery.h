// Drive discovery and the target table.
#pragma once

#include <array>
#include <cstdint>

#include "core/target_table.h"

namespace odf {

struct Context;

// Fills the target table; returns targetCount.
int DiscoverTargets(Context& ctx);

}  // namespace odf
