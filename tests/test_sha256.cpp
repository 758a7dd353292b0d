// SHA-256 of image files, and reading the digest a list beside a file gives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/image_digest.h"
#include "image/sha256.h"
#include "sim/fixtures/image_maker.h"

namespace odf {
namespace {

std::string TextOf(const std::string& message) { return Sha256Text(Sha256Of(message.data(), message.size())); }

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The examples of FIPS 180-4 and NIST's short and long message tests.
TEST(Sha256, KnownVectors) {
  struct Case {
    const char* name;
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"two blocks once padded", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"896 bits",
       "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
       "nopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"one million a", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // Padding edge cases: the length field just fits, and just does not.
      {"55 bytes", std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {"56 bytes", std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {"64 bytes", std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TextOf(c.message), c.digest);
  }
}

// A file read in blocks of any size has the digest of its bytes read at once.
TEST(Sha256, PiecesOfAnySizeGiveTheSameDigest) {
  std::string message;
  for (int i = 0; i < 300; ++i) message += static_cast<char>(i * 37 + 11);
  const Sha256Digest whole = Sha256Of(message.data(), message.size());
  for (std::size_t piece : {1u, 3u, 63u, 64u, 65u, 127u, 200u}) {
    SCOPED_TRACE(piece);
    Sha256 sha;
    for (std::size_t at = 0; at < message.size(); at += piece) {
      sha.Update(message.data() + at, std::min(piece, message.size() - at));
    }
    EXPECT_EQ(sha.Finish(), whole);
  }
}

// The digest a publisher prints with sha256sum, of an image the size of the
// built-in definition's.
TEST(Sha256, SameAsSha256sumOnAGeneratedImage) {
  if (std::system("sha256sum --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no sha256sum";
  sim::ImageFields fields;
  fields.size = 1880576;
  const std::vector<std::uint8_t> image = sim::MakeImage(fields);
  const std::string path = ::testing::TempDir() + "odflsh_sha256_image.bin";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite(image.data(), 1, image.size(), file), image.size());
  std::fclose(file);
  std::FILE* pipe = ::popen(("sha256sum " + path).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[128] = {};
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  ::pclose(pipe);
  std::remove(path.c_str());
  EXPECT_EQ(Sha256Text(Sha256Of(image.data(), image.size())), std::string(line, 64));
}

TEST(Sha256, DigestTextIsExactlySixtyFourDigits) {
  const std::string digits = "BA7816BF8F01CFEA414140DE5DAE2223b00361a396177a9cb410ff61f20015ad";
  Sha256Digest digest{};
  ASSERT_TRUE(ParseSha256Text(digits, digest));
  EXPECT_EQ(Sha256Text(digest), TextOf("abc"));
  const Sha256Digest before = digest;
  for (const std::string& bad : {digits.substr(1), digits + "0", "g" + digits.substr(1), " " + digits.substr(1),
                                 std::string()}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseSha256Text(bad, digest));
    EXPECT_EQ(digest, before);  // a refused text leaves the digest alone
  }
}

TEST(DigestList, TheLineForTheFileInEachForm) {
  const std::string a = TextOf("a"), b = TextOf("b");
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"text mode", a + "  S1003431.104\n"},
      {"binary mode", a + " *S1003431.104\n"},
      {"one blank", a + " S1003431.104"},
      {"upper-case digits", Upper(a) + "  S1003431.104\n"},
      {"tagged", "SHA256 (S1003431.104) = " + a + "\n"},
      {"a digest alone", a + "\n"},
      {"a path before the name", a + "  firmware/1.04/S1003431.104\n"},
      {"a Windows path", a + " *C:\\firmware\\S1003431.104\r\n"},
      {"another letter case", a + "  s1003431.104\n"},
      {"escaped name", "\\" + a + "  dir\\\\S1003431.104\n"},
      {"among other files", b + "  S1003430.104\n" + a + "  S1003431.104\n" + b + "  README.TXT\n"},
      {"blank lines and CR LF", "\r\n\n" + a + "  S1003431.104\r\n  \r\n"},
      {"the same line twice", a + "  S1003431.104\n" + a + " *./S1003431.104\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const DigestListEntry entry = DigestForFile(c.text, "S1003431.104");
    EXPECT_EQ(entry.fault, DigestListFault::None);
    EXPECT_EQ(Sha256Text(entry.digest), a);
  }
}

TEST(DigestList, ListsThatCannotBeTrusted) {
  const std::string a = TextOf("a"), b = TextOf("b");
  struct Case {
    const char* name;
    std::string text;
    DigestListFault fault;
    unsigned long line;
  };
  const Case cases[] = {
      {"empty", "", DigestListFault::NoDigestForFile, 0},
      {"only blank lines", "\n \r\n", DigestListFault::NoDigestForFile, 0},
      {"only other files", a + "  S1003430.104\n", DigestListFault::NoDigestForFile, 0},
      {"a name that only ends like it", a + "  XS1003431.104\n", DigestListFault::NoDigestForFile, 0},
      {"a digest digit short", a.substr(1) + "  S1003431.104\n", DigestListFault::NotInForm, 1},
      {"a digest digit too many", a + "0  S1003431.104\n", DigestListFault::NotInForm, 1},
      {"a letter in the digest", "x" + a.substr(1) + "  S1003431.104\n", DigestListFault::NotInForm, 1},
      {"a damaged line before the file's", b + "  A\n" + b.substr(2) + "  B\n" + a + "  S1003431.104\n",
       DigestListFault::NotInForm, 2},
      {"a comment", "# digests\n" + a + "  S1003431.104\n", DigestListFault::NotInForm, 1},
      {"no name after the blanks", a + "  \n", DigestListFault::NotInForm, 1},
      {"a tab for the blanks", a + "\tS1003431.104\n", DigestListFault::NotInForm, 1},
      {"an MD5 list", "0cc175b9c0f1b6a831c399e269772661  S1003431.104\n", DigestListFault::NotInForm, 1},
      {"a bad escape", "\\" + a + "  dir\\tS1003431.104\n", DigestListFault::NotInForm, 1},
      {"a tagged line without its digest", "SHA256 (S1003431.104) = \n", DigestListFault::NotInForm, 1},
      {"two digests for the file", a + "  S1003431.104\n" + b + "  ./S1003431.104\n", DigestListFault::Conflicting, 2},
      {"a named and a bare digest that differ", a + "  S1003431.104\n" + b + "\n", DigestListFault::Conflicting, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const DigestListEntry entry = DigestForFile(c.text, "S1003431.104");
    EXPECT_EQ(entry.fault, c.fault);
    if (c.fault != DigestListFault::NoDigestForFile) {
      EXPECT_EQ(entry.line, c.line);
    }
  }
}

}  // namespace
}  // namespace odf
