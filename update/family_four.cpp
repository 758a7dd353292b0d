// The family-four update procedure: the BD writers.
#include "core/context.h"
#include "core/families.h"
#include "core/messages.h"
#include "scsi/timer.h"
#include "update/interruption.h"
#include "update/pass_steps.h"
#include "update/update.h"

namespace odf {

namespace {

constexpr int kKernelBlocks = 3;

// Moves the drive into its kernel (unless it already runs there) and, when the
// definition covers the kernel part too, writes that part.
int PrepareKernel(Context& ctx) {
  if (!ctx.run.kernelMode && EnterKernelPlainly(ctx) != 0) return -1;
  if (ctx.matchedDefinition.updateScope != 0) return 0;
  return UpdateKernelPart(ctx, kKernelBlocks);
}

PassResult RunPass(Context& ctx, PassKind kind) {
  if (const std::optional<PassResult> end = CheckAtPassStart(ctx, kind)) return *end;
  if (ctx.matchedDefinition.downgradeWarning != 0 && AskIrreversibleUpdate(ctx) != 0) return Returns(1);
  if (const int result = ConfirmUpdateStart(ctx); result != 0) return Returns(result);

  InterruptionHold hold(ctx);
  if (PrepareKernel(ctx) != 0) return Returns(-1);

  if (TransferNormalPart(ctx, TransferVariant::FamilyFour) != 0) {
    // The revision read-back tells whether the drive still runs its kernel.
    ShowMessage(ctx, MessageCode::kNormalPartUpdateFailed, NoticeStop);
  } else if (EnterNormalMode(ctx, ctx.matchedDefinition.familyCode) != 0) {
    WaitMs(ctx, kAfterFailedSwitchMs);
  }
  return ReadBackNewRevision(ctx, hold, nullptr);
}

}  // namespace

int FamilyFourUpdate(Context& ctx) { return RunPasses(ctx, RunPass); }

}  // namespace odf
