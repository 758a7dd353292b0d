#include "sim/hex_image.h"
#include "sim/image_maker.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/firmware_area.h"

namespace odf::sim {

namespace {

constexpr std::uint32_t kErasedRun = 0x6000;  // a run of 0xFF, clear of every identity place
constexpr std::uint32_t kErasedLength = 0x1000;
constexpr std::size_t kRecordBytes = 16;

void Put(std::vector<std::uint8_t>& image, std::uint32_t at, const std::uint8_t* bytes, std::size_t n) {
  for (std::size_t i = 0; i < n && at + i < image.size(); ++i) image[at + i] = bytes[i];
}

// A definition's text field, blank-padded to 16 bytes.
FirmwareCode Text16(const std::uint8_t* field, std::size_t width) {
  FirmwareCode out;
  out.fill(' ');
  std::memcpy(out.data(), field, std::min(width, out.size()));
  return out;
}

void AppendRecord(std::string& text, std::uint8_t type, std::uint16_t address, const std::uint8_t* data,
                  std::size_t count) {
  char head[16];
  std::snprintf(head, sizeof head, ":%02X%04X%02X", static_cast<unsigned>(count), static_cast<unsigned>(address),
                static_cast<unsigned>(type));
  text += head;
  unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFFu) + type;
  for (std::size_t i = 0; i < count; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02X", static_cast<unsigned>(data[i]));
    text += byte;
    sum += data[i];
  }
  char tail[8];
  std::snprintf(tail, sizeof tail, "%02X\r\n", (0x100u - (sum & 0xFFu)) & 0xFFu);
  text += tail;
}

}  // namespace

std::vector<std::uint8_t> MakeFamilyZeroImage(const UpdateDefinition& d, std::uint32_t seed) {
  std::vector<std::uint8_t> image(d.imageSize);
  std::uint32_t x = seed * 2654435761u + 777u;
  for (auto& b : image) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  for (std::uint32_t i = kErasedRun; i < kErasedRun + kErasedLength && i < image.size(); ++i) image[i] = 0xFF;

  const ImageIdentityPlaces places = ImagePlacesFor(d.familyCode);
  const bool binary = IsBinaryFamily(d.familyCode);
  const FirmwareCode model = binary ? BinaryModelFor(d.familyCode) : Text16(d.modelCode, sizeof d.modelCode);
  const FirmwareCode cpu = binary ? kCpuIdent : Text16(d.cpuType, sizeof d.cpuType);
  Put(image, places.modelOffset, model.data(), model.size());
  Put(image, places.cpuOffset, cpu.data(), cpu.size());
  return image;
}

std::vector<std::uint8_t> MakePatchBlock() {
  std::vector<std::uint8_t> block(kPatchBlockSize);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(0x60 + i % 29);
  const char tag[] = "G6PATCH-QRD570";
  std::memcpy(block.data() + 2, tag, sizeof tag - 1);
  return block;
}

std::string HexText(const std::vector<std::uint8_t>& bytes, std::uint32_t base) {
  std::string text;
  text.reserve(bytes.size() * 45 / 16 + 64);
  std::uint32_t segment = 0;  // the reader starts with base 0
  for (std::size_t row = 0; row < bytes.size(); row += kRecordBytes) {
    const std::size_t count = std::min(kRecordBytes, bytes.size() - row);
    const std::uint8_t* data = bytes.data() + row;
    if (std::all_of(data, data + count, [](std::uint8_t b) { return b == 0xFF; })) continue;
    const std::uint32_t at = base + static_cast<std::uint32_t>(row);
    if ((at & 0xFFFF0000u) != segment) {
      segment = at & 0xFFFF0000u;
      const std::uint32_t paragraph = segment >> 4;
      const std::uint8_t value[2] = {static_cast<std::uint8_t>(paragraph >> 8),
                                     static_cast<std::uint8_t>(paragraph)};
      AppendRecord(text, 0x02, 0, value, 2);
    }
    AppendRecord(text, 0x00, static_cast<std::uint16_t>(at & 0xFFFFu), data, count);
  }
  AppendRecord(text, 0x01, 0, nullptr, 0);
  return text;
}

bool IsHexDefinition(const UpdateDefinition& d) {
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::toupper(d.extension[i]) != "HEX"[i]) return false;
  }
  return true;
}

bool HexImageForDefinition(const UpdateDefinition& d, const std::string& path, std::vector<ImageFile>& files,
                           std::string& error) {
  const std::uint32_t identityEnd = ImagePlacesFor(d.familyCode).cpuOffset + kFirmwareCodeWidth;
  const std::uint32_t least = std::max(identityEnd, kClosingImagePart);
  if (d.imageSize < least || d.imageSize > kHexTextLimit) {
    char reason[160];
    std::snprintf(reason, sizeof reason,
                  "the definition's imageSize must lie between 0x%X and 0x%X for a HEX image of family %d to fit it",
                  static_cast<unsigned>(least), static_cast<unsigned>(kHexTextLimit), static_cast<int>(d.familyCode));
    error = reason;
    return false;
  }
  const std::string text = HexText(MakeFamilyZeroImage(d));
  files = {{path, std::vector<std::uint8_t>(text.begin(), text.end())}};
  return true;
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  return WriteImageFile(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

bool WritePatchFile(const std::string& path) {
  return WriteTextFile(path, HexText(MakePatchBlock(), kPatchBlockOffset));
}

}  // namespace odf::sim
