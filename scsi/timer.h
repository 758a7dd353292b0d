// The shared millisecond timer and the busy wait built on it.
#pragma once

#include "platform/win_types.h"

namespace odf {

struct Context;

struct TimerState {
  win::UINT period = 0;   // resolution granted by timeBeginPeriod, 0 when none
  win::DWORD start = 0;
  win::DWORD latest = 0;
  win::DWORD end = 0;
};

void StartTimer(Context& ctx);
win::DWORD ReadTimer(Context& ctx);   // returns the latest reading
void StopTimer(Context& ctx);
// Busy-waits on the timer; it restarts the shared timer.
void WaitMs(Context& ctx, win::DWORD ms);

}  // namespace odf
