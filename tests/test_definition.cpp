// The built-in update definition and the run options.
#include <cstring>
#include <string>

#include "core/definition.h"
#include "sim_fixture.h"

namespace odf {
namespace {

class DefinitionTest : public testing::SimFixture {
 protected:
  static bool AllZero(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
      if (bytes[i] != 0) return false;
    }
    return true;
  }
  template <typename T>
  static std::string Bytes(const T& field) {
    return std::string(reinterpret_cast<const char*>(field), sizeof field);
  }
};

TEST_F(DefinitionTest, EntryZeroHoldsTheBuiltInDrive) {
  EXPECT_EQ(LoadBuiltInDefinition(ctx), 1);
  EXPECT_EQ(ctx.definitions.definitionCount, 1);
  EXPECT_EQ(ctx.run.newRevisionNumber, 0x0104);

  const UpdateDefinition& d = ctx.definitions.entries[0];
  // The name, its terminating zero, and nothing after it.
  EXPECT_EQ(std::memcmp(d.fileName, "S1003431.104", 13), 0);
  EXPECT_TRUE(AllZero(d.fileName + 13, sizeof d.fileName - 13));
  // Fixed-width fields over their full width, trailing blanks included.
  EXPECT_EQ(Bytes(d.vendor), "KESTREL ");
  EXPECT_EQ(Bytes(d.product), "BD-ROM  QBC-850 ");
  EXPECT_EQ(Bytes(d.vendorTag), std::string("KES_ADV ") + std::string(8, '\0'));
  EXPECT_EQ(Bytes(d.extension), std::string("BIN", 4));
  EXPECT_TRUE(AllZero(d.modelCode, sizeof d.modelCode));
  EXPECT_TRUE(AllZero(d.versionText, sizeof d.versionText));
  EXPECT_TRUE(AllZero(d.cpuType, sizeof d.cpuType));

  EXPECT_EQ(d.imageSize, 1880576u);
  EXPECT_EQ(d.familyCode, 0x4003);
  EXPECT_EQ(d.familyCode & 0xF000, 0x4000);  // the family-four procedure
  EXPECT_EQ(d.downgradeWarning, 0);
  EXPECT_EQ(d.minimumImageDate, 0x20080110u);
  EXPECT_EQ(d.checksum, 0xC23AD8B9u);
  EXPECT_EQ(d.updateScope, 1);
}

TEST_F(DefinitionTest, LoadingClearsWhatAnEarlierRunLeft) {
  // Leftovers in every slot and in the matched copy.
  for (auto& entry : ctx.definitions.entries) {
    std::memset(&entry, 0x5A, sizeof entry);
  }
  std::memset(&ctx.matchedDefinition, 0x5A, sizeof ctx.matchedDefinition);
  ctx.definitions.definitionCount = 8;
  ctx.run.newRevisionNumber = 0x0999;

  EXPECT_EQ(LoadBuiltInDefinition(ctx), 1);
  EXPECT_EQ(ctx.definitions.definitionCount, 1);
  EXPECT_TRUE(AllZero(&ctx.matchedDefinition, sizeof ctx.matchedDefinition));
  EXPECT_STREQ(ctx.definitions.entries[0].fileName, "S1003431.104");
  EXPECT_TRUE(AllZero(ctx.definitions.entries[0].modelCode, 64));
  for (int i = 1; i < kDefinitionSlots; ++i) {
    SCOPED_TRACE(i);
    UpdateDefinition entry = ctx.definitions.entries[static_cast<std::size_t>(i)];
    // The vendor tag slot is the one field the clear keeps.
    std::memset(entry.vendorTag, 0, sizeof entry.vendorTag);
    EXPECT_TRUE(AllZero(&entry, sizeof entry));
  }
}

TEST_F(DefinitionTest, FreshTableHasOnlyEntryZero) {
  LoadBuiltInDefinition(ctx);
  for (int i = 1; i < kDefinitionSlots; ++i) {
    SCOPED_TRACE(i);
    const auto& entry = ctx.definitions.entries[static_cast<std::size_t>(i)];
    EXPECT_TRUE(AllZero(&entry, sizeof entry));
  }
}

TEST_F(DefinitionTest, ResetClearsOnlyTheRunOptions) {
  ctx.run.forceUpdate = ctx.run.expertOverride = 1;
  ctx.run.signatureOverride = ctx.run.handshakeSelect = 1;
  ctx.run.updateAll = 1;
  ctx.run.currentTarget = 3;
  ctx.run.oemCodePage = 932;
  ResetRunState(ctx);
  EXPECT_EQ(ctx.run.forceUpdate, 0);
  EXPECT_EQ(ctx.run.expertOverride, 0);
  EXPECT_EQ(ctx.run.signatureOverride, 0);
  EXPECT_EQ(ctx.run.handshakeSelect, 0);
  EXPECT_EQ(ctx.run.updateAll, 1);
  EXPECT_EQ(ctx.run.currentTarget, 3);
  EXPECT_EQ(ctx.run.oemCodePage, 932u);
}

}  // namespace
}  // namespace odf
