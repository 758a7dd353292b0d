// The family-zero DVD-ROM model: identity, firmware area, update mode, the
// image blocks with their transfer marker, and the flash.
#include "sim/drives/qrd_drive.h"

#include <algorithm>
#include <cstring>

#include "core/firmware_area.h"
#include "core/scsi_codes.h"
#include "sim/drives/drive_kit.h"
#include "sim/drives/option_text.h"

namespace odf::sim {

namespace {

constexpr char kDefaultCpuType[] = "MN103S";
constexpr std::uint8_t kErased = 0xFF;

void PutText(std::vector<std::uint8_t>& area, std::uint32_t at, const std::string& text) {
  if (std::size_t{at} + kFirmwareCodeWidth > area.size()) return;
  PutField(area.data() + at, kFirmwareCodeWidth, text);
}

void PutCode(std::vector<std::uint8_t>& area, std::uint32_t at, const FirmwareCode& code) {
  if (std::size_t{at} + code.size() > area.size()) return;
  std::copy(code.begin(), code.end(), area.begin() + at);
}

const FirmwareCode* BinaryCodeOf(FirmwareLayout layout) {
  switch (layout) {
    case FirmwareLayout::IdentA: return &kIdentA;
    case FirmwareLayout::IdentB: return &kIdentB;
    case FirmwareLayout::IdentC: return &kIdentC;
    default: return nullptr;
  }
}

bool IsMarker(const std::uint8_t* bytes, const char* marker) {
  return std::memcmp(bytes, marker, kMarkerWidth) == 0;
}

}  // namespace

std::vector<std::uint8_t> InitialFirmwareArea(const Qrd570Config& c) {
  std::vector<std::uint8_t> area(c.areaSize);
  // The old firmware: a body that differs from block to block.
  std::uint32_t x = c.seed * 2246822519u + 374761393u;
  for (auto& b : area) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  const std::string cpu = c.cpuType.value_or(kDefaultCpuType);
  if (const FirmwareCode* code = BinaryCodeOf(c.layout)) {
    PutCode(area, kBinaryProbeOffset, *code);
    if (c.cpuType) {
      PutText(area, kBinaryProbeOffset + kFirmwareCodeWidth, cpu);
    } else {
      PutCode(area, kBinaryProbeOffset + kFirmwareCodeWidth, kCpuIdent);
    }
    return area;
  }
  std::uint32_t model = 0;
  switch (c.layout) {
    case FirmwareLayout::Text1000: model = kTextProbeOffset; break;
    case FirmwareLayout::Text1010: model = kTextProbeOffset + kFirmwareCodeWidth; break;
    case FirmwareLayout::Text1C000: model = kLateTextProbeOffset + kFirmwareCodeWidth; break;
    default: return area;
  }
  PutText(area, model, c.modelCode);
  PutText(area, model + kFirmwareCodeWidth, cpu);
  return area;
}

Qrd570Drive::Qrd570Drive(Qrd570Config config)
    : config_(std::move(config)), area_(InitialFirmwareArea(config_)) {}

std::string Qrd570Drive::marker() const {
  return std::string(closingTail_.begin(), closingTail_.begin() + kMarkerWidth);
}

std::string Qrd570Drive::Describe() const {
  std::string line = ReportLine(config_.vendor, config_.product, config_.revision, config_.date,
                                updateMode_ ? "update" : "normal", area_);
  if (flashCount_ > 0) line += " marker \"" + marker() + "\"";
  return line;
}

DriveReply Qrd570Drive::Execute(const CommandRecord& record, std::uint8_t* data) {
  switch (record.cdb[0]) {
    case kOpTestUnitReady: return CheckCondition(kSenseKeyNotReady, kAscNoMedium, 0);
    case kOpInquiry: return Inquiry(record, data);
    case kOpStartStopUnit: return Good();
    case kOpReadBuffer: return ReadBuffer(record, data);
    case kOpWriteBuffer: return WriteBuffer(record, data);
    default: return InvalidOpcode();
  }
}

DriveReply Qrd570Drive::Inquiry(const CommandRecord& record, std::uint8_t* data) const {
  if (record.cdb[1] & 0x01) return InvalidField();  // no vital product data pages
  std::uint8_t reply[kInquirySize];
  StartInquiryReply(reply, peripheralType, 2);
  PutField(reply, kInquiryVendor, config_.vendor);
  PutField(reply, kInquiryProduct, config_.product);
  PutField(reply, kInquiryRevision, config_.revision);
  PutField(reply, kInquiryDate, config_.date);
  return SendToHost(record, data, reply, sizeof reply, CdbField(record, 3, 2));
}

// Only the firmware area can be read; this drive has no drive-information block.
DriveReply Qrd570Drive::ReadBuffer(const CommandRecord& record, std::uint8_t* data) const {
  if (record.cdb[1] != kModeVendor || record.cdb[2] != kBufferFirmwareArea) return InvalidField();
  const std::size_t offset = CdbField(record, 3, 3);
  const std::size_t length = CdbField(record, 6, 3);
  if (offset + length > area_.size()) return InvalidField();
  return SendToHost(record, data, area_.data() + offset, length, length);
}

DriveReply Qrd570Drive::WriteBuffer(const CommandRecord& record, const std::uint8_t* data) {
  if (record.cdb[1] != kModeVendor) return InvalidField();
  const std::uint32_t parameterLength = CdbField(record, 6, 3);
  if (parameterLength != ReceivedLength(record, data)) return InvalidField();
  switch (record.cdb[2]) {
    case kBufferUpdateMode:
      if (parameterLength != 0) return InvalidField();
      updateMode_ = true;
      received_.assign(config_.areaSize, kErased);
      imageEnd_.reset();
      return Good();
    case kBufferModeSwitch:
      return TakeBlock(record, data);
    case kBufferFlashStart:
      if (parameterLength != 0) return InvalidField();
      return Flash();
    default:
      return InvalidField();
  }
}

// An image block at its offset. The closing block holds the last 4 KiB of
// the image, which ends there, then the marker and 12 further bytes.
DriveReply Qrd570Drive::TakeBlock(const CommandRecord& record, const std::uint8_t* data) {
  if (!updateMode_) return SequenceError();
  const std::size_t offset = CdbField(record, 3, 3);
  const std::uint32_t length = CdbField(record, 6, 3);
  const bool closing = length == kClosingBlockSize;
  const std::uint32_t imagePart = closing ? kClosingImagePart : length;
  if (closing) {
    const std::uint8_t* marker = data + kClosingImagePart;
    if (!IsMarker(marker, kMarkerWin) && !IsMarker(marker, kMarkerWin2)) return ParameterError();
    std::copy(marker, marker + closingTail_.size(), closingTail_.begin());
    imageEnd_ = static_cast<std::uint32_t>(offset + kClosingImagePart);
  }
  if (received_.size() < offset + imagePart) received_.resize(offset + imagePart, kErased);
  std::copy(data, data + imagePart, received_.begin() + static_cast<std::ptrdiff_t>(offset));
  return Good(length);
}

DriveReply Qrd570Drive::Flash() {
  if (!updateMode_ || !imageEnd_) return SequenceError();
  // Bytes a full block carried past the image's end are not part of it.
  area_.assign(received_.begin(), received_.begin() + *imageEnd_);
  if (area_.size() < config_.areaSize) area_.resize(config_.areaSize, kErased);
  updateMode_ = false;
  imageEnd_.reset();
  ++flashCount_;
  return Good(0, config_.flashMs);
}

// ---- odflsh-sim keys ----------------------------------------------------------

namespace {

struct LayoutName {
  const char* name;
  FirmwareLayout layout;
};

constexpr LayoutName kLayouts[] = {
    {"text1000", FirmwareLayout::Text1000}, {"text1010", FirmwareLayout::Text1010},
    {"text1c000", FirmwareLayout::Text1C000}, {"identa", FirmwareLayout::IdentA},
    {"identb", FirmwareLayout::IdentB},     {"identc", FirmwareLayout::IdentC},
    {"none", FirmwareLayout::None},
};

std::string Fitted(const std::string& text, std::size_t width) {
  std::string s = text.substr(0, width);
  s.resize(width, ' ');
  return s;
}

}  // namespace

bool ParseQrdDriveKey(const std::string& key, const std::string& value, Qrd570Config& c,
                      std::string& error) {
  if (key == "rev") {
    c.revision = Fitted(value, kInquiryRevision.width);
    return true;
  }
  if (key == "date") {
    if (value.size() != 8 && value.size() != 10) {
      error = "date= takes yy/mm/dd or yyyy/mm/dd";
      return false;
    }
    c.date = value;
    return true;
  }
  if (key == "modelcode") {
    c.modelCode = Fitted(value, kFirmwareCodeWidth);
    return true;
  }
  if (key == "cputype") {
    c.cpuType = Fitted(value, kFirmwareCodeWidth);
    return true;
  }
  if (key == "ident") {
    const std::string lower = Lower(value);
    for (const LayoutName& l : kLayouts) {
      if (lower == l.name) {
        c.layout = l.layout;
        return true;
      }
    }
    error = "ident= takes text1000, text1010, text1C000, identA, identB, identC or none";
    return false;
  }
  error = "unknown drive key '" + key + "' for qrd570";
  return false;
}

std::string QrdDriveUsage() {
  return
      "  --drive qrd570[,KEY=VALUE...]\n"
      "                         a family-zero DVD-ROM, KESTREL DVD-ROM QRD-570 (rev 1.06\n"
      "                         needs the G6 patch). Keys, besides letter, adapter,\n"
      "                         target, noaddr and fail as for qbc850:\n"
      "      rev=1.05 date=03/06/12   identity\n"
      "      modelcode=TEXT     the 16-byte model code of its firmware area\n"
      "                         (default 'KESTREL QRD-570')\n"
      "      cputype=TEXT       the 16-byte CPU type after it (default MN103S; the\n"
      "                         binary CPU code with a binary ident)\n"
      "      ident=WHERE        text1000 (default), text1010, text1C000: the texts at\n"
      "                         0x1000, 0x1010 or 0x1C010; identA, identB, identC: the\n"
      "                         binary model codes at 0x1F000 (modelcode ignored);\n"
      "                         none: nothing recognisable\n";
}

}  // namespace odf::sim
