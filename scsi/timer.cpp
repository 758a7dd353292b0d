#include "scsi/timer.h"

#include "core/context.h"

namespace odf {

void StartTimer(Context& ctx) {
  // Take the finest resolution the system grants.
  ctx.timer.period = 0;
  for (win::UINT p = 1; p <= 1000; ++p) {
    if (ctx.platform.timeBeginPeriod(p) == win::TIMERR_NOERROR) {
      ctx.timer.period = p;
      break;
    }
  }
  ctx.timer.start = ctx.platform.timeGetTime();
  ctx.timer.latest = ctx.timer.start;
}

win::DWORD ReadTimer(Context& ctx) {
  ctx.timer.latest = ctx.platform.timeGetTime();
  return ctx.timer.latest;
}

void StopTimer(Context& ctx) {
  ctx.timer.end = ctx.platform.timeGetTime();
  if (ctx.timer.period != 0) {
    ctx.platform.timeEndPeriod(ctx.timer.period);
    ctx.timer.period = 0;
  }
}

void WaitMs(Context& ctx, win::DWORD ms) {
  StartTimer(ctx);
  // Unsigned difference stays right across the 49-day wrap of timeGetTime.
  do {
    ReadTimer(ctx);
  } while (ctx.timer.latest - ctx.timer.start < ms);
  StopTimer(ctx);
}

}  // namespace odf
