// Which definition serves a drive, and which edition a drive belongs to.
#include "core/context.h"
#include "core/drive_fields.h"
#include "core/families.h"
#include "image/image.h"

namespace odf {

namespace {

// A BD writer left in its kernel part reports this identity whatever model it
// was flashed as, so it must still be found to be repaired.
constexpr char kKernelIdentity[] = "KESTREL BD-RW   QBW-610 ";  // 24 bytes
constexpr char kBlankName[] = "        ";

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
  const InquiryView inq({inquiry, kInquirySize});
  const DriveInfoView info(ctx.driveInfo);
  int count = ctx.definitions.definitionCount;
  if (count > kDefinitionSlots) count = kDefinitionSlots;

  for (int i = 0; i < count; ++i) {
    const UpdateDefinition& d = ctx.definitions.entries[static_cast<std::size_t>(i)];
    const bool identity = (inq.Vendor().Equals(d.vendor) && inq.Product().Equals(d.product)) ||
                          inq.Model().Equals(kKernelIdentity);
    if (!identity) continue;
    if (!NeedsVendorTag(d.familyCode)) return i;

    // Family 0x10xx: the drive must carry the definition's vendor tag, either
    // as its normal part's name or, with an empty normal part, as signature.
    const std::span<const std::uint8_t> tag(d.vendorTag, 8);
    if (info.NormalName().Equals(tag)) return i;
    if (info.NormalName().Equals(kBlankName) && info.Signature().Equals(tag)) {
      ctx.run.kernelMode = true;
      return i;
    }
  }
  return -1;
}

std::int32_t EditionCodeFor(const std::uint8_t* driveInfo) {
  const DriveInfoView info({driveInfo, kDriveInfoSize});
  const FieldBytes signature = info.Signature();
  if (signature.Equals("GENERAL ")) return info.Hardware().StartsWith("SCSI") ? kGeneralScsiEdition : 0x100;
  for (const EditionRow& row : kEditions) {
    if (signature.Equals(row.signature)) return row.code;
  }
  return -1;
}

}  // namespace odf
