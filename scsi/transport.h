// One SCSI command to one drive, through pass-through or ASPI.
#pragma once

#include <array>
#include <cstdint>

#include "platform/win_types.h"
#include "platform/layouts.h"
#include "core/transport_state.h"
#include "scsi/sense.h"

namespace odf {

struct Context;

// What SendCommand returns, one name per meaning. Procedures hand these on as
// their own results, and the run loop ends the run on -1, so the numbers are
// fixed; several meanings share one.
inline constexpr int kCommandDone = 0;
// Pass-through: the drive ended the command with a SCSI status; its sense is
// in lastSense, not yet summarised.
inline constexpr int kCommandScsiError = 2;
// ASPI: the adapter or the drive failed the command; its sense is in
// lastSense and senseSummary.
inline constexpr int kCommandFailed = -1;
// Nothing was sent: the request names no entry of the target table (or could
// never have been built), or there was no request block, ASPI layer or event.
inline constexpr int kCommandNotSent = -1;
// ASPI polled mode: the time-out passed before the command finished;
// lastSense is unchanged and the request block stays with the ASPI layer.
inline constexpr int kCommandPollGaveUp = -1;
// Pass-through: the drive's volume did not open; nothing was sent.
inline constexpr int kCommandNoVolume = -2;
// ASPI event mode: the time-out passed before the command finished.
inline constexpr int kCommandWaitRanOut = -2;

// OpenTargetVolume.
inline constexpr int kVolumeOpened = 0;
inline constexpr int kVolumeNotOpened = -1;

// PollPendingCommand.
inline constexpr int kPendingRunning = 1;
inline constexpr int kPendingDone = 0;
inline constexpr int kPendingFailed = -1;

int SendCommand(Context& ctx, ScsiRequest& request);
// Marks policy.target as the bridge when the volume reports no SCSI address.
int OpenTargetVolume(Context& ctx, char letter);
void CloseTargetVolume(Context& ctx);
void SummarizeSense(Context& ctx);
// Clears lastSense and senseSummary, so that a caller judging the next
// command sees only that command's sense (none, if it brings none back).
void ForgetSense(Context& ctx);
int PollPendingCommand(Context& ctx);
// A command left pending (leavePending) has not been seen to finish yet.
bool CommandStillPending(const Context& ctx);
// ASPI: the layer still owns the request block (a command left pending, or
// one a polled wait gave up on, has not finished). Does not wait.
bool RequestBlockInUse(Context& ctx);

// Discovery probes: pass-through form on the volume discovery opened, ASPI
// form on an adapter and target id. kCommandDone on success.
int ProbeInquiry(Context& ctx);
int ProbeInquiry(Context& ctx, int hostAdapter, int targetId);
int ProbeDriveInfo(Context& ctx);
int ProbeDriveInfo(Context& ctx, int hostAdapter, int targetId);

}  // namespace odf
