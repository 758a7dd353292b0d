#include "app/run_update.h"

#include "core/context.h"
#include "core/families.h"
#include "core/messages.h"
#include "discovery/discovery.h"
#include "discovery/drive_lock.h"
#include "discovery/host.h"
#include "scsi/timer.h"
#include "scsi/transport.h"
#include "update/family_zero.h"
#include "update/update.h"

namespace odf {

RunSteps DefaultRunSteps() {
  return RunSteps{.loadDefinitions = LoadBuiltInDefinition,
                  .checkHost = CheckHostEnvironment,
                  .discover = DiscoverTargets,
                  .familyZero = FamilyZeroUpdate,
                  .familyOne = FamilyOneUpdate,
                  .familyFour = FamilyFourUpdate};
}

namespace {

constexpr int kRunEnded = -1;
constexpr int kNoProcedure = 1;  // a family without a procedure: the drive is not updated
// Said when the ASPI layer kept a command the transport gave up on.
constexpr char kLastCommandUnfinished[] =
    "\nThe drive's last command never finished and the ASPI layer still holds it:"
    "\nthe drive may be left in its kernel or update mode.";

// An interruption held during an update ends the run after that drive, with
// the exit code of a process the signal ended: 128 + its number.
bool StopRequested(Context& ctx) { return ctx.platform.GetInterruption() != 0; }

// Every way out releases what the host checks took, after the last message.
int EndRun(Context& ctx, int exitCode) {
  ReleaseHostEnvironment(ctx);
  if (StopRequested(ctx)) return 128 + ctx.platform.GetInterruption();
  return exitCode;
}

int EndRun(Context& ctx, MessageCode code, MessageStyle style, int exitCode) {
  ShowMessage(ctx, code, style);
  return EndRun(ctx, exitCode);
}

// A model whose firmware cannot be written from Windows 98/Me below some
// version; checked on the definition the run is about to use, with the
// version that definition brings (not whatever an earlier load left).
bool RefusedOnThisHost(const Context& ctx) {
  const UpdateDefinition& definition = ctx.definitions.entries[0];
  return RouteTraits(ctx).route == TransportRoute::Aspi && !ctx.run.expertOverride &&
         VersionNumberOf(definition) < TraitsOf(definition.familyCode).zero.lowestVersionOverAspi;
}

int RunProcedure(Context& ctx, const RunSteps& steps) {
  switch (ProcedureFor(ctx.definitions.entries[0].familyCode)) {
    case FamilyProcedure::Zero: return steps.familyZero(ctx);
    case FamilyProcedure::One: return steps.familyOne(ctx);
    case FamilyProcedure::Four: return steps.familyFour(ctx);
    case FamilyProcedure::None: break;
  }
  return kNoProcedure;
}

}  // namespace

bool StartRun(Context& ctx, const RunSteps& steps) {
  ctx.run.updateAll = true;
  ctx.host.autoInsertCount = 0;

  // Printed before the code page is read, so it is the same in every language.
  PrintFormatted(ctx, "\n/// ODD Firmware Update Utility Ver%1d.%02d%c\n",
                 kProgramVersion.major, kProgramVersion.minor, kProgramVersion.letter);
  ctx.run.oemCodePage = ctx.platform.GetOEMCP();
  ResetRunState(ctx);
  steps.loadDefinitions(ctx);

  return steps.checkHost(ctx) != kSetupBufferRefused;
}

int RunUpdate(Context& ctx, const RunSteps& steps) {
  // Without the shared buffers no step can work; stop before touching a drive.
  if (!StartRun(ctx, steps)) return EndRun(ctx, MessageCode::kMemoryAllocationFailed, NoticeStop, 1);

  if (steps.discover(ctx) == 0) return EndRun(ctx, MessageCode::kNoTarget, NoticeInfo, 1);
  const int targetCount = ctx.targets.targetCount;

  if (targetCount > 1) {
    if (ShowMessage(ctx, MessageCode::kAskUpdateAllDrives, AskYesNo) == IDNO) ctx.run.updateAll = false;
  } else {
    ctx.run.updateAll = false;
  }

  if (RefusedOnThisHost(ctx)) {
    return EndRun(ctx, MessageCode::kModelUnsupportedOnWin9x, NoticeInfo, 1);
  }

  ctx.run.updatedCount = 0;
  for (int i = 0; i < targetCount; ++i) {
    ctx.run.currentTarget = i;
    ShowMessage(ctx, MessageCode::kStartingDevice, ConsoleOnly);
    const DriveLock lock(ctx);
    // A drive another odflsh is updating is left to it; the platform said why.
    if (!lock.Taken()) continue;
    const int result = RunProcedure(ctx, steps);
    // Nothing more can be sent, to this drive or another, and the steps
    // after the lost command did not send theirs either.
    if (!PortOf(ctx).GiveUpHeldCommand()) {
      PrintText(ctx, kLastCommandUnfinished);
      return EndRun(ctx, MessageCode::kTerminatedByError, NoticeWarning, 1);
    }
    if (result == kRunEnded) {
      return EndRun(ctx, MessageCode::kTerminatedByError, NoticeWarning, 1);
    }
    if (result == 0) ++ctx.run.updatedCount;
    if (StopRequested(ctx)) break;
    if (result == 0) WaitMs(ctx, kBetweenDrivesMs);
  }

  if (ctx.run.updatedCount == targetCount) {
    ShowMessage(ctx, MessageCode::kUpdateCompleted, NoticeInfo);
  } else if (ctx.run.updatedCount != 0) {
    ShowMessage(ctx, MessageCode::kSomeDrivesUpdated, NoticeInfo);
  }
  return EndRun(ctx, 0);
}

}  // namespace odf
