// Compares the loaded normal image's header with the drive it is meant for.
#include <cstring>

#include "core/context.h"
#include "core/messages.h"
#include "image/hex_text.h"
#include "image/image.h"
#include "scsi/commands.h"

namespace odf {

namespace {

constexpr char kAutoInsertModel[] = "KESTREL DVD-RW  QRW-710";  // 23 bytes

bool Differ(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  return std::memcmp(a, b, n) != 0;
}

// Hardware revision: 0 go on, -1 refused.
int CheckHardware(Context& ctx, const std::uint8_t* info, const std::uint8_t* header) {
  if (!Differ(info + 16, header + kHeaderHardware, 8)) return 0;
  const UpdateDefinition& d = ctx.matchedDefinition;
  if ((d.familyCode & 0xFFF0) != 0x1040) {
    ShowMessage(ctx, 1, NoticeStop);
    return -1;
  }
  if (d.updateScope != 0) {
    ShowMessage(ctx, 1, ConsoleOnly);
    return -1;
  }
  // A kernel-and-normal update may cross hardware revisions.
  const auto driveNumber = static_cast<std::int16_t>(HexField(info + 20, 4));
  const auto imageNumber = static_cast<std::int16_t>(HexField(header + kHeaderHardware + 4, 4));
  if (driveNumber > 0x10 && imageNumber == 0x10 && ctx.run.forceUpdate == 1) {
    ShowMessage(ctx, 2, ConsoleOnly);
  }
  return 0;
}

// Already latest: 0 go on, 1 the drive holds this firmware.
int CheckAlreadyLatest(Context& ctx) {
  const bool newer = ctx.image.imageDate > ctx.revision.firmwareDate ||
                     ctx.run.newRevisionNumber > ctx.revision.revisionNumber;
  if (newer) return 0;
  if (ctx.run.forceUpdate == 1) {
    ShowMessage(ctx, 54, ConsoleOnly);
    ShowMessage(ctx, 2, ConsoleOnly);
    return 0;
  }
  ShowMessage(ctx, 54, ctx.run.updateAll == 1 ? ConsoleOnly : NoticeInfo);
  return 1;
}

// The drive on the IEEE1394 bridge with auto-insert notification on.
bool AutoInsertHazard(const Context& ctx) {
  if (ctx.transport.route != TransportRoute::Aspi || ctx.host.autoInsertCount == 0) return false;
  const int target = ctx.run.currentTarget;
  if (target < 0 || target >= kTargetSlots) return false;
  if (ctx.targets.entries[static_cast<std::size_t>(target)].hostAdapter !=
      ctx.transport.bridgeIndex) {
    return false;
  }
  return std::memcmp(ctx.inquiry.data() + 8, kAutoInsertModel, 23) == 0;
}

}  // namespace

int ReadDriveState(Context& ctx) {
  ctx.run.kernelOnlyState = -1;
  const int status = ReadDriveInfo(ctx);
  if (status != 0) return status;
  // An empty model name for the normal part means only the kernel part runs.
  const std::int32_t kernelOnly = ctx.driveInfo[32] == ' ' ? 1 : 0;
  ctx.run.kernelMode = kernelOnly;
  ctx.run.kernelOnlyState = kernelOnly;
  return 0;
}

int CheckImageHeader(Context& ctx, int full) {
  const int status = ReadDriveState(ctx);
  if (status != 0) {
    ShowMessage(ctx, 0, NoticeStop);
    return status;
  }
  const std::uint8_t* info = ctx.driveInfo.data();
  const std::uint8_t* header = ctx.host.imageBuffer.data;
  if (header == nullptr) return -1;

  if (CheckHardware(ctx, info, header) != 0) return -1;

  if (Differ(info + 24, header + kHeaderSignature, 8) && ctx.run.signatureOverride == 0) {
    ShowMessage(ctx, 37, NoticeStop);
    return -1;
  }
  // A drive that runs its kernel part only has no normal part to compare.
  if (full == 0 || info[32] == ' ') return 0;

  if (Differ(info + 32, header + kHeaderNormalName, 8) && ctx.run.signatureOverride == 0) {
    ShowMessage(ctx, 3, NoticeStop);
    return -1;
  }
  if (CheckAlreadyLatest(ctx) != 0) return 1;

  if (AutoInsertHazard(ctx)) {
    ShowMessage(ctx, 53, NoticeStop);
    return -1;
  }
  const std::uint16_t revision = ctx.revision.revisionNumber;
  if (revision < 0x100 && revision != 0) {
    ShowMessage(ctx, 73, NoticeStop);
    return -1;
  }
  ctx.image.editionCode = EditionCodeFor(info);
  return 0;
}

}  // namespace odf
