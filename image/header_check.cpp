// Compares the loaded normal image's header with the drive it is meant for.
#include "core/context.h"
#include "core/drive_fields.h"
#include "core/families.h"
#include "core/messages.h"
#include "image/hex_text.h"
#include "image/image.h"
#include "scsi/commands.h"
#include "scsi/transport.h"

namespace odf {

namespace {

constexpr char kAutoInsertModel[] = "KESTREL DVD-RW  QRW-710";  // 23 bytes

// A drive field equals the image header field of the same width at `offset`.
bool SameAsHeader(const FieldBytes& field, const std::uint8_t* header, std::uint32_t offset) {
  return field.Equals({header + offset, field.size()});
}

// Hardware revision: 0 go on, -1 refused.
int CheckHardware(Context& ctx, const DriveInfoView& info, const std::uint8_t* header) {
  if (SameAsHeader(info.Hardware(), header, kHeaderHardware)) return 0;
  const UpdateDefinition& d = ctx.matchedDefinition;
  if (!MayCrossHardwareRevision(d.familyCode)) {
    ShowMessage(ctx, MessageCode::kHardwareRevisionMismatch, NoticeStop);
    return -1;
  }
  if (d.updateScope != 0) {
    ShowMessage(ctx, MessageCode::kHardwareRevisionMismatch, ConsoleOnly);
    return -1;
  }
  // A kernel-and-normal update may cross hardware revisions.
  const FieldBytes number = info.HardwareNumber();
  const auto driveNumber = static_cast<std::int16_t>(HexField(number.data(), number.size()));
  const auto imageNumber = static_cast<std::int16_t>(HexField(header + kHeaderHardware + 4, 4));
  if (driveNumber > 0x10 && imageNumber == 0x10 && ctx.run.forceUpdate) {
    ShowMessage(ctx, MessageCode::kForcedUpdateContinues, ConsoleOnly);
  }
  return 0;
}

// Already latest: 0 go on, 1 the drive holds this firmware.
int CheckAlreadyLatest(Context& ctx) {
  const bool newer = ctx.image.imageDate > ctx.revision.firmwareDate ||
                     ctx.run.newRevisionNumber > ctx.revision.revisionNumber;
  if (newer) return 0;
  if (ctx.run.forceUpdate) {
    ShowMessage(ctx, MessageCode::kFirmwareAlreadyLatest, ConsoleOnly);
    ShowMessage(ctx, MessageCode::kForcedUpdateContinues, ConsoleOnly);
    return 0;
  }
  ShowMessage(ctx, MessageCode::kFirmwareAlreadyLatest,
              ctx.run.updateAll ? ConsoleOnly : NoticeInfo);
  return 1;
}

// The drive on the IEEE1394 bridge with auto-insert notification on.
bool AutoInsertHazard(const Context& ctx) {
  const PortTraits traits = RouteTraits(ctx);
  if (traits.route != TransportRoute::Aspi || ctx.host.autoInsertCount == 0) return false;
  const int target = ctx.run.currentTarget;
  if (target < 0 || target >= kTargetSlots) return false;
  if (ctx.targets.entries[static_cast<std::size_t>(target)].hostAdapter != traits.bridgeIndex) {
    return false;
  }
  return InquiryView(ctx.inquiry).Model().StartsWith(kAutoInsertModel);
}

}  // namespace

int ReadDriveState(Context& ctx) {
  ctx.run.kernelOnlyState = -1;
  const CommandResult result =
      ReadDriveInfo(PortOf(ctx), CurrentTarget(ctx), ctx.run.carriedTimeoutMs, ctx.driveInfo.data());
  if (result != CommandResult::Done) return StatusCode(result);
  // An empty model name for the normal part means only the kernel part runs.
  const bool kernelOnly = DriveInfoView(ctx.driveInfo).KernelOnly();
  ctx.run.kernelMode = kernelOnly;
  ctx.run.kernelOnlyState = kernelOnly ? 1 : 0;
  return 0;
}

int CheckImageHeader(Context& ctx, int full) {
  const int status = ReadDriveState(ctx);
  if (status != 0) {
    ShowMessage(ctx, MessageCode::kDriveInfoFailed, NoticeStop);
    return status;
  }
  const DriveInfoView info(ctx.driveInfo);
  const std::uint8_t* header = ctx.host.imageBuffer.data;
  if (header == nullptr) return -1;

  if (CheckHardware(ctx, info, header) != 0) return -1;

  if (!SameAsHeader(info.Signature(), header, kHeaderSignature) && !ctx.run.signatureOverride) {
    ShowMessage(ctx, MessageCode::kKernelModelMismatch, NoticeStop);
    return -1;
  }
  // A drive that runs its kernel part only has no normal part to compare.
  if (full == 0 || info.KernelOnly()) return 0;

  if (!SameAsHeader(info.NormalName(), header, kHeaderNormalName) &&
      !ctx.run.signatureOverride) {
    ShowMessage(ctx, MessageCode::kNormalModelMismatch, NoticeStop);
    return -1;
  }
  if (CheckAlreadyLatest(ctx) != 0) return 1;

  if (AutoInsertHazard(ctx)) {
    ShowMessage(ctx, MessageCode::kAutoInsertNotificationEnabled, NoticeStop);
    return -1;
  }
  const std::uint16_t revision = ctx.revision.revisionNumber;
  if (revision < 0x100 && revision != 0) {
    ShowMessage(ctx, MessageCode::kPreProductionFirmware, NoticeStop);
    return -1;
  }
  ctx.image.editionCode = EditionCodeFor(ctx.driveInfo.data());
  return 0;
}

}  // namespace odf
