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
#include "update/interruption.h"
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
constexpr int kDriveLeftInKernel = 1;  // the exit code of a run that leaves a drive in its kernel

// An interruption held during an update ends the run after that drive, with
// the exit code of a process the signal ended: 128 + its number.
bool StopRequested(Context& ctx) { return ctx.platform.GetInterruption() != 0; }

// "\r\n%d台目のﾄﾞﾗｲﾌﾞはまだｱｯﾌﾟﾃﾞｰﾄ用のｶｰﾈﾙで動作しています。このﾌﾟﾛｸﾞﾗﾑをもう一度実行すると
// ｱｯﾌﾟﾃﾞｰﾄが完了します。"
constexpr const char* kLeftInKernelJapanese =
    "\r\n%d\x91\xE4\x96\xDA\x82\xCC\xC4\xDE\xD7\xB2\xCC\xDE\x82\xCD\x82\xDC\x82\xBE\xB1\xAF\xCC\xDF"
    "\xC3\xDE\xB0\xC4\x97p\x82\xCC\xB6\xB0\xC8\xD9\x82\xC5\x93\xAE\x8D\xEC\x82\xB5\x82\xC4\x82\xA2"
    "\x82\xDC\x82\xB7\x81" "B\x82\xB1\x82\xCC\xCC\xDF\xDB\xB8\xDE\xD7\xD1\x82\xF0\x82\xE0\x82\xA4"
    "\x88\xEA\x93x\x8E\xC0\x8Ds\x82\xB7\x82\xE9\x82\xC6\xB1\xAF\xCC\xDF\xC3\xDE\xB0\xC4\x82\xAA"
    "\x8A\xAE\x97\xB9\x82\xB5\x82\xDC\x82\xB7\x81" "B";
constexpr const char* kLeftInKernelEnglish =
    "\r\nThe device No.%d is still in its update kernel: run this program again to finish "
    "its update.";

// A drive the run leaves running only its kernel is named last, so that it
// is the last word of the run and nobody takes its end for a success.
void TellDrivesLeftInKernel(Context& ctx) {
  const char* text = ctx.run.oemCodePage == 932 ? kLeftInKernelJapanese : kLeftInKernelEnglish;
  for (int i = 0; i < kTargetSlots; ++i) {
    if (ctx.run.drivesLeftInKernel.test(static_cast<std::size_t>(i))) PrintFormatted(ctx, text, i + 1);
  }
}

// Every way out releases what the host checks took, after the last message.
// A run that leaves a drive in its kernel never ends as a success.
int EndRun(Context& ctx, int exitCode) {
  TellDrivesLeftInKernel(ctx);
  ReleaseHostEnvironment(ctx);
  const int interruption = ctx.platform.GetInterruption();
  ReleaseInterruptions(ctx);
  if (interruption != 0) return 128 + interruption;
  if (ctx.run.drivesLeftInKernel.any() && exitCode == 0) return kDriveLeftInKernel;
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
  ctx.run.drivesLeftInKernel.reset();
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
    StartDriveWatch(ctx);
    const int result = RunProcedure(ctx, steps);
    EndDriveWatch(ctx);
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
