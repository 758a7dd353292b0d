// Steps the procedures share: choosing the definition for the current drive,
// the transport's policy for it, the ready check, and the kernel checks.
#include <cstring>

#include "core/context.h"
#include "core/drive_fields.h"
#include "core/families.h"
#include "core/messages.h"
#include "image/image.h"
#include "scsi/commands.h"
#include "scsi/sense.h"
#include "scsi/transport.h"
#include "update/pass_steps.h"
#include "update/update.h"

namespace odf {

namespace {

// After a unit attention the ready check is asked again at once, at most
// this many times (21 checks in all, the first one included); a drive that
// keeps reporting it is then treated as failing rather than holding the run
// for ever.
constexpr int kUnitAttentionRepeats = 20;

}  // namespace

DrivePolicy DrivePolicyFor(std::int32_t target, std::int32_t familyCode, std::int32_t editionCode) {
  DrivePolicy policy;
  policy.target = target;
  policy.pollNormalSwitch = TraitsOf(familyCode).pollsNormalSwitch;
  policy.limitWaits = editionCode != kGeneralScsiEdition;
  return policy;
}

void SetDrivePolicy(Context& ctx) {
  PortOf(ctx).SetPolicy(
      DrivePolicyFor(ctx.run.currentTarget, ctx.matchedDefinition.familyCode, ctx.image.editionCode));
}

// Takes the fields a procedure uses from a table entry; the rest of
// matchedDefinition stays as it was.
void CopyMatchedDefinition(Context& ctx, int index) {
  const UpdateDefinition& entry = ctx.definitions.entries[static_cast<std::size_t>(index)];
  UpdateDefinition& m = ctx.matchedDefinition;
  ctx.selectedIndex = static_cast<std::uint8_t>(index);
  std::memcpy(m.fileName, entry.fileName, sizeof m.fileName);
  std::memcpy(m.modelCode, entry.modelCode, sizeof m.modelCode);
  std::memcpy(m.vendor, entry.vendor, sizeof m.vendor);
  std::memcpy(m.product, entry.product, sizeof m.product);
  std::memcpy(m.versionText, entry.versionText, sizeof m.versionText);
  std::memcpy(m.cpuType, entry.cpuType, sizeof m.cpuType);
  std::memcpy(m.extension, entry.extension, sizeof m.extension);
  m.checksum = entry.checksum;
  m.imageSize = entry.imageSize;
  m.downgradeWarning = entry.downgradeWarning;
  m.familyCode = entry.familyCode;
  m.updateScope = entry.updateScope;
  // The image's digest goes with the file it names.
  m.sha256Given = entry.sha256Given;
  std::memcpy(m.sha256, entry.sha256, sizeof m.sha256);
}

int SelectDefinition(Context& ctx) {
  SetDrivePolicy(ctx);  // before anything is sent to this drive
  const CommandResult inquiry = Inquiry(PortOf(ctx), CurrentTarget(ctx), ctx.inquiry.data());
  if (inquiry != CommandResult::Done) {
    ShowMessage(ctx, MessageCode::kInquiryFailed, NoticeStop);
    return StatusCode(inquiry);
  }
  const int status = ReadDriveState(ctx);
  if (status != 0) {
    ShowMessage(ctx, MessageCode::kDriveInfoFailed, NoticeStop);
    return status;
  }
  const int index = MatchDefinition(ctx, ctx.inquiry.data());
  if (index < 0 || index >= ctx.definitions.definitionCount) {
    // Going on would write the previous drive's image to this one.
    ShowMessage(ctx, MessageCode::kCurrentFirmwareUnsupported, NoticeStop);
    return -1;
  }
  CopyMatchedDefinition(ctx, index);
  SetDrivePolicy(ctx);
  return 0;
}

int WaitDriveReady(Context& ctx) {
  ScsiPort& port = PortOf(ctx);
  StopUnit(port, CurrentTarget(ctx));
  ctx.run.carriedTimeoutMs = kStopUnitTimeoutMs;
  for (int repeats = 0;; ++repeats) {
    // Judge the check by its own sense only: a failure that brings none back
    // must not read as the "no medium" some earlier command left behind.
    port.ForgetSense();
    // At the time-out the stop left.
    if (TestUnitReadyOnce(port, CurrentTarget(ctx), kStopUnitTimeoutMs) == CommandResult::Done) {
      if (TraitsOf(ctx.matchedDefinition.familyCode).mayHoldDisc) return 0;
      ShowMessage(ctx, MessageCode::kDiscInDrive, NoticeInfo);
      return -1;
    }
    port.SummarizeSense();
    switch (JudgeReadyCheck(port.SenseSummary())) {
      case ReadyCheckSense::Idle:
        return 0;
      case ReadyCheckSense::BecomingReady:
        ShowMessage(ctx, MessageCode::kDriveBecomingReady, ConsoleOnly);
        return -1;
      case ReadyCheckSense::UnitAttention:
        if (repeats < kUnitAttentionRepeats) continue;
        break;
      case ReadyCheckSense::NoSense:
        // The Intel drivers may fail the check without any sense.
        if (port.Traits().intelDriverKind != kNoIntelDriver) return 0;
        break;
      case ReadyCheckSense::Other:
        break;
    }
    ShowMessage(ctx, MessageCode::kUnknownError, ConsoleOnly);
    return -1;
  }
}

int ConfirmKernelIdentity(Context& ctx) {
  if (Inquiry(PortOf(ctx), CurrentTarget(ctx), ctx.inquiry.data()) != CommandResult::Done) {
    ShowMessage(ctx, MessageCode::kInquiryFailed, ConsoleOnly);
    return -1;
  }
  if (RevisionIsKernel(ctx) &&
      InquiryView(ctx.inquiry).Model().StartsWith("KESTREL BD-RW   QBW-")) {
    ctx.run.kernelMode = true;
    return 0;
  }
  ctx.run.kernelMode = false;
  return -1;
}

int CheckKernelCurrent(Context& ctx) {
  if (Inquiry(PortOf(ctx), CurrentTarget(ctx), ctx.inquiry.data()) != CommandResult::Done) {
    ShowMessage(ctx, MessageCode::kInquiryFailed, ConsoleOnly);
    return -1;
  }
  if (!TraitsOf(ctx.matchedDefinition.familyCode).checksKernelRevision) return 0;
  const std::uint8_t* image = ctx.host.imageBuffer.data;
  const InquiryView inquiry(ctx.inquiry);
  // The kernel image's date is in the short form, so only the drive's first 8 date bytes count.
  if (inquiry.Revision().Equals({image + kHeaderKernelRevision, 4}) &&
      inquiry.Date().StartsWith({image + kHeaderDate, 8})) {
    ShowMessage(ctx, MessageCode::kKernelUpdateNotNeeded, ConsoleOnly);
    return 1;
  }
  return 0;
}

}  // namespace odf
