// The drive side of the simulated PC: the command log, fault rules, and the
// BD-ROM model of the built-in definition.
#include "sim/drives/sim_drive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/image_state.h"
#include "core/scsi_codes.h"
#include "sim/drives/drive_kit.h"

namespace odf::sim {

// ---- answers and fields -------------------------------------------------------

DriveReply CheckCondition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  DriveReply r;
  r.status = 2;
  r.sense[0] = 0x70;  // current error, fixed format
  r.sense[2] = key;
  r.sense[7] = 10;    // additional length: the 18-byte form
  r.sense[12] = asc;
  r.sense[13] = ascq;
  return r;
}

DriveReply Good(std::uint32_t transferred, std::uint32_t durationMs) {
  DriveReply r;
  r.dataTransferred = transferred;
  r.durationMs = durationMs;
  return r;
}

std::uint32_t CdbField(const CommandRecord& record, int at, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | record.cdb[static_cast<std::size_t>(at + i)];
  return v;
}

DriveReply SendToHost(const CommandRecord& record, std::uint8_t* data, const std::uint8_t* reply,
                      std::size_t size, std::size_t allocation) {
  if (record.direction != 1 || data == nullptr) return Good();
  const std::size_t n = std::min({size, allocation, std::size_t{record.length}});
  std::memcpy(data, reply, n);
  return Good(static_cast<std::uint32_t>(n));
}

std::uint32_t ReceivedLength(const CommandRecord& record, const std::uint8_t* data) {
  return record.direction == 2 && data != nullptr ? record.length : 0;
}

void PutField(std::uint8_t* field, std::size_t width, const std::string& text) {
  std::memset(field, ' ', width);
  std::memcpy(field, text.data(), std::min(width, text.size()));
}

std::string ReportLine(const std::string& vendor, const std::string& product, const std::string& revision,
                       const std::string& date, const char* mode, const std::vector<std::uint8_t>& held) {
  std::uint8_t identity[kInquiryModel.width];
  PutField(identity, kInquiryVendor.width, vendor);
  PutField(identity + kInquiryVendor.width, kInquiryProduct.width, product);
  char tail[96];
  std::snprintf(tail, sizeof tail, " image %zu bytes crc32 0x%08x", held.size(), static_cast<unsigned>(Crc32(held)));
  return std::string(identity, identity + sizeof identity) + " rev " + revision + " date " + date + " mode " + mode +
         tail;
}

void PutField(std::span<std::uint8_t> reply, ReplyField field, const std::string& text) {
  if (field.offset > reply.size()) return;
  PutField(reply.data() + field.offset, std::min(field.width, reply.size() - field.offset), text);
}

void StartInquiryReply(std::span<std::uint8_t, kInquirySize> reply, std::uint8_t deviceType,
                       std::uint8_t version) {
  std::memset(reply.data(), ' ', reply.size());
  std::memset(reply.data(), 0, 8);
  reply[kInquiryDeviceType.offset] = deviceType;
  reply[1] = 0x80;  // removable medium
  reply[2] = version;
  reply[3] = 2;     // response data format
  reply[4] = kInquirySize - 5;
}

std::string ImageText(const std::vector<std::uint8_t>& image, std::size_t at, std::size_t width) {
  std::string text(width, ' ');
  for (std::size_t i = 0; i < width && at + i < image.size(); ++i) {
    text[i] = static_cast<char>(image[at + i]);
  }
  return text;
}

// ---- the drive's front end: log and faults ------------------------------------

namespace {

bool Matches(const FaultRule& rule, const CommandRecord& record) {
  const std::uint8_t opcode = record.cdb[0];
  if (rule.opcode && *rule.opcode != opcode) return false;
  if (opcode == kOpWriteBuffer || opcode == kOpReadBuffer) {
    if (rule.mode && *rule.mode != record.cdb[1]) return false;
    if (rule.bufferId && *rule.bufferId != record.cdb[2]) return false;
  }
  return true;
}

bool Fires(const FaultRule& rule) {
  return rule.occurrence == 0 || rule.seen == rule.occurrence ||
         (rule.andLater && rule.seen > rule.occurrence);
}

DriveReply FaultReply(const FaultRule& rule) {
  DriveReply r;
  switch (rule.action) {
    case FaultAction::Sense:
      r = CheckCondition(rule.key, rule.asc, rule.ascq);
      r.ioctlFails = rule.ioctlFails;
      break;
    case FaultAction::Timeout:
      r.timedOut = true;
      break;
    case FaultAction::TransportFail:
      r.transportFail = true;
      r.returnedSenseLength = rule.returnedSenseLength;
      break;
    case FaultAction::ShortReply:
      break;
  }
  return r;
}

}  // namespace

DriveReply SimDrive::Receive(const CommandRecord& record, std::uint8_t* data) {
  log.push_back(record);
  // Every matching rule counts the command, so occurrences stay independent.
  const FaultRule* fired = nullptr;
  for (auto& rule : faults) {
    if (!Matches(rule, record)) continue;
    ++rule.seen;
    if (fired == nullptr && Fires(rule)) fired = &rule;
  }
  if (fired != nullptr) return Faulted(*fired, record, data);
  return Execute(record, data);
}

DriveReply SimDrive::Faulted(const FaultRule& rule, const CommandRecord& record, std::uint8_t* data) {
  if (rule.action == FaultAction::ShortReply) {
    if (record.direction != 1 || data == nullptr) return Execute(record, data);
    // The whole answer is made, and only its head reaches the host; the
    // rest of the host's buffer keeps what it held.
    std::vector<std::uint8_t> whole(record.length);
    DriveReply r = Execute(record, whole.data());
    if (r.status != 0) return r;
    r.dataTransferred = std::min(r.dataTransferred, rule.replyLength);
    std::memcpy(data, whole.data(), r.dataTransferred);
    return r;
  }
  if (!rule.executed) return FaultReply(rule);
  const DriveReply done = Execute(record, data);
  DriveReply r = FaultReply(rule);
  r.durationMs = std::max(r.durationMs, done.durationMs);
  return r;
}

// ---- the BD-ROM model -----------------------------------------------------------

namespace {

constexpr std::size_t kModeBlockSize = 256;
constexpr char kModeBlockModel[] = "KESTREL  QBW-610";  // 16 bytes, no terminator used

}  // namespace

Qbc850Drive::Qbc850Drive(Qbc850Config config)
    : config_(std::move(config)), kernel_(config_.kernel) {}

std::string Qbc850Drive::Describe() const {
  return ReportLine(config_.vendor, config_.product, config_.revision, config_.date, kernel_ ? "kernel" : "normal",
                    flashed_);
}

DriveReply Qbc850Drive::Execute(const CommandRecord& record, std::uint8_t* data) {
  const std::uint8_t opcode = record.cdb[0];
  if (config_.unitAttentions > 0 && opcode != kOpInquiry) {
    --config_.unitAttentions;
    return UnitAttention();
  }
  switch (opcode) {
    case kOpTestUnitReady: return TestUnitReady();
    case kOpInquiry: return Inquiry(record, data);
    case kOpStartStopUnit: return Good();
    case kOpReadBuffer: return ReadBuffer(record, data);
    case kOpWriteBuffer: return WriteBuffer(record, data);
    default: return InvalidOpcode();
  }
}

DriveReply Qbc850Drive::TestUnitReady() const {
  switch (config_.ready) {
    case ReadyState::DiscLoaded: return Good();
    case ReadyState::BecomingReady: return CheckCondition(2, 0x04, 0x01);
    case ReadyState::NotReady0402: return CheckCondition(2, 0x04, 0x02);
    case ReadyState::NoMedium: break;
  }
  return CheckCondition(2, 0x3A, 0x00);
}

DriveReply Qbc850Drive::Inquiry(const CommandRecord& record, std::uint8_t* data) const {
  if (record.cdb[1] & 0x01) return InvalidField();  // no vital product data pages
  std::uint8_t reply[kInquirySize];
  StartInquiryReply(reply, peripheralType, 5);
  if (kernel_) {
    PutField(reply, kInquiryModel, config_.kernelModel);
    PutField(reply, kInquiryRevision, config_.kernelRevision);
  } else {
    PutField(reply, kInquiryVendor, config_.vendor);
    PutField(reply, kInquiryProduct, config_.product);
    PutField(reply, kInquiryRevision, config_.revision);
  }
  PutField(reply, kInquiryDate, config_.date);
  return SendToHost(record, data, reply, sizeof reply, CdbField(record, 3, 2));
}

DriveReply Qbc850Drive::ReadBuffer(const CommandRecord& record, std::uint8_t* data) {
  if (record.cdb[1] != kModeDriveInfo || record.cdb[2] != kBufferDriveInfo || CdbField(record, 3, 3) != 0) {
    return InvalidField();
  }
  std::uint8_t reply[kDriveInfoSize] = {};
  PutField(reply, kDriveInfoHardware, config_.hardware);
  PutField(reply, kDriveInfoSignature, config_.signature);
  // The kernel part carries no model name of the normal part.
  PutField(reply, kDriveInfoNormalName, kernel_ ? "" : config_.normalName);
  return SendToHost(record, data, reply, sizeof reply, CdbField(record, 6, 3));
}

DriveReply Qbc850Drive::WriteBuffer(const CommandRecord& record, const std::uint8_t* data) {
  const std::uint8_t mode = record.cdb[1];
  const std::uint8_t bufferId = record.cdb[2];
  const std::uint32_t received = ReceivedLength(record, data);
  const std::uint32_t parameterLength = CdbField(record, 6, 3);
  if (mode == 7) {
    if ((bufferId != kBufferKernelPart && bufferId != kBufferNormalPart) || parameterLength != received) {
      return InvalidField();
    }
    if (!kernel_) return SequenceError();
    auto& image = bufferId == kBufferKernelPart ? kernelImage_ : normalImage_;
    const std::size_t offset = CdbField(record, 3, 3);
    if (image.size() < offset + received) image.resize(offset + received);
    if (received > 0) std::memcpy(image.data() + offset, data, received);
    return Good(received);
  }
  if ((mode != kModeKernelSwitch && mode != kModeNormalSwitch) || bufferId != kBufferModeSwitch || parameterLength != kModeBlockSize ||
      received != kModeBlockSize) {
    return InvalidField();
  }
  return mode == 4 ? EnterKernel(data) : LeaveKernel(data);
}

bool Qbc850Drive::AcceptsModeBlock(const std::uint8_t* block, bool normalMode) const {
  if (normalMode) return std::memcmp(block, kModeBlockModel, 16) == 0;
  std::uint8_t expected[20];
  std::memcpy(expected, kModeBlockModel, 16);
  for (int i = 0; i < 4; ++i) expected[16 + i] = static_cast<std::uint8_t>(config_.checksum >> (8 * i));
  return std::memcmp(block, expected, sizeof expected) == 0;
}

DriveReply Qbc850Drive::EnterKernel(const std::uint8_t* block) {
  if (!AcceptsModeBlock(block, false)) return ParameterError();
  kernel_ = true;
  std::copy(block, block + kModeBlockSize, lastModeBlock.begin());
  normalImage_.clear();
  kernelImage_.clear();
  return Good(kModeBlockSize, 500);
}

DriveReply Qbc850Drive::LeaveKernel(const std::uint8_t* block) {
  if (!kernel_) return SequenceError();
  if (!AcceptsModeBlock(block, true)) return ParameterError();
  const bool flashable = ImageText(normalImage_, kHeaderSignature, 8) == "KES_ADV " &&
                         ImageText(normalImage_, kHeaderPartLetter, 1) == "N";
  if (!flashable) return Good(kModeBlockSize);  // stays in its kernel part
  if (!config_.keepsOldFirmware) {
    config_.revision = ImageText(normalImage_, kHeaderRevision, kInquiryRevision.width);
    const std::string date = ImageText(normalImage_, kHeaderDate, 8);
    config_.date = config_.date.size() == 10 ? "20" + date : date;
    config_.normalName = ImageText(normalImage_, kHeaderNormalName, kDriveInfoNormalName.width);
  }
  flashed_ = normalImage_;
  ++flashCount_;
  kernel_ = false;
  // The restart after the flash is reported to the next command.
  config_.unitAttentions = std::max(config_.unitAttentions, 1);
  return Good(kModeBlockSize, config_.reflashMs);
}

// ---- CRC-32 ---------------------------------------------------------------------

std::uint32_t Crc32(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (auto b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

}  // namespace odf::sim
