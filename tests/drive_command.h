// A command as a simulated drive receives it, for the tests that drive a
// model directly, without a host in between.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>

#include "sim/drives/sim_drive.h"

namespace odf::testing {

// direction: 0 none, 1 in, 2 out (as CommandRecord counts them).
inline sim::CommandRecord Command(std::initializer_list<std::uint8_t> cdb, int direction = 0,
                                  std::uint32_t length = 0) {
  sim::CommandRecord r;
  std::copy(cdb.begin(), cdb.end(), r.cdb.begin());
  r.cdbLength = static_cast<int>(cdb.size());
  r.direction = direction;
  r.length = length;
  return r;
}

}  // namespace odf::testing
