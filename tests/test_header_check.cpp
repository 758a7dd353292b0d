// The image header against the drive it is meant for.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/definition.h"
#include "core/messages.h"
#include "image/image.h"
#include "sim/drives/sim_drive.h"
#include "sim/fixtures/image_maker.h"
#include "sim/pc/sim_pc.h"
#include "sim_fixture.h"

namespace odf {
namespace {

constexpr std::uint32_t kSmallImage = 0x1000;

struct Shown {
  int code;
  int style;
};

UINT IconOf(int style) {
  switch (style) {
    case NoticeStop: return MB_ICONHAND;
    case NoticeInfo: return MB_ICONASTERISK;
    default: return 0xFFFF;
  }
}

// Every catalogue message reaches the console; notices also reach a box.
void ExpectShown(const sim::SimPc& pc, const std::vector<Shown>& shown) {
  std::string console;
  std::size_t box = 0;
  for (const Shown& s : shown) {
    console += EnglishText(s.code);
    if (s.style == ConsoleOnly) continue;
    ASSERT_LT(box, pc.Boxes().size()) << "no box for message " << s.code;
    EXPECT_EQ(pc.Boxes()[box].text, EnglishText(s.code));
    EXPECT_EQ(pc.Boxes()[box].type, IconOf(s.style));
    ++box;
  }
  EXPECT_EQ(pc.Boxes().size(), box);
  EXPECT_EQ(pc.Console(), console);
}

// A PC with one QBC-850 as the current target, set up by the real host
// checks, and a normal image loaded. On the ASPI route the drive is target 1
// of an adapter the host checks do not single out.
struct Bench {
  sim::SimPc pc;
  Context ctx{pc};
  std::shared_ptr<sim::Qbc850Drive> drive;
  int loaded = -1;

  Bench(const sim::Qbc850Config& config, sim::ImageFields image,
        sim::SimRoute route = sim::SimRoute::PassThrough) {
    drive = std::make_shared<sim::Qbc850Drive>(config);
    const auto placed =
        sim::PcBuilder(route).Adapter("SIM1394").Drive(drive, {.letter = 'E', .target = 1}).Build(pc);
    EXPECT_EQ(CheckHostEnvironment(ctx), kSetupDone);
    testing::UseTargets(ctx, placed);
    LoadBuiltInDefinition(ctx);
    ctx.matchedDefinition = ctx.definitions.entries[0];
    ctx.matchedDefinition.imageSize = kSmallImage;
    image.size = kSmallImage;
    pc.AddFile(ctx.matchedDefinition.fileName, sim::MakeImage(image));
    loaded = LoadBinaryImage(ctx, ImagePart::Normal);
    // The drive as the revision readout found it: 1.00 of 07/12/01.
    ctx.revision.firmwareDate = 0x20071201;
    ctx.revision.revisionNumber = 0x0100;
  }
};

sim::Qbc850Config DriveWith(const std::string& hardware, const std::string& signature,
                            const std::string& normalName) {
  sim::Qbc850Config c;
  c.hardware = hardware;
  c.signature = signature;
  c.normalName = normalName;
  return c;
}

sim::ImageFields ImageWith(const std::string& hardware, const std::string& normalName) {
  sim::ImageFields f;
  f.hardware = hardware;
  f.normalName = normalName;
  return f;
}

struct Case {
  const char* name;
  sim::Qbc850Config drive = {};
  sim::ImageFields image = {};
  std::uint32_t firmwareDate = 0x20071201;
  std::uint16_t revisionNumber = 0x0100;
  std::int32_t familyCode = 0x4003;
  std::int32_t updateScope = 1;
  std::int32_t updateAll = 0;
  std::int32_t forceUpdate = 0;
  std::int32_t signatureOverride = 0;
  int full = 1;
  int expected = 0;
  std::vector<Shown> shown = {};
  std::int32_t editionCode = -1;  // 0x7777: left as it was
};

void RunCase(const Case& c) {
  SCOPED_TRACE(c.name);
  Bench b(c.drive, c.image);
  ASSERT_EQ(b.loaded, 0);
  b.ctx.revision.firmwareDate = c.firmwareDate;
  b.ctx.revision.revisionNumber = c.revisionNumber;
  b.ctx.matchedDefinition.familyCode = c.familyCode;
  b.ctx.matchedDefinition.updateScope = c.updateScope;
  b.ctx.run.updateAll = c.updateAll;
  b.ctx.run.forceUpdate = c.forceUpdate;
  b.ctx.run.signatureOverride = c.signatureOverride;
  b.ctx.image.editionCode = 0x7777;

  EXPECT_EQ(CheckImageHeader(b.ctx, c.full), c.expected);
  ExpectShown(b.pc, c.shown);
  EXPECT_EQ(b.ctx.image.editionCode, c.editionCode);
}

TEST(CheckImageHeader, IdentityFieldsMustMatchTheDrive) {
  const Case cases[] = {
      {.name = "matching drive", .expected = 0},
      {.name = "hardware revision",
       .drive = DriveWith("QBC 0200", "KES_ADV ", "QBC-850 "),
       .expected = -1, .shown = {{1, NoticeStop}}, .editionCode = 0x7777},
      {.name = "hardware revision, trailing byte",
       .image = ImageWith("QBC 010X", "QBC-850 "),
       .expected = -1, .shown = {{1, NoticeStop}}, .editionCode = 0x7777},
      {.name = "signature",
       .drive = DriveWith("QBC 0100", "KES_ADW ", "QBC-850 "),
       .expected = -1, .shown = {{37, NoticeStop}}, .editionCode = 0x7777},
      {.name = "signature overridden",
       .drive = DriveWith("QBC 0100", "KES_ADW ", "QBC-850 "),
       .signatureOverride = 1, .expected = 0},
      {.name = "normal-part name",
       .drive = DriveWith("QBC 0100", "KES_ADV ", "QBC-851 "),
       .expected = -1, .shown = {{3, NoticeStop}}, .editionCode = 0x7777},
      {.name = "normal-part name overridden",
       .drive = DriveWith("QBC 0100", "KES_ADV ", "QBC-851 "),
       .signatureOverride = 1, .expected = 0},
      {.name = "first pass stops after the signature",
       .drive = DriveWith("QBC 0100", "KES_ADV ", "QBC-851 "),
       .revisionNumber = 0x0099, .full = 0, .expected = 0, .editionCode = 0x7777},
      {.name = "first pass still checks the signature",
       .drive = DriveWith("QBC 0100", "KES_ADW ", "QBC-850 "), .full = 0,
       .expected = -1, .shown = {{37, NoticeStop}}, .editionCode = 0x7777},
      {.name = "drive in its kernel part has no normal part to compare",
       .drive = DriveWith("QBC 0100", "KES_ADV ", "        "),
       .firmwareDate = 0x20080110, .revisionNumber = 0x0104,
       .expected = 0, .editionCode = 0x7777},
  };
  for (const auto& c : cases) RunCase(c);
}

TEST(CheckImageHeader, WriterFamilyMayCrossHardwareRevisionsOnlyWithItsKernel) {
  const auto drive11 = DriveWith("QBC 0011", "KES_ADV ", "QBC-850 ");
  const auto image10 = ImageWith("QBC 0010", "QBC-850 ");
  const Case cases[] = {
      {.name = "normal part only", .drive = drive11, .image = image10, .familyCode = 0x1041,
       .expected = -1, .shown = {{1, ConsoleOnly}}, .editionCode = 0x7777},
      {.name = "with kernel", .drive = drive11, .image = image10, .familyCode = 0x1041,
       .updateScope = 0, .expected = 0},
      {.name = "with kernel, forced", .drive = drive11, .image = image10, .familyCode = 0x1047,
       .updateScope = 0, .forceUpdate = 1, .expected = 0, .shown = {{2, ConsoleOnly}}},
      {.name = "older drive hardware, forced",
       .drive = DriveWith("QBC 0009", "KES_ADV ", "QBC-850 "), .image = image10,
       .familyCode = 0x1041, .updateScope = 0, .forceUpdate = 1, .expected = 0},
      {.name = "drive hardware number negative as 16 bits, forced",
       .drive = DriveWith("QBC 8011", "KES_ADV ", "QBC-850 "), .image = image10,
       .familyCode = 0x1041, .updateScope = 0, .forceUpdate = 1, .expected = 0},
      {.name = "other writer family", .drive = drive11, .image = image10, .familyCode = 0x1051,
       .updateScope = 0, .expected = -1, .shown = {{1, NoticeStop}}, .editionCode = 0x7777},
  };
  for (const auto& c : cases) RunCase(c);
}

TEST(CheckImageHeader, AlreadyLatestWhenNeitherDateNorRevisionIsNewer) {
  // The image is 1.04 of 08/01/10.
  const Case cases[] = {
      {.name = "same date and revision, one drive", .firmwareDate = 0x20080110,
       .revisionNumber = 0x0104, .expected = 1, .shown = {{54, NoticeInfo}},
       .editionCode = 0x7777},
      {.name = "same date and revision, all drives", .firmwareDate = 0x20080110,
       .revisionNumber = 0x0104, .updateAll = 1, .expected = 1, .shown = {{54, ConsoleOnly}},
       .editionCode = 0x7777},
      {.name = "drive newer in both", .firmwareDate = 0x20090101, .revisionNumber = 0x0105,
       .expected = 1, .shown = {{54, NoticeInfo}}, .editionCode = 0x7777},
      {.name = "image one day newer, revision older", .firmwareDate = 0x20080109,
       .revisionNumber = 0x0105, .expected = 0},
      {.name = "image revision newer, date older", .firmwareDate = 0x20090101,
       .revisionNumber = 0x0103, .expected = 0},
      {.name = "forced", .firmwareDate = 0x20080110, .revisionNumber = 0x0104,
       .forceUpdate = 1, .expected = 0, .shown = {{54, ConsoleOnly}, {2, ConsoleOnly}}},
  };
  for (const auto& c : cases) RunCase(c);
}

TEST(CheckImageHeader, PreProductionDrivesAreRefused) {
  const Case cases[] = {
      {.name = "0.99", .firmwareDate = 0x20060101, .revisionNumber = 0x0099, .expected = -1,
       .shown = {{73, NoticeStop}}, .editionCode = 0x7777},
      {.name = "0.01", .revisionNumber = 0x0001, .expected = -1, .shown = {{73, NoticeStop}},
       .editionCode = 0x7777},
      {.name = "no revision", .firmwareDate = 0, .revisionNumber = 0, .expected = 0},
      {.name = "1.00", .revisionNumber = 0x0100, .expected = 0},
  };
  for (const auto& c : cases) RunCase(c);
}

TEST(CheckImageHeader, EditionComesFromTheDriveSignature) {
  // Only a drive let through the signature test can carry an edition code.
  const Case cases[] = {
      {.name = "general, SCSI", .drive = DriveWith("SCSI0100", "GENERAL ", "QBC-850 "),
       .image = ImageWith("SCSI0100", "QBC-850 "), .signatureOverride = 1, .expected = 0,
       .editionCode = 0x300},
      {.name = "general, ATAPI", .drive = DriveWith("QBC 0100", "GENERAL ", "QBC-850 "),
       .signatureOverride = 1, .expected = 0, .editionCode = 0x100},
      {.name = "vendor tag", .expected = 0, .editionCode = -1},
  };
  for (const auto& c : cases) RunCase(c);
}

TEST(CheckImageHeader, FailedDriveInformationReadIsReportedWithItsStatus) {
  Bench b({}, {});
  ASSERT_EQ(b.loaded, 0);
  sim::FaultRule rule;
  rule.opcode = 0x3C;
  rule.bufferId = 0xF1;
  rule.occurrence = 0;
  rule.key = 4;
  rule.asc = 0x44;
  b.drive->AddFault(rule);
  b.ctx.image.editionCode = 0x7777;

  const int result = CheckImageHeader(b.ctx, 1);
  EXPECT_EQ(result, 2);  // the pass-through status of a command that ended in error
  ExpectShown(b.pc, {{0, NoticeStop}});
  EXPECT_EQ(b.ctx.image.editionCode, 0x7777);
}

// The drive on the IEEE1394 bridge adapter of the ASPI route, with
// auto-insert notification still on.
TEST(CheckImageHeader, AutoInsertNotificationOnTheBridgeIsRefused) {
  struct AutoCase {
    const char* name;
    std::uint8_t autoInsertCount;
    bool onBridge;
    std::string model;  // inquiry bytes 8..31
    int expected;
  };
  const AutoCase cases[] = {
      {"notification on", 1, true, "KESTREL DVD-RW  QRW-710 ", -1},
      {"model compared over 23 bytes", 2, true, "KESTREL DVD-RW  QRW-710X", -1},
      {"notification off", 0, true, "KESTREL DVD-RW  QRW-710 ", 0},
      {"other adapter", 1, false, "KESTREL DVD-RW  QRW-710 ", 0},
      {"other model", 1, true, "KESTREL DVD-RW  QRW-720 ", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b({}, {}, sim::SimRoute::Aspi);
    ASSERT_EQ(b.loaded, 0);
    const int adapter = b.ctx.targets.entries[0].hostAdapter;
    AspiPortOf(b.ctx)->SetBridge(c.onBridge ? adapter : adapter + 1);
    b.ctx.host.autoInsertCount = c.autoInsertCount;
    std::memcpy(b.ctx.inquiry.data() + 8, c.model.data(), 24);

    EXPECT_EQ(CheckImageHeader(b.ctx, 1), c.expected);
    if (c.expected != 0) {
      ExpectShown(b.pc, {{53, NoticeStop}});
    } else {
      ExpectShown(b.pc, {});
    }
  }
}

}  // namespace
}  // namespace odf
