// Building images from Intel HEX files, and the patch block overlay.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/definition.h"
#include "core/messages.h"
#include "image/image.h"
#include "sim/fixtures/hex_image.h"
#include "sim/pc/sim_pc.h"

namespace odf {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kImageName = "QRD570.HEX";
constexpr const char* kPatchName = "G6PATCH.HEX";
constexpr std::uint8_t kUntouched = 0x5A;  // image buffer content before a load
constexpr std::size_t kStagingSize = 0x200000;
constexpr std::size_t kPatchBlock = 0x20000;
constexpr std::size_t kPatchBlockEnd = 0x21000;

const std::string kLoaded = "\r\nF/W file load success.";
const std::string kPatched = "\r\nG6 Patch load success.";
const std::string kNoStart = "\r\nStart Charactor is not fouund.";

// One record line with a correct checksum.
std::string Record(unsigned type, unsigned address, const Bytes& data) {
  std::string line(":");
  char digits[3];
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  const auto put = [&](unsigned byte) {
    std::snprintf(digits, sizeof digits, "%02X", byte & 0xFF);
    line += digits;
  };
  put(static_cast<unsigned>(data.size()));
  put(address >> 8);
  put(address);
  put(type);
  for (std::uint8_t b : data) {
    put(b);
    sum += b;
  }
  put(0x100 - (sum & 0xFF));
  return line;
}

std::string Data(unsigned address, const Bytes& data) { return Record(0x00, address, data); }
std::string End() { return Record(0x01, 0, {}); }
Bytes Word(unsigned value) {
  return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}
std::string Segment(unsigned segment) { return Record(0x02, 0, Word(segment)); }
std::string Linear(unsigned upper) { return Record(0x04, 0, Word(upper)); }

std::string Lines(std::initializer_list<std::string> lines, const std::string& end = "\r\n") {
  std::string text;
  for (const auto& l : lines) text += l + end;
  return text;
}

// Distinct, recognisable bytes (never 0xFF, so a gap cannot pass for data).
Bytes Pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((seed * 31 + i * 7) % 0xFF);
  return b;
}

// An image as the loader should leave it: 0xFF up to `size`, then the writes.
struct Write {
  std::size_t offset;
  Bytes bytes;
};
Bytes Expected(std::size_t size, const std::vector<Write>& writes) {
  Bytes image(size, 0xFF);
  for (const auto& w : writes) std::copy(w.bytes.begin(), w.bytes.end(), image.begin() + w.offset);
  return image;
}

// A whole image as 16-byte records under type-02 segments, the way the
// standard tools write images of up to 1 MiB.
std::string HexOf(const Bytes& image) {
  std::string text;
  for (std::size_t offset = 0; offset < image.size(); offset += 16) {
    if (offset % 0x10000 == 0) text += Segment(static_cast<unsigned>(offset >> 4)) + "\n";
    const auto first = image.begin() + static_cast<std::ptrdiff_t>(offset);
    const std::size_t n = std::min<std::size_t>(16, image.size() - offset);
    text += Data(offset & 0xFFFF, Bytes(first, first + static_cast<std::ptrdiff_t>(n))) + "\n";
  }
  return text + End() + "\n";
}

template <class Pc>
class HexLoaderOn : public ::testing::Test {
 protected:
  Pc pc;
  Context ctx{pc};
  Bytes staging;
  Bytes image;

  void SetUp() override {
    UseBuffers(kStagingSize, 0x40000);
    std::snprintf(ctx.matchedDefinition.fileName, sizeof ctx.matchedDefinition.fileName, "%s",
                  kImageName);
    ctx.matchedDefinition.imageSize = 64;
  }
  // Buffers of exactly these sizes, so a write past either is caught.
  void UseBuffers(std::size_t stagingSize, std::size_t imageSize) {
    staging.assign(stagingSize, 0);
    image.assign(imageSize, kUntouched);
    ctx.host.dataBuffer = SharedBuffer{0, staging.data(), staging.size()};
    ctx.host.imageBuffer = SharedBuffer{0, image.data(), image.size()};
  }
  void AddText(const char* name, const std::string& text) {
    pc.AddFile(name, Bytes(text.begin(), text.end()));
  }
  Bytes ImageStart(std::size_t n) const {
    return Bytes(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(n));
  }
  bool ImageUntouched() const {
    return std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == kUntouched; });
  }
  // Loads `text` as the image file of a definition of `size` bytes.
  int LoadImage(const std::string& text, std::uint32_t size) {
    ctx.matchedDefinition.imageSize = size;
    AddText(kImageName, text);
    pc.ClearConsole();
    return LoadHexImage(ctx);
  }
};

using HexLoaderTest = HexLoaderOn<sim::SimPc>;

TEST_F(HexLoaderTest, RecordsLandAtTheirAddressesAndGapsStayErased) {
  const Bytes a = Pattern(16, 1), b = Pattern(16, 2);
  const std::vector<std::string> ends = {"\r\n", "\n"};
  for (const auto& end : ends) {
    SCOPED_TRACE(end.size() == 2 ? "CRLF" : "LF");
    image.assign(image.size(), kUntouched);
    ASSERT_EQ(LoadImage(Lines({Data(0x00, a), Data(0x20, b), End()}, end), 64), 0);
    EXPECT_EQ(ImageStart(64), Expected(64, {{0x00, a}, {0x20, b}}));
    // Nothing past the image is written.
    EXPECT_TRUE(std::all_of(image.begin() + 64, image.end(),
                            [](std::uint8_t x) { return x == kUntouched; }));
    EXPECT_EQ(pc.Console(), kLoaded);
  }
  EXPECT_EQ(pc.OpenHandles(), 0);
}

TEST_F(HexLoaderTest, AddressingAndRecordTypes) {
  const Bytes a = Pattern(16, 3), b = Pattern(16, 4), c = Pattern(8, 5);
  const Bytes big = Pattern(255, 6);
  struct Case {
    const char* name;
    std::string text;
    std::uint32_t size;
    std::vector<Write> writes;
  };
  const Case cases[] = {
      {"segment 1000 moves a record at 0x10 to 0x10010",
       Lines({Segment(0x1000), Data(0x10, a), End()}), 0x20000, {{0x10010, a}}},
      {"a segment applies until the next one",
       Lines({Segment(0x1000), Data(0x00, a), Segment(0), Data(0x00, b), End()}), 0x20000,
       {{0x10000, a}, {0x00, b}}},
      {"type 04 sets the upper address bits", Lines({Linear(1), Data(0x10, a), End()}), 0x20000,
       {{0x10010, a}}},
      {"a linear address applies until the next one",
       Lines({Linear(1), Data(0x00, a), Linear(0), Data(0x00, b), End()}), 0x20000,
       {{0x10000, a}, {0x00, b}}},
      {"a zero type 04 ahead of segments", Lines({Linear(0), Segment(0x1000), Data(0x10, a), End()}),
       0x20000, {{0x10010, a}}},
      {"a linear address after a zero segment", Lines({Segment(0), Linear(1), Data(0x10, a), End()}),
       0x20000, {{0x10010, a}}},
      {"types 03 and 05 are ignored",
       Lines({Record(0x03, 0, Pattern(4, 9)), Data(0x00, a), Record(0x05, 0, Pattern(4, 9)), End()}), 64,
       {{0x00, a}}},
      {"lower-case digits", Lines({[&] {
                                     std::string l = Data(0x00, a);
                                     for (char& ch : l) ch = static_cast<char>(std::tolower(ch));
                                     return l;
                                   }(),
                                   End()}),
       64, {{0x00, a}}},
      {"a later record overwrites an earlier one",
       Lines({Data(0x00, a), Data(0x08, c), End()}), 64,
       {{0x00, a}, {0x08, c}}},
      {"records in any order", Lines({Data(0x20, b), Data(0x00, a), End()}), 64,
       {{0x00, a}, {0x20, b}}},
      // Reading once stopped when the data read added up to the image size.
      {"a record read twice does not end the reading",
       Lines({Data(0x00, a), Data(0x00, a), Data(0x10, b), End()}), 32, {{0x00, a}, {0x10, b}}},
      {"a record ending at the image's last byte", Lines({Data(0x30, a), End()}), 64, {{0x30, a}}},
      {"the end record without its line end", Lines({Data(0x00, a), Data(0x20, b)}) + End(), 64,
       {{0x00, a}, {0x20, b}}},
      {"lines after the end record are not read", Lines({Data(0x00, a), End(), "not a record"}), 64,
       {{0x00, a}}},
      {"a record of 255 bytes", Lines({Data(0x100, big), End()}), 0x400, {{0x100, big}}},
  };
  // The rows are named "row": "c" is a record's data above.
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    image.assign(image.size(), kUntouched);
    ASSERT_EQ(LoadImage(row.text, row.size), 0);
    EXPECT_EQ(ImageStart(row.size), Expected(row.size, row.writes));
    EXPECT_EQ(image[row.size], kUntouched);
    EXPECT_EQ(pc.Console(), kLoaded);
  }
}

TEST_F(HexLoaderTest, WholeImageAcrossManyReadBlocks) {
  // About 350 KB of text: lines straddle every block the file is read in.
  const Bytes source = Pattern(0x20000, 11);
  ASSERT_EQ(LoadImage(HexOf(source), 0x20000), 0);
  EXPECT_EQ(ImageStart(0x20000), source);
}

TEST_F(HexLoaderTest, LinesOfAnyLengthAreReadWhole) {
  // A line far longer than a read block is still one line: the text after
  // its record is found at that line, and after the end record it is not read.
  const Bytes a = Pattern(16, 12), b = Pattern(16, 13);
  const std::string longLine = Data(0x20, b) + std::string(200000, 'x');
  EXPECT_EQ(LoadImage(Lines({Data(0x00, a), longLine, End()}), 64), -1);
  EXPECT_EQ(pc.Console(), "\r\nQRD570.HEX line 2: text follows the record's checksum.");
  EXPECT_EQ(LoadImage(Lines({Data(0x00, a), End(), longLine}), 64), 0);
  EXPECT_EQ(ImageStart(64), Expected(64, {{0x00, a}}));
}

TEST_F(HexLoaderTest, RefusedFilesLeaveTheImageAsItWas) {
  const Bytes a = Pattern(16, 14);
  const std::string good = Data(0x00, a);
  std::string notHexData = Data(0x10, a);
  notHexData[9 + 7] = 'G';
  std::string notHexTail = Data(0x10, Pattern(8, 24));
  notHexTail[9 + 14] = 'g';
  std::string highByte = Data(0x10, a);
  highByte[9 + 20] = static_cast<char>(0xB0);
  std::string notHexHeader = Data(0x10, a);
  notHexHeader[4] = ' ';
  std::string notHexSegment = Segment(0x1000);
  notHexSegment[11] = 'x';
  std::string signedCount = Data(0x10, a);
  signedCount[1] = '-';
  std::string controlType = Data(0x10, a);
  controlType[8] = '\x10';  // '0' once bit 5 is set
  std::string highHeader = Data(0x10, a);
  highHeader[3] = static_cast<char>(0xC1);
  const auto line = [](int n, const char* what) {
    return "\r\n" + std::string(kImageName) + " line " + std::to_string(n) + ": " + what;
  };
  const std::string shortLine = "the line ends inside its record.";
  const std::string notHex = "a hexadecimal digit is expected.";
  struct Case {
    const char* name;
    std::string text;
    std::string console;
  };
  const Case cases[] = {
      {"line without ':'", Lines({good, "10001000" + good.substr(9), End()}), kNoStart},
      {"empty line", Lines({good, "", End()}), kNoStart},
      {"blank before ':'", Lines({" " + good, End()}), kNoStart},
      {"header cut short", Lines({good, ":100010", End()}), line(2, shortLine.c_str())},
      {"data shorter than the byte count", Lines({good, Data(0x10, a).substr(0, 9 + 31), End()}),
       line(2, shortLine.c_str())},
      {"segment without its digits", Lines({good, ":02000002", End()}), line(2, shortLine.c_str())},
      {"letter in the data", Lines({good, notHexData, End()}), line(2, notHex.c_str())},
      {"letter in a short record", Lines({good, notHexTail, End()}), line(2, notHex.c_str())},
      {"byte above 0x7F in the data", Lines({good, highByte, End()}), line(2, notHex.c_str())},
      {"blank in the address", Lines({good, notHexHeader, End()}), line(2, notHex.c_str())},
      {"sign in the byte count", Lines({good, signedCount, End()}), line(2, notHex.c_str())},
      {"control character in the type", Lines({good, controlType, End()}),
       line(2, notHex.c_str())},
      {"byte above 0x7F in the address", Lines({good, highHeader, End()}),
       line(2, notHex.c_str())},
      {"letter in a segment", Lines({good, notHexSegment, good, End()}), line(2, notHex.c_str())},
      {"nonzero type 04", Lines({good, Linear(1), good, End()}),
       line(3, "data at offset 10000 lies outside the load area (40 bytes).")},
      // objcopy adds the two bases, srec_cat takes the last one set.
      {"a zero type 04 after a segment", Lines({Segment(0x1000), Linear(0), good, End()}),
       line(3, "data under both a segment and a linear address has no agreed place.")},
      {"a zero segment after a type 04", Lines({Linear(1), Segment(0), good, End()}),
       line(3, "data under both a segment and a linear address has no agreed place.")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LoadImage(c.text, 64), -1);
    EXPECT_EQ(pc.Console(), c.console);
    EXPECT_TRUE(ImageUntouched());
  }
  EXPECT_EQ(pc.OpenHandles(), 0);
}

// The reason the loader gives for a record whose checksum no longer fits it.
std::string ChecksumReason(const std::string& line) {
  const auto byteAt = [&](std::size_t at) {
    return static_cast<unsigned>(std::stoul(line.substr(at, 2), nullptr, 16));
  };
  unsigned sum = 0;
  for (std::size_t at = 1; at + 4 <= line.size(); at += 2) sum += byteAt(at);
  char text[80];
  std::snprintf(text, sizeof text, "checksum %02x does not match the record, which needs %02x.",
                byteAt(line.size() - 2), (0x100 - sum) & 0xFF);
  return text;
}

// `line` with one character replaced.
std::string Changed(std::string line, std::size_t at, char with) {
  line[at] = with;
  return line;
}

// Files that a damaged copy or a careless writer makes, every one of which
// was once flashed. Both loads refuse each at its line, for its reason, and
// leave the image buffer as it was. The image here ends where the patch
// block does, so both loads place data in the same 0x21000 bytes.
TEST_F(HexLoaderTest, DamagedFilesAreRefusedByBothLoads) {
  const Bytes a = Pattern(16, 30);
  const std::string block = Segment(0x2000);
  const std::string good = Data(0x00, a);
  const std::string sound = Data(0x10, a);
  const std::string badSum = Changed(sound, sound.size() - 1, sound.back() == '0' ? '1' : '0');
  const std::string movedOut = Changed(sound, 3, '8');  // address 0x8010
  std::string dropped = Data(0x10, a);
  dropped.erase(9 + 5, 1);
  std::string countTooSmall = Data(0x10, a);
  countTooSmall.replace(1, 2, "0F");
  const std::string cut = "the line ends inside its record.";
  const std::string after = "text follows the record's checksum.";
  const std::string noEnd = "the file ends without its end record.";
  struct Case {
    const char* name;
    std::string text;
    unsigned long line;
    std::string reason;
  };
  const Case cases[] = {
      {"a checksum digit changed", Lines({block, good, badSum, End()}), 3, ChecksumReason(badSum)},
      // The damage, not the place it leads to, is what is reported.
      {"an address digit changed, moving data out", Lines({block, good, movedOut, End()}), 3,
       ChecksumReason(movedOut)},
      {"the end record's checksum changed", Lines({block, good, ":00000001FE"}), 3,
       "checksum fe does not match the record, which needs ff."},
      {"a data digit dropped", Lines({block, good, dropped, End()}), 3, cut},
      {"no checksum", Lines({block, good.substr(0, 9 + 32), End()}), 2, cut},
      {"a byte count below the record's bytes", Lines({block, good, countTooSmall, End()}), 3, after},
      {"junk after a record", Lines({block, good + "junk", End()}), 2, after},
      {"a blank after a record", Lines({block, good + " ", End()}), 2, after},
      {"record type 06", Lines({block, Record(0x06, 0, Pattern(4, 31)), good, End()}), 2,
       "record type 06 is not known."},
      {"record type FF", Lines({block, good, Record(0xFF, 0, {})}), 3, "record type ff is not known."},
      {"a segment record of four bytes", Lines({Record(0x02, 0, {0x20, 0, 0, 0}), good, End()}), 1,
       "a type 02 record must hold 2 bytes."},
      {"a start address record of two bytes", Lines({block, good, Record(0x05, 0, {0, 0}), End()}), 3,
       "a type 05 record must hold 4 bytes."},
      {"an end record with data", Lines({block, good, Record(0x01, 0, {0})}), 3,
       "a type 01 record must hold 0 bytes."},
      {"cut at a line end", Lines({block, good}), 3, noEnd},
      {"an empty file", "", 1, noEnd},
      {"a record reaching past the image", Lines({block, Data(0xFF8, a), End()}), 2,
       "data at offset 20ff8 lies outside the load area (21000 bytes)."},
      {"a record wholly past the image", Lines({block, good, Segment(0x3000), good, End()}), 4,
       "data at offset 30000 lies outside the load area (21000 bytes)."},
      {"a linear address past the image", Lines({Linear(3), good, End()}), 2,
       "data at offset 30000 lies outside the load area (21000 bytes)."},
  };
  struct Load {
    const char* file;
    int (*run)(Context&);
  };
  const Load loads[] = {{kImageName, LoadHexImage}, {kPatchName, LoadHexPatch}};
  ctx.matchedDefinition.imageSize = kPatchBlockEnd;
  for (const auto& load : loads) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(load.file) + ": " + c.name);
      AddText(load.file, c.text);
      pc.ClearConsole();
      EXPECT_EQ(load.run(ctx), -1);
      EXPECT_EQ(pc.Console(), "\r\n" + std::string(load.file) + " line " + std::to_string(c.line) + ": " + c.reason);
      EXPECT_TRUE(ImageUntouched());
    }
  }
  EXPECT_EQ(pc.OpenHandles(), 0);
}

// Sound files from every writer this program meets load to exactly the bytes
// they were made from: the simulator's images of each family, and objcopy's.
TEST_F(HexLoaderTest, SoundFilesKeepTheirMeaning) {
  struct Case {
    std::string name;
    std::string text;
    Bytes bytes;  // the image from offset 0, as large as the definition's
  };
  std::vector<Case> cases;
  for (std::int32_t family : {1, 8, 9, 10, 11}) {
    UpdateDefinition d{};
    d.familyCode = family;
    d.imageSize = 0x20000;
    const Bytes made = sim::MakeFamilyZeroImage(d);
    cases.push_back({"generated image of family " + std::to_string(family), sim::HexText(made), made});
  }
  {
    // Start addresses before the end record, as linkers write them.
    const Bytes made = Pattern(0x20000, 32);
    std::string text = sim::HexText(made);
    text.insert(text.rfind(':'), Lines({Record(0x03, 0, {0x10, 0x00, 0x12, 0x24}),
                                        Record(0x05, 0, {0x12, 0x34, 0x56, 0x78})}));
    cases.push_back({"types 03 and 05 before the end record", text, made});
  }
  // objcopy -I binary -O ihex of Pattern(0x45, 25)
  cases.push_back({"objcopy", Lines({":100000000A11181F262D343B424950575E656C7308",
                                     ":100010007A81888F969DA4ABB2B9C0C7CED5DCE3F8",
                                     ":10002000EAF1F800070E151C232A31383F464D54DB",
                                     ":100030005B626970777E858C939AA1A8AFB6BDC4C8",
                                     ":05004000CBD2D9E0E77E", ":00000001FF"}),
                   Pattern(0x45, 25)});
  // The same with --change-addresses 0xFFF0 across a segment, of
  // Pattern(0x30, 26), and --set-start 0x1234 (type 03) or 0x12345678 (05).
  const std::string crossing = Lines({":10FFF0002930373E454C535A61686F767D848B9229", ":020000021000EC",
                                      ":1000000099A0A7AEB5BCC3CAD1D8DFE6EDF4FB0317",
                                      ":100010000A11181F262D343B424950575E656C73F8"});
  const Bytes crossed = Expected(0x10020, {{0xFFF0, Pattern(0x30, 26)}});
  cases.push_back({"objcopy, start 03", crossing + Lines({":0400000310001224B3", ":00000001FF"}), crossed});
  cases.push_back({"objcopy, start 05", crossing + Lines({":0400000512355668F2", ":00000001FF"}), crossed});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    image.assign(image.size(), kUntouched);
    ASSERT_EQ(LoadImage(c.text, static_cast<std::uint32_t>(c.bytes.size())), 0);
    EXPECT_EQ(ImageStart(c.bytes.size()), c.bytes);
    EXPECT_EQ(image[c.bytes.size()], kUntouched);
    EXPECT_EQ(pc.Console(), kLoaded);
  }
}

TEST_F(HexLoaderTest, DataOutsideTheStagingAreaIsRefused) {
  UseBuffers(0x100, 0x100);
  const Bytes a = Pattern(16, 15);
  struct Case {
    const char* name;
    std::string text;
    const char* console;
  };
  const Case cases[] = {
      {"record crossing the end", Lines({Data(0xF8, a), End()}),
       "\r\nQRD570.HEX line 1: data at offset f8 lies outside the load area (100 bytes)."},
      {"segment beyond the end", Lines({Segment(0x1000), Data(0x00, a), End()}),
       "\r\nQRD570.HEX line 2: data at offset 10000 lies outside the load area (100 bytes)."},
      {"type 04 beyond the end", Lines({Linear(1), Data(0x00, a), End()}),
       "\r\nQRD570.HEX line 2: data at offset 10000 lies outside the load area (100 bytes)."},
      {"type 04 with the top bit", Lines({Linear(0x8000), Data(0x00, a), End()}),
       "\r\nQRD570.HEX line 2: data at offset 80000000 lies outside the load area (100 bytes)."},
      // Its end would wrap a 32-bit size back to the start of the area.
      {"a record at the top of the address space", Lines({Linear(0xFFFF), Data(0xFFF8, a), End()}),
       "\r\nQRD570.HEX line 2: data at offset fffffff8 lies outside the load area (100 bytes)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LoadImage(c.text, 0x100), -1);
    EXPECT_EQ(pc.Console(), c.console);
    EXPECT_TRUE(ImageUntouched());
  }
  // The last byte of the staging area can still be written.
  ASSERT_EQ(LoadImage(Lines({Data(0xF0, a), End()}), 0x100), 0);
  EXPECT_EQ(ImageStart(0x100), Expected(0x100, {{0xF0, a}}));
}

TEST_F(HexLoaderTest, ImageSizeBeyondEitherBufferIsRefused) {
  struct Case {
    const char* name;
    std::size_t staging;
    std::size_t image;
  };
  const Case cases[] = {
      {"larger than the staging area", 0x1000, 0x4000},
      {"larger than the image buffer", 0x4000, 0x1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UseBuffers(c.staging, c.image);
    EXPECT_EQ(LoadImage(Lines({Data(0x00, Pattern(16, 16)), End()}), 0x2000), -1);
    EXPECT_EQ(pc.Console(), "\r\nThe load needs 2000 bytes, more than its buffers hold.");
    EXPECT_TRUE(ImageUntouched());
  }
}

TEST_F(HexLoaderTest, MissingFileIsReportedWithItsCause) {
  ctx.matchedDefinition.imageSize = 64;
  EXPECT_EQ(LoadHexImage(ctx), -1);
  EXPECT_EQ(pc.Console(), "\r\nFile Exception Error 2 : File not found");
  EXPECT_TRUE(ImageUntouched());
}

// A disk that fails the n-th read of a file.
class FailingReadPc : public sim::SimPc {
 public:
  int failingRead = 0;
  int reads = 0;
  BOOL ReadFile(HANDLE file, void* data, DWORD toRead, DWORD* bytesRead) override {
    if (++reads == failingRead) {
      if (bytesRead != nullptr) *bytesRead = 0;
      failed_ = true;
      return FALSE_;
    }
    return SimPc::ReadFile(file, data, toRead, bytesRead);
  }
  DWORD GetLastError() override { return failed_ ? ERROR_IO_DEVICE : SimPc::GetLastError(); }
  // A later call that fails has its own last error.
  DWORD GetFileAttributesA(const char* path) override {
    failed_ = false;
    return SimPc::GetFileAttributesA(path);
  }

 private:
  bool failed_ = false;
};

using FailingReadTest = HexLoaderOn<FailingReadPc>;

TEST_F(FailingReadTest, ReadErrorIsNotTakenForTheEndOfTheFile) {
  const Bytes source = Pattern(0x20000, 17);
  for (int failing : {1, 3}) {
    SCOPED_TRACE(failing);
    pc.reads = 0;
    pc.failingRead = failing;
    EXPECT_EQ(LoadImage(HexOf(source), 0x20000), -1);
    EXPECT_EQ(pc.Console(), "\r\nFile Exception Error a : Hardware I/O error");
    EXPECT_TRUE(ImageUntouched());
  }
  EXPECT_EQ(pc.OpenHandles(), 0);
}

// The patch overlays the block 0x20000-0x20FFF of an image loaded before it.
class HexPatchTest : public HexLoaderTest {
 protected:
  static constexpr std::uint32_t kSize = 0x30000;
  Bytes loaded;

  void SetUp() override {
    HexLoaderTest::SetUp();
    const Bytes source = Pattern(kSize, 18);
    ASSERT_EQ(LoadImage(HexOf(source), kSize), 0);
    loaded = ImageStart(image.size());
    pc.ClearConsole();
  }
  int LoadPatch(const std::string& text) {
    AddText(kPatchName, text);
    pc.ClearConsole();
    return LoadHexPatch(ctx);
  }
  // The loaded image with the patch block replaced by `block`.
  Bytes Patched(const Bytes& block) const {
    Bytes expected = loaded;
    std::copy(block.begin(), block.end(), expected.begin() + kPatchBlock);
    return expected;
  }
};

TEST_F(HexPatchTest, BlockIsReplacedWhole) {
  const Bytes p = Pattern(16, 19);
  const Bytes big = Pattern(255, 20);
  const auto block = [](std::vector<Write> writes) { return Expected(0x1000, writes); };
  struct Case {
    const char* name;
    std::string text;
    Bytes block;
  };
  const Case cases[] = {
      {"16 bytes at the block's start", Lines({Segment(0x2000), Data(0x00, p), End()}),
       block({{0x00, p}})},
      {"a record outside the block changes nothing",
       Lines({Segment(0x2000), Data(0x1000, p), End()}), block({})},
      {"a line longer than 255 characters",
       Lines({Segment(0x2000), Data(0x10, big), End()}), block({{0x10, big}})},
      {"the generated patch file", sim::HexText(sim::MakePatchBlock(), sim::kPatchBlockOffset),
       sim::MakePatchBlock()},
      {"records before the block are left out",
       Lines({Data(0x00, p), Segment(0x2000), Data(0xFF0, p), End()}), block({{0xFF0, p}})},
      {"a linear address to the block", Lines({Linear(2), Data(0x10, p), End()}), block({{0x10, p}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    image = loaded;
    ASSERT_EQ(LoadPatch(c.text), 0);
    EXPECT_EQ(image, Patched(c.block));
    EXPECT_EQ(pc.Console(), kPatched);
  }
}

TEST_F(HexPatchTest, BadPatchLeavesTheLoadedImage) {
  struct Case {
    const char* name;
    std::string text;  // empty: no patch file
    std::string console;
  };
  const Case cases[] = {
      {"no patch file", "", "\r\nFile Exception Error 2 : File not found"},
      {"line without ':'", Lines({Segment(0x2000), "garbage", End()}), kNoStart},
      {"a linear address past the image", Lines({Linear(3), Data(0x00, Pattern(16, 21)), End()}),
       "\r\nG6PATCH.HEX line 2: data at offset 30000 lies outside the load area (30000 bytes)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.text.empty()) AddText(kPatchName, c.text);
    pc.ClearConsole();
    EXPECT_EQ(LoadHexPatch(ctx), -1);
    EXPECT_EQ(pc.Console(), c.console);
    EXPECT_EQ(image, loaded);
  }
}

TEST_F(HexLoaderTest, PatchBlockPastASmallerImageIsStillErasedFirst) {
  // Whatever an earlier use left in the data buffer must not reach the block.
  UseBuffers(kStagingSize, kPatchBlockEnd);
  std::fill(staging.begin(), staging.end(), 0xAA);
  ctx.matchedDefinition.imageSize = 0x20000;
  const Bytes p = Pattern(16, 22);
  AddText(kPatchName, Lines({Segment(0x2000), Data(0x00, p), End()}));
  ASSERT_EQ(LoadHexPatch(ctx), 0);
  const Bytes block(image.begin() + kPatchBlock, image.end());
  EXPECT_EQ(block, Expected(0x1000, {{0x00, p}}));
  EXPECT_TRUE(std::all_of(image.begin(), image.begin() + kPatchBlock,
                          [](std::uint8_t b) { return b == kUntouched; }));
}

TEST_F(HexLoaderTest, PatchNeedsAnImageBufferThatHoldsTheBlock) {
  UseBuffers(kStagingSize, kPatchBlockEnd - 1);
  ctx.matchedDefinition.imageSize = 0x20000;
  AddText(kPatchName, Lines({Segment(0x2000), Data(0xFF0, Pattern(16, 23)), End()}));
  EXPECT_EQ(LoadHexPatch(ctx), -1);
  EXPECT_EQ(pc.Console(), "\r\nThe load needs 21000 bytes, more than its buffers hold.");
  EXPECT_TRUE(ImageUntouched());
}

}  // namespace
}  // namespace odf
