// Images for the family-zero drives as the utility takes them: a firmware
// image that passes a definition's checks, and both it and the G6 patch
// block written as Intel HEX text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/definition.h"
#include "sim/sim_definition.h"

namespace odf::sim {

// `imageSize` bytes of a repeatable body with the model code and CPU type
// where the definition's family carries them (the binary codes for families
// 9 and 11). One 4 KiB run is 0xFF, as erased flash is, so its records are
// left out of the HEX file.
std::vector<std::uint8_t> MakeFamilyZeroImage(const UpdateDefinition& definition, std::uint32_t seed = 3);

// The block the G6 patch replaces, 0x20000-0x20FFF.
inline constexpr std::uint32_t kPatchBlockOffset = 0x20000;
inline constexpr std::uint32_t kPatchBlockSize = 0x1000;
std::vector<std::uint8_t> MakePatchBlock();

// Intel HEX text of `bytes` placed at `base`: a type-02 record whenever the
// 64 KiB segment changes, 16-byte data records (rows of only 0xFF left out),
// and the end record. Lines end in CR LF. Segment addresses reach 1 MiB
// (kHexTextLimit): bytes past it cannot be written this way.
inline constexpr std::uint32_t kHexTextLimit = 0x100000;
std::string HexText(const std::vector<std::uint8_t>& bytes, std::uint32_t base = 0);

// A definition whose image comes as a HEX file: its extension is "HEX".
bool IsHexDefinition(const UpdateDefinition& definition);

// The HEX file at `path` of an image that passes the definition's checks
// (MakeFamilyZeroImage). False with a one-line reason when no image of its
// imageSize can: too small to hold the identification or to be sent, or too
// large for segment addresses.
bool HexImageForDefinition(const UpdateDefinition& definition, const std::string& path,
                           std::vector<ImageFile>& files, std::string& error);

bool WriteTextFile(const std::string& path, const std::string& text);
// The G6 patch file: the patch block as HEX records at 0x20000.
bool WritePatchFile(const std::string& path);

}  // namespace odf::sim
