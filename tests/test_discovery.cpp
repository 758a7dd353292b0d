// Drive discovery on both routes: which drives are probed, which become
// targets, and the media-notification handles of the pass-through route.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/definition.h"
#include "core/drive_fields.h"
#include "discovery/discovery.h"
#include "discovery/drive_lock.h"
#include "discovery/host.h"
#include "sim/drives/reply_script_drive.h"
#include "sim/drives/sim_drive.h"
#include "sim_fixture.h"

namespace odf::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::shared_ptr<sim::Qbc850Drive> MatchingDrive(std::uint8_t peripheralType = 5) {
  auto drive = std::make_shared<sim::Qbc850Drive>();
  drive->peripheralType = peripheralType;
  return drive;
}

std::shared_ptr<sim::Qbc850Drive> OtherModel() {
  sim::Qbc850Config config;
  config.product = "DVD-ROM  QDV-120 ";
  return std::make_shared<sim::Qbc850Drive>(config);
}

sim::FaultRule DriveInfoFails() {
  sim::FaultRule rule;
  rule.opcode = 0x3C;
  rule.bufferId = 0xF1;
  rule.occurrence = 0;
  rule.key = 5;
  rule.asc = 0x24;
  return rule;
}

std::vector<char> TargetLetters(const Context& ctx) {
  std::vector<char> letters;
  for (int i = 0; i < ctx.targets.targetCount; ++i) letters.push_back(ctx.targets.entries[i].driveLetter);
  return letters;
}

std::vector<std::pair<int, int>> TargetAddresses(const Context& ctx) {
  std::vector<std::pair<int, int>> addresses;
  for (int i = 0; i < ctx.targets.targetCount; ++i) {
    addresses.emplace_back(ctx.targets.entries[i].hostAdapter, ctx.targets.entries[i].targetId);
  }
  return addresses;
}

std::vector<std::pair<char, int>> McnCalls(const sim::SimPc& pc) {
  std::vector<std::pair<char, int>> calls;
  for (const auto& r : pc.McnLog()) calls.emplace_back(r.driveLetter, r.flag);
  return calls;
}

class DiscoveryTest : public SimFixture {
 protected:
  void SetUp() override { LoadBuiltInDefinition(ctx); }
};

// ---- pass-through route ----------------------------------------------------

TEST_F(DiscoveryTest, PassThroughProbesFromDAndKeepsMatchingDrives) {
  auto c = MatchingDrive();
  auto e = OtherModel();
  auto g = MatchingDrive();
  auto z = MatchingDrive();
  sim::PcBuilder()
      .Drive(c, {.letter = 'C'})
      .Drive(e, {.letter = 'E'})
      .Drive(nullptr, {.letter = 'F'})  // opens, answers nothing
      .Drive(g, {.letter = 'G'})
      .Drive(MatchingDrive(), {.letter = 'H', .volume = {.openFails = true}})
      .Drive(z, {.letter = 'Z'})
      .Build(pc);
  ASSERT_EQ(CheckHostEnvironment(ctx), kSetupDone);
  ctx.run.currentTarget = 7;

  EXPECT_EQ(DiscoverTargets(ctx), 2);
  EXPECT_EQ(ctx.targets.targetCount, 2);
  EXPECT_THAT(TargetLetters(ctx), ElementsAre('G', 'Z'));
  EXPECT_EQ(ctx.targets.entries[0].hostAdapter, 0);
  EXPECT_EQ(ctx.targets.entries[0].targetId, 0);
  EXPECT_EQ(ctx.run.currentTarget, 1);
  EXPECT_TRUE(c->log.empty());
  EXPECT_FALSE(e->log.empty());
  EXPECT_EQ(pc.Console(), "");

  // E, G and Z are CD/DVD-class: each keeps a notification handle open, and
  // every volume opened for probing is closed again.
  EXPECT_THAT(McnCalls(pc), ElementsAre(std::pair{'E', 0}, std::pair{'G', 0}, std::pair{'Z', 0}));
  EXPECT_EQ(ctx.host.mediaNotificationCount, 3);
  EXPECT_EQ(pc.OpenHandles(), 3);

  ReleaseHostEnvironment(ctx);
  EXPECT_THAT(McnCalls(pc), ElementsAre(std::pair{'E', 0}, std::pair{'G', 0}, std::pair{'Z', 0},
                                        std::pair{'E', 0}, std::pair{'G', 0}, std::pair{'Z', 0}));
  EXPECT_EQ(pc.LiveAllocations(), 0);
  ReleaseHostEnvironment(ctx);
  EXPECT_EQ(pc.McnLog().size(), 6u);
}

TEST_F(DiscoveryTest, NotificationHandleOnlyForWriteOnceAndCdDvdDevices) {
  struct Case {
    std::uint8_t peripheralType;
    bool handle;
  };
  const Case cases[] = {{0, false}, {4, true}, {5, true}, {7, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.peripheralType));
    sim::SimPc host;
    Context run(host);
    LoadBuiltInDefinition(run);
    sim::PcBuilder().Drive(MatchingDrive(c.peripheralType), {.letter = 'F'}).Build(host);
    ASSERT_EQ(CheckHostEnvironment(run), kSetupDone);

    EXPECT_EQ(DiscoverTargets(run), 1);  // matched whatever its type
    EXPECT_THAT(TargetLetters(run), ElementsAre('F'));
    EXPECT_EQ(host.McnLog().size(), c.handle ? 1u : 0u);
    EXPECT_EQ(run.host.mediaNotificationCount, c.handle ? 1 : 0);
    ReleaseHostEnvironment(run);
    EXPECT_EQ(host.McnLog().size(), c.handle ? 2u : 0u);
  }
}

TEST_F(DiscoveryTest, FailedDriveInformationReadMatchesOnZeros) {
  // A family 0x10xx definition needs its tag in drive-information bytes
  // 32-39; the drives carry it there.
  struct Case {
    const char* name;
    std::int32_t familyCode;
    bool secondReadFails;
    std::vector<char> targets;
  };
  const Case cases[] = {
      {"family four: identity alone decides", 0x4003, true, {'E', 'G'}},
      {"family one, both read", 0x1003, false, {'E', 'G'}},
      {"family one: no stale information from E", 0x1003, true, {'E'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc host;
    Context run(host);
    LoadBuiltInDefinition(run);
    run.definitions.entries[0].familyCode = c.familyCode;
    sim::Qbc850Config config;
    config.normalName = "KES_ADV ";
    auto e = std::make_shared<sim::Qbc850Drive>(config);
    auto g = std::make_shared<sim::Qbc850Drive>(config);
    if (c.secondReadFails) g->AddFault(DriveInfoFails());
    sim::PcBuilder().Drive(e, {.letter = 'E'}).Drive(g, {.letter = 'G'}).Build(host);
    ASSERT_EQ(CheckHostEnvironment(run), kSetupDone);

    EXPECT_EQ(DiscoverTargets(run), static_cast<int>(c.targets.size()));
    EXPECT_THAT(TargetLetters(run), ElementsAreArray(c.targets));
    if (c.secondReadFails) {
      EXPECT_TRUE(std::all_of(run.driveInfo.begin(), run.driveInfo.end(), [](auto b) { return b == 0; }));
    }
    ReleaseHostEnvironment(run);
  }
}

TEST_F(DiscoveryTest, ShortInquiryIsNeverTakenForTheDriveProbedBefore) {
  // D answers in full; E sends only the first bytes of its INQUIRY reply, so
  // without the clearing, E would read as D and be taken for a target.
  struct Case {
    bool aspi;
    std::uint8_t sent;  // bytes of E's reply
    int targets;
  };
  const Case cases[] = {
      {false, 0, 1}, {false, 8, 1}, {false, 31, 1}, {false, 96, 2},
      {true, 0, 1},  {true, 16, 1}, {true, 96, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.aspi ? "aspi, " : "pass-through, ") << int{c.sent} << " bytes");
    sim::SimPc host;
    Context run(host);
    LoadBuiltInDefinition(run);
    const std::vector<std::uint8_t> script = {static_cast<std::uint8_t>(sim::ScriptedReply::Short), c.sent};
    auto e = std::make_shared<sim::ReplyScriptDrive>(MatchingDrive(), script);
    sim::PcBuilder(RouteOf(c.aspi)).Drive(MatchingDrive()).Drive(e).Build(host);
    ASSERT_EQ(CheckHostEnvironment(run), kSetupDone);

    EXPECT_EQ(DiscoverTargets(run), c.targets);
    // E was probed last: past its reply, the data buffer holds nothing of D's.
    const std::uint8_t* reply = run.host.dataBuffer.data;
    EXPECT_TRUE(std::all_of(reply + c.sent, reply + kInquirySize, [](auto b) { return b == 0; }));
    ReleaseHostEnvironment(run);
  }
}

// A drive whose identity lacks a field, or carries bytes no drive reports
// there, is probed like any other but never taken for a target, on either
// route: a run would switch it into its kernel and could not tell what it
// runs afterwards.
TEST_F(DiscoveryTest, OnlyAWholeIdentityBecomesATarget) {
  struct Case {
    const char* name;
    void (*change)(sim::Qbc850Config&);
    int sent;  // bytes of the INQUIRY reply the host gets; 96: all
    ProbeFinding finding;
  };
  const Case cases[] = {
      {"whole", [](sim::Qbc850Config&) {}, 96, ProbeFinding::Identified},
      {"cut before the revision", [](sim::Qbc850Config&) {}, 32, ProbeFinding::IncompleteIdentity},
      {"cut inside the revision", [](sim::Qbc850Config&) {}, 34, ProbeFinding::IncompleteIdentity},
      {"revision of zero bytes", [](sim::Qbc850Config& c) { c.revision = std::string(4, '\0'); }, 96,
       ProbeFinding::IncompleteIdentity},
      {"vendor ending in a zero byte", [](sim::Qbc850Config& c) { c.vendor = std::string("KESTREL\0", 8); }, 96,
       ProbeFinding::IncompleteIdentity},
      {"control byte in the product", [](sim::Qbc850Config& c) { c.product = "BD-ROM  QBC-850\x1b"; }, 96,
       ProbeFinding::IncompleteIdentity},
  };
  for (const bool aspi : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << (aspi ? "aspi, " : "pass-through, ") << c.name);
      sim::SimPc host;
      Context run(host);
      LoadBuiltInDefinition(run);
      sim::Qbc850Config config;
      c.change(config);
      std::vector<std::uint8_t> script;
      if (c.sent < 96) script = {static_cast<std::uint8_t>(sim::ScriptedReply::Short), static_cast<std::uint8_t>(c.sent)};
      auto drive = std::make_shared<sim::ReplyScriptDrive>(std::make_shared<sim::Qbc850Drive>(config), script);
      sim::PcBuilder(RouteOf(aspi)).Drive(drive).Build(host);
      ASSERT_EQ(CheckHostEnvironment(run), kSetupDone);

      std::vector<ProbeFinding> findings;
      const int expected = c.finding == ProbeFinding::Identified ? 1 : 0;
      EXPECT_EQ(DiscoverDrives(run, [&](const ProbedDrive& d) {
                  findings.push_back(d.finding);
                  EXPECT_EQ(d.targetIndex, expected - 1);
                }),
                expected);
      EXPECT_THAT(findings, ElementsAre(c.finding));
      // The INQUIRY and the drive-information read, nothing else.
      EXPECT_EQ(drive->log.size(), 2u);
      ReleaseHostEnvironment(run);
    }
  }
}

// ---- the drive's lock on the pass-through route ------------------------------

// A drive that notes, for every command it receives, how its volume is locked.
class LockWatchingDrive : public sim::Qbc850Drive {
 public:
  LockWatchingDrive(const sim::SimPc& pc, char letter) : pc_(pc), letter_(letter) {}
  std::vector<std::string> seen;

 protected:
  sim::DriveReply Execute(const sim::CommandRecord& record, std::uint8_t* data) override {
    seen.push_back(pc_.VolumeLocked(letter_, true) ? "exclusive"
                   : pc_.VolumeLocked(letter_)     ? "shared"
                                                   : "none");
    return Qbc850Drive::Execute(record, data);
  }

 private:
  const sim::SimPc& pc_;
  char letter_;
};

// Each drive is probed under a shared lock of its own volume, which is let go
// before the next drive and before any update asks for its exclusive lock.
TEST_F(DiscoveryTest, EachProbeRunsUnderASharedLock) {
  auto d = std::make_shared<LockWatchingDrive>(pc, 'D');
  auto e = std::make_shared<LockWatchingDrive>(pc, 'E');
  sim::PcBuilder().Drive(d, {.letter = 'D'}).Drive(e, {.letter = 'E'}).Build(pc);
  ASSERT_EQ(CheckHostEnvironment(ctx), kSetupDone);

  EXPECT_EQ(DiscoverTargets(ctx), 2);
  EXPECT_THAT(d->seen, ElementsAre("shared", "shared"));
  EXPECT_THAT(e->seen, ElementsAre("shared", "shared"));
  EXPECT_FALSE(pc.VolumeLocked('D'));
  EXPECT_FALSE(pc.VolumeLocked('E'));
  ReleaseHostEnvironment(ctx);
}

// A drive another odflsh is updating is told to the observer as busy and
// sent nothing; the drives beside it are probed as usual.
TEST_F(DiscoveryTest, ADriveAnotherOdflshUpdatesIsBusy) {
  auto d = MatchingDrive();
  auto e = MatchingDrive();
  sim::PcBuilder().Drive(d, {.letter = 'D', .volume = {.lockedElsewhere = true}}).Drive(e, {.letter = 'E'}).Build(pc);
  ASSERT_EQ(CheckHostEnvironment(ctx), kSetupDone);

  std::vector<std::pair<char, ProbeFinding>> told;
  EXPECT_EQ(DiscoverDrives(ctx, [&](const ProbedDrive& p) {
              told.emplace_back(p.driveLetter, p.finding);
              EXPECT_EQ(p.inquiry.empty(), p.finding == ProbeFinding::Busy);
            }),
            1);
  EXPECT_THAT(told, ElementsAre(std::pair{'D', ProbeFinding::Busy}, std::pair{'E', ProbeFinding::Identified}));
  EXPECT_TRUE(d->log.empty());
  EXPECT_THAT(TargetLetters(ctx), ElementsAre('E'));
  ReleaseHostEnvironment(ctx);
}

// The update's exclusive lock waits while another odflsh only probes the
// drive (its shared lock is held for moments), and leaves the drive alone
// when that lasts beyond any probe, or when another odflsh updates it.
TEST_F(DiscoveryTest, AnUpdateWaitsOutAProbeButNotAnUpdate) {
  struct Case {
    const char* name;
    std::uint64_t probedForMs;  // another odflsh's shared lock, from the moment asked
    bool updatedElsewhere;
    bool taken;
  };
  const Case cases[] = {
      {"free", 0, false, true},
      {"probed for 3 s", 3000, false, true},
      {"probed for a minute", 60000, false, false},
      {"updated elsewhere", 0, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc host;
    Context run(host);
    LoadBuiltInDefinition(run);
    sim::PcBuilder().Drive(MatchingDrive(), {.letter = 'D'}).Build(host);
    ASSERT_EQ(CheckHostEnvironment(run), kSetupDone);
    ASSERT_EQ(DiscoverTargets(run), 1);
    const std::uint64_t asked = host.NowMs();
    host.SetSharedElsewhereUntil('D', asked + c.probedForMs);
    host.SetLockedElsewhere('D', c.updatedElsewhere);
    run.run.currentTarget = 0;
    {
      const DriveLock lock(run);
      EXPECT_EQ(lock.Taken(), c.taken);
      EXPECT_EQ(host.VolumeLocked('D', true), c.taken);
      if (c.taken) {
        EXPECT_GE(host.NowMs(), asked + c.probedForMs);
      }
      // Never longer than a probe could last, and at once for an update.
      EXPECT_LE(host.NowMs() - asked, c.updatedElsewhere ? 10u : 10100u);
    }
    EXPECT_FALSE(host.VolumeLocked('D'));
    ReleaseHostEnvironment(run);
  }
}

// ---- ASPI route ----------------------------------------------------------------

TEST_F(DiscoveryTest, AspiAdapterClassificationDecidesTargetIds) {
  struct Drive {
    int adapter, target;
    bool probed;
  };
  struct Case {
    const char* name;
    std::vector<std::string> identifiers;
    std::vector<Drive> drives;
    std::vector<std::pair<int, int>> targets;
    int kind;
  };
  const Case cases[] = {
      {"ESDI_506 gets ids 0-1, others 0-6",
       {"ESDI_506", "AHA-2940"},
       {{0, 1, true}, {0, 2, false}, {1, 0, true}, {1, 6, true}, {1, 7, false}},
       {{0, 1}, {1, 0}, {1, 6}},
       0},
      {"intelata anywhere: other adapters skipped",
       {"AHA-2940", "intelata", "ESDI_506", "AHA-2940"},
       {{0, 0, false}, {1, 1, true}, {1, 2, false}, {2, 0, true}, {3, 0, false}},
       {{1, 1}, {2, 0}},
       1},
      {"bridge adapter is probed like any other",
       {"NTMAPHLP"},
       {{0, 3, true}},
       {{0, 3}},
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc host;
    Context run(host);
    LoadBuiltInDefinition(run);
    sim::PcBuilder builder(sim::SimRoute::Aspi);
    builder.Adapters(c.identifiers);
    std::vector<std::shared_ptr<sim::Qbc850Drive>> drives;
    for (const auto& d : c.drives) {
      drives.push_back(MatchingDrive());
      builder.Drive(drives.back(), {.adapter = d.adapter, .target = d.target});
    }
    builder.Build(host);
    ASSERT_EQ(CheckHostEnvironment(run), kSetupDone);

    EXPECT_EQ(DiscoverTargets(run), static_cast<int>(c.targets.size()));
    EXPECT_EQ(TargetAddresses(run), c.targets);
    EXPECT_EQ(RouteTraits(run).intelDriverKind, c.kind);
    for (std::size_t i = 0; i < c.drives.size(); ++i) {
      EXPECT_EQ(!drives[i]->log.empty(), c.drives[i].probed)
          << "adapter " << c.drives[i].adapter << " target " << c.drives[i].target;
    }
    EXPECT_TRUE(host.McnLog().empty());
    ReleaseHostEnvironment(run);
    EXPECT_EQ(host.LiveAllocations(), 0);
  }
}

TEST_F(DiscoveryTest, AspiDriveInformationFailureStillMatches) {
  auto drive = MatchingDrive();
  drive->AddFault(DriveInfoFails());
  sim::PcBuilder(sim::SimRoute::Aspi)
      .Windows(win::VER_PLATFORM_WIN32_WINDOWS, 4, 0)
      .Adapter("AHA-2940")
      .Drive(drive, {.target = 2})
      .Drive(OtherModel(), {.target = 4})
      .Build(pc);
  ASSERT_EQ(CheckHostEnvironment(ctx), kSetupDone);
  ctx.driveInfo.fill(0xAA);

  EXPECT_EQ(DiscoverTargets(ctx), 1);
  EXPECT_EQ(TargetAddresses(ctx), (std::vector<std::pair<int, int>>{{0, 2}}));
  ReleaseHostEnvironment(ctx);
}

TEST_F(DiscoveryTest, AspiWithoutUsableAdaptersSendsNothing) {
  struct Case {
    const char* name;
    bool installed;
    bool overrideInfo;
    win::DWORD supportInfo;
    int setup;
  };
  const Case cases[] = {
      {"no ASPI layer", false, false, 0, kSetupNoAspiLayer},
      {"SS_NO_ADAPTERS as this check knows it", true, true, 0xE400, kSetupNoAdapters},
      {"SS_NO_ADAPTERS as published", true, true, 0xE800, kSetupZeroAdapters},
      {"adapter count 0", true, true, 0x0100, kSetupZeroAdapters},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc host;
    Context run(host);
    LoadBuiltInDefinition(run);
    auto drive = MatchingDrive();
    sim::PcBuilder builder(sim::SimRoute::Aspi);
    if (!c.installed) builder.WithoutAspiLayer();
    builder.Adapter("AHA-2940").Drive(drive).Build(host);
    if (c.overrideInfo) host.SetAspiSupportInfo(c.supportInfo);

    EXPECT_EQ(CheckHostEnvironment(run), c.setup);
    EXPECT_EQ(run.host.adapterCount, 0);
    EXPECT_EQ(DiscoverTargets(run), 0);
    EXPECT_EQ(run.targets.targetCount, 0);
    EXPECT_TRUE(drive->log.empty());
    EXPECT_EQ(host.Console(), "");
    ReleaseHostEnvironment(run);
    EXPECT_EQ(host.LiveAllocations(), 0);
  }
}

TEST_F(DiscoveryTest, AspiAdaptersBeyondSixteenAreProbed) {
  std::vector<std::string> adapters(19, "AHA-2940");
  adapters.push_back("ESDI_506");
  sim::PcBuilder(sim::SimRoute::Aspi)
      .Adapters(adapters)
      .Drive(MatchingDrive(), {.adapter = 19, .target = 1})
      .Build(pc);
  ASSERT_EQ(CheckHostEnvironment(ctx), kSetupDone);

  EXPECT_EQ(DiscoverTargets(ctx), 1);
  EXPECT_EQ(TargetAddresses(ctx), (std::vector<std::pair<int, int>>{{19, 1}}));
  ReleaseHostEnvironment(ctx);
}

}  // namespace
}  // namespace odf::testing
