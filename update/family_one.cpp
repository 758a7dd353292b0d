// The family-one update procedure: the DVD writers. Its pass is the
// family-four pass with the unlock handshake, two kernel blocks, its own
// transfer display and the longer waits some hosts need after the restart.
#include <cstdint>

#include "core/context.h"
#include "core/families.h"
#include "core/messages.h"
#include "scsi/timer.h"
#include "scsi/transport.h"
#include "update/interruption.h"
#include "update/pass_steps.h"
#include "update/update.h"

namespace odf {

namespace {

constexpr int kKernelBlocks = 2;
int ConfirmIrreversibleUpdate(Context& ctx) {
  // Such a drive must be switched off once after the update: it is told so
  // instead of being asked.
  if (ctx.revision.revisionNumber < TraitsOf(ctx.matchedDefinition.familyCode).powerCycleBelow) {
    ShowMessage(ctx, MessageCode::kTurnPowerOffOnce, NoticeInfo);
    return 0;
  }
  return AskIrreversibleUpdate(ctx);
}

// Into the kernel by the handshake when the drive demands it, plainly
// otherwise. A failed handshake ends the pass as a failed plain switch does:
// the drive never took its update mode, so nothing more is sent to it.
int EnterKernel(Context& ctx) {
  if (ctx.run.kernelMode) return 0;
  if (ctx.revision.handshakeRequired) return UnlockUpdateMode(ctx) != 0 ? -1 : 0;
  return EnterKernelPlainly(ctx);
}

// The restart after the normal-mode switch takes longer behind a bridge and
// under an Intel driver on the ASPI route. False when a block failed: the
// drive then holds part of the image, and no switch is sent.
bool TransferAndRestart(Context& ctx) {
  const std::int32_t familyCode = ctx.matchedDefinition.familyCode;
  if (TransferNormalPart(ctx, TransferVariant::FamilyOne) != 0) {
    ShowMessage(ctx, MessageCode::kNormalPartUpdateFailed, NoticeStop);
    return false;
  }
  const int status = EnterNormalMode(ctx, familyCode);
  if (RouteTraits(ctx).bridgeIndex != -1 || AspiWithIntelDriver(ctx)) {
    WaitMs(ctx, kSlowRestartMs);
  } else if (status != 0) {
    WaitMs(ctx, kAfterFailedSwitchMs);
  }
  return true;
}

// Under an Intel driver on the ASPI route a drive may miss the first switch
// back; it gets a second one before the user is asked to retry. Only after a
// whole transfer: the switch makes the drive flash what it holds.
void SwitchBackAgain(Context& ctx) {
  if (!AspiWithIntelDriver(ctx)) return;
  EnterNormalMode(ctx, ctx.matchedDefinition.familyCode);
  WaitMs(ctx, kSlowRestartMs);
}

PassResult RunPass(Context& ctx, PassKind kind) {
  if (const std::optional<PassResult> end = CheckAtPassStart(ctx, kind)) return *end;
  if (ctx.matchedDefinition.downgradeWarning != 0 && ConfirmIrreversibleUpdate(ctx) != 0) return Returns(1);
  if (const int result = ConfirmUpdateStart(ctx); result != 0) return Returns(result);

  InterruptionHold hold(ctx);
  if (EnterKernel(ctx) != 0) return Returns(-1);
  if (ctx.matchedDefinition.updateScope == 0 && UpdateKernelPart(ctx, kKernelBlocks) != 0) {
    return Returns(-1);
  }
  const bool transferred = TransferAndRestart(ctx);
  return ReadBackNewRevision(ctx, hold, transferred ? SwitchBackAgain : nullptr);
}

}  // namespace

int FamilyOneUpdate(Context& ctx) { return RunPasses(ctx, RunPass); }

}  // namespace odf
