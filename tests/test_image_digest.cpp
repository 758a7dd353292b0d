// Image files checked against the SHA-256 their publisher gives (a FILE.sha256
// beside them, or the definition's), and what the front end is told of an
// image that the console says nothing more of.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/definition.h"
#include "image/image.h"
#include "image/sha256.h"
#include "sim/fixtures/hex_image.h"
#include "sim/fixtures/image_maker.h"
#include "sim/pc/sim_pc.h"

namespace odf {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kImageSize = 0x1000;
constexpr std::uint32_t kHexImageSize = 0x30000;
const std::string kNormal = "S1003431.104";
const std::string kKernel = "S1003430.104";
const std::string kHex = "QRD570.HEX";
const std::string kPatch = "G6PATCH.HEX";

std::string DigestOf(const Bytes& bytes) { return Sha256Text(Sha256Of(bytes.data(), bytes.size())); }
Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string ListLine(const Bytes& bytes, const std::string& name) { return DigestOf(bytes) + "  " + name + "\n"; }
std::string ListOf(const std::string& name) { return name + ".sha256"; }

// One byte changed, as a damaged download has it.
Bytes Damaged(Bytes bytes, std::size_t at) {
  bytes[at] ^= 0x01;
  return bytes;
}

Bytes MakeBinary(char part) {
  sim::ImageFields fields;
  fields.size = part == 'K' ? 0x11200 : kImageSize;
  fields.partLetter = part;
  fields.seed = part == 'K' ? 7 : 3;
  return sim::MakeImage(fields);
}

std::string Mismatch(const std::string& file, const Bytes& actual, const std::string& source, const Bytes& expected) {
  return "\r\n" + file + " has SHA-256 " + DigestOf(actual) + ", but " + source + " gives " + DigestOf(expected) + ".";
}

// A PC of its own for each row, since a file once added stays.
struct Rig {
  sim::SimPc pc;
  Context ctx{pc};
  Bytes buffer = Bytes(0x40000, 0);
  Bytes staging = Bytes(0x200000, 0);
  std::vector<std::string> notes;

  explicit Rig(bool hex = false) {
    ctx.host.imageBuffer = SharedBuffer{0, buffer.data(), buffer.size()};
    ctx.host.dataBuffer = SharedBuffer{0, staging.data(), staging.size()};
    LoadBuiltInDefinition(ctx);
    ctx.matchedDefinition = ctx.definitions.entries[0];
    ctx.matchedDefinition.imageSize = kImageSize;
    if (hex) {
      std::snprintf(ctx.matchedDefinition.fileName, sizeof ctx.matchedDefinition.fileName, "%s", kHex.c_str());
      ctx.matchedDefinition.imageSize = kHexImageSize;
    }
  }
  void TakeNotes() {
    ctx.dialogue.note = [this](const std::string& line) { notes.push_back(line); };
  }
  void GiveDefinitionDigest(const Bytes& bytes) {
    const Sha256Digest digest = Sha256Of(bytes.data(), bytes.size());
    std::memcpy(ctx.matchedDefinition.sha256, digest.data(), digest.size());
    ctx.matchedDefinition.sha256Given = true;
  }
  int Load(int (*load)(Context&)) {
    pc.ClearConsole();
    return load(ctx);
  }
};

int LoadNormal(Context& ctx) { return LoadBinaryImage(ctx, ImagePart::Normal); }
int LoadKernel(Context& ctx) { return LoadBinaryImage(ctx, ImagePart::Kernel); }

// A binary image is taken only when it is the file its digests name; the
// digest is checked before the header, so its line is all the loader says.
TEST(ImageDigest, BinaryImageAgainstItsDigests) {
  const Bytes image = MakeBinary('N');
  const Bytes damaged = Damaged(image, 1000);
  const std::string list = ListOf(kNormal);
  struct Case {
    const char* name;
    Bytes file;
    std::optional<std::string> listText;  // none: no list beside the file
    std::optional<Bytes> definitionDigest;  // of these bytes
    int expected;
    std::string console;
  };
  const Case cases[] = {
      {"no digest known", damaged, {}, {}, 0, ""},
      {"the list's digest", image, ListLine(image, kNormal), {}, 0, ""},
      {"the definition's digest", image, {}, image, 0, ""},
      {"both", image, ListLine(image, kNormal), image, 0, ""},
      {"one byte changed, the list's digest", damaged, ListLine(image, kNormal), {}, -1,
       Mismatch(kNormal, damaged, list, image)},
      {"one byte changed, the definition's digest", damaged, {}, image, -1,
       Mismatch(kNormal, damaged, "its definition", image)},
      {"the list agrees, the definition does not", image, ListLine(image, kNormal), damaged, -1,
       Mismatch(kNormal, image, "its definition", damaged)},
      {"the definition agrees, the list does not", image, ListLine(damaged, kNormal), image, -1,
       Mismatch(kNormal, image, list, damaged)},
      {"a list for other files only", image, ListLine(image, kKernel), {}, -1,
       "\r\n" + list + " cannot be used: it gives no SHA-256 for " + kNormal + "."},
      {"a damaged list", image, "\n" + ListLine(image, kNormal).substr(1), {}, -1,
       "\r\n" + list + " cannot be used: line 2 is not a SHA-256 line as sha256sum writes it."},
      {"an empty list", image, "", {}, -1, "\r\n" + list + " cannot be used: it gives no SHA-256 for " + kNormal + "."},
      {"a list too large to be one", image, ListLine(image, kNormal) + std::string(70000, '\n'), {}, -1,
       "\r\n" + list + " cannot be used: it is larger than a list of digests can be (65536 bytes)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.pc.AddFile(kNormal, c.file);
    if (c.listText) rig.pc.AddFile(list, BytesOf(*c.listText));
    if (c.definitionDigest) rig.GiveDefinitionDigest(*c.definitionDigest);
    EXPECT_EQ(rig.Load(LoadNormal), c.expected);
    EXPECT_EQ(rig.pc.Console(), c.console);
    EXPECT_EQ(rig.pc.OpenHandles(), 0);
  }
}

// The definition's digest is of the file it names; the kernel part has only
// a list of its own.
TEST(ImageDigest, KernelPartHasOnlyItsOwnList) {
  const Bytes image = MakeBinary('N');
  const Bytes kernel = MakeBinary('K');
  struct Case {
    const char* name;
    std::optional<std::string> listText;
    int expected;
  };
  const Case cases[] = {
      {"no list: the definition's digest is not the kernel's", {}, 0},
      {"its own list", ListLine(kernel, kKernel), 0},
      {"a list of both files", ListLine(image, kNormal) + ListLine(kernel, kKernel), 0},
      {"its list names a changed kernel", ListLine(Damaged(kernel, 5), kKernel), -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.pc.AddFile(kNormal, image);
    rig.pc.AddFile(kKernel, kernel);
    rig.GiveDefinitionDigest(image);
    if (c.listText) rig.pc.AddFile(ListOf(kKernel), BytesOf(*c.listText));
    ASSERT_EQ(rig.Load(LoadNormal), 0);
    EXPECT_EQ(rig.Load(LoadKernel), c.expected);
  }
}

// A HEX file's digest is of all its bytes, the lines after its end record
// too, and a refused file leaves the image buffer as it was.
TEST(ImageDigest, HexImageAndPatchAgainstTheirDigests) {
  const Bytes body = sim::MakePatchBlock();
  const Bytes hex = BytesOf(sim::HexText(body));
  Bytes trailing = BytesOf(sim::HexText(body) + "\r\n");
  const Bytes patch = BytesOf(sim::HexText(body, sim::kPatchBlockOffset));
  struct Case {
    const char* name;
    std::string file;
    Bytes bytes;
    std::optional<std::string> listText;
    std::optional<Bytes> definitionDigest;
    int expected;
  };
  const Case cases[] = {
      {"image, the list's digest", kHex, hex, ListLine(hex, kHex), {}, 0},
      {"image, the definition's digest", kHex, hex, {}, hex, 0},
      {"image, a blank line after the end record", kHex, trailing, ListLine(hex, kHex), {}, -1},
      {"image, the definition's digest differs", kHex, hex, {}, trailing, -1},
      {"image, a damaged list", kHex, hex, "SHA256 (" + kHex + ")\n", {}, -1},
      {"patch, its list's digest", kPatch, patch, ListLine(patch, kPatch), {}, 0},
      {"patch, the definition's digest is not the patch's", kPatch, patch, {}, hex, 0},
      {"patch, its list names another file", kPatch, patch, ListLine(hex, kPatch), {}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(true);
    rig.pc.AddFile(c.file, c.bytes);
    if (c.listText) rig.pc.AddFile(ListOf(c.file), BytesOf(*c.listText));
    if (c.definitionDigest) rig.GiveDefinitionDigest(*c.definitionDigest);
    const Bytes before = rig.buffer;
    EXPECT_EQ(rig.Load(c.file == kHex ? LoadHexImage : LoadHexPatch), c.expected);
    if (c.expected != 0) {
      EXPECT_EQ(rig.buffer, before);
      EXPECT_EQ(rig.pc.Console().find("success"), std::string::npos) << rig.pc.Console();
    }
    EXPECT_EQ(rig.pc.OpenHandles(), 0);
  }
}

// Without a known digest the front end hears the file's digest, once per
// file however often it is loaded; with one, or without the hook, nothing.
TEST(ImageDigest, FrontEndHearsTheDigestOncePerFile) {
  const Bytes image = MakeBinary('N');
  const Bytes kernel = MakeBinary('K');
  const std::string normalNote =
      kNormal + " has SHA-256 " + DigestOf(image) + "; no " + ListOf(kNormal) + " lies beside it to check that against.";
  const std::string kernelNote =
      kKernel + " has SHA-256 " + DigestOf(kernel) + "; no " + ListOf(kKernel) + " lies beside it to check that against.";
  {
    Rig rig;
    rig.TakeNotes();
    rig.pc.AddFile(kNormal, image);
    rig.pc.AddFile(kKernel, kernel);
    ASSERT_EQ(rig.Load(LoadNormal), 0);
    ASSERT_EQ(rig.Load(LoadKernel), 0);
    ASSERT_EQ(rig.Load(LoadNormal), 0);
    EXPECT_EQ(rig.notes, (std::vector<std::string>{normalNote, kernelNote}));
    EXPECT_EQ(rig.pc.Console(), "");  // the console is the Windows program's, unchanged
  }
  {
    Rig rig;
    rig.TakeNotes();
    rig.pc.AddFile(kNormal, image);
    rig.GiveDefinitionDigest(image);
    ASSERT_EQ(rig.Load(LoadNormal), 0);
    EXPECT_TRUE(rig.notes.empty());
  }
  {
    Rig rig(true);
    rig.TakeNotes();
    const Bytes hex = BytesOf(sim::HexText(sim::MakePatchBlock()));
    rig.pc.AddFile(kHex, hex);
    ASSERT_EQ(rig.Load(LoadHexImage), 0);
    ASSERT_EQ(rig.Load(LoadHexImage), 0);
    ASSERT_EQ(rig.notes.size(), 1u);
    EXPECT_EQ(rig.notes[0], kHex + " has SHA-256 " + DigestOf(hex) + "; no " + ListOf(kHex) +
                                " lies beside it to check that against.");
  }
}

// An image refused for its size says why to the front end; the console
// keeps the load-failure message alone, as before.
TEST(ImageDigest, FrontEndHearsWhyAnImageSizeIsRefused) {
  struct Case {
    const char* name;
    std::uint32_t fileSize;
    std::uint32_t definitionSize;
    std::size_t buffer;
    std::string note;  // empty: none
  };
  const Case cases[] = {
      {"larger than the image buffer", 0x2001, 0, 0x2000,
       kNormal + " cannot be loaded: it is 8193 bytes, more than the image buffer holds (8192 bytes)."},
      {"too small for its header", 0x153, 0, 0x2000,
       kNormal + " cannot be loaded: it is 339 bytes, too few to hold the image header (340 bytes)."},
      {"not the definition's size", 0x1001, 0x1000, 0x2000,
       kNormal + " cannot be loaded: it is 4097 bytes, not the 4096 bytes its definition gives."},
      {"empty: the platform layer says so", 0, 0, 0x2000, ""},
      {"fits", 0x1000, 0x1000, 0x2000, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.TakeNotes();
    rig.buffer.assign(c.buffer, 0);
    rig.ctx.host.imageBuffer = SharedBuffer{0, rig.buffer.data(), rig.buffer.size()};
    rig.ctx.matchedDefinition.imageSize = c.definitionSize;
    sim::ImageFields fields;
    fields.size = c.fileSize;
    rig.pc.AddFile(kNormal, sim::MakeImage(fields));
    rig.Load(LoadNormal);
    rig.Load(LoadNormal);
    std::vector<std::string> sizeNotes;
    for (const auto& n : rig.notes) {
      if (n.find("cannot be loaded") != std::string::npos) sizeNotes.push_back(n);
    }
    EXPECT_EQ(sizeNotes, c.note.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.note});
  }
}

}  // namespace
}  // namespace odf
