// A fresh simulated PC and a fresh run state around it, for each test.
#pragma once

#include <gtest/gtest.h>

#include "app/context.h"
#include "sim/sim_pc.h"

namespace odf::testing {

class SimFixture : public ::testing::Test {
 protected:
  sim::SimPc pc;
  Context ctx{pc};
};

}  // namespace odf::testing
