// A fresh simulated PC and a fresh run state around it, for each test, and
// the few set-up steps several test files share.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "core/context.h"
#include "core/definition.h"
#include "discovery/discovery.h"
#include "discovery/host.h"
#include "scsi/commands.h"
#include "sim/sim_pc.h"
#include "update/update.h"

namespace odf::testing {

class SimFixture : public ::testing::Test {
 protected:
  sim::SimPc pc;
  Context ctx{pc};
};

// Question 82 for the default drive (1.00, 07/12/01) and the default image (1.04, 08/01/10).
inline constexpr const char* kDefaultQuestion82 =
    "\r\nDo you want to update the F/W\r\nFrom : KESTREL BD-ROM  QBC-850  1.00  (2007/12/01)"
    "\r\nTo : KESTREL BD-ROM  QBC-850  1.04  (2008/01/10)";

// A CHECK CONDITION on the given occurrence of a command (by opcode, and for
// READ/WRITE BUFFER optionally by mode and buffer id).
inline sim::FaultRule SenseFault(std::uint8_t opcode, int occurrence, std::uint8_t key,
                                 std::uint8_t asc = 0, std::uint8_t ascq = 0,
                                 std::optional<std::uint8_t> mode = std::nullopt,
                                 std::optional<std::uint8_t> buffer = std::nullopt) {
  sim::FaultRule r;
  r.opcode = opcode;
  r.mode = mode;
  r.bufferId = buffer;
  r.occurrence = occurrence;
  r.action = sim::FaultAction::Sense;
  r.key = key;
  r.asc = asc;
  r.ascq = ascq;
  return r;
}

// Puts one drive on the PC: volume D: on the pass-through route, or target 0
// of a plain host adapter under Windows 98 on the ASPI route.
inline void PlaceDrive(sim::SimPc& pc, const std::shared_ptr<sim::SimDrive>& drive, bool aspi,
                       const sim::VolumeOptions& volume = {}) {
  if (aspi) {
    pc.SetWindowsVersion(1, 4, 10);
    pc.InstallAspi();
    pc.AddAdapter("SIM HOST");
    pc.AttachAspiDrive(0, 0, drive);
  } else {
    pc.AddVolume('D', drive, volume);
  }
}

// A fresh simulated PC with one drive placed on it, for table rows that each
// need a PC of their own. Bind its parts with `auto& [pc, ctx, drive] = ...`.
struct OneDrivePc {
  explicit OneDrivePc(std::shared_ptr<sim::Qbc850Drive> d, bool aspi = false,
                      const sim::VolumeOptions& volume = {})
      : drive(std::move(d)) {
    PlaceDrive(pc, drive, aspi, volume);
  }
  explicit OneDrivePc(const sim::Qbc850Config& config = {}, bool aspi = false,
                      const sim::VolumeOptions& volume = {})
      : OneDrivePc(std::make_shared<sim::Qbc850Drive>(config), aspi, volume) {}

  sim::SimPc pc;
  Context ctx{pc};
  std::shared_ptr<sim::Qbc850Drive> drive;
};

// The run's start-up as far as the loop over the targets: built-in
// definition, host checks, and discovery finding the one drive.
inline void BringUp(Context& ctx) {
  ResetRunState(ctx);
  LoadBuiltInDefinition(ctx);
  CheckHostEnvironment(ctx);
  ASSERT_EQ(DiscoverTargets(ctx), 1);
  ctx.run.currentTarget = 0;
}

// BringUp, then the definition selected for target 0 as a procedure would.
inline void BringUpSingleTarget(Context& ctx) {
  BringUp(ctx);
  ASSERT_EQ(SelectDefinition(ctx), 0);
}

}  // namespace odf::testing
