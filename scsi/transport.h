// One SCSI command to one drive, through pass-through or ASPI.
#pragma once

#include <array>
#include <cstdint>

#include "platform/win_types.h"
#include "platform/layouts.h"
#include "core/transport_state.h"

namespace odf {

struct Context;

// 0 success; 2 SCSI error (pass-through, sense in lastSense); -1 ASPI failure,
// polled wait gave up, or index out of range; -2 volume did not open or the
// event wait ran out.
int SendCommand(Context& ctx, ScsiRequest& request);
int OpenTargetVolume(Context& ctx, char letter);
void CloseTargetVolume(Context& ctx);
int SummarizeSense(Context& ctx);
// Clears lastSense and senseSummary, so that a caller judging the next
// command sees only that command's sense (none, if it brings none back).
void ForgetSense(Context& ctx);
int PollPendingCommand(Context& ctx);

// Discovery probes: pass-through form on the volume discovery opened, ASPI
// form on an adapter and target id. 0 on success.
int ProbeInquiry(Context& ctx);
int ProbeInquiry(Context& ctx, int hostAdapter, int targetId);
int ProbeDriveInfo(Context& ctx);
int ProbeDriveInfo(Context& ctx, int hostAdapter, int targetId);

inline std::uint8_t SenseKeyOf(std::uint32_t summary) { return static_cast<std::uint8_t>(summary >> 16); }

}  // namespace odf
