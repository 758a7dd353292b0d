// Steps of one update pass shared by the family-one and family-four procedures.
#include "update/pass_steps.h"

#include <string_view>

#include "core/context.h"
#include "core/families.h"
#include "core/drive_fields.h"
#include "core/messages.h"
#include "image/image.h"
#include "scsi/timer.h"
#include "update/interruption.h"
#include "update/update.h"

namespace odf {

bool RevisionIsKernel(const Context& ctx) {
  return InquiryView(ctx.inquiry).Revision().StartsWith("000");
}

namespace {

// The drive answers with its whole normal identity at the image's revision.
bool RunsImageRevision(const Context& ctx) {
  const InquiryView inquiry(ctx.inquiry);
  return !RevisionIsKernel(ctx) && inquiry.IdentityWhole() &&
         inquiry.Revision().Equals(std::string_view(ctx.image.imageVersionText.data(), 4));
}

// Clears kernelMode, loads the normal image, reads the current revision and
// prints the signature; 0 to go on.
int ReadDriveAndImage(Context& ctx) {
  ctx.run.kernelMode = false;
  if (LoadBinaryImage(ctx, ImagePart::Normal) != 0) {
    ShowMessage(ctx, MessageCode::kBinaryFileLoadFailed, NoticeStop);
    return -1;
  }
  if (ReadRevision(ctx, RevisionPhase::Current) != 0) return -1;
  PrintFormatted(ctx, "\nCurrent Signature = %.8s",
                 DriveInfoView(ctx.driveInfo).Signature().Chars());
  return 0;
}

int CheckHeaderAgainstDrive(Context& ctx) {
  if (CheckImageHeader(ctx, 1) != 0) return 1;
  SetDrivePolicy(ctx);  // the header check has named the drive's edition
  return 0;
}

}  // namespace

int RunPasses(Context& ctx, PassResult (*pass)(Context&, PassKind)) {
  // Cleared, so that a failed read leaves nothing of the previous drive to judge this one by.
  ctx.inquiry.fill(0);
  ctx.run.kernelOnlyState = -1;
  const int selected = SelectDefinition(ctx);
  NoteFoundState(ctx);
  // Any failure to identify the drive, or a drive no definition serves, leaves it alone.
  if (selected != 0) return 1;
  bool inKernel = ctx.run.kernelOnlyState == 1;
  PassKind kind = PassKind::First;
  for (;;) {
    const PassResult outcome = pass(ctx, kind);
    if (outcome.end == PassEnd::Retry) {
      inKernel = true;
      kind = PassKind::Retry;
      continue;
    }
    if (inKernel && outcome.result != 0) return -1;
    return outcome.result;
  }
}

int CheckDriveAndImage(Context& ctx) {
  if (const int result = ReadDriveAndImage(ctx); result != 0) return result;
  return CheckHeaderAgainstDrive(ctx);
}

std::optional<PassResult> CheckAtPassStart(Context& ctx, PassKind kind) {
  if (const int result = ReadDriveAndImage(ctx); result != 0) return Returns(result);
  // The header check would call this drive up to date and leave it there;
  // it is up to date because the pass before updated it, and sending the
  // image again would only flash it twice.
  if (kind == PassKind::Retry && RunsImageRevision(ctx)) {
    ShowMessage(ctx, MessageCode::kUpdateSucceeded, ConsoleOnly);
    return Returns(0);
  }
  if (const int result = CheckHeaderAgainstDrive(ctx); result != 0) return Returns(result);
  return std::nullopt;
}

int AskIrreversibleUpdate(Context& ctx) {
  if (ShowMessage(ctx, MessageCode::kAskIrreversibleUpdate, AskYesNo) == IDNO) {
    ShowMessage(ctx, MessageCode::kCanceledByUser, NoticeWarning);
    return 1;
  }
  return 0;
}

int ConfirmUpdateStart(Context& ctx) {
  if (WaitDriveReady(ctx) != 0) return 1;
  if (!ctx.run.updateAll &&
      ShowMessage(ctx, MessageCode::kAskUpdateFirmware, AskYesNo) == IDNO) {
    return IDNO;  // the refusal is the result: this drive is not updated
  }
  ShowMessage(ctx, MessageCode::kUpdatingKeepPowerOn, ConsoleOnly);
  return 0;
}

int EnterKernelPlainly(Context& ctx) {
  if (EnterKernelMode(ctx, ctx.matchedDefinition.familyCode) != 0) return -1;
  WaitMs(ctx, kBeforeKernelCheckMs);
  return ConfirmKernelIdentity(ctx) != 0 ? -1 : 0;
}

int UpdateKernelPart(Context& ctx, int blockCount) {
  if (LoadBinaryImage(ctx, ImagePart::Kernel) != 0) {
    ShowMessage(ctx, MessageCode::kKernelFileLoadFailed, ConsoleOnly);
    return -1;
  }
  if (CheckKernelCurrent(ctx) != 0) return -1;
  if (WriteKernelPart(ctx, blockCount) != 0) {
    ShowMessage(ctx, MessageCode::kKernelPartUpdateFailed, NoticeStop);
    return -1;
  }
  WaitMs(ctx, kAfterKernelPartMs);
  // The kernel image has overwritten the normal image in the buffer.
  if (LoadBinaryImage(ctx, ImagePart::Normal) != 0) {
    ShowMessage(ctx, MessageCode::kBinaryFileLoadFailed, ConsoleOnly);
    return -1;
  }
  return 0;
}

PassResult ReadBackNewRevision(Context& ctx, InterruptionHold& hold,
                               void (*beforeRetryQuestion)(Context&)) {
  if (ReadRevision(ctx, RevisionPhase::New) != 0) return Returns(-1);
  // An identity that did not come back whole says nothing of what the drive
  // runs now; taking it for the old firmware would walk away from a drive
  // that may still be in its kernel. It is treated as the kernel.
  if (RevisionIsKernel(ctx) || !InquiryView(ctx.inquiry).IdentityWhole()) {
    if (beforeRetryQuestion != nullptr) beforeRetryQuestion(ctx);
    // The drive still counts as in its kernel, so interruptions stay held:
    // one at the question answers it No rather than ending the program.
    hold.End();
    if (ShowMessage(ctx, MessageCode::kAskRetryAfterNormalModeFailed, AskYesNo) == IDYES) {
      return {PassEnd::Retry, 0};
    }
    return Returns(-1);
  }
  hold.End();
  // A drive back on the firmware it had (a failed transfer, a refused
  // switch, a flash it did not take) was not updated, whatever went before.
  if (!InquiryView(ctx.inquiry).Revision().Equals(
          std::string_view(ctx.image.imageVersionText.data(), 4))) {
    // Said, so the drive's own old revision line is not the last word.
    ShowMessage(ctx, MessageCode::kFirmwareUpdateFailed, ConsoleOnly);
    return Returns(1);
  }
  if (ctx.run.signatureOverride) {
    const int status = ReadDriveState(ctx);
    if (status != 0) {
      ShowMessage(ctx, MessageCode::kDriveInfoFailed, ConsoleOnly);
      return Returns(status);
    }
    PrintFormatted(ctx, "\nNew Signature = %.8s",
                   DriveInfoView(ctx.driveInfo).Signature().Chars());
  }
  ShowMessage(ctx, MessageCode::kUpdateSucceeded, ConsoleOnly);
  return Returns(0);
}

}  // namespace odf
