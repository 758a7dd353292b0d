#include "update/interruption.h"

#include <algorithm>

#include "core/context.h"
#include "core/drive_fields.h"
#include "update/pass_steps.h"

namespace odf {

namespace {

// The platform's handler is in exactly while some scope or some drive needs
// it; it is told only of changes, as adding a console handler twice would
// register it twice.
void ApplyHold(Context& ctx) {
  const RunState& run = ctx.run;
  const bool wanted = run.holdScopes > 0 || (run.updatingDrive && run.driveInKernel);
  if (wanted == run.interruptionsHeld) return;
  ctx.run.interruptionsHeld = wanted;
  ctx.platform.SetConsoleCtrlHandler(wanted ? TRUE_ : FALSE_);
}

// Told only at the first window's opening and the last one's closing.
void OpenUpdateWindow(Context& ctx) {
  if (ctx.run.updateWindows++ == 0) ctx.platform.SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
}

void CloseUpdateWindows(Context& ctx, std::int32_t count) {
  if (ctx.run.updateWindows <= 0) return;
  ctx.run.updateWindows -= std::min(count, ctx.run.updateWindows);
  if (ctx.run.updateWindows == 0) ctx.platform.SetThreadExecutionState(ES_CONTINUOUS);
}

void SetDriveInKernel(Context& ctx, bool inKernel) {
  ctx.run.driveInKernel = inKernel;
  ApplyHold(ctx);
}

}  // namespace

InterruptionHold::InterruptionHold(Context& ctx) : ctx_(&ctx) {
  ++ctx.run.holdScopes;
  ApplyHold(ctx);
  OpenUpdateWindow(ctx);
}

void InterruptionHold::End() {
  if (ctx_ == nullptr) return;
  --ctx_->run.holdScopes;
  ApplyHold(*ctx_);
  CloseUpdateWindows(*ctx_, 1);
  ctx_ = nullptr;
}

void NoteKernelSwitch(Context& ctx) { SetDriveInKernel(ctx, true); }

void NoteIdentity(Context& ctx) {
  if (RevisionIsKernel(ctx)) {
    SetDriveInKernel(ctx, true);
  } else if (InquiryView(ctx.inquiry).IdentityWhole()) {
    SetDriveInKernel(ctx, false);
  }
}

void NoteFoundState(Context& ctx) {
  if (RevisionIsKernel(ctx) || ctx.run.kernelOnlyState == 1) SetDriveInKernel(ctx, true);
}

void StartDriveWatch(Context& ctx) {
  ctx.run.updatingDrive = true;
  SetDriveInKernel(ctx, false);
}

void EndDriveWatch(Context& ctx) {
  const int target = ctx.run.currentTarget;
  if (ctx.run.driveInKernel && target >= 0 && target < kTargetSlots) {
    ctx.run.drivesLeftInKernel.set(static_cast<std::size_t>(target));
    ++ctx.run.holdScopes;  // until the run ends: the drive stays in its kernel
  }
  ctx.run.updatingDrive = false;
  SetDriveInKernel(ctx, false);
}

void ReleaseInterruptions(Context& ctx) {
  ctx.run.holdScopes = 0;
  ctx.run.driveInKernel = false;
  ApplyHold(ctx);
  CloseUpdateWindows(ctx, ctx.run.updateWindows);
}

}  // namespace odf
