// Fuzz target: the HEX image file and the patch file. The fuzzer writes the
// text; each input is loaded as the image (with a small and with a larger
// image size, and once more behind a long line, so that its lines also cross
// the loader's read blocks) and as the patch file. Besides the sanitizers, each load is
// checked against a plain reading of the record format written here, so a
// record the fast reader takes differently (a digit, a length, a checksum, an
// offset, the end record) is a finding too; and a refused load must leave the
// image as it was.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/definition.h"
#include "fuzz/fuzz_support.h"
#include "image/image.h"
#include "sim/pc/sim_pc.h"

namespace {

using namespace odf;

constexpr std::size_t kStagingSize = 0x200000;  // the data buffer of every route
constexpr std::size_t kImageBufferSize = 0x200000;
constexpr std::size_t kPatchOffset = 0x20000;
constexpr std::size_t kPatchLength = 0x1000;
constexpr std::size_t kChecked = kPatchOffset + kPatchLength;  // the image bytes compared
constexpr std::uint8_t kUntouched = 0xA5;  // what the image holds before each load
constexpr const char* kImageFile = "S1003431.104";  // the built-in definition's file name
constexpr const char* kPatchFile = "G6PATCH.HEX";

// ---- the record format, read plainly ---------------------------------------

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `count` bytes from pairs of digits at `at`; false past the line's end or at
// a character that is not a digit.
bool Bytes(const std::string& line, std::size_t at, std::size_t count, std::vector<std::uint8_t>& out) {
  out.clear();
  for (std::size_t i = 0; i < count; ++i) {
    if (at + 2 * i + 1 >= line.size()) return false;
    const int high = HexDigit(line[at + 2 * i]);
    const int low = HexDigit(line[at + 2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return true;
}

std::vector<std::string> Lines(const std::vector<std::uint8_t>& text) {
  std::vector<std::string> lines;
  auto start = text.begin();
  while (start != text.end()) {
    const auto end = std::find(start, text.end(), '\n');
    lines.emplace_back(start, end);
    if (!lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
    if (end == text.end()) break;
    start = end + 1;
  }
  return lines;
}

// The byte count each record type must carry; data records carry any.
bool CountFits(std::uint8_t type, std::size_t count) {
  switch (type) {
    case 0x00: return true;
    case 0x01: return count == 0;
    case 0x02:
    case 0x04: return count == 2;
    case 0x03:
    case 0x05: return count == 4;
    default: return false;
  }
}

// The first kChecked bytes of the staging area a load would build, or false
// when the file is refused: a line without ':'; a line longer or shorter than
// its byte count gives; a non-digit; a checksum that does not bring the
// record's sum to zero; a type other than 00-05 or one with the wrong byte
// count; data reaching past `areaEnd`; data that objcopy (segment base plus
// linear base) and srec_cat (the base set last) would place apart; or no end
// record. Lines after the end record are not read.
bool ReadRecords(const std::vector<std::uint8_t>& text, std::uint64_t areaEnd, std::vector<std::uint8_t>& staging) {
  staging.assign(kChecked, 0xFF);
  std::uint64_t segment = 0, linear = 0, setLast = 0;
  std::vector<std::uint8_t> v;
  for (const std::string& line : Lines(text)) {
    if (line.empty() || line[0] != ':') return false;
    if (!Bytes(line, 1, 4, v)) return false;
    const std::size_t count = v[0];
    if (line.size() != 1 + 2 * (4 + count + 1)) return false;
    if (!Bytes(line, 1, 4 + count + 1, v)) return false;
    unsigned sum = 0;
    for (std::uint8_t b : v) sum += b;
    if (sum % 256 != 0) return false;
    const std::uint64_t address = std::uint64_t{v[1]} << 8 | v[2];
    const std::uint8_t type = v[3];
    const std::uint8_t* data = v.data() + 4;
    if (!CountFits(type, count)) return false;
    if (type == 0x01) return true;
    if (type == 0x00) {
      const std::uint64_t base = segment + linear;
      if (base != setLast) return false;
      if (base + address + count > areaEnd) return false;
      for (std::size_t i = 0; i < count && base + address + i < kChecked; ++i) staging[base + address + i] = data[i];
    } else if (type == 0x02 || type == 0x04) {
      const std::uint64_t value = std::uint64_t{data[0]} << 8 | data[1];
      if (type == 0x02) {
        segment = value * 16;
        setLast = segment;
      } else {
        linear = value << 16;
        setLast = linear;
      }
    }
  }
  return false;
}

// ---- the loads -------------------------------------------------------------

struct Buffers {
  std::vector<std::uint8_t> staging = std::vector<std::uint8_t>(kStagingSize);
  std::vector<std::uint8_t> image = std::vector<std::uint8_t>(kImageBufferSize);
};

Buffers& SharedBuffers() {
  static Buffers b;
  return b;
}

void UseBuffers(Context& ctx, Buffers& b) {
  ctx.host.dataBuffer = SharedBuffer{0, b.staging.data(), b.staging.size()};
  ctx.host.imageBuffer = SharedBuffer{0, b.image.data(), b.image.size()};
}

// The two loads share the record reader; they differ in what they may change.
enum class Load { Image, Patch };

void CheckLoad(Load load, sim::SimPc& pc, const std::vector<std::uint8_t>& text, std::uint32_t imageSize) {
  const bool image = load == Load::Image;
  Context ctx(pc);
  LoadBuiltInDefinition(ctx);
  ctx.matchedDefinition = ctx.definitions.entries[0];
  ctx.matchedDefinition.imageSize = imageSize;
  Buffers& b = SharedBuffers();
  UseBuffers(ctx, b);
  std::fill(b.image.begin(), b.image.begin() + kChecked, kUntouched);

  static std::vector<std::uint8_t> expected;  // kept: a fresh one costs a page fault per 4 KiB
  // The patch may place data up to the end of its block even past a smaller image.
  const std::uint64_t areaEnd = image ? imageSize : std::max<std::uint64_t>(imageSize, kChecked);
  const bool accepted = ReadRecords(text, areaEnd, expected);
  const int result = image ? LoadHexImage(ctx) : LoadHexPatch(ctx);
  fuzz::Require(result == (accepted ? 0 : -1), image ? "the image load accepts exactly the sound files"
                                                     : "the patch load accepts exactly the sound files");
  if (!accepted) expected.assign(kChecked, kUntouched);
  if (!image) {
    std::fill(expected.begin(), expected.begin() + kPatchOffset, kUntouched);
  } else if (imageSize < kChecked) {
    std::fill(expected.begin() + imageSize, expected.end(), kUntouched);
  }
  fuzz::Require(std::equal(expected.begin(), expected.end(), b.image.begin()),
                image ? "the image holds the file's records, 0xFF between them, nothing else"
                      : "the patch replaces the patch block whole and nothing else");
}

// The text behind enough start address records (sound, and ignored) that
// the loader's first read block ends in the middle of the text, so its lines
// are also taken across a block boundary. The records end in LF or CR LF to
// make up the exact length.
std::vector<std::uint8_t> AcrossReadBlocks(const std::vector<std::uint8_t>& text) {
  constexpr std::size_t kReadBlock = 0x10000;
  const std::string skipped = ":0400000300000000F9";
  const std::size_t lf = skipped.size() + 1;
  if (text.size() / 2 + lf * lf > kReadBlock) return text;  // long enough to cross one itself
  const std::size_t length = kReadBlock - text.size() / 2;
  const std::size_t withCrLf = length % lf;
  std::vector<std::uint8_t> padded;
  for (std::size_t i = 0; i < length / lf; ++i) {
    padded.insert(padded.end(), skipped.begin(), skipped.end());
    if (i < withCrLf) padded.push_back('\r');
    padded.push_back('\n');
  }
  padded.insert(padded.end(), text.begin(), text.end());
  return padded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static sim::SimPc pc;
  const std::vector<std::uint8_t> text(data, data + size);
  pc.AddFile(kImageFile, text);
  pc.AddFile(kPatchFile, text);
  // A small image (most data falls outside it) and one past the patch block.
  CheckLoad(Load::Image, pc, text, 0x40);
  CheckLoad(Load::Image, pc, text, kChecked + 0x10);
  CheckLoad(Load::Patch, pc, text, 0x40);
  const std::vector<std::uint8_t> padded = AcrossReadBlocks(text);
  pc.AddFile(kImageFile, padded);
  CheckLoad(Load::Image, pc, padded, kChecked + 0x10);
  return 0;
}
