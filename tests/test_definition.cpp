// The built-in update definition and the run options. The definition's
// numbers show where they act (the match, the image load, the mode block, the
// procedure chosen); here is what a slip in filling the record breaks: a field
// of the wrong width, a missing or stray terminator, a table that claims the
// wrong count or keeps an earlier run's entries, and the one date the
// definition itself decides.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/definition.h"
#include "core/messages.h"
#include "image/image.h"
#include "sim/fixtures/image_maker.h"
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
  // A field's bytes over its whole declared width.
  template <typename T>
  static std::string Bytes(const T& field) {
    return std::string(reinterpret_cast<const char*>(field), sizeof field);
  }
  static std::string Zeros(std::size_t n) { return std::string(n, '\0'); }
};

// Identity fields are compared as byte runs of their full width, so each must
// hold exactly its text, trailing blanks included, and nothing after it.
TEST_F(DefinitionTest, FieldsHoldTheirTextOverTheirFullWidth) {
  ASSERT_EQ(LoadBuiltInDefinition(ctx), 1);
  const UpdateDefinition& d = ctx.definitions.entries[0];
  struct Case {
    const char* name;
    std::string bytes;     // the field over its declared width
    std::string expected;
  };
  const Case cases[] = {
      {"vendor, 8 bytes, no terminator", Bytes(d.vendor), "KESTREL "},
      {"product, 16 bytes, no terminator", Bytes(d.product), "BD-ROM  QBC-850 "},
      {"vendor tag, 8 used of 16", Bytes(d.vendorTag), "KES_ADV " + Zeros(8)},
      {"extension, 3 used of 4", Bytes(d.extension), std::string("BIN") + Zeros(1)},
      {"file name, terminated, 128 bytes", Bytes(d.fileName), "S1003431.104" + Zeros(128 - 12)},
      {"model code, 64 bytes, empty", Bytes(d.modelCode), Zeros(64)},
      {"version text, 4 bytes, empty", Bytes(d.versionText), Zeros(4)},
      {"CPU type, 8 bytes, empty", Bytes(d.cpuType), Zeros(8)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.bytes, c.expected);
  }
  // The file name names the version the run writes, in three lower-case hex digits.
  char named[16];
  std::snprintf(named, sizeof named, "S1003431.%03x", static_cast<unsigned>(ctx.run.newRevisionNumber));
  EXPECT_STREQ(d.fileName, named);
}

TEST_F(DefinitionTest, TableCountsOnlyTheBuiltInEntry) {
  ctx.definitions.definitionCount = 5;
  EXPECT_EQ(LoadBuiltInDefinition(ctx), 1);
  EXPECT_EQ(ctx.definitions.definitionCount, 1);
  EXPECT_EQ(ctx.definitions.entries.size(), 8u);
  for (int i = 1; i < kDefinitionSlots; ++i) {
    SCOPED_TRACE(i);
    const auto& entry = ctx.definitions.entries[static_cast<std::size_t>(i)];
    EXPECT_TRUE(AllZero(&entry, sizeof entry));
  }
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

// The built-in minimum date takes the image of 10 January 2008 and refuses
// one a day older.
TEST_F(DefinitionTest, MinimumDateDividesTheImagesOnTheDayOfTheRelease) {
  ASSERT_NO_FATAL_FAILURE(testing::RunHostChecks(ctx));
  struct Case {
    const char* date;
    int result;
    std::string console;
  };
  const Case cases[] = {{"08/01/10", 0, ""}, {"08/01/09", -1, EnglishText(69)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.date);
    pc.ClearConsole();
    LoadBuiltInDefinition(ctx);
    ctx.matchedDefinition = ctx.definitions.entries[0];
    ctx.selectedIndex = 0;
    sim::ImageFields fields;
    fields.date = c.date;
    pc.AddFile(ctx.matchedDefinition.fileName, sim::MakeImage(fields));
    EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), c.result);
    EXPECT_EQ(pc.Console(), c.console);
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
