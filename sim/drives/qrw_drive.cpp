// The family-one DVD writers and their unlock handshake.
#include "sim/drives/qrw_drive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/scsi_codes.h"
#include "sim/drives/drive_kit.h"
#include "sim/drives/option_text.h"

namespace odf::sim {

namespace {

constexpr std::size_t kEchoSize = 256;
// What the writer's firmware computes from its own challenge: byte 512 plus
// the first key picks the byte whose complement is the answer; the byte at
// the second key is the answer's place in the response.
constexpr std::uint16_t kAnswerKey = 0x02C9;
constexpr std::uint16_t kPlaceKey = 0x0317;
constexpr std::size_t kPickerIndex = 512;

constexpr char kVendor[] = "KESTREL ";
constexpr char kBdKernelModel[] = "KESTREL BD-RW   QBW-610 ";
constexpr char kBdKernelRevision[] = "0001";
constexpr char kWriterKernelRevision[] = "0000";

struct ModelRow {
  const char* name;
  const char* product;     // 16 bytes
  const char* hardware;    // drive information bytes 16-23
  const char* normalName;  // bytes 32-39
  const char* revision;    // one that needs neither a kernel update nor the handshake
  std::array<std::int32_t, 2> families;  // 0: none
};

// Constant-initialized: the fake device-node library parses drives while the
// program is still being loaded, before any dynamic initializer has run.
constexpr ModelRow kModels[] = {
    {"qrw710", "DVD-RW  QRW-710 ", "QRW 0710", "QRW710N ", "1.30", {0, 0}},
    {"qrw720", "DVD-RW  QRW-720 ", "QRW 0720", "QRW720N ", "1.20", {0, 0}},
    {"qrw730", "DVD-RW  QRW-730 ", "QRW 0730", "QRW730N ", "1.20", {0x1005, 0x1041}},
};

struct ModeStrings {
  std::int32_t family;
  const char* kernel;  // 16 bytes each
  const char* normal;
};

// The model strings each family's definitions put into the two mode blocks.
constexpr ModeStrings kModeStrings[] = {
    {0x1003, "KESTREL QRW-T880", "KESTREL QRW-T880"},
    {0x1004, "KESTREL QRD-W940", "KESTREL QRD-W940"},
    {0x1005, "KESTREL  QRW-730", "KESTREL  QRW-730"},
    {0x1041, "KESTREL  QRW-730", "KESTREL  QRW-M55"},
};

std::array<std::uint8_t, 16> ModelStringOf(std::int32_t family, bool normalMode) {
  std::array<std::uint8_t, 16> text{};
  for (const auto& row : kModeStrings) {
    if (row.family == family) std::memcpy(text.data(), normalMode ? row.normal : row.kernel, text.size());
  }
  return text;
}

std::string OwnKernelModel(const Qbc850Config& config) {
  std::uint8_t identity[kInquiryModel.width];
  PutField(identity, kInquiryVendor.width, config.vendor);
  PutField(identity + kInquiryVendor.width, kInquiryProduct.width, config.product);
  return std::string(identity, identity + sizeof identity);
}

Qbc850Config WithKernelIdentity(Qbc850Config config, const WriterConfig& writer) {
  if (config.kernelModel.empty()) {
    config.kernelModel = writer.handshake ? OwnKernelModel(config) : kBdKernelModel;
    config.kernelRevision = writer.handshake ? kWriterKernelRevision : kBdKernelRevision;
  }
  return config;
}

}  // namespace

bool FindWriterModel(std::string_view name, Qbc850Config& config, WriterConfig& writer) {
  for (const ModelRow& row : kModels) {
    if (name != row.name) continue;
    config = Qbc850Config{};
    config.vendor = kVendor;
    config.product = row.product;
    config.hardware = row.hardware;
    config.normalName = row.normalName;
    config.revision = row.revision;
    config.kernelModel.clear();  // chosen by the handshake setting when the drive is built
    config.kernelRevision.clear();
    writer = WriterConfig{};
    writer.families.clear();
    for (const std::int32_t family : row.families) {
      if (family != 0) writer.families.push_back(family);
    }
    return true;
  }
  return false;
}

WriterKey ParseWriterKey(const std::string& key, const std::string& value, Qbc850Config& config,
                         WriterConfig& writer, std::string& error) {
  if (key == "handshake") {
    if (value != "1" && value != "0") {
      error = "handshake= takes 1 or 0";
      return WriterKey::Bad;
    }
    writer.handshake = value == "1";
    return WriterKey::Taken;
  }
  if (key == "kernelid") {
    if (value == "qbw") {
      config.kernelModel = kBdKernelModel;
      config.kernelRevision = kBdKernelRevision;
    } else if (value == "qrw") {
      config.kernelModel = OwnKernelModel(config);
      config.kernelRevision = kWriterKernelRevision;
    } else {
      error = "kernelid= takes qbw or qrw";
      return WriterKey::Bad;
    }
    return WriterKey::Taken;
  }
  if (key == "family") {
    std::uint32_t family = 0;
    if (!ParseDecimalOrHex(value, 0xFFFF, family)) {
      error = "family= takes a family code up to 0xFFFF";
      return WriterKey::Bad;
    }
    writer.families = {static_cast<std::int32_t>(family)};
    return WriterKey::Taken;
  }
  return WriterKey::Unknown;
}

Qbc850Config DefaultConfigFor(std::string_view identity) {
  for (const ModelRow& row : kModels) {
    Qbc850Config config;
    WriterConfig writer;
    FindWriterModel(row.name, config, writer);
    if (OwnKernelModel(config) == identity) return config;
  }
  return Qbc850Config{};
}

QrwDrive::QrwDrive(Qbc850Config config, WriterConfig writer)
    : Qbc850Drive(WithKernelIdentity(std::move(config), writer)), writer_(std::move(writer)) {}

std::string QrwDrive::Describe() const {
  char kernel[64];
  std::snprintf(kernel, sizeof kernel, " kernel %zu bytes crc32 0x%08x", kernelImage().size(),
                static_cast<unsigned>(Crc32(kernelImage())));
  return Qbc850Drive::Describe() + kernel;
}

DriveReply QrwDrive::ReadBuffer(const CommandRecord& record, std::uint8_t* data) {
  if (record.cdb[2] == kBufferHandshake) return Challenge(record, data);
  return Qbc850Drive::ReadBuffer(record, data);
}

DriveReply QrwDrive::WriteBuffer(const CommandRecord& record, const std::uint8_t* data) {
  const std::uint8_t mode = record.cdb[1];
  const std::uint8_t bufferId = record.cdb[2];
  if (bufferId == kBufferHandshakeProbe) return Probe(record, data);
  if (bufferId == kBufferHandshake) return TakeHandshakeBlock(record, data);
  if (mode == 4 && writer_.handshake) {
    if (lock_ != Lock::Unlocked) return SequenceError();
    const DriveReply reply = Qbc850Drive::WriteBuffer(record, data);
    if (reply.status == 0) lock_ = Lock::Locked;  // one answer opens one switch
    return reply;
  }
  return Qbc850Drive::WriteBuffer(record, data);
}

bool QrwDrive::AcceptsModeBlock(const std::uint8_t* block, bool normalMode) const {
  // Only the BD family carries a checksum after the model string.
  if (std::any_of(block + 16, block + 20, [](std::uint8_t b) { return b != 0; })) return false;
  std::vector<std::int32_t> families = writer_.families;
  if (families.empty()) families.push_back(0);
  return std::any_of(families.begin(), families.end(), [&](std::int32_t family) {
    const auto expected = ModelStringOf(family, normalMode);
    return std::memcmp(block, expected.data(), expected.size()) == 0;
  });
}

DriveReply QrwDrive::Probe(const CommandRecord& record, const std::uint8_t* data) {
  if (!writer_.handshake || record.cdb[1] != 1 || CdbField(record, 6, 3) != 0 ||
      ReceivedLength(record, data) != 0) {
    return InvalidField();
  }
  lock_ = Lock::Locked;  // a new exchange begins
  return Good();
}

DriveReply QrwDrive::Challenge(const CommandRecord& record, std::uint8_t* data) {
  if (!writer_.handshake || (record.cdb[1] != 1 && record.cdb[1] != 2) || CdbField(record, 3, 3) != 0 ||
      CdbField(record, 6, 3) != kChallengeSize) {
    return InvalidField();
  }
  // A fresh challenge every time, so the answer's place moves.
  std::uint32_t x = 0x51A7E5EDu ^ (++challengeCount_ * 0x9E3779B9u);
  for (auto& b : challenge_) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  lock_ = Lock::Challenged;
  return SendToHost(record, data, challenge_.data(), challenge_.size(), kChallengeSize);
}

DriveReply QrwDrive::TakeHandshakeBlock(const CommandRecord& record, const std::uint8_t* data) {
  const std::uint32_t received = ReceivedLength(record, data);
  if (!writer_.handshake || record.cdb[1] != 1 || CdbField(record, 3, 3) != 0 ||
      CdbField(record, 6, 3) != received) {
    return InvalidField();
  }
  if (received == kEchoSize) {
    const bool echoed = lock_ == Lock::Challenged && std::equal(data, data + kEchoSize, challenge_.begin());
    lock_ = echoed ? Lock::Echoed : Lock::Locked;
    return echoed ? Good(received) : ParameterError();
  }
  if (received == kChallengeSize) {
    // The response is taken either way; only the right answer opens the switch.
    lock_ = lock_ == Lock::Echoed && RightAnswer(data) ? Lock::Unlocked : Lock::Locked;
    return Good(received);
  }
  return InvalidField();
}

bool QrwDrive::RightAnswer(const std::uint8_t* response) const {
  const std::size_t picked = challenge_[kPickerIndex] + kAnswerKey;
  const std::size_t place = challenge_[kPlaceKey];
  return response[place] == static_cast<std::uint8_t>(~challenge_[picked]);
}

}  // namespace odf::sim
