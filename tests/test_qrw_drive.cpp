// The simulated family-one writers: the unlock handshake they may demand,
// the mode-block model strings they take, and their kernel identity.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "drive_command.h"
#include "sim/drives/qrw_drive.h"

namespace odf::sim {
namespace {

using testing::Command;

CommandRecord Buffer(std::uint8_t opcode, std::uint8_t mode, std::uint8_t id, std::uint32_t length, int direction) {
  return Command({opcode, mode, id, 0, 0, 0, 0, static_cast<std::uint8_t>(length >> 8),
                  static_cast<std::uint8_t>(length), 0},
                 length != 0 ? direction : 0, length);
}

const CommandRecord kInquiry = Command({0x12, 0, 0, 0, 0x60, 0}, 1, 96);

std::uint32_t Outcome(const DriveReply& r) {
  if (r.status == 0) return 0;
  return static_cast<std::uint32_t>(r.sense[2] << 16 | r.sense[12] << 8 | r.sense[13]);
}

std::array<std::uint8_t, 256> ModeBlock(const char* model) {
  std::array<std::uint8_t, 256> block{};
  if (model != nullptr) std::memcpy(block.data(), model, 16);
  return block;
}

struct Writer {
  explicit Writer(const char* model = "qrw730", bool handshake = true,
                  std::function<void(Qbc850Config&, WriterConfig&)> adjust = nullptr) {
    Qbc850Config config;
    WriterConfig writer;
    EXPECT_TRUE(FindWriterModel(model, config, writer));
    writer.handshake = handshake;
    if (adjust) adjust(config, writer);
    drive = std::make_unique<QrwDrive>(config, writer);
  }

  DriveReply Probe() { return drive->Receive(Buffer(0x3B, 1, 0xF3, 0, 0), nullptr); }
  std::array<std::uint8_t, 1024> Challenge() {
    std::array<std::uint8_t, 1024> challenge{};
    EXPECT_EQ(Outcome(drive->Receive(Buffer(0x3C, 2, 0xF2, 1024, 1), challenge.data())), 0u);
    return challenge;
  }
  DriveReply Echo(std::array<std::uint8_t, 1024> bytes) {
    return drive->Receive(Buffer(0x3B, 1, 0xF2, 256, 2), bytes.data());
  }
  DriveReply Respond(std::array<std::uint8_t, 1024> bytes) {
    return drive->Receive(Buffer(0x3B, 1, 0xF2, 1024, 2), bytes.data());
  }
  DriveReply Switch(std::uint8_t mode, const char* model = "KESTREL  QRW-730") {
    auto block = ModeBlock(model);
    return drive->Receive(Buffer(0x3B, mode, 0xFF, 256, 2), block.data());
  }
  std::string KernelIdentity() {
    std::uint8_t reply[96] = {};
    drive->Receive(kInquiry, reply);
    return std::string(reply + 8, reply + 36);
  }

  std::unique_ptr<QrwDrive> drive;
};

// The response the writer wants for a challenge: the complement of the byte
// that challenge byte 512 plus 0x2C9 picks, at the place challenge byte 0x317 names.
std::array<std::uint8_t, 1024> Answer(const std::array<std::uint8_t, 1024>& challenge) {
  std::array<std::uint8_t, 1024> response{};
  const std::size_t picked = challenge[512] + 0x2C9u;
  response[challenge[0x317]] = static_cast<std::uint8_t>(~challenge[picked]);
  return response;
}

TEST(QrwDrive, OnlyTheRightAnswerToTheLastChallengeOpensTheKernelSwitch) {
  struct Case {
    const char* name;
    std::function<DriveReply(Writer&)> exchange;  // the outcome of the echo
    std::uint32_t echo;                           // its expected outcome
    bool opens;
  };
  const Case cases[] = {
      {"right answer",
       [](Writer& w) {
         const auto c = w.Challenge();
         const DriveReply echo = w.Echo(c);
         w.Respond(Answer(c));
         return echo;
       },
       0, true},
      {"answer byte wrong",
       [](Writer& w) {
         const auto c = w.Challenge();
         const DriveReply echo = w.Echo(c);
         auto r = Answer(c);
         r[c[0x317]] ^= 0x01;
         w.Respond(r);
         return echo;
       },
       0, false},
      {"answer in the wrong place",
       [](Writer& w) {
         const auto c = w.Challenge();
         const DriveReply echo = w.Echo(c);
         auto r = Answer(c);
         const std::size_t place = c[0x317];
         const std::size_t other = (place + 1) % 256;
         r[other] = r[place];
         r[place] = static_cast<std::uint8_t>(~r[place]);
         w.Respond(r);
         return echo;
       },
       0, false},
      {"answer to an earlier challenge",
       [](Writer& w) {
         const auto first = w.Challenge();
         const auto second = w.Challenge();
         const DriveReply echo = w.Echo(second);
         auto r = Answer(first);
         // Nothing else in the response may answer the later challenge by chance.
         const std::size_t place = second[0x317];
         EXPECT_NE(first[0x317], place);
         r[place] = static_cast<std::uint8_t>(~Answer(second)[place]);
         w.Respond(r);
         return echo;
       },
       0, false},
      {"echo of other bytes",
       [](Writer& w) {
         auto c = w.Challenge();
         auto wrong = c;
         wrong[255] ^= 0xFF;
         const DriveReply echo = w.Echo(wrong);
         w.Respond(Answer(c));
         return echo;
       },
       0x052600, false},
      {"no echo",
       [](Writer& w) {
         const auto c = w.Challenge();
         w.Respond(Answer(c));
         return DriveReply{};
       },
       0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Writer w;
    EXPECT_EQ(Outcome(w.Probe()), 0u);
    EXPECT_EQ(Outcome(c.exchange(w)), c.echo);
    EXPECT_EQ(w.drive->unlocked(), c.opens);
    EXPECT_EQ(Outcome(w.Switch(4)), c.opens ? 0u : 0x052C00u);
    EXPECT_EQ(w.drive->inKernel(), c.opens);
  }

  // One answer opens one switch.
  Writer w;
  const auto c = w.Challenge();
  w.Echo(c);
  w.Respond(Answer(c));
  ASSERT_EQ(Outcome(w.Switch(4)), 0u);
  EXPECT_FALSE(w.drive->unlocked());
  EXPECT_EQ(Outcome(w.Switch(4)), 0x052C00u);
}

TEST(QrwDrive, WithoutTheHandshakeTheProbeIsRefusedAndThePlainSwitchTaken) {
  Writer w("qrw730", false);
  EXPECT_EQ(Outcome(w.Probe()), 0x052400u);
  std::array<std::uint8_t, 1024> challenge{};
  EXPECT_EQ(Outcome(w.drive->Receive(Buffer(0x3C, 2, 0xF2, 1024, 1), challenge.data())), 0x052400u);
  EXPECT_EQ(Outcome(w.Switch(4)), 0u);
  EXPECT_TRUE(w.drive->inKernel());
}

// The writers take the model strings of their families' mode blocks; 0x1041
// names one model for the switch in and another for the switch back.
TEST(QrwDrive, ModeBlockModelStrings) {
  struct Case {
    const char* name;
    const char* model;
    std::vector<std::int32_t> families;  // empty: the model's own
    const char* kernelString;             // nullptr: sixteen zero bytes
    const char* normalString;
    bool kernelTaken, normalTaken;
  };
  const Case cases[] = {
      {"QRW-730, family 0x1005", "qrw730", {}, "KESTREL  QRW-730", "KESTREL  QRW-730", true, true},
      {"QRW-730, family 0x1041", "qrw730", {}, "KESTREL  QRW-730", "KESTREL  QRW-M55", true, true},
      {"QRW-730, the 0x1041 strings swapped", "qrw730", {}, "KESTREL  QRW-M55", nullptr, false, false},
      {"QRW-730 held to 0x1041", "qrw730", {0x1041}, "KESTREL  QRW-730", "KESTREL  QRW-730", true, false},
      {"QRW-730 held to 0x1005", "qrw730", {0x1005}, "KESTREL  QRW-730", "KESTREL  QRW-M55", true, false},
      {"QRW-730, no model string", "qrw730", {}, nullptr, nullptr, false, false},
      {"QRW-710, no model string", "qrw710", {}, nullptr, nullptr, true, true},
      {"QRW-710, a QRW-730 string", "qrw710", {}, "KESTREL  QRW-730", nullptr, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Writer w(c.model, false, [&](Qbc850Config&, WriterConfig& writer) {
      if (!c.families.empty()) writer.families = c.families;
    });
    EXPECT_EQ(Outcome(w.Switch(4, c.kernelString)), c.kernelTaken ? 0u : 0x052600u);
    if (!c.kernelTaken) continue;
    EXPECT_EQ(Outcome(w.Switch(5, c.normalString)), c.normalTaken ? 0u : 0x052600u);
  }

  // Bytes 16-19 carry a checksum in the BD family only.
  Writer w("qrw730", false);
  auto block = ModeBlock("KESTREL  QRW-730");
  block[16] = 0xB9;
  EXPECT_EQ(Outcome(w.drive->Receive(Buffer(0x3B, 4, 0xFF, 256, 2), block.data())), 0x052600u);
}

TEST(QrwDrive, KernelIdentityFollowsTheHandshakeUnlessChosen) {
  struct Case {
    bool handshake;
    const char* kernelId;  // the --drive key's value, or nullptr
    const char* identity;  // vendor, product and revision
  };
  const Case cases[] = {
      {false, nullptr, "KESTREL BD-RW   QBW-610 0001"},
      {true, nullptr, "KESTREL DVD-RW  QRW-730 0000"},
      {true, "qbw", "KESTREL BD-RW   QBW-610 0001"},
      {false, "qrw", "KESTREL DVD-RW  QRW-730 0000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.handshake << " " << (c.kernelId ? c.kernelId : "-"));
    Writer w("qrw730", c.handshake, [&](Qbc850Config& config, WriterConfig& writer) {
      std::string error;
      if (c.kernelId != nullptr) {
        EXPECT_EQ(ParseWriterKey("kernelid", c.kernelId, config, writer, error), WriterKey::Taken) << error;
      }
    });
    EXPECT_EQ(w.KernelIdentity().substr(0, 24), "KESTREL DVD-RW  QRW-730 ");
    if (c.handshake) {
      const auto ch = w.Challenge();
      w.Echo(ch);
      w.Respond(Answer(ch));
    }
    ASSERT_EQ(Outcome(w.Switch(4)), 0u);
    EXPECT_EQ(w.KernelIdentity(), c.identity);
  }
}

}  // namespace
}  // namespace odf::sim
