// Synthetic firmware images for the tests and the demo: a binary image with a
// valid header at the fixed offsets and a body of a repeatable pattern.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace odf::sim {

struct ImageFields {
  std::string modelName = "KESTREL BD-ROM  QBC-850 ";  // 24 bytes at 0x60
  std::string revision = "1.04 ";                        // 5 bytes at 0x90
  std::string hardware = "QBC 0100";                     // 8 bytes at 0xB0
  std::string signature = "KES_ADV ";                    // 8 bytes at 0xD0
  std::string normalName = "QBC-850 ";                   // 8 bytes at 0xF0
  char partLetter = 'N';                                 // 0x110
  std::string date = "08/01/10";                         // 8 bytes at 0x130
  std::string kernelRevision = "K104";                   // 4 bytes at 0x150
  std::uint32_t size = 1880576;                          // whole file
  std::uint32_t seed = 1;                                // body pattern
};

std::vector<std::uint8_t> MakeImage(const ImageFields& fields = {});

// Writes the image to a file; returns false when the file cannot be written.
bool WriteImageFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace odf::sim
