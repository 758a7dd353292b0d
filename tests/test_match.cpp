// Which definition serves a drive, and the edition table.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "core/context.h"
#include "core/definition.h"
#include "image/image.h"
#include "sim_fixture.h"

namespace odf {
namespace {

using Inquiry96 = std::array<std::uint8_t, 96>;

Inquiry96 InquiryOf(const std::string& vendorAndProduct) {
  Inquiry96 inq{};
  inq.fill(' ');
  std::memcpy(inq.data() + 8, vendorAndProduct.data(), vendorAndProduct.size());
  return inq;
}

void Put(std::array<std::uint8_t, 64>& info, std::size_t offset, const std::string& text) {
  std::memcpy(info.data() + offset, text.data(), text.size());
}

class MatchTest : public testing::SimFixture {
 protected:
  void SetUp() override { LoadBuiltInDefinition(ctx); }

  // Entry i becomes a DVD writer definition of family 0x10xx.
  void MakeWriterDefinition(int i, std::int32_t family) {
    UpdateDefinition& d = ctx.definitions.entries[static_cast<std::size_t>(i)];
    d = ctx.definitions.entries[0];
    std::memcpy(d.vendor, "KESTREL ", 8);
    std::memcpy(d.product, "DVD-RW  QRW-730 ", 16);
    std::memcpy(d.vendorTag, "KES_ADV ", 8);
    d.familyCode = family;
  }
};

TEST_F(MatchTest, IdentityIsComparedOverTheFullFieldWidths) {
  struct Case {
    const char* name;
    std::string identity;  // inquiry bytes 8..31
    int definitionCount;
    int expected;
  };
  const Case cases[] = {
      {"built-in drive", "KESTREL BD-ROM  QBC-850 ", 1, 0},
      {"product with a byte after the name", "KESTREL BD-ROM  QBC-850X", 1, -1},
      {"product ending in a zero byte", std::string("KESTREL BD-ROM  QBC-850\0", 24), 1, -1},
      {"other vendor", "KESTREX BD-ROM  QBC-850 ", 1, -1},
      {"drive left in its kernel part", "KESTREL BD-RW   QBW-610 ", 1, 0},
      {"kernel identity needs its trailing blank", "KESTREL BD-RW   QBW-610X", 1, -1},
      {"empty table", "KESTREL BD-ROM  QBC-850 ", 0, -1},
      {"empty table, kernel identity", "KESTREL BD-RW   QBW-610 ", 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ctx.definitions.definitionCount = c.definitionCount;
    ctx.run.kernelMode = 0;
    const Inquiry96 inq = InquiryOf(c.identity);
    EXPECT_EQ(MatchDefinition(ctx, inq.data()), c.expected);
    EXPECT_EQ(ctx.run.kernelMode, 0);
  }
}

TEST_F(MatchTest, KernelIdentityMatchesAnyNonWriterDefinition) {
  // Whatever the entry names, a drive in its kernel part is found by it.
  std::memcpy(ctx.definitions.entries[0].product, "BD-ROM  QBC-999 ", 16);
  for (std::int32_t family : {0x4003, 0x0001, 0x2000, 0x1100}) {
    SCOPED_TRACE(family);
    ctx.definitions.entries[0].familyCode = family;
    const Inquiry96 inq = InquiryOf("KESTREL BD-RW   QBW-610 ");
    EXPECT_EQ(MatchDefinition(ctx, inq.data()), 0);
  }
}

TEST_F(MatchTest, WriterFamiliesAlsoNeedTheVendorTag) {
  struct Case {
    const char* name;
    std::string identity;
    std::string signature;   // drive information 24..31
    std::string normalName;  // drive information 32..39
    int expected;
    int kernelMode;
  };
  const std::string writer = "KESTREL DVD-RW  QRW-730 ";
  const std::string zeros(8, '\0');
  const Case cases[] = {
      {"tag as normal-part name", writer, "GENERAL ", "KES_ADV ", 0, 0},
      {"kernel part only, tag as signature", writer, "KES_ADV ", "        ", 0, 1},
      {"failed drive-information read", writer, zeros, zeros, -1, 0},
      {"kernel part only, other signature", writer, "GENERAL ", "        ", -1, 0},
      {"other normal-part name", writer, "KES_ADV ", "QRW-730 ", -1, 0},
      {"tag without its trailing blank", writer, "KES_ADV ", "KES_ADVX", -1, 0},
      {"kernel identity, failed read", "KESTREL BD-RW   QBW-610 ", zeros, zeros, -1, 0},
      {"kernel identity, tag", "KESTREL BD-RW   QBW-610 ", zeros, "KES_ADV ", 0, 0},
  };
  for (std::int32_t family : {0x1003, 0x1041}) {
    MakeWriterDefinition(0, family);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " family " + std::to_string(family));
      ctx.driveInfo.fill(0);
      Put(ctx.driveInfo, 24, c.signature);
      Put(ctx.driveInfo, 32, c.normalName);
      ctx.run.kernelMode = 0;
      const Inquiry96 inq = InquiryOf(c.identity);
      EXPECT_EQ(MatchDefinition(ctx, inq.data()), c.expected);
      EXPECT_EQ(ctx.run.kernelMode, c.kernelMode);
    }
  }
}

TEST_F(MatchTest, FirstFittingEntryWinsAndOnlyCountedEntriesTakePart) {
  // Entry 0: a writer whose tag the drive lacks; entry 1: the same identity
  // of family four, which needs no tag.
  MakeWriterDefinition(0, 0x1041);
  MakeWriterDefinition(1, 0x4003);
  const Inquiry96 inq = InquiryOf("KESTREL DVD-RW  QRW-730 ");
  ctx.driveInfo.fill(0);

  ctx.definitions.definitionCount = 2;
  EXPECT_EQ(MatchDefinition(ctx, inq.data()), 1);
  ctx.definitions.definitionCount = 1;
  EXPECT_EQ(MatchDefinition(ctx, inq.data()), -1);

  // With the tag present both fit, and the earlier entry is taken.
  Put(ctx.driveInfo, 32, "KES_ADV ");
  ctx.definitions.definitionCount = 2;
  EXPECT_EQ(MatchDefinition(ctx, inq.data()), 0);
}

TEST(EditionCode, SignatureAndHardwareCodeGiveTheEdition) {
  struct Case {
    std::string hardware;   // bytes 16..23
    std::string signature;  // bytes 24..31
    std::int32_t expected;
  };
  const Case cases[] = {
      {"SCSI0100", "GENERAL ", 0x300}, {"SCSX0100", "GENERAL ", 0x100},
      {"QBC 0100", "GENERAL ", 0x100}, {"SCSI0100", "ORBIX   ", 0x104},
      {"QBC 0100", "ORBJPN  ", 0x108}, {"QBC 0100", "MIRO    ", 0x101},
      {"QBC 0100", "MIROLX  ", 0x111}, {"QBC 0100", "VERTEX  ", 0x103},
      {"QBC 0100", "LUMEN   ", 0x115}, {"QBC 0100", "QUILL   ", 0x102},
      {"QBC 0100", "ZEB     ", 0x121}, {"QBC 0100", "NOVA    ", 0x122},
      {"SCSI0100", "KES_ADV ", -1},    {"QBC 0100", "GENERALX", -1},
      {"QBC 0100", "MIROL   ", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signature + " / " + c.hardware);
    std::array<std::uint8_t, 64> info{};
    Put(info, 16, c.hardware);
    Put(info, 24, c.signature);
    EXPECT_EQ(EditionCodeFor(info.data()), c.expected);
  }
}

}  // namespace
}  // namespace odf
