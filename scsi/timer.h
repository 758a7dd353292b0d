// The shared millisecond timer and the busy wait built on it.
#pragma once

#include "platform/win_types.h"
#include "core/timer_state.h"

namespace odf {

struct Context;

void StartTimer(Context& ctx);
win::DWORD ReadTimer(Context& ctx);   // returns the latest reading
void StopTimer(Context& ctx);
// Busy-waits on the timer; it restarts the shared timer.
void WaitMs(Context& ctx, win::DWORD ms);

}  // namespace odf
