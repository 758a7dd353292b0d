// The family-zero drive model, its odflsh-sim keys, and the HEX files the
// simulator writes for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/firmware_area.h"
#include "core/scsi_codes.h"
#include "image/image.h"
#include "scsi/cdb.h"
#include "sim/cli/sim_options.h"
#include "sim/cli/sim_report.h"
#include "sim/cli/sim_setup.h"
#include "sim/drives/qrd_drive.h"
#include "sim/fixtures/hex_image.h"
#include "sim_fixture.h"

namespace odf::sim {
namespace {

// ---- odflsh-sim keys ------------------------------------------------------------

TEST(QrdDriveOptions, KeysFillTheModel) {
  const ParseOutcome p = ParseSimOptions(
      {"--drive", "QRD570,rev=1.06,date=2003/06/12,modelcode=KESTREL QRD-575,cputype=H8S,ident=identB,"
                  "letter=f,fail=readbuf/1/80@2:3/11/0"});
  ASSERT_TRUE(p.ok) << p.error;
  const DriveOption& d = p.options.drives.at(0);
  EXPECT_EQ(d.model, DriveModel::Qrd570);
  EXPECT_EQ(d.qrd.revision, "1.06");
  EXPECT_EQ(d.qrd.date, "2003/06/12");
  EXPECT_EQ(d.qrd.modelCode, "KESTREL QRD-575 ");
  EXPECT_EQ(d.qrd.cpuType, std::optional<std::string>("H8S             "));
  EXPECT_EQ(d.qrd.layout, FirmwareLayout::IdentB);
  EXPECT_EQ(d.place.letter, 'F');
  ASSERT_EQ(d.faults.size(), 1u);
  EXPECT_EQ(d.faults[0].occurrence, 2);

  const struct {
    const char* value;
    FirmwareLayout layout;
  } layouts[] = {{"text1000", FirmwareLayout::Text1000}, {"text1010", FirmwareLayout::Text1010},
                 {"text1C000", FirmwareLayout::Text1C000}, {"identA", FirmwareLayout::IdentA},
                 {"IDENTC", FirmwareLayout::IdentC}, {"none", FirmwareLayout::None}};
  for (const auto& l : layouts) {
    const ParseOutcome r = ParseSimOptions({"--drive", std::string("qrd570,ident=") + l.value});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.drives.at(0).qrd.layout, l.layout) << l.value;
  }
}

TEST(QrdDriveOptions, BadKeysAreRefusedWithAReason) {
  const struct {
    const char* drive;
    const char* reason;
  } cases[] = {
      {"qrd570,sig=KES", "unknown drive key 'sig' for qrd570"},
      {"qrd570,ident=1F000", "ident= takes"},
      {"qrd570,date=3/6/12", "date="},
      {"qrd570,target=9", "target="},
      {"qrd571", "qrw730, qrd570)"},
  };
  for (const auto& c : cases) {
    const ParseOutcome p = ParseSimOptions({"--drive", c.drive});
    EXPECT_FALSE(p.ok) << c.drive;
    EXPECT_NE(p.error.find(c.reason), std::string::npos) << p.error;
  }
}

TEST(QrdDriveOptions, TheSimulatedPcCarriesTheModelWithItsFaults) {
  const ParseOutcome p =
      ParseSimOptions({"--route", "aspi", "--drive", "qbc850", "--drive", "qrd570,rev=1.06,fail=inquiry:5/24/0"});
  ASSERT_TRUE(p.ok) << p.error;
  SimPc pc;
  const auto placed = BuildSimPc(p.options, pc);
  ASSERT_EQ(placed.size(), 2u);
  EXPECT_NE(std::dynamic_pointer_cast<Qbc850Drive>(placed[0].drive), nullptr);
  const auto qrd = std::dynamic_pointer_cast<Qrd570Drive>(placed[1].drive);
  ASSERT_NE(qrd, nullptr);
  EXPECT_EQ(qrd->config().revision, "1.06");
  EXPECT_EQ(qrd->faults.size(), 1u);
  EXPECT_EQ(placed[1].label, "0:1");
}

// ---- the drive ----------------------------------------------------------------------

CommandRecord Write(std::uint8_t bufferId, std::uint32_t offset, std::uint32_t length) {
  CommandRecord r;
  r.cdb = BufferCdb(kOpWriteBuffer, kModeVendor, bufferId, offset, length);
  r.cdbLength = 10;
  r.direction = length == 0 ? 0 : 2;
  r.length = length;
  return r;
}

CommandRecord Read(std::uint8_t mode, std::uint8_t bufferId, std::uint32_t offset, std::uint32_t length) {
  CommandRecord r;
  r.cdb = BufferCdb(kOpReadBuffer, mode, bufferId, offset, length);
  r.cdbLength = 10;
  r.direction = 1;
  r.length = length;
  return r;
}

std::uint32_t SenseOf(const DriveReply& reply) {
  return reply.status == 0 ? 0 : (std::uint32_t{reply.sense[2]} << 16 | reply.sense[12] << 8 | reply.sense[13]);
}

TEST(QrdDrive, RefusesWhatItCannotTake) {
  const struct {
    const char* name;
    bool enterUpdateMode;
    CommandRecord command;
    std::uint32_t sense;
  } cases[] = {
      {"block outside update mode", false, Write(kBufferModeSwitch, 0, 0x8000), 0x052C00},
      {"flash outside update mode", false, Write(kBufferFlashStart, 0, 0), 0x052C00},
      {"flash before the closing block", true, Write(kBufferFlashStart, 0, 0), 0x052C00},
      {"closing block without a marker", true, Write(kBufferModeSwitch, 0x1F000, 0x1010), 0x052600},
      {"read past the firmware area", false, Read(kModeVendor, kBufferFirmwareArea, 0x1F000, 0x1001), 0x052400},
      {"drive information", false, Read(kModeDriveInfo, kBufferDriveInfo, 0, 48), 0x052400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Qrd570Drive drive;
    std::vector<std::uint8_t> data(0x10000, 0);
    if (c.enterUpdateMode) {
      ASSERT_EQ(drive.Receive(Write(kBufferUpdateMode, 0, 0), nullptr).status, 0);
    }
    EXPECT_EQ(SenseOf(drive.Receive(c.command, data.data())), c.sense);
    EXPECT_EQ(drive.flashCount(), 0);
  }
}

TEST(QrdDrive, FlashesExactlyTheImageUpToTheClosingBlock) {
  const struct {
    const char* marker;
    std::uint32_t imageSize;
    std::size_t areaSize;
  } cases[] = {{"WIN ", 0x20000, 0x20000}, {"WIN2", 0x11000, 0x20000}, {"WIN2", 0x30000, 0x30000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.imageSize);
    Qrd570Drive drive;
    std::vector<std::uint8_t> image(c.imageSize + 0x8000);  // room for the last full block's overshoot
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i ^ (i >> 9));
    ASSERT_EQ(drive.Receive(Write(kBufferUpdateMode, 0, 0), nullptr).status, 0);
    for (std::uint32_t at = 0; at < c.imageSize - 0x1000; at += 0x8000) {
      ASSERT_EQ(drive.Receive(Write(kBufferModeSwitch, at, 0x8000), image.data() + at).status, 0);
    }
    const std::uint32_t closing = c.imageSize - 0x1000;
    std::memcpy(image.data() + c.imageSize, c.marker, 4);
    ASSERT_EQ(drive.Receive(Write(kBufferModeSwitch, closing, 0x1010), image.data() + closing).status, 0);
    EXPECT_TRUE(drive.inUpdateMode());
    const DriveReply flash = drive.Receive(Write(kBufferFlashStart, 0, 0), nullptr);
    EXPECT_EQ(flash.status, 0);
    EXPECT_EQ(flash.durationMs, 8000u);

    std::vector<std::uint8_t> expected(image.begin(), image.begin() + c.imageSize);
    expected.resize(c.areaSize, 0xFF);
    EXPECT_EQ(drive.firmwareArea(), expected);
    EXPECT_EQ(drive.marker(), c.marker);
    EXPECT_FALSE(drive.inUpdateMode());

    std::vector<std::uint8_t> readBack(0x1000);
    ASSERT_EQ(drive.Receive(Read(kModeVendor, kBufferFirmwareArea, closing, 0x1000), readBack.data()).status, 0);
    EXPECT_TRUE(std::equal(readBack.begin(), readBack.end(), image.begin() + closing));

    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08x", static_cast<unsigned>(Crc32(expected)));
    EXPECT_EQ(drive.Describe(), "KESTREL DVD-ROM QRD-570  rev 1.05 date 03/06/12 mode normal image " +
                                    std::to_string(c.areaSize) + " bytes crc32 " + crc + " marker \"" +
                                    c.marker + "\"");
  }
}

// ---- HEX files ------------------------------------------------------------------------

class HexImageTest : public testing::SimFixture {
 protected:
  std::vector<std::uint8_t> data = std::vector<std::uint8_t>(0x200000);
  std::vector<std::uint8_t> image = std::vector<std::uint8_t>(0x200000);

  void SetUp() override {
    ctx.host.dataBuffer = SharedBuffer{0, data.data(), data.size()};
    ctx.host.imageBuffer = SharedBuffer{0, image.data(), image.size()};
  }
};

TEST_F(HexImageTest, TheProductReadsBackWhatTheSimulatorWrites) {
  for (std::int32_t family : {1, 8, 9, 10, 11}) {
    SCOPED_TRACE(family);
    UpdateDefinition d{};
    std::strcpy(d.fileName, "QRD570.HEX");
    std::memcpy(d.modelCode, "KESTREL QRD-570 ", 16);
    std::memcpy(d.cpuType, "MN103S  ", 8);
    d.imageSize = 0x20000;
    d.familyCode = family;
    const auto made = MakeFamilyZeroImage(d);
    const std::string text = HexText(made);
    // The erased run at 0x6000 has no records; segments change at 64 KiB.
    const std::string firstSegment = text.substr(0, text.find(":02000002"));
    EXPECT_EQ(firstSegment.find(":106"), std::string::npos);
    EXPECT_NE(firstSegment.find(":107000"), std::string::npos);
    EXPECT_NE(text.find(":020000021000EC\r\n"), std::string::npos);
    EXPECT_EQ(std::count(made.begin() + 0x6000, made.begin() + 0x7000, 0xFF), 0x1000);

    pc.AddFile("QRD570.HEX", {text.begin(), text.end()});
    ctx.matchedDefinition = d;
    ASSERT_EQ(LoadHexImage(ctx), 0);
    EXPECT_TRUE(std::equal(made.begin(), made.end(), image.begin()));

    const ImageIdentityPlaces places = ImagePlacesFor(family);
    const FirmwareCode& model = IsBinaryFamily(family) ? BinaryModelFor(family) : FirmwareCode{};
    if (IsBinaryFamily(family)) {
      EXPECT_TRUE(std::equal(model.begin(), model.end(), image.begin() + places.modelOffset));
      EXPECT_TRUE(std::equal(kCpuIdent.begin(), kCpuIdent.end(), image.begin() + places.cpuOffset));
    } else {
      EXPECT_EQ(std::string(image.begin() + places.modelOffset, image.begin() + places.modelOffset + 12),
                "KESTREL QRD-");
      EXPECT_EQ(std::string(image.begin() + places.cpuOffset, image.begin() + places.cpuOffset + 12),
                "MN103S      ");
    }
  }
}

TEST_F(HexImageTest, ThePatchFileFillsItsBlock) {
  ASSERT_TRUE(WritePatchFile(::testing::TempDir() + "G6PATCH.HEX"));
  pc.SetHostDirectory(::testing::TempDir());
  ctx.matchedDefinition.imageSize = 0x20000;
  ASSERT_EQ(LoadHexPatch(ctx), 0);
  const auto block = MakePatchBlock();
  EXPECT_TRUE(std::equal(block.begin(), block.end(), image.begin() + 0x20000));
}

}  // namespace
}  // namespace odf::sim
