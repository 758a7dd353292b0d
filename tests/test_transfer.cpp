// The mode block, the two mode switches and the block transfers, on a
// simulated PC set up by the real host checks and discovery.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/definition.h"
#include "scsi/commands.h"
#include "scsi/transport.h"
#include "scripted_port.h"
#include "sim/fixtures/image_maker.h"
#include "sim_fixture.h"
#include "update/update.h"

namespace odf {
namespace {

using sim::CommandRecord;
using sim::FaultAction;
using sim::FaultRule;

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

class TransferTest : public testing::SimFixture {
 protected:
  std::shared_ptr<sim::Qbc850Drive> drive;

  // One drive on the pass-through route, found by the real host checks and
  // discovery; unless told otherwise the drive is left in its kernel part so
  // that it takes image blocks.
  void Start(bool kernel = true) {
    sim::Qbc850Config config;
    config.kernel = kernel;
    drive = std::make_shared<sim::Qbc850Drive>(config);
    sim::PcBuilder().Drive(drive).Build(pc);
    ctx.run.oemCodePage = 437;
    ASSERT_NO_FATAL_FAILURE(testing::BringUpSingleTarget(ctx));
    drive->log.clear();
    pc.ClearConsole();
  }

  std::vector<std::uint8_t> LoadImage(std::uint32_t size) {
    sim::ImageFields fields;
    fields.size = size;
    std::vector<std::uint8_t> image = sim::MakeImage(fields);
    std::memcpy(ctx.host.imageBuffer.data, image.data(), image.size());
    ctx.image.imageSize = size;
    return image;
  }

  std::vector<CommandRecord> Sent(std::uint8_t opcode, int mode = -1, int buffer = -1) const {
    std::vector<CommandRecord> out;
    for (const auto& r : drive->log) {
      if (r.cdb[0] == opcode && (mode < 0 || r.cdb[1] == mode) && (buffer < 0 || r.cdb[2] == buffer)) {
        out.push_back(r);
      }
    }
    return out;
  }
};

TEST_F(TransferTest, ModeBlockNamesTheModelAndCarriesTheChecksumFor4003Only) {
  struct Case {
    std::int32_t familyCode;
    bool normalMode;
    const char* model;  // nullptr: no model string
    bool checksum;
  };
  const Case cases[] = {
      {0x4003, false, "KESTREL  QBW-610", true},  {0x4003, true, "KESTREL  QBW-610", true},
      {0x1041, false, "KESTREL  QRW-730", false}, {0x1041, true, "KESTREL  QRW-M55", false},
      {0x1003, true, "KESTREL QRW-T880", false},  {0x1004, false, "KESTREL QRD-W940", false},
      {0x1005, true, "KESTREL  QRW-730", false},  {0x4001, false, nullptr, false},
      {0x1006, true, nullptr, false},
  };
  ctx.matchedDefinition.checksum = 0xC23AD8B9u;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.familyCode << (c.normalMode ? " normal" : " kernel"));
    std::vector<std::uint8_t> block(256, 0xAA);  // the whole block is cleared first
    BuildModeBlock(ctx, block.data(), c.familyCode, c.normalMode);
    std::vector<std::uint8_t> expected(256, 0);
    if (c.model != nullptr) std::memcpy(expected.data(), c.model, 16);
    if (c.checksum) {
      const auto sum = Bytes({0xB9, 0xD8, 0x3A, 0xC2});
      std::copy(sum.begin(), sum.end(), expected.begin() + 16);
    }
    EXPECT_EQ(block, expected);
  }
}

TEST_F(TransferTest, KernelSwitchSendsTheModeBlockAndWaits) {
  ASSERT_NO_FATAL_FAILURE(Start(false));
  const std::uint64_t before = pc.NowMs();
  ASSERT_EQ(EnterKernelMode(ctx, 0x4003), 0);

  const auto sent = Sent(0x3B, 4, 0xFF);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::vector<std::uint8_t>(sent[0].cdb.begin(), sent[0].cdb.begin() + sent[0].cdbLength),
            Bytes({0x3B, 0x04, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0}));
  EXPECT_EQ(sent[0].direction, 2);
  EXPECT_EQ(sent[0].length, 256u);
  EXPECT_EQ(sent[0].timeoutSeconds, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(drive->lastModeBlock.data()), 16), "KESTREL  QBW-610");
  EXPECT_EQ(std::vector<std::uint8_t>(drive->lastModeBlock.begin() + 16, drive->lastModeBlock.begin() + 20),
            Bytes({0xB9, 0xD8, 0x3A, 0xC2}));
  EXPECT_TRUE(drive->inKernel());
  EXPECT_EQ(ctx.run.carriedTimeoutMs, 1000);
  EXPECT_GE(pc.NowMs() - before, 2000u);
  EXPECT_EQ(pc.Console(), "");
}

TEST_F(TransferTest, RefusedKernelSwitchShowsMessage14WithoutWaiting) {
  ASSERT_NO_FATAL_FAILURE(Start(false));
  drive->AddFault(testing::SenseFault(0x3B, 1, 5, 0x24, 0, 4, 0xFF));
  const std::uint64_t before = pc.NowMs();
  EXPECT_NE(EnterKernelMode(ctx, 0x4003), 0);
  EXPECT_EQ(pc.Console(), "\nFailed to move to the kernel mode.");
  EXPECT_EQ(ctx.run.carriedTimeoutMs, 5000);
  EXPECT_LT(pc.NowMs() - before, 2000u);
  EXPECT_FALSE(drive->inKernel());
}

TEST_F(TransferTest, KernelSwitchSkipsItsWaitOnlyForTheIntelDriverOnAspi) {
  struct Case {
    bool aspi;
    int intelDriverKind;
    bool waits;
  };
  for (const auto& c : {Case{false, 0, true}, Case{false, 2, true}, Case{true, 0, true}, Case{true, 1, false}}) {
    SCOPED_TRACE(::testing::Message() << (c.aspi ? "aspi" : "pass-through") << " intel " << c.intelDriverKind);
    testing::OneDrivePc bench(sim::Qbc850Config{}, sim::PcBuilder(testing::RouteOf(c.aspi)));
    auto& [freshPc, fresh, d] = bench;
    ASSERT_NO_FATAL_FAILURE(testing::BringUpSingleTarget(fresh));
    testing::SetIntelDriver(fresh, c.intelDriverKind);
    const std::uint64_t before = freshPc.NowMs();
    ASSERT_EQ(EnterKernelMode(fresh, 0x4003), 0);
    EXPECT_EQ(freshPc.NowMs() - before >= 2000, c.waits);
  }
}

TEST_F(TransferTest, NormalSwitchTimeOutTable) {
  struct Case {
    std::int32_t familyCode;
    TransportRoute route;
    std::int32_t bridgeIndex;
    std::int32_t hostAdapter;  // of the current target (target index 1)
    std::int32_t expected;
  };
  const auto PT = TransportRoute::PassThrough;
  const auto ASPI = TransportRoute::Aspi;
  const Case cases[] = {
      {0x1005, ASPI, 2, 2, 30000},   {0x1041, PT, -1, 0, 30000},   {0x1006, ASPI, 2, 2, 80000},
      {0x100A, ASPI, 3, 2, 60000},   {0x1042, PT, 1, 0, 60000},    {0x1046, ASPI, 2, 2, 80000},
      {0x1048, ASPI, 2, 2, 80000},   {0x1047, PT, -1, 0, 5000},    {0x4001, ASPI, 2, 2, 60000},
      {0x4003, PT, -1, 0, 60000},    {0x4004, ASPI, 2, 2, 10000},  {0x1003, ASPI, 2, 2, 10000},
      {0x1003, PT, 1, 0, 20000},     {0x1003, PT, 0, 0, 5000},     {0x1003, ASPI, -1, 0, 10000},
      {0x1004, ASPI, -1, 0, 5000},   {0x1004, PT, 1, 0, 5000},     {0x0000, ASPI, 0, 0, 10000},
  };
  ctx.targets.targetCount = 2;
  ctx.run.currentTarget = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.familyCode << std::dec << " route "
                                      << static_cast<int>(c.route) << " bridge " << c.bridgeIndex);
    testing::UseScriptedPort(ctx, {c.route, kNoIntelDriver, c.bridgeIndex});
    ctx.targets.entries[1].hostAdapter = c.hostAdapter;
    EXPECT_EQ(NormalModeTimeoutMs(ctx, c.familyCode), c.expected);
  }
}

TEST_F(TransferTest, NormalSwitchSendsItsBlockWithItsTimeOut) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_EQ(EnterNormalMode(ctx, 0x4003), 0);
  const auto sent = Sent(0x3B, 5, 0xFF);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::vector<std::uint8_t>(sent[0].cdb.begin(), sent[0].cdb.begin() + sent[0].cdbLength),
            Bytes({0x3B, 0x05, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0}));
  EXPECT_EQ(sent[0].timeoutSeconds, 60u);
  EXPECT_EQ(sent[0].length, 256u);
  EXPECT_EQ(ctx.run.carriedTimeoutMs, 5000);
}

// When a failed normal-mode switch still counts as done, and what follows it.
TEST_F(TransferTest, NormalSwitchAcceptanceRules) {
  struct Case {
    const char* name;
    bool aspi;
    bool noAddress;           // pass-through: the volume gives no SCSI address, so a bridge is known
    std::int32_t edition;
    FaultAction action;
    std::uint8_t key;         // with Sense
    bool staleNotReady;       // a "no medium" answer was summarised before
    bool accepted;
    bool readyCheckAfter;     // the general edition's TEST UNIT READY after 5000 ms
  };
  const auto S = FaultAction::Sense;
  const auto T = FaultAction::TransportFail;
  const Case cases[] = {
      {"restart reported as not ready behind a bridge", false, true, 0, S, 2, false, true, false},
      {"restart reported as unit attention behind a bridge", false, true, 0, S, 6, false, true, false},
      {"other sense behind a bridge", false, true, 0, S, 3, false, false, false},
      {"unit attention without a bridge", false, false, 0, S, 6, false, false, false},
      {"general edition on pass-through", false, false, 0x300, S, 4, false, true, true},
      {"general edition on aspi", true, false, 0x300, S, 4, false, false, false},
      {"medium error after an old not-ready summary", false, true, 0, S, 3, true, false, false},
      // The drive restarting under the switch may leave the host without any
      // status at all: the switch took effect, and the read-back decides.
      {"host failure without status behind a bridge", false, true, 0, T, 0, true, true, false},
      {"host failure without status", false, false, 0, T, 0, false, true, false},
      {"time-out on pass-through", false, false, 0, FaultAction::Timeout, 0, false, true, false},
      {"host failure without status, general edition", false, false, 0x300, T, 0, false, true, true},
      {"adapter failure on aspi", true, false, 0, T, 0, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Qbc850Config config;
    config.kernel = true;
    sim::VolumeOptions volume;
    volume.noAddress = c.noAddress;
    testing::OneDrivePc bench(config, sim::PcBuilder(testing::RouteOf(c.aspi)), {.volume = volume});
    auto& [freshPc, fresh, d] = bench;
    ASSERT_NO_FATAL_FAILURE(testing::BringUpSingleTarget(fresh));
    fresh.image.editionCode = c.edition;
    if (c.staleNotReady) {
      SenseBytes noMedium{};
      noMedium[2] = 2;
      noMedium[12] = 0x3A;
      PortOf(fresh).KeepSense(noMedium);
      PortOf(fresh).SummarizeSense();
    }
    FaultRule rule = testing::SenseFault(0x3B, 1, c.key, 0, 0, 5, 0xFF);
    rule.action = c.action;
    d->AddFault(rule);
    d->log.clear();
    freshPc.ClearConsole();
    const std::uint64_t before = freshPc.NowMs();

    const int result = EnterNormalMode(fresh, 0x4003);

    EXPECT_EQ(result == 0, c.accepted) << result;
    EXPECT_EQ(freshPc.Console(), c.accepted ? "" : "\nFailed to move to the normal mode.");
    EXPECT_EQ(fresh.run.carriedTimeoutMs, 5000);
    int readyChecks = 0;
    for (const auto& r : d->log) readyChecks += r.cdb[0] == 0x00 ? 1 : 0;
    EXPECT_EQ(readyChecks, c.readyCheckAfter ? 1 : 0);
    const std::uint64_t waited = freshPc.NowMs() - before;
    if (!c.accepted) {
      EXPECT_LT(waited, 3000u);
    } else {
      EXPECT_GE(waited, c.readyCheckAfter ? 5000u : 3000u);
    }
  }
}

TEST_F(TransferTest, NormalPartGoesInBlocksOf32KiBWithProgress) {
  struct Case {
    std::uint32_t size;
    std::vector<std::uint32_t> lengths;  // first and last blocks; all between are full
    std::size_t blocks;
    const char* progress;  // nullptr: checked by rule only
  };
  const Case cases[] = {
      {1880576, {0x8000, 0x3200}, 58, nullptr},
      {0x10000, {0x8000, 0x8000}, 2, "\rProcessing 0%\rProcessing 50%"},
      {0x100, {0x100, 0x100}, 1, "\rProcessing 0%"},
      {0x8001, {0x8000, 0x1}, 2, "\rProcessing 0%\rProcessing 99%"},
  };
  const std::string complete = "\rProcessing 100% --> Data transfer complete\r\nNow internal re-flashing...";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    sim::Qbc850Config config;
    config.kernel = true;
    testing::OneDrivePc bench(config);
    sim::SimPc& freshPc = bench.pc;
    Context& fresh = bench.ctx;
    drive = bench.drive;  // Sent() reads the fixture's drive
    ASSERT_NO_FATAL_FAILURE(testing::BringUpSingleTarget(fresh));
    sim::ImageFields fields;
    fields.size = c.size;
    const auto image = sim::MakeImage(fields);
    std::memcpy(fresh.host.imageBuffer.data, image.data(), image.size());
    fresh.image.imageSize = c.size;
    drive->log.clear();
    freshPc.ClearConsole();

    ASSERT_EQ(TransferNormalPart(fresh, TransferVariant::FamilyFour), 0);

    const auto blocks = Sent(0x3B, 7, 0xF0);
    ASSERT_EQ(blocks.size(), c.blocks);
    std::uint32_t offset = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const auto& cdb = blocks[i].cdb;
      const std::uint32_t cdbOffset = (cdb[3] << 16) | (cdb[4] << 8) | cdb[5];
      const std::uint32_t cdbLength = (cdb[7] << 8) | cdb[8];
      EXPECT_EQ(cdbOffset, offset) << "block " << i;
      EXPECT_EQ(cdbLength, blocks[i].length) << "block " << i;
      EXPECT_EQ(blocks[i].timeoutSeconds, 10u);
      const std::uint32_t expectedLength =
          i == 0 ? c.lengths[0] : (i + 1 == blocks.size() ? c.lengths[1] : 0x8000u);
      EXPECT_EQ(blocks[i].length, expectedLength) << "block " << i;
      offset += blocks[i].length;
    }
    EXPECT_EQ(offset, c.size);
    EXPECT_EQ(drive->normalImage(), image);
    EXPECT_EQ(fresh.run.carriedTimeoutMs, 10000);

    const std::string& console = freshPc.Console();
    ASSERT_GE(console.size(), complete.size());
    EXPECT_EQ(console.substr(console.size() - complete.size()), complete);
    const std::string progress = console.substr(0, console.size() - complete.size());
    if (c.progress != nullptr) {
      EXPECT_EQ(progress, c.progress);
      continue;
    }
    // One line per block, from 0 up, never reaching 100 before the end.
    int previous = -1, lines = 0;
    for (std::size_t at = 0; (at = progress.find("\rProcessing ", at)) != std::string::npos; ++lines) {
      at += 12;
      const int value = std::stoi(progress.substr(at));
      EXPECT_GE(value, previous);
      EXPECT_LT(value, 100);
      if (previous < 0) {
        EXPECT_EQ(value, 0);
      }
      previous = value;
    }
    EXPECT_EQ(lines, 58);
    EXPECT_EQ(previous, 57 * 0x8000 * 100 / 1880576);
  }
}

// However the third block fails, it is not delivered: the transfer stops there.
TEST_F(TransferTest, FailedBlockStopsTheTransferAtOnce) {
  struct Case {
    const char* name;
    FaultAction action;
  };
  const Case cases[] = {
      {"hardware error", FaultAction::Sense},
      {"host failure without any status", FaultAction::TransportFail},
      {"time-out", FaultAction::Timeout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Qbc850Config config;
    config.kernel = true;
    testing::OneDrivePc bench(config);
    auto& [freshPc, fresh, d] = bench;
    drive = d;  // Sent() reads the fixture's drive
    ASSERT_NO_FATAL_FAILURE(testing::BringUpSingleTarget(fresh));
    const auto image = sim::MakeImage({.size = 0x20000});
    std::memcpy(fresh.host.imageBuffer.data, image.data(), image.size());
    fresh.image.imageSize = 0x20000;
    FaultRule rule = testing::SenseFault(0x3B, 3, 4, 0x44, 0, 7, 0xF0);
    rule.action = c.action;
    d->AddFault(rule);
    freshPc.ClearConsole();

    EXPECT_NE(TransferNormalPart(fresh, TransferVariant::FamilyFour), 0);
    EXPECT_EQ(Sent(0x3B, 7, 0xF0).size(), 3u);
    EXPECT_EQ(d->normalImage().size(), 0x10000u);  // the two blocks before it
    EXPECT_EQ(freshPc.Console(), "\rProcessing 0%\rProcessing 25%\rProcessing 50%");
  }
}

TEST_F(TransferTest, EmptyImageIsNotSent) {
  ASSERT_NO_FATAL_FAILURE(Start());
  LoadImage(0x100);
  ctx.image.imageSize = 0;
  EXPECT_NE(TransferNormalPart(ctx, TransferVariant::FamilyFour), 0);
  EXPECT_TRUE(Sent(0x3B).empty());
  EXPECT_EQ(pc.Console(), "");
}

TEST_F(TransferTest, JapaneseCompletionText) {
  ASSERT_NO_FATAL_FAILURE(Start());
  LoadImage(0x100);
  ctx.run.oemCodePage = 932;
  ASSERT_EQ(TransferNormalPart(ctx, TransferVariant::FamilyFour), 0);
  // "\rProcessing 100% --> ﾌｧｰﾑｳｪｱ転送完了\r\n現在ﾄﾞﾗｲﾌﾞ内部でｱｯﾌﾟﾃﾞｰﾄ中です..." in cp932
  EXPECT_EQ(pc.Console(),
            "\rProcessing 0%\rProcessing 100% --> "
            "\xCC\xA7\xB0\xD1\xB3\xAA\xB1\x93\x5D\x91\x97\x8A\xAE\x97\xB9\r\n"
            "\x8C\xBB\x8D\xDD\xC4\xDE\xD7\xB2\xCC\xDE\x93\xE0\x95\x94\x82\xC5\xB1\xAF\xCC\xDF\xC3\xDE\xB0\xC4"
            "\x92\x86\x82\xC5\x82\xB7...");
}

TEST_F(TransferTest, FamilyOneProgressAndCompletion) {
  const std::string rebooting = "\r\nNow internal rebooting with new firmware....";
  const std::string reflashing = "\rProcessing 100% --> Data transfer complete\r\nNow internal re-flashing...";
  struct Case {
    const char* name;
    bool aspi;
    int intelDriverKind;
    std::int32_t familyCode;
    std::uint32_t size;
    unsigned codePage;
    std::string console;
  };
  const Case cases[] = {
      {"older family", false, 0, 0x1003, 0x10100, 437,
       "\n\rProcessing 0%\rProcessing 49%\rProcessing 99%\rProcessing 100% --> Complete" + rebooting},
      {"older family, Japanese", false, 0, 0x1004, 0x100, 932,
       "\n\rProcessing 0%\rProcessing 100% --> \x8A\xAE\x97\xB9"
       "\r\n\x90V\x82\xB5\x82\xA2\xCC\xA7\xB0\xD1\xB3\xAA\xB1\x82\xC5\xC4\xDE\xD7\xB2\xCC\xDE\x82\xF0"
       "\x8D\xC4\x8B\x4E\x93\xAE\x92\x86\x82\xC5\x82\xB7\x81\x42"},
      {"newer family", false, 0, 0x1005, 0x10100, 437,
       "\n\rProcessing 0%\rProcessing 49%\rProcessing 99%" + reflashing},
      {"intel on aspi, last block full", true, 1, 0x1003, 0x10000, 437,
       "\n\rProcessing 0%\rProcessing 100%" + rebooting},
      {"intel on aspi, last block short", true, 1, 0x1003, 0x10100, 437,
       "\n\rProcessing 0%\rProcessing 49%\rProcessing 99%"},
      {"intel on pass-through", false, 2, 0x1003, 0x10000, 437,
       "\n\rProcessing 0%\rProcessing 50%\rProcessing 100% --> Complete" + rebooting},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Qbc850Config config;
    config.kernel = true;
    testing::OneDrivePc bench(config, sim::PcBuilder(testing::RouteOf(c.aspi)));
    sim::SimPc& freshPc = bench.pc;
    Context& fresh = bench.ctx;
    drive = bench.drive;  // Sent() reads the fixture's drive
    ASSERT_NO_FATAL_FAILURE(testing::BringUpSingleTarget(fresh));
    fresh.run.oemCodePage = c.codePage;
    testing::SetIntelDriver(fresh, c.intelDriverKind);
    fresh.matchedDefinition.familyCode = c.familyCode;
    sim::ImageFields fields;
    fields.size = c.size;
    const auto image = sim::MakeImage(fields);
    std::memcpy(fresh.host.imageBuffer.data, image.data(), image.size());
    fresh.image.imageSize = c.size;
    freshPc.ClearConsole();

    ASSERT_EQ(TransferNormalPart(fresh, TransferVariant::FamilyOne), 0);
    EXPECT_EQ(freshPc.Console(), c.console);
    EXPECT_EQ(drive->normalImage(), image);
  }
}

TEST_F(TransferTest, KernelPartBlocks) {
  struct Case {
    int blockCount;
    std::uint32_t kernelSize;  // bytes of the kernel file read
    int failingBlock;  // 0: none
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sent;  // offset, length
    bool ok;
  };
  const Case cases[] = {
      {3, 0x20000, 0, {{0, 0x8000}, {0x8000, 0x8000}, {0x10000, 0x1200}}, true},
      {2, 0x20000, 0, {{0, 0x8000}, {0x8000, 0x8000}}, true},
      {3, 0x20000, 2, {{0, 0x8000}, {0x8000, 0x8000}}, false},
      // A kernel file that ends inside the blocks sends nothing: the rest of
      // the blocks would come from the normal image left in the buffer.
      {3, 0x11200, 0, {{0, 0x8000}, {0x8000, 0x8000}, {0x10000, 0x1200}}, true},
      {3, 0x111FF, 0, {}, false},
      {2, 0x10000, 0, {{0, 0x8000}, {0x8000, 0x8000}}, true},
      {2, 0x400, 0, {}, false},
  };
  ASSERT_NO_FATAL_FAILURE(Start());
  const auto image = LoadImage(0x20000);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.blockCount << " blocks of a " << c.kernelSize
                                      << "-byte file, failing " << c.failingBlock);
    ctx.image.kernelSize = c.kernelSize;
    drive->faults.clear();
    if (c.failingBlock != 0) drive->AddFault(testing::SenseFault(0x3B, c.failingBlock, 4, 0x44, 0, 7, 0xFE));
    drive->log.clear();
    EXPECT_EQ(WriteKernelPart(ctx, c.blockCount) == 0, c.ok);
    const auto blocks = Sent(0x3B, 7, 0xFE);
    ASSERT_EQ(blocks.size(), c.sent.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const auto& cdb = blocks[i].cdb;
      EXPECT_EQ(static_cast<std::uint32_t>((cdb[3] << 16) | (cdb[4] << 8) | cdb[5]), c.sent[i].first);
      EXPECT_EQ(static_cast<std::uint32_t>((cdb[7] << 8) | cdb[8]), c.sent[i].second);
      EXPECT_EQ(blocks[i].length, c.sent[i].second);
      EXPECT_EQ(blocks[i].timeoutSeconds, 10u);
    }
    if (c.ok) {
      const auto& received = drive->kernelImage();
      const std::uint32_t total = c.sent.back().first + c.sent.back().second;
      ASSERT_GE(received.size(), total);
      EXPECT_TRUE(std::equal(image.begin(), image.begin() + total, received.begin()));
    }
  }
}

}  // namespace
}  // namespace odf
