// Definition match, binary image loading and header checks.
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
// Edition table lookup on drive-information bytes 16..31.
std::int32_t EditionCodeFor(const std::uint8_t* driveInfo);

}  // namespace odf
