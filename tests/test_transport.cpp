// The transport as the simulated PC sees it: the pass-through blocks decoded
// byte by byte at both layouts, the status rules, the volume address, and the
// ASPI request block with its polled, event and pending completions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "scripted_drive.h"
#include "discovery/host.h"
#include "scsi/commands.h"
#include "scsi/transport.h"
#include "update/update.h"
#include "sim_fixture.h"

namespace odf {

// Names the layout in test output instead of printing its address.
void PrintTo(const PassThroughLayout* layout, std::ostream* os) {
  *os << (layout->pointerSize == 4 ? "32-bit layout" : "64-bit layout");
}

namespace {

using sim::CommandRecord;
using sim::DriveReply;
using sim::FaultAction;
using sim::FaultRule;

using testing::ScriptedDrive;

std::uint8_t Pattern(std::size_t i) { return ScriptedDrive::Pattern(i); }

constexpr std::uint8_t kMarker = 0xEE;
constexpr std::array<std::uint8_t, 10> kReadBuffer32{0x3C, 0x01, 0x80, 0, 0, 0, 0, 0, 0x20, 0};
constexpr std::array<std::uint8_t, 10> kWriteBlock{0x3B, 0x07, 0xF0, 0, 0, 0, 0, 0x01, 0x00, 0};
constexpr std::array<std::uint8_t, 10> kModeFive{0x3B, 0x05, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0};
constexpr std::array<std::uint8_t, 6> kTestUnitReady{0, 0, 0, 0, 0, 0};

class TransportTest : public testing::SimFixture {
 protected:
  std::shared_ptr<ScriptedDrive> drive = std::make_shared<ScriptedDrive>();
  std::array<std::uint8_t, 512> data{};
  int adapter = -1;

  void SetUp() override {
    pc.RegisterMemory(data.data(), data.size());
    pc.RegisterMemory(ctx.driveInfo.data(), ctx.driveInfo.size());
    MarkSense();
  }

  // Fills the kept sense with a marker, so that what a command replaces shows.
  void MarkSense() {
    SenseBytes marked;
    marked.fill(kMarker);
    PortOf(ctx).KeepSense(marked);
  }
  CommandResult Send(const ScsiRequest& request) { return PortOf(ctx).Send(request); }
  PassThroughPort& PassThrough() { return *PassThroughPortOf(ctx); }
  AspiPort& Aspi() { return *AspiPortOf(ctx); }
  // An ASPI drive outside the target table, as discovery probes it.
  static CommandTarget AspiAt(int hostAdapter, int targetId) {
    CommandTarget at;
    at.hostAdapter = hostAdapter;
    at.targetId = targetId;
    return at;
  }

  // The drive as the one target, on a PC of the route set up by the real host
  // checks: volume E, or target 1 of the second of two adapters.
  void Use(sim::SimRoute route) {
    const auto placed = sim::PcBuilder(route)
                            .Adapters({"ESDI_506", "ESDI_506"})
                            .Drive(drive, {.letter = 'E', .adapter = 1, .target = 1})
                            .Build(pc);
    ASSERT_NO_FATAL_FAILURE(testing::RunHostChecks(ctx));
    MarkSense();  // on the port the checks chose
    testing::UseTargets(ctx, placed);
    adapter = placed[0].adapter;
  }
  void UsePassThrough() { Use(sim::SimRoute::PassThrough); }
  void UseAspi() { Use(sim::SimRoute::Aspi); }

  // Where the probes put the inquiry data.
  const std::uint8_t* Probed() const { return ctx.host.dataBuffer.data; }

  template <std::size_t N>
  ScsiRequest Request(const std::array<std::uint8_t, N>& cdb, DataDirection direction,
                      std::int32_t length, std::int32_t timeoutMs = 7000) {
    ScsiRequest r;
    r.target = testing::At(ctx, 0);
    r.cdbLength = static_cast<std::int32_t>(N);
    std::copy(cdb.begin(), cdb.end(), r.cdb.begin());
    r.direction = direction;
    r.dataLength = length;
    r.data = length != 0 ? data.data() : nullptr;
    r.timeoutMs = timeoutMs;
    return r;
  }

  void FillData(std::uint8_t value) { data.fill(value); }
  bool DataIsPattern(std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i) {
      if (data[i] != Pattern(i)) return false;
    }
    return true;
  }
  bool SenseUntouched() {
    const SenseBytes& sense = PortOf(ctx).LastSense();
    return std::all_of(sense.begin(), sense.end(),
                       [](std::uint8_t b) { return b == kMarker; });
  }
  SRB_ExecSCSICmd& Srb() { return *reinterpret_cast<SRB_ExecSCSICmd*>(ctx.host.requestBlockBuffer.data); }
};

std::array<std::uint8_t, 18> SenseOf(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  return sim::CheckCondition(key, asc, ascq).sense;
}

FaultRule Rule(FaultAction action) {
  FaultRule rule;
  rule.occurrence = 0;
  rule.action = action;
  return rule;
}

// ---------------------------------------------------------------------------
// Requests the transport must refuse before anything reaches a drive.

TEST_F(TransportTest, RefusedRequestsSendNothing) {
  struct Case {
    const char* name;
    sim::SimRoute route;
    int count;
    int index;
  };
  const Case cases[] = {
      {"pass-through, one past the end", sim::SimRoute::PassThrough, 1, 1},
      {"pass-through, empty table", sim::SimRoute::PassThrough, 0, 0},
      {"pass-through, negative index", sim::SimRoute::PassThrough, 1, -1},
      {"ASPI, one past the end", sim::SimRoute::Aspi, 1, 1},
      {"ASPI, negative index", sim::SimRoute::Aspi, 1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc host;
    Context run(host);
    const auto placed = sim::PcBuilder(c.route).Drive(drive).Build(host);
    ASSERT_NO_FATAL_FAILURE(testing::RunHostChecks(run));
    testing::UseTargets(run, placed);
    run.targets.targetCount = c.count;
    ScsiRequest r = Request(kTestUnitReady, DataDirection::None, 0);
    r.target = testing::At(run, c.index);
    EXPECT_EQ(PortOf(run).Send(r), CommandResult::NotSent);
    EXPECT_TRUE(drive->log.empty());
    EXPECT_EQ(host.OpenHandles(), 0);
  }
}

// ---------------------------------------------------------------------------
// Pass-through blocks at the 32-bit and 64-bit layouts.

class PassThroughLayoutTest : public TransportTest,
                              public ::testing::WithParamInterface<const PassThroughLayout*> {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    pc.SetPassThroughLayout(*GetParam());
    UsePassThrough();
    PassThrough().SetLayout(*GetParam());
  }
};

TEST_P(PassThroughLayoutTest, DirectAndBufferedBlocksCarryTheCommand) {
  struct Case {
    const char* name;
    int intelKind;
    DataDirection direction;
    std::int32_t length;
    bool buffered;
  };
  const Case cases[] = {
      {"direct in", 0, DataDirection::In, 48, false},
      {"direct out", 0, DataDirection::Out, 256, false},
      {"buffered in", 2, DataDirection::In, 32, true},
      {"buffered out", 2, DataDirection::Out, 20, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::SetIntelDriver(ctx, c.intelKind);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    const std::vector<std::uint8_t> sent(data.begin(), data.begin() + c.length);
    const auto& cdb = c.direction == DataDirection::In ? kReadBuffer32 : kWriteBlock;
    ScsiRequest r = Request(cdb, c.direction, c.length, 7000);
    ASSERT_EQ(Send(r), CommandResult::Done);
    const CommandRecord& got = drive->log.back();
    EXPECT_TRUE(std::equal(cdb.begin(), cdb.end(), got.cdb.begin()));
    EXPECT_EQ(got.cdbLength, 10);
    EXPECT_EQ(got.direction, static_cast<int>(c.direction));
    EXPECT_EQ(got.length, static_cast<std::uint32_t>(c.length));
    EXPECT_EQ(got.timeoutSeconds, 7u);
    EXPECT_EQ(got.buffered, c.buffered);
    if (c.direction == DataDirection::In) {
      EXPECT_TRUE(DataIsPattern(static_cast<std::size_t>(c.length)));
      EXPECT_EQ(data[static_cast<std::size_t>(c.length)], static_cast<std::uint8_t>(c.length ^ 0x5A));
    } else {
      EXPECT_EQ(drive->received, sent);
    }
    EXPECT_EQ(pc.OpenHandles(), 0);
  }
}

TEST_P(PassThroughLayoutTest, SenseIsTakenFromTheSenseArea) {
  for (int intelKind : {0, 2}) {
    SCOPED_TRACE(intelKind == 2 ? "buffered" : "direct");
    testing::SetIntelDriver(ctx, intelKind);
    MarkSense();
    drive->reply = sim::CheckCondition(2, 0x3A, 0x01);
    ScsiRequest r = Request(kTestUnitReady, DataDirection::None, 0);
    EXPECT_EQ(Send(r), CommandResult::ScsiError);
    EXPECT_EQ(PortOf(ctx).LastSense(), SenseOf(2, 0x3A, 0x01));
  }
}

TEST_P(PassThroughLayoutTest, ProbesUseTheOpenVolume) {
  testing::SetIntelDriver(ctx, 2);  // probes always go direct
  ASSERT_TRUE(PassThrough().OpenVolume('E'));
  const CommandTarget volume;  // the open one
  EXPECT_EQ(ProbeInquiry(PortOf(ctx), volume, ctx.host.dataBuffer.data), CommandResult::Done);
  EXPECT_EQ(ProbeDriveInfo(PortOf(ctx), volume, ctx.driveInfo.data()), CommandResult::Done);
  drive->reply = sim::CheckCondition(5, 0x24, 0);
  EXPECT_EQ(ProbeDriveInfo(PortOf(ctx), volume, ctx.driveInfo.data()), CommandResult::ScsiError);
  EXPECT_EQ(PortOf(ctx).LastSense(), SenseOf(5, 0x24, 0));
  PassThrough().CloseVolume();
  EXPECT_EQ(pc.OpenHandles(), 0);

  ASSERT_EQ(drive->log.size(), 3u);
  const std::array<std::uint8_t, 6> inquiry{0x12, 0, 0, 0, 0x60, 0};
  const std::array<std::uint8_t, 10> info{0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0, 0x30, 0};
  EXPECT_TRUE(std::equal(inquiry.begin(), inquiry.end(), drive->log[0].cdb.begin()));
  EXPECT_EQ(drive->log[0].cdbLength, 6);
  EXPECT_EQ(drive->log[0].length, 96u);
  EXPECT_TRUE(std::equal(info.begin(), info.end(), drive->log[1].cdb.begin()));
  EXPECT_EQ(drive->log[1].length, 48u);
  for (const auto& record : drive->log) {
    EXPECT_EQ(record.direction, 1);
    EXPECT_EQ(record.timeoutSeconds, 2u);
    EXPECT_FALSE(record.buffered);
  }
  for (std::size_t i = 0; i < 96; ++i) ASSERT_EQ(Probed()[i], Pattern(i)) << i;
  for (std::size_t i = 0; i < 48; ++i) ASSERT_EQ(ctx.driveInfo[i], Pattern(i)) << i;
  EXPECT_EQ(Probed()[96], 0);
  EXPECT_EQ(ctx.driveInfo[48], 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, PassThroughLayoutTest,
                         ::testing::Values(&kPassThroughLayout32, &kPassThroughLayout64),
                         [](const auto& layout) {
                           return layout.param->pointerSize == 4 ? std::string("Win32")
                                                               : std::string("Win64");
                         });

// ---------------------------------------------------------------------------
// Pass-through rules

TEST_F(TransportTest, TimeOutValueFollowsTheVariant) {
  UsePassThrough();
  struct Case {
    int intelKind;
    std::int32_t timeoutMs;
    std::uint32_t seconds;
  };
  const Case cases[] = {
      {0, 0, 60},     {0, 999, 0},   {0, 1000, 1}, {0, 10999, 10},  // direct: 0 means 60 s
      {2, 0, 0},      {2, 999, 0},   {2, 2500, 2},                  // buffered: no substitute
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "intel " << c.intelKind << ", " << c.timeoutMs << " ms");
    testing::SetIntelDriver(ctx, c.intelKind);
    ScsiRequest r = Request(kReadBuffer32, DataDirection::In, 32, c.timeoutMs);
    ASSERT_EQ(Send(r), CommandResult::Done);
    EXPECT_EQ(drive->log.back().timeoutSeconds, c.seconds);
    EXPECT_EQ(drive->log.back().buffered, c.intelKind == 2);
  }
}

TEST_F(TransportTest, OnlyTheAcceleratorSendsSmallTransfersBuffered) {
  UsePassThrough();
  struct Case {
    int intelKind;
    std::int32_t length;
    bool buffered;
  };
  const Case cases[] = {{2, 32, true}, {2, 33, false}, {2, 0, true}, {1, 32, false}, {0, 32, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "intel " << c.intelKind << ", " << c.length << " bytes");
    testing::SetIntelDriver(ctx, c.intelKind);
    FillData(kMarker);
    ScsiRequest r = c.length == 0 ? Request(kTestUnitReady, DataDirection::None, 0)
                                  : Request(kReadBuffer32, DataDirection::In, c.length);
    ASSERT_EQ(Send(r), CommandResult::Done);
    EXPECT_EQ(drive->log.back().buffered, c.buffered);
    EXPECT_TRUE(DataIsPattern(static_cast<std::size_t>(c.length)));
    EXPECT_EQ(data[static_cast<std::size_t>(c.length)], kMarker);
  }
}

TEST_F(TransportTest, StatusRulesOfBothVariants) {
  UsePassThrough();
  auto sense = Rule(FaultAction::Sense);
  sense.key = 3;
  sense.asc = 0x11;
  sense.ascq = 0x05;
  auto senseAndFalse = sense;
  senseAndFalse.ioctlFails = true;
  auto transportNoSense = Rule(FaultAction::TransportFail);
  auto transportWithSense = Rule(FaultAction::TransportFail);
  transportWithSense.returnedSenseLength = 18;
  DriveReply shortSense = sim::CheckCondition(4, 0x44, 0x00);
  shortSense.returnedSenseLength = 8;

  struct Case {
    const char* name;
    std::optional<FaultRule> fault;
    std::optional<DriveReply> reply;
    CommandResult direct;
    CommandResult buffered;
    std::size_t senseBytes;  // bytes of lastSense replaced
    std::array<std::uint8_t, 18> expectedSense;
    bool directWithoutStatus;  // the direct call failed with no SCSI status
  };
  const auto D = CommandResult::Done;
  const auto E = CommandResult::ScsiError;
  // The cases run in this order, so an earlier one leaves the flag set for the next.
  const Case cases[] = {
      {"good", {}, {}, D, D, 0, {}, false},
      {"check condition", sense, {}, E, E, 18, SenseOf(3, 0x11, 0x05), false},
      {"check condition, call fails", senseAndFalse, {}, E, E, 18, SenseOf(3, 0x11, 0x05), false},
      {"only part of the sense returned", {}, shortSense, E, E, 8, SenseOf(4, 0x44, 0), false},
      {"time-out", Rule(FaultAction::Timeout), {}, E, E, 0, {}, true},
      {"call fails, no sense length", transportNoSense, {}, E, E, 0, {}, true},
      // A failed direct call never counts as delivered; the buffered variant
      // keeps its rule for a failed call that reports a sense length.
      {"call fails, sense length set", transportWithSense, {}, E, D, 0, {}, true},
  };
  for (const auto& c : cases) {
    for (bool buffered : {false, true}) {
      SCOPED_TRACE(::testing::Message() << c.name << (buffered ? ", buffered" : ", direct"));
      drive->faults.clear();
      if (c.fault) drive->AddFault(*c.fault);
      drive->reply = c.reply.value_or(DriveReply{});
      testing::SetIntelDriver(ctx, buffered ? 2 : 0);
      MarkSense();
      FillData(kMarker);

      ScsiRequest r = Request(kReadBuffer32, DataDirection::In, 32);
      const CommandResult status = Send(r);
      EXPECT_EQ(status, buffered ? c.buffered : c.direct);
      EXPECT_EQ(PortOf(ctx).FailedWithoutStatus(), !buffered && c.directWithoutStatus);
      for (std::size_t i = 0; i < 18; ++i) {
        EXPECT_EQ(PortOf(ctx).LastSense()[i], i < c.senseBytes ? c.expectedSense[i] : kMarker) << i;
      }
      if (buffered && status != D) {
        // The reply area starts cleared, and nothing is copied back from a failed command.
        EXPECT_TRUE(std::all_of(data.begin(), data.begin() + 32, [](auto b) { return b == 0; }));
      } else if (status == D && !c.fault) {
        EXPECT_TRUE(DataIsPattern(32));
      }
      EXPECT_EQ(pc.OpenHandles(), 0);
    }
  }
}

TEST_F(TransportTest, VolumeAddressAndBridge) {
  sim::VolumeOptions addressed;
  addressed.pathId = 1;
  addressed.targetId = 2;
  addressed.lun = 3;
  sim::VolumeOptions bridged;
  bridged.noAddress = true;
  sim::VolumeOptions broken;
  broken.addressFails = true;
  sim::VolumeOptions locked;
  locked.openFails = true;
  sim::PcBuilder()
      .Drive(drive, {.letter = 'E', .volume = addressed})
      .Drive(drive, {.letter = 'F', .volume = bridged})
      .Drive(drive, {.letter = 'G', .volume = broken})
      .Drive(drive, {.letter = 'H', .volume = locked})
      .Build(pc);
  PassThroughPort port(pc);
  port.SetPolicy(DrivePolicy{2});

  struct Case {
    char letter;
    bool opened;
    std::array<std::uint8_t, 3> address;
    int bridgeIndex;
    win::DWORD lastError;  // remembered when the open fails
  };
  const Case cases[] = {
      {'E', true, {1, 2, 3}, -1, 0},
      {'F', true, {0, 0, 0}, 2, 0},   // stale address cleared
      {'E', true, {1, 2, 3}, -1, 0},  // bridge mark dropped again
      {'G', false, {0, 0, 0}, -1, win::ERROR_GEN_FAILURE},
      {'H', false, {0, 0, 0}, -1, win::ERROR_ACCESS_DENIED},
      {'Q', false, {0, 0, 0}, -1, win::ERROR_FILE_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.letter);
    EXPECT_EQ(port.OpenVolume(c.letter), c.opened);
    EXPECT_EQ(port.Address(), c.address);
    EXPECT_EQ(port.Traits().bridgeIndex, c.bridgeIndex);
    if (!c.opened) { EXPECT_EQ(port.LastError(), c.lastError); }
    EXPECT_EQ(pc.OpenHandles(), c.opened ? 1 : 0);
    port.CloseVolume();
    EXPECT_EQ(pc.OpenHandles(), 0);
  }
}

TEST_F(TransportTest, CommandsReachADriveWithoutAddressButNotAnUnopenedOne) {
  sim::VolumeOptions bridged;
  bridged.noAddress = true;
  sim::VolumeOptions broken;
  broken.addressFails = true;
  sim::PcBuilder()
      .Drive(drive, {.letter = 'F', .volume = bridged})
      .Drive(drive, {.letter = 'G', .volume = broken})
      .Build(pc);
  ctx.targets.targetCount = 3;
  ctx.targets.entries[1].driveLetter = 'G';
  ctx.targets.entries[2].driveLetter = 'F';
  testing::SetPolicyTarget(ctx, 2);

  ScsiRequest r = Request(kTestUnitReady, DataDirection::None, 0);
  r.target = testing::At(ctx, 2);
  EXPECT_EQ(Send(r), CommandResult::Done);
  EXPECT_EQ(RouteTraits(ctx).bridgeIndex, 2);
  EXPECT_EQ(drive->log.size(), 1u);

  r.target = testing::At(ctx, 1);
  EXPECT_EQ(Send(r), CommandResult::NoVolume);
  EXPECT_EQ(drive->log.size(), 1u);
  EXPECT_EQ(pc.OpenHandles(), 0);
}

// ---------------------------------------------------------------------------
// ASPI route

TEST_F(TransportTest, AspiEventModeFillsTheRequestBlock) {
  UseAspi();
  struct Case {
    DataDirection direction;
    std::int32_t length;
    std::uint8_t flags;
  };
  const Case cases[] = {{DataDirection::None, 0, 0x40},
                        {DataDirection::In, 48, 0x48},
                        {DataDirection::Out, 256, 0x50}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.direction));
    FillData(0x11);
    const auto& cdb = c.direction == DataDirection::Out ? kWriteBlock : kReadBuffer32;
    ScsiRequest r = Request(cdb, c.direction, c.length);
    if (c.direction == DataDirection::None) r = Request(kTestUnitReady, DataDirection::None, 0);
    ASSERT_EQ(Send(r), CommandResult::Done);
    const CommandRecord& got = drive->log.back();
    EXPECT_TRUE(got.viaAspi);
    EXPECT_FALSE(got.polled);
    EXPECT_EQ(got.direction, static_cast<int>(c.direction));
    EXPECT_EQ(got.length, static_cast<std::uint32_t>(c.length));
    const SRB_ExecSCSICmd& srb = Srb();
    EXPECT_EQ(srb.SRB_Cmd, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(srb.SRB_Flags, c.flags);
    EXPECT_EQ(srb.SRB_HaId, adapter);
    EXPECT_EQ(srb.SRB_Target, 1);
    EXPECT_EQ(srb.SRB_SenseLen, 18);
    EXPECT_EQ(srb.SRB_CDBLen, r.cdbLength);
    EXPECT_TRUE(std::equal(r.cdb.begin(), r.cdb.end(), srb.CDBByte));
    if (c.direction == DataDirection::In) { EXPECT_TRUE(DataIsPattern(48)); }
    if (c.direction == DataDirection::Out) { EXPECT_EQ(drive->received.size(), 256u); }
    EXPECT_EQ(pc.OpenHandles(), 0);  // the event is closed again
  }
}

TEST_F(TransportTest, AspiChoosesPolledModeForBridgeWritesAndFamilySwitch) {
  UseAspi();
  struct Case {
    const char* name;
    int bridgeIndex;
    std::int32_t familyCode;
    std::array<std::uint8_t, 10> cdb;
    bool polled;
  };
  const std::array<std::uint8_t, 10> modeFour{0x3B, 0x04, 0xFF, 0, 0, 0, 0, 0x01, 0, 0};
  const Case cases[] = {
      {"write to the bridge adapter", adapter, 0x4003, kWriteBlock, true},
      {"read from the bridge adapter", adapter, 0x4003, kReadBuffer32, false},
      {"mode 5 of family 0x1003", -1, 0x1003, kModeFive, true},
      {"mode 4 of family 0x1003", -1, 0x1003, modeFour, false},
      {"mode 5 of family 0x4003", -1, 0x4003, kModeFive, false},
      {"write to another adapter", adapter - 1, 0x4003, kWriteBlock, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Aspi().SetBridge(c.bridgeIndex);
    PortOf(ctx).SetPolicy(DrivePolicyFor(0, c.familyCode, 0));
    const bool in = c.cdb[0] == 0x3C;
    ScsiRequest r = Request(c.cdb, in ? DataDirection::In : DataDirection::Out, in ? 32 : 256);
    const std::uint64_t start = pc.NowMs();
    ASSERT_EQ(Send(r), CommandResult::Done);
    EXPECT_EQ(drive->log.back().polled, c.polled);
    EXPECT_EQ(Srb().SRB_Flags, (c.polled ? 0 : 0x40) | (in ? 0x08 : 0x10));
    if (c.polled) { EXPECT_EQ(pc.NowMs() - start, 500u); }  // one poll interval
  }
}

TEST_F(TransportTest, AspiWaitLimits) {
  UseAspi();
  struct Case {
    const char* name;
    bool polled;
    std::int32_t timeoutMs;
    std::int32_t editionCode;
    std::uint32_t durationMs;
    CommandResult result;
    std::uint64_t elapsedMs;
  };
  const auto D = CommandResult::Done;
  const auto GaveUp = CommandResult::PollGaveUp;
  const Case cases[] = {
      {"polled, finishes in time", true, 0, 0, 1700, D, 2000},
      {"polled, gives up", true, 1000, 0, 5000, GaveUp, 1500},
      {"polled, no limit of its own", true, 0, 0, 30000, D, 30000},
      // A drive that never answers is not polled for ever.
      {"polled, no limit of its own, gives up at the bound", true, 0, 0, 400000, GaveUp, 300500},
      {"event, wait runs out", false, 1000, 0, 3000, CommandResult::WaitRanOut, 1000},
      {"event, no limit", false, 0, 0, 3000, D, 3000},
      {"event, general edition waits on", false, 1000, 0x300, 3000, D, 3000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    drive->reply.durationMs = c.durationMs;
    Aspi().SetBridge(c.polled ? adapter : -1);
    PortOf(ctx).SetPolicy(DrivePolicyFor(0, 0, c.editionCode));
    ScsiRequest r = Request(kWriteBlock, DataDirection::Out, 256, c.timeoutMs);
    const std::uint64_t start = pc.NowMs();
    EXPECT_EQ(Send(r), c.result);
    EXPECT_EQ(pc.NowMs() - start, c.elapsedMs);
    EXPECT_TRUE(SenseUntouched());
    EXPECT_EQ(pc.OpenHandles(), 0);
    pc.Sleep(c.durationMs);  // let an abandoned command finish before the next case
  }
}

TEST_F(TransportTest, AspiSenseAndTheIntelNotReadyRule) {
  UseAspi();
  struct Case {
    const char* name;
    int intelKind;
    const std::uint8_t* cdb;
    std::int32_t cdbLength;
    std::uint8_t key;
    CommandResult result;
  };
  const auto F = CommandResult::Failed;
  const Case cases[] = {
      {"Intel driver, not ready on a read", 1, kReadBuffer32.data(), 10, 2, CommandResult::Done},
      {"Intel driver, not ready on TEST UNIT READY", 1, kTestUnitReady.data(), 6, 2, F},
      {"Intel driver, not ready on an image block", 1, kWriteBlock.data(), 10, 2, F},
      {"Intel driver, unit attention", 1, kReadBuffer32.data(), 10, 6, F},
      {"accelerator, not ready", 2, kReadBuffer32.data(), 10, 2, F},
      {"no Intel driver, not ready", 0, kReadBuffer32.data(), 10, 2, F},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::SetIntelDriver(ctx, c.intelKind);
    drive->reply = sim::CheckCondition(c.key, 0x3A, 0x02);
    ScsiRequest r;
    r.target = testing::At(ctx, 0);
    r.cdbLength = c.cdbLength;
    std::copy(c.cdb, c.cdb + c.cdbLength, r.cdb.begin());
    EXPECT_EQ(Send(r), c.result);
    EXPECT_EQ(PortOf(ctx).LastSense(), SenseOf(c.key, 0x3A, 0x02));
    EXPECT_EQ(PortOf(ctx).SenseSummary(), (std::uint32_t{c.key} << 16) | 0x3A02u);
  }
}

TEST_F(TransportTest, AspiCommandLeftPendingIsPolledToItsEnd) {
  UseAspi();
  struct Case {
    const char* name;
    bool fails;
    PendingState final;
  };
  const Case cases[] = {{"succeeds", false, PendingState::Done}, {"fails", true, PendingState::Failed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    drive->reply = c.fails ? sim::CheckCondition(4, 0x09, 0) : DriveReply{};
    drive->reply.durationMs = 2500;
    ScsiRequest r = Request(kWriteBlock, DataDirection::Out, 256, 0);
    r.leavePending = true;
    const std::uint64_t start = pc.NowMs();
    EXPECT_EQ(Send(r), CommandResult::Done);
    EXPECT_EQ(pc.NowMs(), start);
    EXPECT_TRUE(PortOf(ctx).CommandPending());
    EXPECT_EQ(PortOf(ctx).PollPending(), PendingState::Running);
    pc.Sleep(2000);
    EXPECT_EQ(PortOf(ctx).PollPending(), PendingState::Running);
    pc.Sleep(1000);
    EXPECT_EQ(PortOf(ctx).PollPending(), c.final);
    EXPECT_EQ(Aspi().PendingEvent(), 0u);
    EXPECT_EQ(PortOf(ctx).PollPending(), PendingState::Running);  // reported exactly once
    EXPECT_EQ(pc.OpenHandles(), 0);
  }
}

TEST_F(TransportTest, NothingPendingAfterAPolledCommand) {
  UseAspi();
  Aspi().SetBridge(adapter);
  drive->reply.durationMs = 1200;
  ScsiRequest r = Request(kWriteBlock, DataDirection::Out, 256, 0);
  r.leavePending = true;
  EXPECT_EQ(Send(r), CommandResult::Done);
  EXPECT_TRUE(drive->log.back().polled);
  EXPECT_EQ(Aspi().PendingEvent(), 0u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(PortOf(ctx).PollPending(), PendingState::Running);
}

TEST_F(TransportTest, NextCommandWaitsForTheOneLeftPending) {
  UseAspi();
  drive->reply.durationMs = 5000;
  ScsiRequest flash = Request(kWriteBlock, DataDirection::Out, 256, 0);
  flash.leavePending = true;
  ASSERT_EQ(Send(flash), CommandResult::Done);
  // The caller polls once, gives up early and reads the drive.
  EXPECT_EQ(PortOf(ctx).PollPending(), PendingState::Running);
  drive->reply.durationMs = 10;
  FillData(0);
  ScsiRequest read = Request(kReadBuffer32, DataDirection::In, 32, 1000);
  EXPECT_EQ(Send(read), CommandResult::Done);
  EXPECT_GE(pc.NowMs(), 5010u);
  EXPECT_TRUE(DataIsPattern(32));
  EXPECT_EQ(Srb().CDBByte[0], 0x3C);
  EXPECT_EQ(Aspi().PendingEvent(), 0u);
  EXPECT_EQ(pc.OpenHandles(), 0);
}

// A command the ASPI layer has not finished (left pending and never
// answered, or given up by a polled wait) and would not abort still owns the
// request block: the next command is not sent on it (after a bounded wait,
// not for ever), and the clean-up does not free it under the layer. Once the
// drive has answered, both go on as usual.
TEST_F(TransportTest, ABlockTheLayerStillOwnsIsNeitherReusedNorFreed) {
  struct Case {
    const char* name;
    bool polled;
    std::uint64_t nextWaitMs;  // how long the next command waits before it gives up
  };
  const Case cases[] = {
      {"left pending", false, 60000},
      {"given up by a polled wait", true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::OneDrivePc bench(sim::Qbc850Config{}, sim::PcBuilder(sim::SimRoute::Aspi));
    auto& [freshPc, fresh, d] = bench;
    ASSERT_NO_FATAL_FAILURE(testing::BringUp(fresh));
    freshPc.SetAspiAbort(sim::AspiAbort::Refuse);
    AspiPortOf(fresh)->SetBridge(c.polled ? fresh.targets.entries[0].hostAdapter : -1);
    d->AddFault([] {
      FaultRule r;
      r.opcode = 0x3B;
      r.occurrence = 1;
      r.action = FaultAction::Timeout;  // never answered
      return r;
    }());
    std::array<std::uint8_t, 256> block{};
    ScsiRequest flash;
    flash.target = testing::At(fresh, 0);
    flash.leavePending = !c.polled;
    flash.cdbLength = 10;
    std::copy(kWriteBlock.begin(), kWriteBlock.end(), flash.cdb.begin());
    flash.direction = DataDirection::Out;
    flash.dataLength = 256;
    flash.data = block.data();
    EXPECT_EQ(PortOf(fresh).Send(flash), c.polled ? CommandResult::PollGaveUp : CommandResult::Done);
    EXPECT_TRUE(PortOf(fresh).RequestBlockInUse());

    const std::size_t logged = d->log.size();
    const std::uint64_t start = freshPc.NowMs();
    EXPECT_EQ(Inquiry(PortOf(fresh), testing::At(fresh, 0), fresh.inquiry.data()), CommandResult::NotSent);
    EXPECT_EQ(freshPc.NowMs() - start, c.nextWaitMs);
    EXPECT_EQ(d->log.size(), logged);  // nothing sent

    ReleaseHostEnvironment(fresh);
    EXPECT_NE(fresh.host.requestBlockBuffer.data, nullptr);
    EXPECT_TRUE(fresh.host.released);
  }
}

// Whenever the transport gives a command up (a polled wait or an event wait
// that runs out, or a command left pending that does not finish before the
// next one), it asks the layer to abort it, once. A layer that does lets the
// block go and the next command is sent on it; one that refuses, or takes
// the request and lets the command run on (given 5 s to let go), keeps it.
TEST_F(TransportTest, ACommandGivenUpIsAborted) {
  enum class Mode { Polled, Event, LeftPending };
  struct Case {
    const char* name;
    Mode mode;
    sim::AspiAbort answer;
    CommandResult result;
    std::uint64_t abortWaitMs;  // how long the port waited for the layer to let go
  };
  using A = sim::AspiAbort;
  const auto GaveUp = CommandResult::PollGaveUp;
  const auto RanOut = CommandResult::WaitRanOut;
  const auto D = CommandResult::Done;
  const Case cases[] = {
      {"polled, honoured", Mode::Polled, A::Honour, GaveUp, 0},
      {"polled, refused", Mode::Polled, A::Refuse, GaveUp, 0},
      {"polled, ignored", Mode::Polled, A::Ignore, GaveUp, 5000},
      {"event, honoured", Mode::Event, A::Honour, RanOut, 0},
      {"event, refused", Mode::Event, A::Refuse, RanOut, 0},
      {"event, ignored", Mode::Event, A::Ignore, RanOut, 5000},
      {"left pending, honoured", Mode::LeftPending, A::Honour, D, 0},
      {"left pending, refused", Mode::LeftPending, A::Refuse, D, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::OneDrivePc bench(sim::Qbc850Config{}, sim::PcBuilder(sim::SimRoute::Aspi));
    auto& [freshPc, fresh, d] = bench;
    ASSERT_NO_FATAL_FAILURE(testing::BringUp(fresh));
    freshPc.SetAspiAbort(c.answer);
    AspiPortOf(fresh)->SetBridge(c.mode == Mode::Polled ? fresh.targets.entries[0].hostAdapter : -1);
    d->AddFault(testing::SenseFault(0x3B, 1, 0, 0, 0));
    d->faults.back().action = FaultAction::Timeout;  // never answered
    std::array<std::uint8_t, 256> block{};
    ScsiRequest flash;
    flash.target = testing::At(fresh, 0);
    flash.leavePending = c.mode == Mode::LeftPending;
    flash.cdbLength = 10;
    std::copy(kWriteBlock.begin(), kWriteBlock.end(), flash.cdb.begin());
    flash.direction = DataDirection::Out;
    flash.dataLength = 256;
    flash.data = block.data();
    flash.timeoutMs = 1000;

    const std::uint64_t start = freshPc.NowMs();
    EXPECT_EQ(PortOf(fresh).Send(flash), c.result);
    // The time-out (1 s; polled: the first poll past it), then the wait for the layer to let go.
    if (c.mode != Mode::LeftPending) {
      EXPECT_EQ(freshPc.NowMs() - start, (c.mode == Mode::Polled ? 1500u : 1000u) + c.abortWaitMs);
    }
    const bool kept = c.answer != A::Honour;
    const std::size_t logged = d->log.size();
    const CommandResult next = Inquiry(PortOf(fresh), testing::At(fresh, 0), fresh.inquiry.data());
    EXPECT_EQ(freshPc.AbortRequests(), 1);
    EXPECT_EQ(next, kept ? CommandResult::NotSent : CommandResult::Done);
    EXPECT_EQ(d->log.size(), logged + (kept ? 0 : 1));
    EXPECT_EQ(PortOf(fresh).RequestBlockInUse(), kept);
    EXPECT_EQ(fresh.inquiry[8], kept ? 0 : 'K');  // the next command's answer, when it went
    EXPECT_EQ(freshPc.OpenHandles(), kept && c.mode == Mode::LeftPending ? 1 : 0);
  }
}

TEST_F(TransportTest, AspiCommandRefusedAtSubmissionDoesNotHang) {
  UseAspi();
  ctx.targets.entries[0].targetId = 5;  // no drive there
  for (bool leave : {false, true}) {
    SCOPED_TRACE(leave);
    ScsiRequest r = Request(kTestUnitReady, DataDirection::None, 0, 0);
    r.leavePending = leave;
    EXPECT_EQ(Send(r), CommandResult::Failed);
    EXPECT_EQ(Aspi().PendingEvent(), 0u);
    EXPECT_EQ(pc.OpenHandles(), 0);
  }
}

TEST_F(TransportTest, AspiWithoutRequestBlockOrLayerSendsNothing) {
  UseAspi();
  Aspi().Attach(ctx.host.sendCommand, nullptr);
  ScsiRequest r = Request(kTestUnitReady, DataDirection::None, 0);
  EXPECT_EQ(Send(r), CommandResult::NotSent);
  Aspi().Attach(0, ctx.host.requestBlockBuffer.data);
  EXPECT_EQ(Send(r), CommandResult::NotSent);
  EXPECT_EQ(ProbeInquiry(PortOf(ctx), AspiAt(adapter, 1), ctx.host.dataBuffer.data), CommandResult::NotSent);
  EXPECT_TRUE(drive->log.empty());
}

TEST_F(TransportTest, AspiProbes) {
  UseAspi();
  drive->reply.durationMs = 90000;  // probes wait without limit
  EXPECT_EQ(ProbeInquiry(PortOf(ctx), AspiAt(adapter, 1), ctx.host.dataBuffer.data), CommandResult::Done);
  EXPECT_EQ(ProbeDriveInfo(PortOf(ctx), AspiAt(adapter, 1), ctx.driveInfo.data()), CommandResult::Done);
  EXPECT_EQ(Aspi().PendingEvent(), 0u);
  for (std::size_t i = 0; i < 96; ++i) ASSERT_EQ(Probed()[i], Pattern(i)) << i;
  for (std::size_t i = 0; i < 48; ++i) ASSERT_EQ(ctx.driveInfo[i], Pattern(i)) << i;
  ASSERT_EQ(drive->log.size(), 2u);
  EXPECT_EQ(drive->log[0].cdb[0], 0x12);
  EXPECT_EQ(drive->log[0].length, 96u);
  EXPECT_EQ(drive->log[1].cdb[2], 0xF1);
  EXPECT_EQ(drive->log[1].length, 48u);
  EXPECT_EQ(Srb().SRB_Flags, 0x48);
  EXPECT_EQ(Srb().SRB_SenseLen, 0);
  EXPECT_EQ(Srb().SRB_Lun, 0);

  drive->reply = sim::CheckCondition(2, 0x3A, 0);
  testing::SetIntelDriver(ctx, 1);  // the not-ready rule is not the probes'
  EXPECT_EQ(ProbeInquiry(PortOf(ctx), AspiAt(adapter, 1), ctx.host.dataBuffer.data), CommandResult::Failed);
  EXPECT_TRUE(SenseUntouched());
  // nobody there
  EXPECT_EQ(ProbeInquiry(PortOf(ctx), AspiAt(adapter, 4), ctx.host.dataBuffer.data), CommandResult::Failed);
  EXPECT_EQ(pc.OpenHandles(), 0);
}

TEST(SummarizeSense, PacksKeyAscAndAscqWhole) {
  struct Case {
    std::uint8_t key, asc, ascq;
    std::uint32_t summary;
  };
  const Case cases[] = {{5, 0x24, 0x00, 0x52400}, {2, 0x04, 0x01, 0x20401}, {0x72, 0xFF, 0x80, 0x72FF80}};
  sim::SimPc pc;
  PassThroughPort port(pc);
  for (const auto& c : cases) {
    SenseBytes sense;
    sense.fill(0xAB);
    sense[2] = c.key;
    sense[12] = c.asc;
    sense[13] = c.ascq;
    port.KeepSense(sense);
    port.SummarizeSense();
    EXPECT_EQ(port.SenseSummary(), c.summary);
  }
}

}  // namespace
}  // namespace odf
