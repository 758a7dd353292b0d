// odflsh-sim's other definitions: the --definition text, the writer models
// on --drive, and the image files --make-image writes for a definition.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/image_state.h"
#include "sim/cli/sim_options.h"
#include "sim/fixtures/sim_definition.h"

namespace odf::sim {
namespace {

constexpr const char* kQrw730 =
    "fileName=Q7300122.BIN,vendor=KESTREL,product=DVD-RW  QRW-730,extension=BIN,imageSize=0x100000,"
    "familyCode=0x1005,updateScope=1,minimumImageDate=0x20070101,vendorTag=QRW730N";

std::string Bytes(const std::uint8_t* field, std::size_t width) {
  return std::string(reinterpret_cast<const char*>(field), width);
}

TEST(SimDefinition, FieldsAsTheUtilityKeepsThem) {
  UpdateDefinition d{};
  std::string error;
  ASSERT_TRUE(ParseDefinition(std::string(kQrw730) + ",checksum=3258636473,downgradeWarning=1", d, error)) << error;
  EXPECT_STREQ(d.fileName, "Q7300122.BIN");
  EXPECT_EQ(Bytes(d.vendor, 8), "KESTREL ");
  EXPECT_EQ(Bytes(d.product, 16), "DVD-RW  QRW-730 ");
  EXPECT_EQ(Bytes(d.extension, 4), std::string("BIN\0", 4));
  EXPECT_EQ(Bytes(d.vendorTag, 16), std::string("QRW730N \0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(d.imageSize, 0x100000u);
  EXPECT_EQ(d.familyCode, 0x1005);
  EXPECT_EQ(d.updateScope, 1);
  EXPECT_EQ(d.minimumImageDate, 0x20070101u);
  EXPECT_EQ(d.checksum, 0xC23AD8B9u);
  EXPECT_EQ(d.downgradeWarning, 1);
  // Fields not given are zero.
  EXPECT_EQ(Bytes(d.modelCode, 64), std::string(64, '\0'));
  EXPECT_EQ(Bytes(d.cpuType, 8), std::string(8, '\0'));

  // A fileName of 127 characters still leaves room for its terminator.
  ASSERT_TRUE(ParseDefinition("fileName=" + std::string(127, 'F'), d, error)) << error;
  EXPECT_EQ(std::strlen(d.fileName), 127u);
}

TEST(SimDefinition, BadTextIsRefusedWithAReason) {
  struct Case {
    std::string text;
    const char* reason;
  };
  const Case cases[] = {
      {"vendr=KESTREL", "unknown field 'vendr'"},
      {"vendor=KESTREL 9", "vendor takes at most 8 characters"},
      {"product=DVD-RW  QRW-730 EXTRA", "product takes at most 16"},
      {"fileName=" + std::string(128, 'F'), "fileName takes at most 127"},
      {"imageSize=0x", "imageSize takes a decimal or 0x-hex number"},
      {"imageSize=12a", "imageSize"},
      {"imageSize=4294967296", "imageSize"},
      {"familyCode=0x10000", "familyCode"},
      {"updateScope=-1", "updateScope"},
      {"checksum=", "checksum"},
      {"vendor", "needs FIELD=VALUE"},
      {"vendor=A,vendor=B", "given twice"},
      {"", "needs FIELD=VALUE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    UpdateDefinition d{};
    std::string error;
    EXPECT_FALSE(ParseDefinition(c.text, d, error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(SimDefinition, CommandLine) {
  const ParseOutcome two = ParseSimOptions({"--definition", kQrw730, "--definition=vendor=ARDN", "--drive",
                                            "qrw730,rev=1.22,handshake=1,kernelid=qrw,family=0x1041"});
  ASSERT_TRUE(two.ok) << two.error;
  ASSERT_EQ(two.options.definitions.size(), 2u);
  EXPECT_EQ(two.options.definitions[0].familyCode, 0x1005);
  EXPECT_EQ(Bytes(two.options.definitions[1].vendor, 8), "ARDN    ");
  const DriveOption& d = two.options.drives.at(0);
  ASSERT_TRUE(d.writer.has_value());
  EXPECT_TRUE(d.writer->handshake);
  EXPECT_EQ(d.writer->families, std::vector<std::int32_t>{0x1041});
  EXPECT_EQ(d.config.revision, "1.22");
  EXPECT_EQ(d.config.product, "DVD-RW  QRW-730 ");
  EXPECT_EQ(d.config.normalName, "QRW730N ");
  EXPECT_EQ(d.config.kernelModel, "KESTREL DVD-RW  QRW-730 ");
  EXPECT_EQ(d.config.kernelRevision, "0000");

  struct Case {
    std::vector<std::string> args;
    const char* reason;
  };
  std::vector<std::string> nine;
  for (int i = 0; i < 9; ++i) nine.insert(nine.end(), {"--definition", kQrw730});
  const Case cases[] = {
      {nine, "--definition: at most 8 definitions"},
      {{"--definition", "vendor=TOO LONG VENDOR"}, "--definition: vendor takes at most 8"},
      {{"--definition"}, "--definition needs a value"},
      {{"--drive", "qbc850,handshake=1"}, "unknown drive key 'handshake'"},
      {{"--drive", "qrw710,handshake=yes"}, "handshake= takes 1 or 0"},
      {{"--drive", "qrw720,kernelid=bd"}, "kernelid= takes qbw or qrw"},
      {{"--drive", "qrw730,family=0x10000"}, "family="},
      {{"--drive", "qrw740"}, "unknown drive model 'qrw740'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ParseOutcome p = ParseSimOptions(c.args);
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find(c.reason), std::string::npos) << p.error;
  }
}

// --make-image for the built-in definition writes the very image the
// simulator always wrote for it.
TEST(SimImages, BuiltInDefinitionGivesTheUsualImage) {
  std::vector<ImageFile> files;
  std::string error;
  ASSERT_TRUE(ImagesForDefinition(BuiltInDefinition(), ImageFields{}, "S1003431.104", files, error)) << error;
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].path, "S1003431.104");
  EXPECT_EQ(files[0].bytes, MakeImage());
}

TEST(SimImages, FitTheDefinitionAndTheDrivesDefaults) {
  struct Case {
    const char* name;
    std::string definition;
    std::string path;
    const char* hardware;    // the default drive's, at 0xB0
    const char* normalName;  // at 0xF0
    std::vector<std::pair<std::string, std::uint32_t>> files;  // path and size
    const char* date;
  };
  const Case cases[] = {
      {"family one, normal part only", kQrw730, "Q7300122.BIN", "QRW 0730", "QRW730N ",
       {{"Q7300122.BIN", 0x100000}}, "08/01/10"},
      {"family one with its kernel", std::string(kQrw730).replace(std::string(kQrw730).find("updateScope=1"), 13,
                                                                  "updateScope=0"),
       "dir/x.bin", "QRW 0730", "QRW730N ", {{"dir/x.bin", 0x100000}, {"dir/Q7300120.BIN", 0x10000}}, "08/01/10"},
      {"family four with its kernel",
       "fileName=S1003431.108,vendor=KESTREL,product=BD-ROM  QBC-850,imageSize=0x20000,familyCode=0x4003,"
       "updateScope=0,minimumImageDate=0x20090315",
       "S1003431.108", "QBC 0100", "QBC-850 ", {{"S1003431.108", 0x20000}, {"S1003430.108", 0x11200}}, "09/03/15"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateDefinition d{};
    std::string error;
    ASSERT_TRUE(ParseDefinition(c.definition, d, error)) << error;
    std::vector<ImageFile> files;
    ASSERT_TRUE(ImagesForDefinition(d, ImageFields{}, c.path, files, error)) << error;
    ASSERT_EQ(files.size(), c.files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
      SCOPED_TRACE(files[i].path);
      const auto& image = files[i].bytes;
      EXPECT_EQ(files[i].path, c.files[i].first);
      EXPECT_EQ(image.size(), c.files[i].second);
      EXPECT_EQ(Bytes(&image[kHeaderModelName], 24), Bytes(d.vendor, 8) + Bytes(d.product, 16));
      EXPECT_EQ(Bytes(&image[kHeaderHardware], 8), c.hardware);
      EXPECT_EQ(Bytes(&image[kHeaderSignature], 8), "KES_ADV ");
      EXPECT_EQ(Bytes(&image[kHeaderNormalName], 8), c.normalName);
      EXPECT_EQ(image[kHeaderPartLetter], i == 0 ? 'N' : 'K');
      EXPECT_EQ(Bytes(&image[kHeaderDate], 8), c.date);
    }
    if (files.size() == 2) {
      // The kernel's body is its own, not a copy of the normal image's.
      EXPECT_NE(Bytes(&files[0].bytes[kHeaderSize], 64), Bytes(&files[1].bytes[kHeaderSize], 64));
    }
  }

  const std::pair<const char*, const char*> refused[] = {
      {"fileName=SHORT,vendor=KESTREL,product=BD-ROM  QBC-850,imageSize=0x20000,updateScope=0", "fileName"},
      {"fileName=S1003431.104,vendor=KESTREL,product=BD-ROM  QBC-850", "imageSize"},
  };
  for (const auto& [text, reason] : refused) {
    SCOPED_TRACE(text);
    UpdateDefinition d{};
    std::string error;
    ASSERT_TRUE(ParseDefinition(text, d, error)) << error;
    std::vector<ImageFile> files;
    EXPECT_FALSE(ImagesForDefinition(d, ImageFields{}, "x", files, error));
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace odf::sim
