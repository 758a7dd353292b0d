// What the last image load and drive-information read left for the checks and the transfer.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace odf {

struct ImageState {
  std::array<char, 5> imageVersionText{};
  std::array<char, 8> imageDateText{};  // date text of the last normal image
  std::uint32_t imageDate = 0;
  std::uint32_t imageSize = 0;
  std::uint32_t kernelSize = 0;  // bytes of the last kernel image read, 0 after a failed read
  std::int32_t editionCode = 0;
  // Lines the front end's note hook was told (an image's SHA-256, why it
  // cannot be loaded): each once in a run, however often the file is loaded.
  std::vector<std::string> notesGiven;
};

// The general edition on the SCSI interface: its drives take the normal-mode
// switch differently, and their ASPI waits have no limit.
inline constexpr std::int32_t kGeneralScsiEdition = 0x300;

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

}  // namespace odf
