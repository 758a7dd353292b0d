// The simulated drives: fault rules picking the right occurrence of the right
// command, and the BD-ROM model's identity, kernel switch, image blocks and
// re-flash.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drive_command.h"
#include "sim/drives/sim_drive.h"
#include "sim/fixtures/image_maker.h"

namespace odf::sim {
namespace {

using testing::Command;

CommandRecord WriteBuffer(std::uint8_t mode, std::uint8_t id, std::uint32_t offset,
                          std::uint32_t length) {
  return Command({0x3B, mode, id, static_cast<std::uint8_t>(offset >> 16),
                  static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset), 0,
                  static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), 0},
                 length ? 2 : 0, length);
}

const CommandRecord kInquiry = Command({0x12, 0, 0, 0, 0x60, 0}, 1, 96);
const CommandRecord kDriveInfo = Command({0x3C, 2, 0xF1, 0, 0, 0, 0, 0, 0x30, 0}, 1, 48);
const CommandRecord kTestUnitReady = Command({0, 0, 0, 0, 0, 0});

// Key, ASC and ASCQ of a reply; 0 for GOOD.
std::uint32_t Outcome(const DriveReply& r) {
  if (r.status == 0) return 0;
  return static_cast<std::uint32_t>(r.sense[2] << 16 | r.sense[12] << 8 | r.sense[13]);
}

TEST(FaultRules, FireOnTheChosenOccurrenceOfTheMatchingCommand) {
  FaultRule normalBlock;
  normalBlock.opcode = 0x3B;
  normalBlock.mode = 7;
  normalBlock.bufferId = 0xF0;
  normalBlock.occurrence = 2;
  normalBlock.key = 3;
  normalBlock.asc = 0x0C;
  FaultRule everyInquiry;
  everyInquiry.opcode = 0x12;
  everyInquiry.mode = 9;  // ignored: INQUIRY has no mode
  everyInquiry.occurrence = 0;
  everyInquiry.action = FaultAction::Timeout;
  FaultRule adapter;
  adapter.opcode = 0x00;
  adapter.occurrence = 1;
  adapter.action = FaultAction::TransportFail;
  adapter.returnedSenseLength = 18;
  FaultRule ioctl;
  ioctl.opcode = 0x3B;
  ioctl.mode = 5;
  ioctl.key = 6;
  ioctl.asc = 0x29;
  ioctl.ioctlFails = true;

  Qbc850Config config;
  config.ready = ReadyState::DiscLoaded;
  config.kernel = true;  // so image blocks that get through are stored
  Qbc850Drive drive(config);
  for (const auto& r : {normalBlock, everyInquiry, adapter, ioctl}) drive.AddFault(r);

  std::vector<std::uint8_t> block(256, 0x5A);
  struct Case {
    const char* name;
    CommandRecord command;
    std::uint32_t outcome;  // key/ASC/ASCQ, or 0 for GOOD or a non-sense fault
    bool timedOut, transportFail, ioctlFails;
  };
  const Case cases[] = {
      {"first unit-ready fails in the adapter", kTestUnitReady, 0, false, true, false},
      {"second unit-ready reaches the model", kTestUnitReady, 0, false, false, false},
      {"inquiry times out", kInquiry, 0, true, false, false},
      {"kernel block is another buffer", WriteBuffer(7, 0xFE, 0, 256), 0, false, false, false},
      {"first normal block", WriteBuffer(7, 0xF0, 0, 256), 0, false, false, false},
      {"second normal block fails", WriteBuffer(7, 0xF0, 256, 256), 0x30C00, false, false, false},
      {"third normal block", WriteBuffer(7, 0xF0, 512, 256), 0, false, false, false},
      {"inquiry times out again", kInquiry, 0, true, false, false},
      {"mode 5 fails with the call", WriteBuffer(5, 0xFF, 0, 256), 0x62900, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t logged = drive.log.size();
    const DriveReply r = drive.Receive(c.command, block.data());
    EXPECT_EQ(drive.log.size(), logged + 1);  // faults are logged like any command
    EXPECT_EQ(Outcome(r), c.outcome);
    EXPECT_EQ(r.timedOut, c.timedOut);
    EXPECT_EQ(r.transportFail, c.transportFail);
    EXPECT_EQ(r.ioctlFails, c.ioctlFails);
    if (c.transportFail) {
      EXPECT_EQ(r.returnedSenseLength, 18);
    }
  }
  EXPECT_EQ(drive.faults[0].seen, 3);
  EXPECT_EQ(drive.faults[1].seen, 2);
  // The block cut off by the fault never reached the model.
  ASSERT_EQ(drive.normalImage().size(), 768u);
  EXPECT_EQ(drive.normalImage()[255], 0x5A);
  EXPECT_EQ(drive.normalImage()[256], 0);
  EXPECT_EQ(drive.normalImage()[512], 0x5A);
}

// A short reply, a command the drive carries out before its answer is lost,
// and a drive that is gone from one command on.
TEST(FaultRules, ShortRepliesLostAnswersAndAVanishingDrive) {
  FaultRule shortInquiry;
  shortInquiry.opcode = 0x12;
  shortInquiry.action = FaultAction::ShortReply;
  shortInquiry.replyLength = 8;
  FaultRule shortBlock = shortInquiry;  // a write has no reply to cut
  shortBlock.opcode = 0x3B;
  shortBlock.mode = 7;
  FaultRule lostAnswer;
  lostAnswer.opcode = 0x3B;
  lostAnswer.mode = 7;
  lostAnswer.occurrence = 2;
  lostAnswer.action = FaultAction::TransportFail;
  lostAnswer.executed = true;
  FaultRule gone;
  gone.occurrence = 5;
  gone.andLater = true;
  gone.action = FaultAction::TransportFail;

  Qbc850Config config;
  config.kernel = true;
  Qbc850Drive drive(config);
  for (const auto& r : {shortInquiry, shortBlock, lostAnswer, gone}) drive.AddFault(r);

  std::array<std::uint8_t, 96> reply;
  reply.fill(0xEE);
  DriveReply r = drive.Receive(kInquiry, reply.data());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.dataTransferred, 8u);
  EXPECT_EQ(reply[2], 5);                        // the head arrives
  EXPECT_EQ(reply[8], 0xEE);                     // the rest keeps what it held
  std::vector<std::uint8_t> block(256, 0x5A);
  r = drive.Receive(WriteBuffer(7, 0xF0, 0, 256), block.data());
  EXPECT_EQ(Outcome(r), 0u);
  EXPECT_EQ(r.dataTransferred, 256u);
  block.assign(256, 0x6B);
  r = drive.Receive(WriteBuffer(7, 0xF0, 256, 256), block.data());
  EXPECT_TRUE(r.transportFail);
  ASSERT_EQ(drive.normalImage().size(), 512u);  // taken, though the host never heard
  EXPECT_EQ(drive.normalImage()[256], 0x6B);
  EXPECT_FALSE(drive.Receive(kTestUnitReady, nullptr).transportFail);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    reply.fill(0xEE);
    EXPECT_TRUE(drive.Receive(i == 1 ? kDriveInfo : kInquiry, reply.data()).transportFail);
    EXPECT_EQ(reply[0], 0xEE);
  }
}

// ---- the BD-ROM model -------------------------------------------------------------

std::array<std::uint8_t, 256> ModeBlock(std::uint32_t checksum, const char* model = "KESTREL  QBW-610") {
  std::array<std::uint8_t, 256> b{};
  std::memcpy(b.data(), model, 16);
  for (int i = 0; i < 4; ++i) b[16 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(checksum >> (8 * i));
  return b;
}

class Qbc850Test : public ::testing::Test {
 protected:
  std::array<std::uint8_t, 96> inquiry{};
  std::array<std::uint8_t, 48> info{};

  static std::string Text(const std::uint8_t* p, std::size_t n) { return std::string(p, p + n); }

  void Identify(Qbc850Drive& d) {
    inquiry.fill(0xEE);
    info.fill(0xEE);
    ASSERT_EQ(d.Receive(kInquiry, inquiry.data()).status, 0);
    ASSERT_EQ(d.Receive(kDriveInfo, info.data()).status, 0);
  }

  DriveReply Send(Qbc850Drive& d, const CommandRecord& c, const std::uint8_t* bytes) {
    std::vector<std::uint8_t> copy(bytes, bytes + c.length);
    return d.Receive(c, copy.data());
  }

  // Sends an image in blocks of `block` bytes, as the transfer does.
  void SendImage(Qbc850Drive& d, const std::vector<std::uint8_t>& image, std::uint32_t block) {
    for (std::uint32_t at = 0; at < image.size(); at += block) {
      const auto n = std::min<std::uint32_t>(block, static_cast<std::uint32_t>(image.size() - at));
      ASSERT_EQ(Outcome(Send(d, WriteBuffer(7, 0xF0, at, n), image.data() + at)), 0u) << at;
    }
  }
};

TEST_F(Qbc850Test, IdentityInNormalAndKernelMode) {
  Qbc850Config config;
  config.revision = "1.02";
  config.date = "2007/12/01";
  Qbc850Drive d(config);
  Identify(d);
  EXPECT_EQ(inquiry[0], 5);
  EXPECT_EQ(inquiry[1], 0x80);
  EXPECT_EQ(inquiry[4], 91);
  EXPECT_EQ(Text(&inquiry[8], 28), "KESTREL BD-ROM  QBC-850 1.02");
  EXPECT_EQ(Text(&inquiry[36], 12), " 2007/12/01 ");
  EXPECT_EQ(inquiry[95], ' ');
  EXPECT_EQ(Text(&info[16], 24), "QBC 0100KES_ADV QBC-850 ");
  EXPECT_EQ(info[0], 0);
  EXPECT_EQ(info[47], 0);

  // A wrong checksum or model in the mode block is refused.
  const auto wrongSum = ModeBlock(config.checksum + 1);
  EXPECT_EQ(Outcome(Send(d, WriteBuffer(4, 0xFF, 0, 256), wrongSum.data())), 0x52600u);
  const auto wrongModel = ModeBlock(config.checksum, "KESTREL  QBW-611");
  EXPECT_EQ(Outcome(Send(d, WriteBuffer(4, 0xFF, 0, 256), wrongModel.data())), 0x52600u);
  EXPECT_FALSE(d.inKernel());

  const auto good = ModeBlock(config.checksum);
  const DriveReply r = Send(d, WriteBuffer(4, 0xFF, 0, 256), good.data());
  EXPECT_EQ(Outcome(r), 0u);
  EXPECT_EQ(r.durationMs, 500u);
  EXPECT_TRUE(d.inKernel());
  EXPECT_EQ(d.lastModeBlock, good);
  Identify(d);
  EXPECT_EQ(Text(&inquiry[8], 28), "KESTREL BD-RW   QBW-610 0001");
  EXPECT_EQ(Text(&info[32], 8), "        ");
  EXPECT_EQ(Text(&info[16], 16), "QBC 0100KES_ADV ");
}

TEST_F(Qbc850Test, KernelSwitchBlocksAndReflash) {
  Qbc850Config config;
  config.ready = ReadyState::DiscLoaded;
  config.reflashMs = 15000;
  Qbc850Drive d(config);
  ImageFields fields;
  fields.size = 0x3000;
  fields.revision = "1.04 ";
  fields.date = "08/01/10";
  const auto image = MakeImage(fields);

  // Image blocks are refused outside the kernel part.
  EXPECT_EQ(Outcome(Send(d, WriteBuffer(7, 0xF0, 0, 0x1000), image.data())), 0x52C00u);
  EXPECT_EQ(Outcome(Send(d, WriteBuffer(5, 0xFF, 0, 256), ModeBlock(0).data())), 0x52C00u);
  const auto modeBlock = ModeBlock(config.checksum);
  ASSERT_EQ(Outcome(Send(d, WriteBuffer(4, 0xFF, 0, 256), modeBlock.data())), 0u);

  // A CDB length that disagrees with the data phase is a field error.
  CommandRecord mismatched = WriteBuffer(7, 0xF0, 0, 0x1000);
  mismatched.length = 0x0FFF;
  EXPECT_EQ(Outcome(Send(d, mismatched, image.data())), 0x52400u);
  EXPECT_EQ(Outcome(Send(d, WriteBuffer(7, 0xF1, 0, 16), image.data())), 0x52400u);

  // Blocks land at their CDB offsets, in any order.
  ASSERT_EQ(Outcome(Send(d, WriteBuffer(7, 0xF0, 0x2000, 0x1000), image.data() + 0x2000)), 0u);
  SendImage(d, std::vector<std::uint8_t>(image.begin(), image.begin() + 0x2000), 0x800);
  ASSERT_EQ(Outcome(Send(d, WriteBuffer(7, 0xFE, 0x10, 4), image.data())), 0u);
  EXPECT_EQ(d.normalImage(), image);
  EXPECT_EQ(d.kernelImage().size(), 0x14u);

  const DriveReply flash = Send(d, WriteBuffer(5, 0xFF, 0, 256), modeBlock.data());
  EXPECT_EQ(Outcome(flash), 0u);
  EXPECT_EQ(flash.durationMs, 15000u);
  EXPECT_FALSE(d.inKernel());
  EXPECT_EQ(d.flashCount(), 1);
  EXPECT_EQ(d.flashedImage(), image);

  // The restart shows as one unit attention, which INQUIRY does not consume.
  ASSERT_EQ(Outcome(d.Receive(kInquiry, inquiry.data())), 0u);
  EXPECT_EQ(Text(&inquiry[8], 28), "KESTREL BD-ROM  QBC-850 1.04");
  EXPECT_EQ(Text(&inquiry[37], 8), "08/01/10");
  EXPECT_EQ(Outcome(d.Receive(kTestUnitReady, nullptr)), 0x62900u);
  EXPECT_EQ(Outcome(d.Receive(kTestUnitReady, nullptr)), 0u);
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "KESTREL BD-ROM  QBC-850  rev 1.04 date 08/01/10 mode normal image 12288 bytes "
                "crc32 0x%08x",
                Crc32(image));
  EXPECT_EQ(d.Describe(), expected);
}

TEST_F(Qbc850Test, ReflashNeedsAFlashableNormalImage) {
  struct Case {
    const char* name;
    std::string signature;
    char partLetter;
    bool flashes;
    bool keepsOldFirmware = false;  // takes the image, restarts on the old firmware
  };
  const Case cases[] = {
      {"normal part", "KES_ADV ", 'N', true},
      {"kernel part sent as normal", "KES_ADV ", 'K', false},
      {"foreign signature", "KES_STD ", 'N', false},
      {"normal part, old firmware kept", "KES_ADV ", 'N', true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Qbc850Config config;
    config.kernel = true;  // a drive left in its kernel part
    config.date = "2007/12/01";
    config.keepsOldFirmware = c.keepsOldFirmware;
    Qbc850Drive d(config);
    ImageFields fields;
    fields.size = 0x200;
    fields.signature = c.signature;
    fields.partLetter = c.partLetter;
    fields.date = "09/03/15";
    fields.normalName = "QBC-851 ";
    fields.revision = "1.04 ";
    const auto image = MakeImage(fields);
    SendImage(d, image, 0x100);
    const auto block = ModeBlock(0);  // leaving the kernel part needs no checksum
    EXPECT_EQ(Outcome(Send(d, WriteBuffer(5, 0xFF, 0, 256), block.data())), 0u);
    EXPECT_EQ(d.inKernel(), !c.flashes);
    EXPECT_EQ(d.flashCount(), c.flashes ? 1 : 0);
    // Only a drive that restarted reports a unit attention.
    EXPECT_EQ(Outcome(d.Receive(kTestUnitReady, nullptr)), c.flashes ? 0x62900u : 0x23A00u);
    Identify(d);
    if (c.flashes) {
      EXPECT_EQ(d.flashedImage(), image);
      EXPECT_EQ(Text(&inquiry[32], 4), c.keepsOldFirmware ? "1.00" : "1.04");
      EXPECT_EQ(Text(&inquiry[37], 10), c.keepsOldFirmware ? "2007/12/01" : "2009/03/15");
      EXPECT_EQ(Text(&info[32], 8), c.keepsOldFirmware ? "QBC-850 " : "QBC-851 ");
    } else {
      EXPECT_EQ(Text(&inquiry[32], 4), "0001");
    }
  }
}

TEST(Crc32, MatchesTheStandardCheckValue) {
  const std::string text = "123456789";
  EXPECT_EQ(Crc32(std::vector<std::uint8_t>(text.begin(), text.end())), 0xCBF43926u);
  EXPECT_EQ(Crc32({}), 0u);
}

}  // namespace
}  // namespace odf::sim
