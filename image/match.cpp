// Which definition serves a drive, and which edition a drive belongs to.
#include <cstring>

#include "core/context.h"
#include "image/image.h"

namespace odf {

namespace {

// A BD writer left in its kernel part reports this identity whatever model it
// was flashed as, so it must still be found to be repaired.
constexpr char kKernelIdentity[] = "KESTREL BD-RW   QBW-610 ";  // 24 bytes
constexpr char kBlankName[] = "        ";

bool SameBytes(const std::uint8_t* a, const void* b, std::size_t n) {
  return std::memcmp(a, b, n) == 0;
}

struct EditionRow {
  const char* signature;  // 8 bytes
  std::int32_t code;
};

// Tried in order; "GENERAL " is handled before the table.
constexpr EditionRow kEditions[] = {
    {"ORBIX   ", 0x104}, {"ORBJPN  ", 0x108}, {"MIRO    ", 0x101}, {"MIROLX  ", 0x111},
    {"VERTEX  ", 0x103}, {"LUMEN   ", 0x115}, {"QUILL   ", 0x102}, {"ZEB     ", 0x121},
    {"NOVA    ", 0x122},
};

}  // namespace

int MatchDefinition(Context& ctx, const std::uint8_t* inquiry) {
  const std::uint8_t* info = ctx.driveInfo.data();
  int count = ctx.definitions.definitionCount;
  if (count > kDefinitionSlots) count = kDefinitionSlots;

  for (int i = 0; i < count; ++i) {
    const UpdateDefinition& d = ctx.definitions.entries[static_cast<std::size_t>(i)];
    const bool identity =
        (SameBytes(inquiry + 8, d.vendor, 8) && SameBytes(inquiry + 16, d.product, 16)) ||
        SameBytes(inquiry + 8, kKernelIdentity, 24);
    if (!identity) continue;
    if ((d.familyCode & 0xFF00) != 0x1000) return i;

    // Family 0x10xx: the drive must carry the definition's vendor tag, either
    // as its normal part's name or, with an empty normal part, as signature.
    if (SameBytes(info + 32, d.vendorTag, 8)) return i;
    if (SameBytes(info + 32, kBlankName, 8) && SameBytes(info + 24, d.vendorTag, 8)) {
      ctx.run.kernelMode = 1;
      return i;
    }
  }
  return -1;
}

std::int32_t EditionCodeFor(const std::uint8_t* driveInfo) {
  const std::uint8_t* signature = driveInfo + 24;
  if (SameBytes(signature, "GENERAL ", 8)) {
    return SameBytes(driveInfo + 16, "SCSI", 4) ? kGeneralScsiEdition : 0x100;
  }
  for (const EditionRow& row : kEditions) {
    if (SameBytes(signature, row.signature, 8)) return row.code;
  }
  return -1;
}

}  // namespace odf
