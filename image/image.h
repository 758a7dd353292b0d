// Definition match, binary and HEX image loading, and header checks.
#pragma once

#include <array>
#include <cstdint>

#include "core/image_state.h"

namespace odf {

struct Context;

enum class ImagePart : int { Kernel = 0, Normal = 1 };

int MatchDefinition(Context& ctx, const std::uint8_t* inquiry);
// ReadDriveInfo, and what the reply says of the drive: kernelMode and
// kernelOnlyState 1 when only the kernel part runs, 0 otherwise. A failed read
// leaves kernelMode as it was and kernelOnlyState at -1 (no reply).
int ReadDriveState(Context& ctx);
int LoadBinaryImage(Context& ctx, ImagePart part);
int CheckImageVendorTag(Context& ctx);
int CheckImageHeader(Context& ctx, int full);
// Intel HEX images: the whole image from the matched definition's file, and
// the patch block 0x20000-0x20FFF from "G6PATCH.HEX". A file is taken only
// whole and sound (every record well formed and placed, up to its end
// record). 0, or -1 with the image buffer unchanged and the file's line and
// reason on the console.
int LoadHexImage(Context& ctx);
int LoadHexPatch(Context& ctx);
// Edition table lookup on drive-information bytes 16..31.
std::int32_t EditionCodeFor(const std::uint8_t* driveInfo);

}  // namespace odf
