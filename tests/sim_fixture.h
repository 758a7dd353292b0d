// A fresh simulated PC and a fresh run state around it, for each test, and
// the few set-up steps several test files share. Every PC with drives comes
// from the simulator's one builder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/definition.h"
#include "discovery/discovery.h"
#include "discovery/host.h"
#include "scsi/commands.h"
#include "scsi/transport.h"
#include "sim/cli/sim_options.h"
#include "sim/pc/pc_builder.h"
#include "sim/pc/sim_pc.h"
#include "update/update.h"

namespace odf::testing {

// An empty PC until a test builds on it with sim::PcBuilder.
class SimFixture : public ::testing::Test {
 protected:
  sim::SimPc pc;
  Context ctx{pc};
};

// What the user saw: the texts of the boxes in order, and whether the
// console holds a text.
inline std::vector<std::string> BoxTexts(const sim::SimPc& pc) {
  std::vector<std::string> texts;
  for (const auto& b : pc.Boxes()) texts.push_back(b.text);
  return texts;
}
inline bool ConsoleHas(const sim::SimPc& pc, const std::string& text) {
  return pc.Console().find(text) != std::string::npos;
}

inline sim::SimRoute RouteOf(bool aspi) { return aspi ? sim::SimRoute::Aspi : sim::SimRoute::PassThrough; }

// A fresh simulated PC with one drive, for table rows that each need a PC of
// their own. The builder brings the route and whatever else the row needs.
// Bind its parts with `auto& [pc, ctx, drive] = ...`.
struct OneDrivePc {
  explicit OneDrivePc(std::shared_ptr<sim::Qbc850Drive> d, sim::PcBuilder builder = sim::PcBuilder(),
                      const sim::DrivePlace& place = {})
      : drive(std::move(d)) {
    builder.Drive(drive, place).Build(pc);
  }
  explicit OneDrivePc(const sim::Qbc850Config& config = {}, const sim::PcBuilder& builder = sim::PcBuilder(),
                      const sim::DrivePlace& place = {})
      : OneDrivePc(std::make_shared<sim::Qbc850Drive>(config), builder, place) {}

  sim::SimPc pc;
  Context ctx{pc};
  std::shared_ptr<sim::Qbc850Drive> drive;
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

// The real host checks: route, drivers, buffers and the ASPI layer, as the
// run sets them up before discovery.
inline void RunHostChecks(Context& ctx) { ASSERT_EQ(CheckHostEnvironment(ctx), kSetupDone); }

// The run's port reports an Intel storage driver, whichever route it is.
inline void SetIntelDriver(Context& ctx, std::int32_t kind) {
  if (AspiPort* aspi = AspiPortOf(ctx)) aspi->SetIntelDriver(kind);
  if (PassThroughPort* passThrough = PassThroughPortOf(ctx)) passThrough->SetIntelDriver(kind);
}

// The drive the port's policy names (a volume without address marks it as the bridge).
inline void SetPolicyTarget(Context& ctx, int target) { PortOf(ctx).SetPolicyTarget(target); }

// The placed drives as the target table, in order, with `current` the
// current target: what discovery leaves, for drives a test wants addressed
// whether or not the definition would take them.
inline void UseTargets(Context& ctx, const std::vector<sim::PlacedDrive>& drives, int current = 0) {
  ctx.targets = TargetTable{};
  for (const auto& d : drives) {
    ctx.targets.entries[static_cast<std::size_t>(ctx.targets.targetCount++)] =
        TargetDrive{d.adapter, d.target, d.letter};
  }
  ctx.run.currentTarget = current;
  SetPolicyTarget(ctx, current);
}

// Target `index` of the table as a command addresses it.
inline CommandTarget At(const Context& ctx, int index) { return TargetAt(ctx.targets, index); }

// The run's start-up as far as the loop over the targets: built-in
// definition, host checks, and discovery finding the one drive.
inline void BringUp(Context& ctx) {
  ResetRunState(ctx);
  LoadBuiltInDefinition(ctx);
  ASSERT_NO_FATAL_FAILURE(RunHostChecks(ctx));
  ASSERT_EQ(DiscoverTargets(ctx), 1);
  ctx.run.currentTarget = 0;
}

// BringUp, then the definition selected for target 0 as a procedure would.
inline void BringUpSingleTarget(Context& ctx) {
  ASSERT_NO_FATAL_FAILURE(BringUp(ctx));
  ASSERT_EQ(SelectDefinition(ctx), 0);
}

// A QBC-850 drive with faults as odflsh-sim's fail= takes them, e.g.
// "writebuf/5/ff@0:4/44/0"; `kernel` starts it in its kernel.
inline std::shared_ptr<sim::Qbc850Drive> DriveWithFaults(const std::vector<std::string>& faults,
                                                         bool kernel = false) {
  sim::Qbc850Config config;
  config.kernel = kernel;
  auto drive = std::make_shared<sim::Qbc850Drive>(config);
  for (const std::string& text : faults) {
    sim::FaultRule rule;
    std::string error;
    EXPECT_TRUE(sim::ParseFaultRule(text, rule, error)) << text << ": " << error;
    drive->AddFault(rule);
  }
  return drive;
}

}  // namespace odf::testing
