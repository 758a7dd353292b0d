// The family-four update procedure, and the steps it shares with family one.
#include <cstring>

#include "core/context.h"
#include "core/messages.h"
#include "image/image.h"
#include "scsi/commands.h"
#include "scsi/sense.h"
#include "scsi/timer.h"
#include "scsi/transport.h"
#include "update/update.h"

namespace odf {

namespace {

constexpr int kYes = 6;
constexpr int kNo = 7;
// A drive that keeps reporting unit attention is treated as failing rather
// than holding the run for ever.
constexpr int kUnitAttentionLimit = 20;
// The normal-mode switch of this family completes by polling on the ASPI route.
constexpr std::int32_t kPolledSwitchFamily = 0x1003;

constexpr std::size_t kInquiryIdentity = 8;
constexpr std::size_t kInquiryRevision = 32;
constexpr std::size_t kInquiryDate = 37;
constexpr std::size_t kDriveInfoSignature = 24;

bool RevisionIsKernel(const Context& ctx) {
  return std::memcmp(ctx.inquiry.data() + kInquiryRevision, "000", 3) == 0;
}

// One pass of the procedure, from the image load to the end or the retry question.
enum class PassEnd { Done, Retry };

struct PassResult {
  PassEnd end;
  int result;
};

PassResult Returns(int result) { return {PassEnd::Done, result}; }

// Moves the drive into its kernel (unless it already runs there) and, when the
// definition covers the kernel part too, writes that part and reloads the
// normal image.
int PrepareKernel(Context& ctx) {
  const std::int32_t familyCode = ctx.matchedDefinition.familyCode;
  if (ctx.run.kernelMode == 0) {
    if (EnterKernelMode(ctx, familyCode) != 0) return -1;
    WaitMs(ctx, 1000);
    if (ConfirmKernelIdentity(ctx) != 0) return -1;
  }
  if (ctx.matchedDefinition.updateScope != 0) return 0;

  if (LoadBinaryImage(ctx, ImagePart::Kernel) != 0) {
    ShowMessage(ctx, 72, ConsoleOnly);
    return -1;
  }
  if (CheckKernelCurrent(ctx) != 0) return -1;
  if (WriteKernelPart(ctx, 3) != 0) {
    ShowMessage(ctx, 41, NoticeStop);
    return -1;
  }
  WaitMs(ctx, 2000);
  // The kernel image has overwritten the normal image in the buffer.
  if (LoadBinaryImage(ctx, ImagePart::Normal) != 0) {
    ShowMessage(ctx, 11, ConsoleOnly);
    return -1;
  }
  return 0;
}

PassResult RunPass(Context& ctx) {
  ctx.run.kernelMode = 0;
  if (LoadBinaryImage(ctx, ImagePart::Normal) != 0) {
    ShowMessage(ctx, 11, NoticeStop);
    return Returns(-1);
  }
  if (ReadRevision(ctx, RevisionPhase::Current) != 0) return Returns(-1);
  PrintFormatted(ctx, "\nCurrent Signature = %.8s",
                 reinterpret_cast<const char*>(ctx.driveInfo.data() + kDriveInfoSignature));
  if (CheckImageHeader(ctx, 1) != 0) return Returns(1);
  SetDrivePolicy(ctx);  // the header check has named the drive's edition

  if (ctx.matchedDefinition.downgradeWarning != 0 && ShowMessage(ctx, 46, AskYesNo) == kNo) {
    ShowMessage(ctx, 33, NoticeWarning);
    return Returns(1);
  }
  if (WaitDriveReady(ctx) != 0) return Returns(1);
  if (ctx.run.updateAll == 0 && ShowMessage(ctx, 82, AskYesNo) == kNo) return Returns(kNo);
  ShowMessage(ctx, 61, ConsoleOnly);

  if (PrepareKernel(ctx) != 0) return Returns(-1);

  const bool transferred = TransferNormalPart(ctx, TransferVariant::FamilyFour) == 0;
  if (!transferred) {
    // The revision read-back below tells whether the drive still runs its kernel.
    ShowMessage(ctx, 42, NoticeStop);
  } else if (EnterNormalMode(ctx, ctx.matchedDefinition.familyCode) != 0) {
    WaitMs(ctx, 2000);
  }

  if (ReadRevision(ctx, RevisionPhase::New) != 0) return Returns(-1);
  if (RevisionIsKernel(ctx)) {
    if (ShowMessage(ctx, 47, AskYesNo) == kYes) return {PassEnd::Retry, 0};
    return Returns(-1);
  }
  // A drive that left its kernel after a failed transfer restarted on the
  // firmware it had; only one that reports the image's revision was updated.
  if (!transferred && std::memcmp(ctx.inquiry.data() + kInquiryRevision,
                                  ctx.image.imageVersionText.data(), 4) != 0) {
    return Returns(1);
  }
  if (ctx.run.signatureOverride == 1) {
    const int status = ReadDriveState(ctx);
    if (status != 0) {
      ShowMessage(ctx, 0, ConsoleOnly);
      return Returns(status);
    }
    PrintFormatted(ctx, "\nNew Signature = %.8s",
                   reinterpret_cast<const char*>(ctx.driveInfo.data() + kDriveInfoSignature));
  }
  ShowMessage(ctx, 12, ConsoleOnly);
  return Returns(0);
}

}  // namespace

int FamilyFourUpdate(Context& ctx) {
  // Any failure to identify the drive, or a drive no definition serves, leaves it alone.
  if (SelectDefinition(ctx) != 0) return 1;
  for (;;) {
    const PassResult pass = RunPass(ctx);
    if (pass.end == PassEnd::Done) return pass.result;
  }
}

DrivePolicy DrivePolicyFor(std::int32_t target, std::int32_t familyCode, std::int32_t editionCode) {
  DrivePolicy policy;
  policy.target = target;
  policy.pollNormalSwitch = familyCode == kPolledSwitchFamily;
  policy.limitWaits = editionCode != kGeneralScsiEdition;
  return policy;
}

void SetDrivePolicy(Context& ctx) {
  ctx.transport.policy = DrivePolicyFor(ctx.run.currentTarget, ctx.matchedDefinition.familyCode,
                                        ctx.image.editionCode);
}

int SelectDefinition(Context& ctx) {
  SetDrivePolicy(ctx);  // before anything is sent to this drive
  int status = Inquiry(ctx, ctx.run.currentTarget, ctx.inquiry.data());
  if (status != 0) {
    ShowMessage(ctx, 9, NoticeStop);
    return status;
  }
  status = ReadDriveState(ctx);
  if (status != 0) {
    ShowMessage(ctx, 0, NoticeStop);
    return status;
  }
  const int index = MatchDefinition(ctx, ctx.inquiry.data());
  if (index < 0 || index >= ctx.definitions.definitionCount) {
    // Going on would write the previous drive's image to this one.
    ShowMessage(ctx, 49, NoticeStop);
    return -1;
  }
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
  SetDrivePolicy(ctx);
  return 0;
}

int WaitDriveReady(Context& ctx) {
  StopUnit(ctx);
  for (int unitAttentions = 0;; ++unitAttentions) {
    // Judge the check by its own sense only: a failure that brings none back
    // must not read as the "no medium" some earlier command left behind.
    ForgetSense(ctx);
    if (TestUnitReady(ctx, ctx.run.currentTarget) == 0) {
      if (ctx.matchedDefinition.familyCode == 0x1041) return 0;
      ShowMessage(ctx, 5, NoticeInfo);
      return -1;
    }
    SummarizeSense(ctx);
    switch (JudgeReadyCheck(ctx.transport.senseSummary)) {
      case ReadyCheckSense::Idle:
        return 0;
      case ReadyCheckSense::BecomingReady:
        ShowMessage(ctx, 6, ConsoleOnly);
        return -1;
      case ReadyCheckSense::UnitAttention:
        if (unitAttentions < kUnitAttentionLimit) continue;
        break;
      case ReadyCheckSense::NoSense:
        // The Intel drivers may fail the check without any sense.
        if (ctx.transport.intelDriverKind != 0) return 0;
        break;
      case ReadyCheckSense::Other:
        break;
    }
    ShowMessage(ctx, 7, ConsoleOnly);
    return -1;
  }
}

int ConfirmKernelIdentity(Context& ctx) {
  if (Inquiry(ctx, ctx.run.currentTarget, ctx.inquiry.data()) != 0) {
    ShowMessage(ctx, 9, ConsoleOnly);
    return -1;
  }
  if (RevisionIsKernel(ctx) &&
      std::memcmp(ctx.inquiry.data() + kInquiryIdentity, "KESTREL BD-RW   QBW-", 20) == 0) {
    ctx.run.kernelMode = 1;
    return 0;
  }
  ctx.run.kernelMode = 0;
  return -1;
}

int CheckKernelCurrent(Context& ctx) {
  if (Inquiry(ctx, ctx.run.currentTarget, ctx.inquiry.data()) != 0) {
    ShowMessage(ctx, 9, ConsoleOnly);
    return -1;
  }
  if (ctx.matchedDefinition.familyCode == 0x1003) return 0;
  const std::uint8_t* image = ctx.host.imageBuffer.data;
  if (std::memcmp(ctx.inquiry.data() + kInquiryRevision, image + kHeaderKernelRevision, 4) == 0 &&
      std::memcmp(ctx.inquiry.data() + kInquiryDate, image + kHeaderDate, 8) == 0) {
    ShowMessage(ctx, 10, ConsoleOnly);
    return 1;
  }
  return 0;
}

}  // namespace odf
