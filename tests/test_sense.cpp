// The sense decisions, on whole fixed-format sense buffers as drives return them.
#include <gtest/gtest.h>

#include <cstdint>

#include "scsi/sense.h"

namespace odf {
namespace {

// Fixed-format sense with the additional length filled in and noise in the
// bytes no decision may read (information, command-specific, FRU).
SenseData Sense(std::uint8_t keyByte, std::uint8_t asc, std::uint8_t ascq) {
  return {0x70, 0x00, keyByte, 0x12, 0x34, 0x56, 0x78, 0x0A, 0x9A, 0xBC, 0xDE, 0xF0, asc, ascq, 0x5A, 0, 0, 0};
}

TEST(Sense, PackKeepsTheKeyByteWhole) {
  struct Case {
    SenseData sense;
    std::uint32_t summary;
  };
  const Case cases[] = {
      {Sense(0x05, 0x24, 0x00), 0x052400},
      {Sense(0x02, 0x04, 0x01), 0x020401},
      {Sense(0x82, 0x3A, 0x00), 0x823A00},  // filemark bit set: not masked away
      {Sense(0x00, 0x00, 0x00), 0x000000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PackSense(c.sense), c.summary);
  }
}

TEST(Sense, ReadyCheck) {
  using R = ReadyCheckSense;
  struct Case {
    const char* name;
    SenseData sense;
    ReadyCheckSense verdict;
  };
  const Case cases[] = {
      {"no medium", Sense(0x02, 0x3A, 0x00), R::Idle},
      {"no medium, tray open", Sense(0x02, 0x3A, 0x02), R::Idle},
      {"stopped, needs a start", Sense(0x02, 0x04, 0x02), R::Idle},
      {"becoming ready", Sense(0x02, 0x04, 0x01), R::BecomingReady},
      {"not ready, cause not reportable", Sense(0x02, 0x04, 0x00), R::Other},
      {"not ready, manual intervention", Sense(0x02, 0x04, 0x03), R::Other},
      {"unit attention", Sense(0x06, 0x29, 0x00), R::UnitAttention},
      {"unit attention with the medium code", Sense(0x06, 0x3A, 0x00), R::UnitAttention},
      {"no medium code under another key", Sense(0x05, 0x3A, 0x00), R::Other},
      {"becoming ready code under another key", Sense(0x03, 0x04, 0x01), R::Other},
      {"not-ready key with a flag bit", Sense(0x22, 0x3A, 0x00), R::Other},
      {"unit-attention key with a flag bit", Sense(0x26, 0x29, 0x00), R::Other},
      {"no sense at all", SenseData{}, R::NoSense},
      {"key 0 with a code", Sense(0x00, 0x3A, 0x00), R::Other},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(JudgeReadyCheck(PackSense(c.sense)), c.verdict);
  }
}

TEST(Sense, RestartAfterTheNormalSwitchAndTheIntelNotReadyRule) {
  struct Case {
    const char* name;
    SenseData sense;
    bool restart;
    bool intelPassesRead;  // a READ BUFFER failing with this sense, under the Intel ATA driver
  };
  const Case cases[] = {
      {"not ready", Sense(0x02, 0x04, 0x01), true, true},
      {"not ready, no medium", Sense(0x02, 0x3A, 0x00), true, true},
      {"unit attention", Sense(0x06, 0x29, 0x00), true, false},
      {"illegal request", Sense(0x05, 0x24, 0x00), false, false},
      {"medium error", Sense(0x03, 0x11, 0x00), false, false},
      {"not-ready key with a flag bit", Sense(0x82, 0x04, 0x01), false, false},
      {"no sense", SenseData{}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint32_t summary = PackSense(c.sense);
    EXPECT_EQ(SenseShowsRestart(summary), c.restart);
    EXPECT_EQ(IntelAtaDriverPassesNotReady(kOpReadBuffer, summary), c.intelPassesRead);
    // The ready check itself, and anything that carries data or a mode
    // switch to the drive, is never excused.
    EXPECT_FALSE(IntelAtaDriverPassesNotReady(kOpTestUnitReady, summary));
    EXPECT_FALSE(IntelAtaDriverPassesNotReady(kOpWriteBuffer, summary));
  }
}

// Which failed commands are sent again: reads only, and only for a unit
// attention the command brought back itself.
TEST(Sense, OnlyAReadThatMetAUnitAttentionIsSentAgain) {
  const CdbBytes inquiry = InquiryCdb();
  const CdbBytes testUnitReady{};
  const CdbBytes driveInfo = DriveInfoCdb();
  const CdbBytes verifyRead = BufferCdb(kOpReadBuffer, kModeVendor, kBufferFirmwareArea, 0x8000, 0x8000);
  const CdbBytes challengeRead = BufferCdb(kOpReadBuffer, kModeDriveInfo, kBufferHandshake, 0, 0x400);
  const CdbBytes otherReadBuffer = BufferCdb(kOpReadBuffer, kModeVendor, kBufferDriveInfo, 0, 48);
  const CdbBytes imageBlock = BufferCdb(kOpWriteBuffer, kModeDownload, kBufferNormalPart, 0, 0x8000);
  const CdbBytes normalSwitch = BufferCdb(kOpWriteBuffer, kModeNormalSwitch, kBufferModeSwitch, 0, 256);
  CdbBytes stop{};
  stop[0] = kOpStartStopUnit;
  const SenseData attention = Sense(0x06, 0x29, 0x00);
  struct Case {
    const char* name;
    CdbBytes cdb;
    bool fresh;
    SenseData sense;
    int resends;  // already sent again this many times
    bool again;
  };
  const Case cases[] = {
      {"INQUIRY", inquiry, true, attention, 0, true},
      {"TEST UNIT READY", testUnitReady, true, attention, 0, true},
      {"drive-information read", driveInfo, true, attention, 0, true},
      {"firmware-area read-back", verifyRead, true, attention, 0, true},
      {"medium changed", inquiry, true, Sense(0x06, 0x28, 0x00), 0, true},
      {"third resend", driveInfo, true, attention, 2, true},
      {"no fourth resend", driveInfo, true, attention, 3, false},
      {"handshake challenge read", challengeRead, true, attention, 0, false},
      {"READ BUFFER of another mode", otherReadBuffer, true, attention, 0, false},
      {"image block", imageBlock, true, attention, 0, false},
      {"normal-mode switch", normalSwitch, true, attention, 0, false},
      {"START STOP UNIT", stop, true, attention, 0, false},
      {"sense an earlier command left", inquiry, false, attention, 0, false},
      {"not ready", inquiry, true, Sense(0x02, 0x04, 0x01), 0, false},
      {"unit-attention key with a flag bit", inquiry, true, Sense(0x26, 0x29, 0x00), 0, false},
      {"no sense", inquiry, true, SenseData{}, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ResendAfterUnitAttention(c.cdb, c.fresh, c.sense, c.resends), c.again);
  }
}

}  // namespace
}  // namespace odf
