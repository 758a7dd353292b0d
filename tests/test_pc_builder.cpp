// The simulator's PC builder as the utility meets its PC: the route, the ASPI
// layer and the adapters the real host checks find, the drives where
// discovery finds them, and the console's answers and code page.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace odf::testing {
namespace {

using sim::PcBuilder;
using sim::SimRoute;

std::array<std::uint8_t, 16> Identifier(const std::string& text) {
  std::array<std::uint8_t, 16> id{};
  std::memcpy(id.data(), text.data(), text.size());
  return id;
}

TEST(PcBuilder, HostChecksFindTheRouteAndAdaptersBuilt) {
  const auto drive = std::make_shared<sim::Qbc850Drive>();
  struct Case {
    const char* name;
    PcBuilder builder;
    int setup;
    TransportRoute route;
    std::vector<std::string> adapters;  // identifiers the host checks read
  };
  const Case cases[] = {
      {"pass-through", PcBuilder(), kSetupDone, TransportRoute::PassThrough, {}},
      {"ASPI: one plain adapter", PcBuilder(SimRoute::Aspi), kSetupDone, TransportRoute::Aspi, {"SIM HOST"}},
      {"ASPI: plain adapters up to the drive's",
       PcBuilder(SimRoute::Aspi).Drive(drive, {.adapter = 2}), kSetupDone, TransportRoute::Aspi,
       {"SIM HOST", "SIM HOST", "SIM HOST"}},
      {"ASPI: named adapters first",
       PcBuilder(SimRoute::Aspi).Adapter("AHA-2940").Drive(drive, {.adapter = 2}), kSetupDone,
       TransportRoute::Aspi, {"AHA-2940", "SIM HOST", "SIM HOST"}},
      {"ASPI: only the named adapters", PcBuilder(SimRoute::Aspi).Adapters({"ESDI_506", "AHA-2940"}),
       kSetupDone, TransportRoute::Aspi, {"ESDI_506", "AHA-2940"}},
      {"ASPI without its layer", PcBuilder(SimRoute::Aspi).WithoutAspiLayer(), kSetupNoAspiLayer,
       TransportRoute::Aspi, {}},
      {"ASPI layer on an NT version", PcBuilder(SimRoute::Aspi).Windows(2, 5, 1), kSetupDone,
       TransportRoute::PassThrough, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc pc;
    Context ctx(pc);
    c.builder.Build(pc);
    EXPECT_EQ(CheckHostEnvironment(ctx), c.setup);
    EXPECT_EQ(RouteTraits(ctx).route, c.route);
    ASSERT_EQ(ctx.host.adapterCount, c.adapters.size());
    for (std::size_t i = 0; i < c.adapters.size(); ++i) {
      EXPECT_EQ(ctx.host.identifiers[i], Identifier(c.adapters[i])) << "adapter " << i;
    }
    EXPECT_EQ(pc.Console(), "");
    ReleaseHostEnvironment(ctx);
  }
}

// The host set-ups odflsh-sim offers as --host, as the real host checks read them.
TEST(PcBuilder, HostSetupsAreWhatTheHostChecksFind) {
  const auto drive = std::make_shared<sim::Qbc850Drive>();
  struct Case {
    const char* name;
    PcBuilder builder;
    std::int32_t intelDriverKind;
    std::int32_t bridgeIndex;
    std::vector<std::string> adapters;
    std::string console;
  };
  const std::string intel = "\r\nDetect the Intel's IDE driver.";
  const std::string bridge = "\r\nDetect the IEEE1394 interface.";
  const Case cases[] = {
      {"intelata without drives", PcBuilder(SimRoute::Aspi).Host({.intelAta = true}), 1, -1, {"intelata"}, intel},
      {"intelata where the drive sits",
       PcBuilder(SimRoute::Aspi).Host({.intelAta = true}).Drive(drive, {.adapter = 1}), 1, -1,
       {"SIM HOST", "intelata"}, intel},
      {"bridge on adapter 2", PcBuilder(SimRoute::Aspi).Host({.bridgeAdapter = 2}).Drive(drive), 0, 2,
       {"SIM HOST", "SIM HOST", "NTMAPHLP"}, bridge},
      {"intelata and a bridge beside it",
       PcBuilder(SimRoute::Aspi).Host({.intelAta = true, .bridgeAdapter = 1}).Drive(drive), 1, 1,
       {"intelata", "NTMAPHLP"}, intel + bridge},
      {"a named adapter keeps its name",
       PcBuilder(SimRoute::Aspi).Adapter("AHA-2940").Host({.intelAta = true}).Drive(drive), 0, -1, {"AHA-2940"},
       ""},
      {"application accelerator", PcBuilder().Host({.applicationAccelerator = true}), 2, -1, {}, intel},
      {"ultra ATA driver", PcBuilder().Host({.ultraAtaDriver = true}), 1, -1, {}, intel},
      {"both Intel keys", PcBuilder().Host({.applicationAccelerator = true, .ultraAtaDriver = true}), 1, -1, {},
       intel + intel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc pc;
    Context ctx(pc);
    c.builder.Build(pc);
    ASSERT_EQ(CheckHostEnvironment(ctx), kSetupDone);
    EXPECT_EQ(RouteTraits(ctx).intelDriverKind, c.intelDriverKind);
    EXPECT_EQ(RouteTraits(ctx).bridgeIndex, c.bridgeIndex);
    ASSERT_EQ(ctx.host.adapterCount, c.adapters.size());
    for (std::size_t i = 0; i < c.adapters.size(); ++i) {
      EXPECT_EQ(ctx.host.identifiers[i], Identifier(c.adapters[i])) << "adapter " << i;
    }
    EXPECT_EQ(pc.Console(), c.console);
    ReleaseHostEnvironment(ctx);
  }
}

std::string LabelOf(SimRoute route, const TargetDrive& t) {
  return route == SimRoute::Aspi ? std::to_string(t.hostAdapter) + ":" + std::to_string(t.targetId)
                                 : std::string(1, t.driveLetter) + ":";
}

// Unplaced drives take the next free place in the order given; discovery
// then finds each drive at the address the builder reports for it.
TEST(PcBuilder, DrivesSitWhereDiscoveryFindsThem) {
  struct Case {
    const char* name;
    SimRoute route;
    std::vector<sim::DrivePlace> places;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      {"letters from D, explicit ones skipped", SimRoute::PassThrough,
       {{}, {.letter = 'D'}, {}, {.letter = 'H'}}, {"E:", "D:", "F:", "H:"}},
      {"targets from 0 on adapter 0, explicit ones skipped", SimRoute::Aspi,
       {{}, {.target = 0}, {.adapter = 1}, {.adapter = 1, .target = 5}}, {"0:1", "0:0", "1:0", "1:5"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PcBuilder builder(c.route);
    for (const auto& place : c.places) builder.Drive(std::make_shared<sim::Qbc850Drive>(), place);
    sim::SimPc pc;
    Context ctx(pc);
    const auto placed = builder.Build(pc);
    LoadBuiltInDefinition(ctx);
    ASSERT_NO_FATAL_FAILURE(RunHostChecks(ctx));
    ASSERT_EQ(DiscoverTargets(ctx), static_cast<int>(c.labels.size()));

    ASSERT_EQ(placed.size(), c.labels.size());
    for (std::size_t i = 0; i < placed.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(placed[i].label, c.labels[i]);
      EXPECT_EQ(LabelOf(c.route, TargetDrive{placed[i].adapter, placed[i].target, placed[i].letter}), c.labels[i]);
    }
    // Discovery goes through the letters and addresses in order.
    std::vector<std::string> found;
    for (int i = 0; i < ctx.targets.targetCount; ++i) {
      found.push_back(LabelOf(c.route, ctx.targets.entries[static_cast<std::size_t>(i)]));
    }
    std::vector<std::string> expected = c.labels;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
  }
}

TEST(PcBuilder, DrivesThatCannotBePlacedAreRefused) {
  auto drive = std::make_shared<sim::Qbc850Drive>();
  struct Case {
    const char* name;
    PcBuilder builder;
  };
  const Case cases[] = {
      {"one letter twice", PcBuilder().Drive(drive, {.letter = 'E'}).Drive(drive, {.letter = 'E'})},
      {"one target twice", PcBuilder(SimRoute::Aspi).Drive(drive, {.target = 3}).Drive(drive, {.target = 3})},
      {"intelata on the pass-through route", PcBuilder().Host({.intelAta = true})},
      {"a bridge adapter on the pass-through route", PcBuilder().Host({.bridgeAdapter = 0})},
      {"a bridge where an intelata drive sits",
       PcBuilder(SimRoute::Aspi).Host({.intelAta = true, .bridgeAdapter = 0}).Drive(drive)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc pc;
    EXPECT_THROW(c.builder.Build(pc), std::invalid_argument);
  }
}

TEST(PcBuilder, ConsoleAnswersAndCodePage) {
  sim::SimPc pc;
  PcBuilder().CodePage(932).Answers({win::IDNO, win::IDYES}).Build(pc);
  EXPECT_EQ(pc.GetOEMCP(), 932u);
  EXPECT_EQ(pc.MessageBoxA(0, "first", "ODFLSH", win::MB_YESNO), win::IDNO);
  EXPECT_EQ(pc.MessageBoxA(0, "second", "ODFLSH", win::MB_YESNO), win::IDYES);
}

}  // namespace
}  // namespace odf::testing
