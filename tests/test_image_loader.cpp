// Loading binary firmware files into the image buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/definition.h"
#include "core/messages.h"
#include "image/image.h"
#include "sim/fixtures/image_maker.h"
#include "sim_fixture.h"

namespace odf {
namespace {

constexpr std::uint32_t kSmallImage = 0x1000;
const char* const kNormalName = "S1003431.104";
const char* const kKernelName = "S1003430.104";

sim::ImageFields Small() {
  sim::ImageFields f;
  f.size = kSmallImage;
  return f;
}

sim::ImageFields SmallKernel() {
  sim::ImageFields f = Small();
  f.partLetter = 'K';
  f.size = 0x11200;
  f.seed = 7;
  return f;
}

// A stop notice shows its text on the console and in a box with the stop icon.
void ExpectOnlyStopNotice(const sim::SimPc& pc, int code) {
  EXPECT_EQ(pc.Console(), EnglishText(code));
  ASSERT_EQ(pc.Boxes().size(), 1u);
  EXPECT_EQ(pc.Boxes()[0].text, EnglishText(code));
  EXPECT_EQ(pc.Boxes()[0].type, MB_ICONHAND);
}

void ExpectNothingShown(const sim::SimPc& pc) {
  EXPECT_EQ(pc.Console(), "");
  EXPECT_TRUE(pc.Boxes().empty());
}

template <class Pc>
class LoaderTestOn : public ::testing::Test {
 protected:
  Pc pc;
  Context ctx{pc};
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(0x20000);

  void SetUp() override {
    UseBuffer(buffer.size());
    LoadBuiltInDefinition(ctx);
    ctx.matchedDefinition = ctx.definitions.entries[0];
    // Small images keep these tests quick; a definition without a size takes any.
    ctx.matchedDefinition.imageSize = 0;
    ctx.selectedIndex = 0;
  }
  void UseBuffer(std::size_t size) {
    buffer.assign(size, 0);
    ctx.host.imageBuffer.data = buffer.data();
    ctx.host.imageBuffer.size = buffer.size();
  }
  std::vector<std::uint8_t> AddImage(const char* name, const sim::ImageFields& fields) {
    std::vector<std::uint8_t> bytes = sim::MakeImage(fields);
    pc.AddFile(name, bytes);
    return bytes;
  }
  bool BufferStartsWith(const std::vector<std::uint8_t>& bytes) const {
    return bytes.size() <= buffer.size() &&
           std::equal(bytes.begin(), bytes.end(), buffer.begin());
  }
  bool BufferUntouched() const {
    return std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0; });
  }
};

using LoaderTest = LoaderTestOn<sim::SimPc>;

TEST_F(LoaderTest, NormalImageIsReadWholeAndDescribed) {
  sim::ImageFields f = Small();
  f.revision = "2.17X";
  f.date = "09/11/30";
  const auto bytes = AddImage(kNormalName, f);
  ctx.image.imageSize = 1880576;

  ASSERT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), 0);
  EXPECT_TRUE(BufferStartsWith(bytes));
  EXPECT_EQ(ctx.image.imageSize, kSmallImage);
  EXPECT_EQ(std::string(ctx.image.imageVersionText.data(), 5), "2.17X");
  EXPECT_EQ(ctx.image.imageDate, 0x20091130u);
  EXPECT_EQ(ctx.run.newRevisionNumber, 0x0217);
  ExpectNothingShown(pc);
  EXPECT_EQ(pc.OpenHandles(), 0);
}

TEST_F(LoaderTest, NormalImageRefusedByDatePartLetterOrTag) {
  struct Case {
    const char* name;
    std::string date;
    char part;
    std::string signature;
    std::uint32_t minimumDate;
    int message;  // -1: accepted
  };
  const Case cases[] = {
      {"minimum date", "08/01/10", 'N', "KES_ADV ", 0x20080110, -1},
      {"one day before the minimum", "08/01/09", 'N', "KES_ADV ", 0x20080110, 69},
      {"year before the minimum", "07/12/31", 'N', "KES_ADV ", 0x20080110, 69},
      {"later decade", "10/01/01", 'N', "KES_ADV ", 0x20080110, -1},
      {"kernel part letter", "08/01/10", 'K', "KES_ADV ", 0x20080110, 40},
      {"lower-case part letter", "08/01/10", 'n', "KES_ADV ", 0x20080110, 40},
      {"other tag", "08/01/10", 'N', "KES_ADW ", 0x20080110, 40},
      {"tag without its blank", "08/01/10", 'N', std::string("KES_ADV\0", 8), 0x20080110, 40},
      {"old date is reported before a bad tag", "08/01/09", 'K', "KES_ADW ", 0x20080110, 69},
      {"no minimum date", "00/00/00", 'N', "KES_ADV ", 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pc.ClearConsole();
    const std::size_t boxesBefore = pc.Boxes().size();
    sim::ImageFields f = Small();
    f.date = c.date;
    f.partLetter = c.part;
    f.signature = c.signature;
    const auto bytes = AddImage(kNormalName, f);
    ctx.definitions.entries[0].minimumImageDate = c.minimumDate;

    const int result = LoadBinaryImage(ctx, ImagePart::Normal);
    // A refused file stays in the buffer; only the result keeps it from a drive.
    EXPECT_TRUE(BufferStartsWith(bytes));
    if (c.message < 0) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(pc.Console(), "");
      EXPECT_EQ(pc.Boxes().size(), boxesBefore);
    } else {
      EXPECT_EQ(result, -1);
      EXPECT_EQ(pc.Console(), EnglishText(c.message));
      ASSERT_EQ(pc.Boxes().size(), boxesBefore + 1);
      EXPECT_EQ(pc.Boxes().back().type, MB_ICONHAND);
    }
  }
}

TEST_F(LoaderTest, MinimumDateComesFromTheSelectedEntry) {
  ctx.definitions.entries[1] = ctx.definitions.entries[0];
  ctx.definitions.entries[1].minimumImageDate = 0x20090101;
  ctx.selectedIndex = 1;
  AddImage(kNormalName, Small());  // dated 08/01/10
  EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), -1);
  ExpectOnlyStopNotice(pc, 69);
}

TEST_F(LoaderTest, KernelImageIsReadFromItsOwnNameAndKeepsTheNormalImageValues) {
  AddImage(kNormalName, Small());
  ASSERT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), 0);
  sim::ImageFields k = SmallKernel();
  k.revision = "1.02 ";
  const auto kernel = AddImage(kKernelName, k);

  ASSERT_EQ(LoadBinaryImage(ctx, ImagePart::Kernel), 0);
  EXPECT_TRUE(BufferStartsWith(kernel));
  EXPECT_EQ(ctx.image.kernelSize, kernel.size());
  EXPECT_EQ(ctx.run.newRevisionNumber, 0x0102);
  EXPECT_EQ(ctx.image.imageSize, kSmallImage);  // the normal image's size
  EXPECT_EQ(std::string(ctx.image.imageVersionText.data(), 5), "1.04 ");
  EXPECT_EQ(ctx.image.imageDate, 0x20080110u);
  ExpectNothingShown(pc);
}

TEST_F(LoaderTest, KernelImageIsJudgedByTheNormalImageDate) {
  sim::ImageFields k = SmallKernel();
  k.date = "07/06/01";  // the kernel was last rebuilt before the minimum date
  AddImage(kKernelName, k);

  // Without a normal image loaded there is no release date: refused.
  EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Kernel), -1);
  ExpectOnlyStopNotice(pc, 69);

  pc.ClearConsole();
  AddImage(kNormalName, Small());
  ASSERT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), 0);
  EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Kernel), 0);
  EXPECT_EQ(pc.Console(), "");
}

TEST_F(LoaderTest, KernelImageRefusedByPartLetterOrTag) {
  AddImage(kNormalName, Small());
  ASSERT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), 0);
  struct Case {
    char part;
    std::string signature;
  };
  for (const Case& c : {Case{'N', "KES_ADV "}, Case{'K', "KES_ADW "}}) {
    SCOPED_TRACE(c.part + c.signature);
    pc.ClearConsole();
    sim::ImageFields k = SmallKernel();
    k.partLetter = c.part;
    k.signature = c.signature;
    AddImage(kKernelName, k);
    EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Kernel), -1);
    EXPECT_EQ(pc.Console(), EnglishText(39));
  }
}

TEST_F(LoaderTest, UnreadableFilesFailSilently) {
  struct Case {
    const char* name;
    const char* fileName;  // definition's file name
    ImagePart part;
  };
  AddImage("S10.BIN", Small());
  AddImage("S10.BIN0", SmallKernel());  // what marking past the end would open
  AddImage("S1003431", Small());
  const Case cases[] = {
      {"normal file missing", "S1003432.104", ImagePart::Normal},
      {"kernel file missing", kNormalName, ImagePart::Kernel},
      // Too short to carry the kernel mark: no name to open, even if a file
      // of the unchanged name exists.
      {"name of seven characters", "S10.BIN", ImagePart::Kernel},
      {"empty name", "", ImagePart::Normal},
      {"empty name, kernel", "", ImagePart::Kernel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ctx.image.imageDate = 0x12345678;
    std::snprintf(ctx.matchedDefinition.fileName, sizeof ctx.matchedDefinition.fileName, "%s",
                  c.fileName);
    EXPECT_EQ(LoadBinaryImage(ctx, c.part), -1);
    EXPECT_EQ(ctx.image.imageDate, 0u);
    EXPECT_TRUE(BufferUntouched());
  }
  ExpectNothingShown(pc);
  EXPECT_EQ(pc.OpenHandles(), 0);
}

TEST_F(LoaderTest, NamesOfEightCharactersHaveAKernelForm) {
  std::snprintf(ctx.matchedDefinition.fileName, sizeof ctx.matchedDefinition.fileName, "S1003431");
  AddImage("S1003431", Small());
  ASSERT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), 0);
  AddImage("S1003430", SmallKernel());
  EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Kernel), 0);
}

TEST_F(LoaderTest, UnterminatedFileNameIsRefused) {
  std::memset(ctx.matchedDefinition.fileName, 'S', sizeof ctx.matchedDefinition.fileName);
  EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), -1);
  ExpectNothingShown(pc);
}

TEST_F(LoaderTest, FileSizeMustFitTheBufferAndHoldTheHeader) {
  struct Case {
    const char* name;
    std::uint32_t fileSize;
    int expected;
  };
  constexpr std::uint32_t kBuffer = 0x2000;
  const Case cases[] = {
      {"exactly the buffer", kBuffer, 0},
      {"one byte over the buffer", kBuffer + 1, -1},
      {"far over the buffer", 8 * kBuffer, -1},
      {"exactly the header", kHeaderSize, 0},
      {"header without its last byte", kHeaderSize - 1, -1},
      {"empty file", 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UseBuffer(kBuffer);
    ctx.image.imageSize = 0x5555;
    sim::ImageFields f = Small();
    f.size = c.fileSize;
    const auto bytes = AddImage(kNormalName, f);
    EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), c.expected);
    if (c.expected == 0) {
      EXPECT_TRUE(BufferStartsWith(bytes));
      EXPECT_EQ(ctx.image.imageSize, c.fileSize);
    } else {
      // Refused before reading: neither the buffer nor the size changes.
      EXPECT_TRUE(BufferUntouched());
      EXPECT_EQ(ctx.image.imageSize, 0x5555u);
    }
  }
  ExpectNothingShown(pc);
  EXPECT_EQ(pc.OpenHandles(), 0);
}

TEST_F(LoaderTest, NormalImageMustHaveTheDefinitionsSize) {
  struct Case {
    const char* name;
    std::uint32_t definitionSize;
    std::uint32_t fileSize;
    int expected;
  };
  const Case cases[] = {
      {"exact size", kSmallImage, kSmallImage, 0},
      {"truncated by one byte", kSmallImage, kSmallImage - 1, -1},
      {"one byte too long", kSmallImage, kSmallImage + 1, -1},
      {"definition without a size", 0, kSmallImage - 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pc.ClearConsole();
    const std::size_t boxesBefore = pc.Boxes().size();
    ctx.matchedDefinition.imageSize = c.definitionSize;
    sim::ImageFields f = Small();
    f.size = c.fileSize;
    AddImage(kNormalName, f);
    EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), c.expected);
    if (c.expected != 0) {
      ASSERT_EQ(pc.Boxes().size(), boxesBefore + 1);
      EXPECT_EQ(pc.Boxes().back().text, "\r\nSelected file is illegal fw file.");
      EXPECT_EQ(pc.Console(), "\r\nSelected file is illegal fw file.");
    } else {
      EXPECT_EQ(pc.Boxes().size(), boxesBefore);
    }
  }
  // The kernel image is a different file and keeps its own size.
  ctx.matchedDefinition.imageSize = kSmallImage;
  AddImage(kNormalName, Small());
  ASSERT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), 0);
  AddImage(kKernelName, SmallKernel());
  EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Kernel), 0);
}

TEST_F(LoaderTest, KernelFileLargerThanTheBufferIsRefused) {
  UseBuffer(0x2000);
  AddImage(kNormalName, Small());
  ASSERT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), 0);
  AddImage(kKernelName, SmallKernel());  // 0x11200 bytes
  ctx.image.kernelSize = 0x11200;          // left by an earlier kernel load
  EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Kernel), -1);
  EXPECT_EQ(ctx.image.kernelSize, 0u);     // so no kernel block can be sent from it
  ExpectNothingShown(pc);
}

TEST_F(LoaderTest, MissingImageBufferIsRefused) {
  AddImage(kNormalName, Small());
  ctx.host.imageBuffer = SharedBuffer{};
  EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), -1);
  EXPECT_EQ(CheckImageVendorTag(ctx), -1);
}

// A disk that delivers fewer bytes than the file's size, or whose size
// cannot be taken.
class FaultyFilesPc : public sim::SimPc {
 public:
  DWORD missingBytes = 0;
  bool readFails = false;
  bool sizeFails = false;
  DWORD GetFileSize(HANDLE file, DWORD* sizeHigh) override {
    if (sizeFails) return INVALID_FILE_SIZE;
    return SimPc::GetFileSize(file, sizeHigh);
  }
  BOOL ReadFile(HANDLE file, void* data, DWORD toRead, DWORD* bytesRead) override {
    if (readFails) return FALSE_;
    return SimPc::ReadFile(file, data, toRead - missingBytes, bytesRead);
  }
};

using FaultyFileTest = LoaderTestOn<FaultyFilesPc>;

TEST_F(FaultyFileTest, IncompleteReadsAreFailures) {
  AddImage(kNormalName, Small());
  struct Case {
    const char* name;
    DWORD missing;
    bool readFails;
    bool sizeFails;
  };
  const Case cases[] = {
      {"one byte short", 1, false, false},
      {"nothing delivered", kSmallImage, false, false},
      {"read error", 0, true, false},
      {"size not obtainable", 0, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pc.missingBytes = c.missing;
    pc.readFails = c.readFails;
    pc.sizeFails = c.sizeFails;
    ctx.image.imageSize = 0x5555;
    EXPECT_EQ(LoadBinaryImage(ctx, ImagePart::Normal), -1);
    EXPECT_EQ(ctx.image.imageSize, 0x5555u);
  }
  ExpectNothingShown(pc);
  EXPECT_EQ(pc.OpenHandles(), 0);
}

}  // namespace
}  // namespace odf
