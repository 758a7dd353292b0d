// The firmware area of the older drives whose images come as HEX files: where
// their model code and CPU type sit, the binary codes some of them carry
// instead of text, and the pieces of the transfer that both the procedure and
// the simulated drive must agree on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace odf {

using FirmwareCode = std::array<std::uint8_t, 16>;

// What the identification found in the current drive's firmware area.
struct FirmwareIdentity {
  FirmwareCode driveModelCode{};
  FirmwareCode driveCpuType{};
};

// The model codes of a firmware area written as text begin with the maker's name.
inline constexpr char kFirmwareMaker[] = "KESTREL ";  // 8 bytes
inline constexpr std::size_t kFirmwareMakerWidth = 8;
// Model code and CPU type of a drive whose firmware area was not recognised.
inline constexpr char kNotRecognized[] = "Not recognize   ";  // 16 bytes

// The three probes, in order: 64 bytes with the text at 0 or 16 of the
// first, 64 bytes with the text at 16 of the second, 32 bytes with a binary
// model code at 0 of the third. The CPU type follows the model code.
inline constexpr std::uint32_t kTextProbeOffset = 0x1000;
inline constexpr std::uint32_t kLateTextProbeOffset = 0x1C000;
inline constexpr std::uint32_t kBinaryProbeOffset = 0x1F000;
inline constexpr std::uint32_t kTextProbeLength = 64;
inline constexpr std::uint32_t kBinaryProbeLength = 32;
inline constexpr std::size_t kFirmwareCodeWidth = 16;

// Binary model codes of the drives that carry no text (families 9 and 11
// expect A and B); they share their first 12 bytes, the model line, and
// differ in the last four.
inline constexpr FirmwareCode kIdentA = {0x8B, 0x5D, 0x21, 0x07, 0x00, 0x57, 0x04, 0x20,
                                         0xC3, 0x3C, 0xA5, 0x5A, 0x00, 0x01, 0x00, 0x09};
inline constexpr FirmwareCode kIdentB = {0x8B, 0x5D, 0x21, 0x07, 0x00, 0x57, 0x04, 0x20,
                                         0xC3, 0x3C, 0xA5, 0x5A, 0x00, 0x01, 0x00, 0x0B};
inline constexpr FirmwareCode kIdentC = {0x8B, 0x5D, 0x21, 0x07, 0x00, 0x57, 0x04, 0x20,
                                         0xC3, 0x3C, 0xA5, 0x5A, 0x00, 0x02, 0x00, 0x0C};
// The CPU type of those drives.
inline constexpr FirmwareCode kCpuIdent = {0x4D, 0x10, 0x30, 0x52, 0x00, 0x00, 0x80, 0x00,
                                           0xFF, 0x00, 0x10, 0x00, 0x00, 0x02, 0x00, 0x01};

// Where an image built for a family carries its model code and CPU type, and
// how many bytes of each are compared with what the definition expects.
struct ImageIdentityPlaces {
  std::uint32_t modelOffset;
  std::uint32_t cpuOffset;
  std::size_t width;
};

// Families with places of their own: 8 and 10 carry 12-byte texts at 0x1010
// and 0x1C010; 9 and 11 the binary codes at 0x1F000 (identA and identB).
inline constexpr std::int32_t kFamilyShortText = 8;
inline constexpr std::int32_t kFamilyBinaryA = 9;
inline constexpr std::int32_t kFamilyLateText = 10;
inline constexpr std::int32_t kFamilyBinaryB = 11;

constexpr bool IsBinaryFamily(std::int32_t familyCode) {
  return familyCode == kFamilyBinaryA || familyCode == kFamilyBinaryB;
}

constexpr ImageIdentityPlaces ImagePlacesFor(std::int32_t familyCode) {
  switch (familyCode) {
    case kFamilyShortText: return {0x1010, 0x1020, 12};
    case kFamilyLateText: return {0x1C010, 0x1C020, 12};
    case kFamilyBinaryA:
    case kFamilyBinaryB: return {0x1F000, 0x1F010, 16};
    default: return {0x1000, 0x1010, 16};
  }
}

// The binary model code a binary family expects.
constexpr const FirmwareCode& BinaryModelFor(std::int32_t familyCode) {
  return familyCode == kFamilyBinaryB ? kIdentB : kIdentA;
}

// The transfer: full blocks, then the last 4 KiB of the image again with the
// 4-byte marker and 12 further bytes after it.
inline constexpr std::uint32_t kUpdateBlockSize = 0x8000;
inline constexpr std::uint32_t kClosingImagePart = 0x1000;
inline constexpr std::uint32_t kClosingBlockSize = 0x1010;
inline constexpr std::size_t kMarkerWidth = 4;
inline constexpr char kMarkerWin2[] = "WIN2";
inline constexpr char kMarkerWin[] = "WIN ";

// The part of the firmware area read back for families up to 7; bytes
// 0x400-0x44F of its first block are left out of the comparison.
inline constexpr std::uint32_t kVerifyLength = 0x20000;
inline constexpr std::uint32_t kVerifyHeadEnd = 0x400;
inline constexpr std::uint32_t kVerifyRestBegin = 0x450;

}  // namespace odf
