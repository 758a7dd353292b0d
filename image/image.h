// Definition match, binary image loading and header checks.
#pragma once

#include <array>
#include <cstdint>

namespace odf {

struct Context;

enum class ImagePart : int { Kernel = 0, Normal = 1 };

struct ImageState {
  std::array<char, 5> imageVersionText{};
  std::array<char, 8> imageDateText{};  // date text of the last normal image
  std::uint32_t imageDate = 0;
  std::uint32_t imageSize = 0;
  std::int32_t editionCode = 0;
};

// Header field offsets of a binary firmware image.
inline constexpr std::uint32_t kHeaderModelName = 0x60;
inline constexpr std::uint32_t kHeaderRevision = 0x90;
inline constexpr std::uint32_t kHeaderHardware = 0xB0;
inline constexpr std::uint32_t kHeaderSignature = 0xD0;
inline constexpr std::uint32_t kHeaderNormalName = 0xF0;
inline constexpr std::uint32_t kHeaderPartLetter = 0x110;
inline constexpr std::uint32_t kHeaderDate = 0x130;
inline constexpr std::uint32_t kHeaderKernelRevision = 0x150;
inline constexpr std::uint32_t kHeaderSize = 0x154;

int MatchDefinition(Context& ctx, const std::uint8_t* inquiry);
int LoadBinaryImage(Context& ctx, ImagePart part);
int CheckImageVendorTag(Context& ctx);
int CheckImageHeader(Context& ctx, int full);
// Edition table lookup on drive-information bytes 16..31.
std::int32_t EditionCodeFor(const std::uint8_t* driveInfo);

}  // namespace odf
