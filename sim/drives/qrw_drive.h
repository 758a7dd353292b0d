// The family-one DVD writers "KESTREL DVD-RW  QRW-710 ", QRW-720 and QRW-730:
// the BD-ROM model's identity, blocks and re-flash, with the writers' own
// mode-block model strings and, when asked for, the unlock handshake.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/drives/sim_drive.h"

namespace odf::sim {

struct WriterConfig {
  // Refuses the switch into its kernel until the last challenge it handed
  // out has been answered; without it the writer refuses the handshake's
  // probe as an invalid field (5/24/00).
  bool handshake = false;
  // The definition families whose mode-block model strings it takes. A family
  // without a model string stands for a block whose model string is zero.
  std::vector<std::int32_t> families;
};

// A writer's configuration as the simulator starts it, by its --drive name
// (qrw710, qrw720, qrw730); false for any other name. Its kernel identity is
// left to the handshake setting (see QrwDrive).
bool FindWriterModel(std::string_view name, Qbc850Config& config, WriterConfig& writer);

// The --drive keys only the writers have:
//   handshake=1|0, kernelid=qbw|qrw, family=N (decimal or 0x-hex).
enum class WriterKey { Taken, Unknown, Bad };
WriterKey ParseWriterKey(const std::string& key, const std::string& value, Qbc850Config& config,
                         WriterConfig& writer, std::string& error);

// The configuration the simulator gives by default to a drive of this
// identity (24 bytes of vendor and product): a writer's, or else the BD-ROM's.
Qbc850Config DefaultConfigFor(std::string_view identity);

inline constexpr std::size_t kChallengeSize = 1024;

class QrwDrive : public Qbc850Drive {
 public:
  // With no kernel identity in `config`, a writer that demands the handshake
  // answers as "KESTREL DVD-RW  QRW-7x0 " revision "0000" in its kernel, the
  // identity the handshake looks for; one that does not answers as
  // "KESTREL BD-RW   QBW-610 " revision "0001", the identity the plain
  // switch's check looks for.
  QrwDrive(Qbc850Config config, WriterConfig writer);

  std::string Describe() const override;

  const WriterConfig& writer() const { return writer_; }
  // The challenge last handed out, and whether its answer has come back.
  const std::array<std::uint8_t, kChallengeSize>& lastChallenge() const { return challenge_; }
  bool unlocked() const { return lock_ == Lock::Unlocked; }

 protected:
  DriveReply ReadBuffer(const CommandRecord& record, std::uint8_t* data) override;
  DriveReply WriteBuffer(const CommandRecord& record, const std::uint8_t* data) override;
  bool AcceptsModeBlock(const std::uint8_t* block, bool normalMode) const override;

 private:
  enum class Lock { Locked, Challenged, Echoed, Unlocked };

  DriveReply Probe(const CommandRecord& record, const std::uint8_t* data);
  DriveReply Challenge(const CommandRecord& record, std::uint8_t* data);
  DriveReply TakeHandshakeBlock(const CommandRecord& record, const std::uint8_t* data);
  bool RightAnswer(const std::uint8_t* response) const;

  WriterConfig writer_;
  Lock lock_ = Lock::Locked;
  std::array<std::uint8_t, kChallengeSize> challenge_{};
  std::uint32_t challengeCount_ = 0;
};

}  // namespace odf::sim
