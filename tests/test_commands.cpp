// The command set as the drive receives it: every wire command with its CDB,
// direction, length and time-out, the field truncation, the time-out rules
// that depend on the bridge, and the run state kept by the drive-state read.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/drive_fields.h"
#include "image/image.h"
#include "scsi/commands.h"
#include "scripted_drive.h"
#include "sim/drives/reply_script_drive.h"
#include "sim_fixture.h"

namespace odf {
namespace {

using Cdb = std::vector<std::uint8_t>;

class CommandsTest : public testing::SimFixture {
 protected:
  // Target 0 is another drive, target 1 the selected one: a wrapper that
  // addresses the wrong entry shows up in the wrong log.
  std::shared_ptr<sim::Qbc850Drive> other = std::make_shared<sim::Qbc850Drive>();
  std::shared_ptr<sim::Qbc850Drive> drive = std::make_shared<sim::Qbc850Drive>();
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(0x20000, 0);

  void SetUp() override {
    pc.RegisterMemory(buffer.data(), buffer.size());
    pc.RegisterMemory(ctx.driveInfo.data(), ctx.driveInfo.size());
    sim::VolumeOptions bridged;
    bridged.noAddress = true;
    // The current drive also answers on F, a volume without SCSI address.
    const auto placed = sim::PcBuilder()
                            .Drive(other, {.letter = 'D'})
                            .Drive(drive, {.letter = 'E'})
                            .Drive(drive, {.letter = 'F', .volume = bridged})
                            .Build(pc);
    ASSERT_NO_FATAL_FAILURE(testing::RunHostChecks(ctx));
    testing::UseTargets(ctx, {placed[0], placed[1]}, 1);
  }

  std::uint8_t* buf() { return buffer.data(); }
  ScsiPort& port() { return PortOf(ctx); }
  CommandTarget current() const { return testing::At(ctx, 1); }

  static Cdb CdbOf(const sim::CommandRecord& record) {
    return Cdb(record.cdb.begin(), record.cdb.begin() + record.cdbLength);
  }
};

// Where the caller chooses the time-out, each case gives 7000 ms (7 s on the
// wire); the wrappers with a time-out of their own ignore the caller.
TEST_F(CommandsTest, EveryWireCommand) {
  using Call = std::function<CommandResult()>;
  struct Case {
    const char* name;
    Call call;
    Cdb cdb;
    int direction;
    std::uint32_t length;
    std::uint32_t seconds;  // TimeOutValue on the direct pass-through
  };
  const Case cases[] = {
      {"test unit ready", [this] { return TestUnitReady(port(), current(), 7000); },
       {0x00, 0, 0, 0, 0, 0}, 0, 0, 7},
      {"inquiry", [this] { return Inquiry(port(), current(), buf()); },
       {0x12, 0, 0, 0, 0x60, 0}, 1, 96, 5},
      {"start stop unit fields", [this] { return StartStopUnit(port(), current(), 7000, 1, 3, 1, 1); },
       {0x1B, 0x01, 0, 0, 0x33, 0}, 0, 0, 7},
      {"stop", [this] { return StopUnit(port(), current()); },
       {0x1B, 0, 0, 0, 0, 0}, 0, 0, 60},
      {"drive information", [this] { return ReadDriveInfo(port(), current(), 7000, ctx.driveInfo.data()); },
       {0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0, 0x30, 0}, 1, 48, 7},
      {"handshake challenge", [this] { return ReadBuffer(port(), current(), 7000, 2, 0xF2, 0, 1024, buf()); },
       {0x3C, 0x02, 0xF2, 0, 0, 0, 0, 0x04, 0x00, 0}, 1, 1024, 7},
      {"handshake challenge, mode 1",
       [this] { return ReadBuffer(port(), current(), 7000, 1, 0xF2, 0, 1024, buf()); },
       {0x3C, 0x01, 0xF2, 0, 0, 0, 0, 0x04, 0x00, 0}, 1, 1024, 7},
      {"handshake response", [this] { return WriteBuffer(port(), current(), 7000, 1, 0xF2, 0, 1024, buf()); },
       {0x3B, 0x01, 0xF2, 0, 0, 0, 0, 0x04, 0x00, 0}, 2, 1024, 7},
      {"handshake echo", [this] { return WriteBuffer(port(), current(), 7000, 1, 0xF2, 0, 256, buf()); },
       {0x3B, 0x01, 0xF2, 0, 0, 0, 0, 0x01, 0x00, 0}, 2, 256, 7},
      {"handshake probe", [this] { return WriteBuffer(port(), current(), 7000, 1, 0xF3, 0, 0, nullptr); },
       {0x3B, 0x01, 0xF3, 0, 0, 0, 0, 0, 0, 0}, 0, 0, 7},
      {"kernel-mode switch", [this] { return WriteBuffer(port(), current(), 7000, 4, 0xFF, 0, 256, buf()); },
       {0x3B, 0x04, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0}, 2, 256, 7},
      {"normal-mode switch", [this] { return WriteBuffer(port(), current(), 7000, 5, 0xFF, 0, 256, buf()); },
       {0x3B, 0x05, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0}, 2, 256, 7},
      {"kernel block", [this] { return WriteKernelBlock(port(), current(), 0x012345, 0x8000, buf()); },
       {0x3B, 0x07, 0xFE, 0x01, 0x23, 0x45, 0, 0x80, 0x00, 0}, 2, 0x8000, 10},
      {"normal block", [this] { return WriteNormalBlock(port(), current(), 0x1C8000, 0x3200, buf()); },
       {0x3B, 0x07, 0xF0, 0x1C, 0x80, 0x00, 0, 0x32, 0x00, 0}, 2, 0x3200, 10},
      {"enter update mode", [this] { return EnterUpdateMode(port(), current()); },
       {0x3B, 0x01, 0x30, 0, 0, 0, 0, 0, 0, 0}, 0, 0, 1},
      {"update block", [this] { return WriteUpdateBlock(port(), current(), 7000, 0x18000, 0x1010, buf()); },
       {0x3B, 0x01, 0xFF, 0x01, 0x80, 0x00, 0, 0x10, 0x10, 0}, 2, 0x1010, 7},
      {"start flash", [this] { return StartFlash(port(), current(), 7000, false); },
       {0x3B, 0x01, 0x42, 0, 0, 0, 0, 0, 0, 0}, 0, 0, 7},
      {"verify block", [this] { return ReadVerifyBlock(port(), current(), 0x8000, 0x8000, buf()); },
       {0x3C, 0x01, 0x80, 0x00, 0x80, 0x00, 0, 0x80, 0x00, 0}, 1, 0x8000, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = drive->log.size();
    c.call();
    ASSERT_EQ(drive->log.size(), before + 1);
    const sim::CommandRecord& got = drive->log.back();
    EXPECT_EQ(CdbOf(got), c.cdb);
    EXPECT_EQ(got.direction, c.direction);
    EXPECT_EQ(got.length, c.length);
    EXPECT_EQ(got.timeoutSeconds, c.seconds);
  }
  EXPECT_TRUE(other->log.empty());

  // The time-out StopUnit leaves its callers: 0, which is 60 s direct.
  TestUnitReady(port(), current(), kStopUnitTimeoutMs);
  EXPECT_EQ(drive->log.back().timeoutSeconds, 60u);
}

TEST_F(CommandsTest, OffsetAndLengthAreCutToTheirCdbFields) {
  struct Case {
    std::uint32_t offset;
    std::uint32_t length;
    Cdb cdb;
  };
  const Case cases[] = {
      {0x01ABCDEF, 0x12345, {0x3B, 0x01, 0xFF, 0xAB, 0xCD, 0xEF, 0, 0x23, 0x45, 0}},
      {0x01000000, 0x10000, {0x3B, 0x01, 0xFF, 0x00, 0x00, 0x00, 0, 0x00, 0x00, 0}},
      {0x00FFFFFF, 0xFFFF, {0x3B, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    WriteUpdateBlock(port(), current(), 7000, c.offset, c.length, buf());
    EXPECT_EQ(CdbOf(drive->log.back()), c.cdb);
    EXPECT_EQ(drive->log.back().length, c.length);  // the data phase keeps the full length
  }
}

TEST_F(CommandsTest, BridgeDecidesInquiryAndNormalSwitchTimeOuts) {
  using Call = std::function<CommandResult()>;
  struct Case {
    const char* name;
    char letter;  // volume of the current target, opened once before the call
    Call call;
    bool toOther;  // inquiry goes to target 0
    std::uint32_t seconds;
  };
  const Case cases[] = {
      {"mode 5 to a drive without address", 'F',
       [this] { return WriteBuffer(port(), current(), 7000, 5, 0xFF, 0, 256, buf()); }, false, 60},
      {"mode 4 to a drive without address", 'F',
       [this] { return WriteBuffer(port(), current(), 7000, 4, 0xFF, 0, 256, buf()); }, false, 7},
      {"mode 5 to an addressed drive", 'E',
       [this] { return WriteBuffer(port(), current(), 7000, 5, 0xFF, 0, 256, buf()); }, false, 7},
      {"inquiry after a drive without address", 'F',
       [this] { return Inquiry(port(), testing::At(ctx, 0), buf()); }, true, 1},
      {"inquiry after an addressed drive", 'E',
       [this] { return Inquiry(port(), testing::At(ctx, 0), buf()); }, true, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ctx.targets.entries[1].driveLetter = c.letter;
    TestUnitReady(port(), current(), 7000);
    c.call();
    const auto& log = (c.toOther ? other : drive)->log;
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().timeoutSeconds, c.seconds);
  }
}

TEST(Commands, NormalSwitchKeepsItsTimeOutOnTheAspiRoute) {
  auto drive = std::make_shared<sim::Qbc850Drive>();
  sim::FaultRule hang;
  hang.opcode = 0x3B;
  hang.action = sim::FaultAction::Timeout;
  drive->AddFault(hang);
  sim::SimPc pc;
  Context ctx(pc);
  const auto placed = sim::PcBuilder(sim::SimRoute::Aspi)
                          .Adapters({"ESDI_506", "ESDI_506"})
                          .Drive(drive, {.adapter = 1, .target = 0})
                          .Build(pc);
  ASSERT_NO_FATAL_FAILURE(testing::RunHostChecks(ctx));
  testing::UseTargets(ctx, placed);
  AspiPortOf(ctx)->SetBridge(0);  // equal to the current target, but not the drive's adapter

  const std::uint64_t start = pc.NowMs();
  EXPECT_EQ(WriteBuffer(PortOf(ctx), testing::At(ctx, 0), 7000, 5, 0xFF, 0, 256, ctx.host.parameterBuffer.data),
            CommandResult::WaitRanOut);
  EXPECT_EQ(pc.NowMs() - start, 7000u);
  EXPECT_EQ(drive->log.size(), 1u);
}

// The command alone fills the drive-information area; the drive-state read
// also keeps the run's kernel state in step with the reply.
TEST_F(CommandsTest, DriveStateReadKeepsKernelStateInStep) {
  struct Case {
    const char* name;
    bool kernel;
    bool fails;
    std::int32_t kernelModeBefore;
    CommandResult result;
    std::int32_t kernelMode;
    std::int32_t kernelOnlyState;
  };
  const Case cases[] = {
      {"normal part present", false, false, 1, CommandResult::Done, 0, 0},
      {"kernel part only", true, false, 0, CommandResult::Done, 1, 1},
      {"read fails, mode 1 kept", false, true, 1, CommandResult::ScsiError, 1, -1},
      {"read fails, mode 0 kept", true, true, 0, CommandResult::ScsiError, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Qbc850Config config;
    config.kernel = c.kernel;
    auto probed = std::make_shared<sim::Qbc850Drive>(config);
    if (c.fails) {
      sim::FaultRule rule;
      rule.opcode = 0x3C;
      rule.occurrence = 0;  // both reads below fail
      rule.key = 2;
      rule.asc = 0x04;
      rule.ascq = 0x01;
      probed->AddFault(rule);
    }
    // Target 0 holds a drive with its normal part, so reading the wrong one shows.
    sim::SimPc host;
    Context run(host);
    const auto placed = sim::PcBuilder().Drive(other).Drive(probed).Build(host);
    ASSERT_NO_FATAL_FAILURE(testing::RunHostChecks(run));
    testing::UseTargets(run, placed, 1);
    run.run.kernelMode = c.kernelModeBefore;
    run.run.kernelOnlyState = 0;

    EXPECT_EQ(ReadDriveInfo(PortOf(run), testing::At(run, 1), 1000, run.driveInfo.data()), c.result);
    EXPECT_EQ(run.run.kernelMode, c.kernelModeBefore);
    EXPECT_EQ(run.run.kernelOnlyState, 0);

    run.driveInfo.fill(0);
    EXPECT_EQ(ReadDriveState(run), StatusCode(c.result));
    EXPECT_EQ(run.run.kernelMode, c.kernelMode);
    EXPECT_EQ(run.run.kernelOnlyState, c.kernelOnlyState);
    if (c.result == CommandResult::Done) {
      EXPECT_EQ(std::string(run.driveInfo.begin() + 16, run.driveInfo.begin() + 24), "QBC 0100");
      EXPECT_EQ(std::string(run.driveInfo.begin() + 32, run.driveInfo.begin() + 40),
                c.kernel ? "        " : "QBC-850 ");
    }
  }
}

TEST(Commands, BytesTheDriveDidNotSendReadAsZeros) {
  // The areas hold another drive's reply (0xEE) when the command starts.
  struct Case {
    const char* name;
    bool aspi;
    bool inquiry;       // INQUIRY into the data buffer, else the drive information
    std::uint8_t sent;  // bytes the drive sends
  };
  const Case cases[] = {
      {"inquiry, nothing", false, true, 0},   {"inquiry, identity cut", false, true, 20},
      {"inquiry, aspi", true, true, 40},       {"drive information, short", false, false, 30},
      {"drive information, aspi", true, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc pc;
    Context ctx(pc);
    pc.RegisterMemory(ctx.driveInfo.data(), ctx.driveInfo.size());
    const std::vector<std::uint8_t> script = {static_cast<std::uint8_t>(sim::ScriptedReply::Short), c.sent};
    auto drive = std::make_shared<sim::ReplyScriptDrive>(std::make_shared<sim::Qbc850Drive>(), script);
    const auto placed = sim::PcBuilder(testing::RouteOf(c.aspi)).Drive(drive).Build(pc);
    ASSERT_NO_FATAL_FAILURE(testing::RunHostChecks(ctx));
    testing::UseTargets(ctx, placed);
    std::uint8_t* area = c.inquiry ? ctx.host.dataBuffer.data : ctx.driveInfo.data();
    const std::size_t size = c.inquiry ? kInquirySize : kDriveInfoSize;
    std::fill(area, area + size, 0xEE);

    const CommandTarget target = testing::At(ctx, 0);
    ASSERT_EQ(c.inquiry ? Inquiry(PortOf(ctx), target, area) : ReadDriveInfo(PortOf(ctx), target, 1000, area),
              CommandResult::Done);
    EXPECT_TRUE(std::none_of(area, area + c.sent, [](auto b) { return b == 0xEE; }));
    EXPECT_TRUE(std::all_of(area + c.sent, area + size, [](auto b) { return b == 0; }));
  }
}

// A drive that has restarted reports it once, as a unit attention, and does
// not carry that command out. A read meeting one is sent again, up to three
// times, on both routes; so are the discovery probes on pass-through (an ASPI
// probe asks for no sense and cannot tell). Nothing else is ever repeated,
// and the ready check's own TEST UNIT READY goes once: it counts the unit
// attentions itself.
TEST(Commands, OnlyReadsAreSentAgainAfterAUnitAttentionAtMostThreeTimes) {
  using Call = std::function<CommandResult(Context&)>;
  struct Command {
    const char* name;
    std::uint8_t opcode;
    std::optional<std::uint8_t> mode, buffer;
    Call call;
    bool resent;
    bool probe = false;
  };
  auto data = [](Context& c) { return c.host.dataBuffer.data; };
  auto at = [](Context& c) { return testing::At(c, 0); };
  const Command commands[] = {
      {"inquiry", 0x12, {}, {}, [&](Context& c) { return Inquiry(PortOf(c), at(c), data(c)); }, true},
      {"test unit ready", 0x00, {}, {}, [&](Context& c) { return TestUnitReady(PortOf(c), at(c), 1000); }, true},
      {"drive information", 0x3C, 2, 0xF1,
       [&](Context& c) { return ReadDriveInfo(PortOf(c), at(c), 1000, c.driveInfo.data()); }, true},
      {"firmware-area read-back", 0x3C, 1, 0x80,
       [&](Context& c) { return ReadVerifyBlock(PortOf(c), at(c), 0, 0x8000, data(c)); }, true},
      {"inquiry probe", 0x12, {}, {},
       [&](Context& c) {
         CommandTarget probed;
         probed.targetId = 1;
         return ProbeInquiry(PortOf(c), probed, data(c));
       },
       true, true},
      {"drive-information probe", 0x3C, 2, 0xF1,
       [&](Context& c) {
         CommandTarget probed;
         probed.targetId = 1;
         return ProbeDriveInfo(PortOf(c), probed, c.driveInfo.data());
       },
       true, true},
      {"the ready check's test unit ready", 0x00, {}, {},
       [&](Context& c) { return TestUnitReadyOnce(PortOf(c), at(c), 0); }, false},
      {"handshake challenge", 0x3C, 2, 0xF2,
       [&](Context& c) { return ReadBuffer(PortOf(c), at(c), 1000, 2, 0xF2, 0, 1024, data(c)); }, false},
      {"image block", 0x3B, 7, 0xF0,
       [&](Context& c) { return WriteNormalBlock(PortOf(c), at(c), 0, 0x8000, data(c)); }, false},
      {"normal-mode switch", 0x3B, 5, 0xFF,
       [&](Context& c) { return WriteBuffer(PortOf(c), at(c), 1000, 5, 0xFF, 0, 256, data(c)); }, false},
      {"stop", 0x1B, {}, {}, [&](Context& c) { return StopUnit(PortOf(c), at(c)); }, false},
  };
  for (const bool aspi : {false, true}) {
    for (const Command& command : commands) {
      for (const int attentions : {0, 1, 3, 4}) {
        SCOPED_TRACE(std::string(aspi ? "ASPI, " : "pass-through, ") + command.name + ", " +
                     std::to_string(attentions) + " unit attentions");
        auto drive = std::make_shared<testing::ScriptedDrive>();
        sim::SimPc pc;
        Context ctx(pc);
        pc.RegisterMemory(ctx.driveInfo.data(), ctx.driveInfo.size());
        const auto placed =
            sim::PcBuilder(testing::RouteOf(aspi)).Drive(drive, {.letter = 'E', .target = 1}).Build(pc);
        ASSERT_NO_FATAL_FAILURE(testing::RunHostChecks(ctx));
        testing::UseTargets(ctx, placed);
        if (command.probe && !aspi) {
          ASSERT_TRUE(PassThroughPortOf(ctx)->OpenVolume('E'));
        }
        for (int i = 1; i <= attentions; ++i) {
          drive->AddFault(testing::SenseFault(command.opcode, i, 6, 0x29, 0, command.mode, command.buffer));
        }

        const CommandResult result = command.call(ctx);
        const bool again = command.resent && !(command.probe && aspi);
        const std::size_t sends = again ? static_cast<std::size_t>(std::min(attentions, 3)) + 1 : 1;
        EXPECT_EQ(drive->log.size(), sends);
        EXPECT_EQ(result == CommandResult::Done, attentions == 0 || (again && attentions <= 3));
      }
    }
  }
}

// Only the command's own sense counts: a unit attention an earlier command
// left, under a failure that brings no sense back, is no reason to repeat.
TEST(Commands, AFailureWithoutSenseIsNotTakenForAnEarlierUnitAttention) {
  for (const bool aspi : {false, true}) {
    SCOPED_TRACE(aspi ? "ASPI" : "pass-through");
    auto drive = std::make_shared<testing::ScriptedDrive>();
    sim::SimPc pc;
    Context ctx(pc);
    const auto placed = sim::PcBuilder(testing::RouteOf(aspi)).Drive(drive, {.letter = 'E'}).Build(pc);
    ASSERT_NO_FATAL_FAILURE(testing::RunHostChecks(ctx));
    testing::UseTargets(ctx, placed);
    drive->AddFault(testing::SenseFault(0x00, 1, 6, 0x29, 0));
    sim::FaultRule lost;
    lost.opcode = 0x12;
    lost.action = sim::FaultAction::TransportFail;
    drive->AddFault(lost);

    EXPECT_EQ(TestUnitReadyOnce(PortOf(ctx), testing::At(ctx, 0), 1000), aspi ? CommandResult::Failed
                                                                              : CommandResult::ScsiError);
    EXPECT_NE(Inquiry(PortOf(ctx), testing::At(ctx, 0), ctx.host.dataBuffer.data), CommandResult::Done);
    EXPECT_EQ(drive->log.size(), 2u);
  }
}

}  // namespace
}  // namespace odf
