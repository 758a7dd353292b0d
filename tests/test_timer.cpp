// The shared millisecond timer and WaitMs on the simulated PC's clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/context.h"
#include "scsi/timer.h"
#include "sim/pc/sim_pc.h"

namespace odf {
namespace {

// Counts clock readings and records the resolutions asked for; refuses
// resolutions finer than `finest`.
class CountingPc : public sim::SimPc {
 public:
  int readings = 0;
  win::UINT finest = 1;
  std::vector<win::UINT> begun, ended;

  win::DWORD timeGetTime() override {
    ++readings;
    return SimPc::timeGetTime();
  }
  win::UINT timeBeginPeriod(win::UINT period) override {
    if (period < finest) return win::TIMERR_NOCANDO;
    begun.push_back(period);
    return SimPc::timeBeginPeriod(period);
  }
  win::UINT timeEndPeriod(win::UINT period) override {
    ended.push_back(period);
    return SimPc::timeEndPeriod(period);
  }
};

class TimerTest : public ::testing::Test {
 protected:
  CountingPc pc;
  Context ctx{pc};
};

TEST_F(TimerTest, WaitMsBusyWaitsAtLeastTheTime) {
  struct Case {
    win::DWORD ms;
    int timerReadings;  // ReadTimer calls, at the simulated 1 ms per reading
  };
  const Case cases[] = {{0, 1}, {1, 1}, {5, 5}, {250, 250}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ms);
    pc.readings = 0;
    pc.begun.clear();
    pc.ended.clear();
    WaitMs(ctx, c.ms);
    EXPECT_EQ(pc.readings, c.timerReadings + 2);  // plus start and stop
    EXPECT_GE(ctx.timer.latest - ctx.timer.start, c.ms);
    EXPECT_EQ(pc.begun, std::vector<win::UINT>{1});
    EXPECT_EQ(pc.ended, std::vector<win::UINT>{1});
  }
}

TEST_F(TimerTest, WaitMsAcrossTheClockWrap) {
  pc.Advance(0xFFFFFFFFull - 3);
  const std::uint64_t start = pc.NowMs();
  WaitMs(ctx, 10);
  EXPECT_GE(pc.NowMs() - start, 10u);
  EXPECT_LT(pc.NowMs() - start, 20u);
}

TEST_F(TimerTest, StartTimerKeepsTheFinestGrantedResolution) {
  pc.finest = 3;
  StartTimer(ctx);
  EXPECT_EQ(ctx.timer.period, 3u);
  pc.Advance(1500);
  EXPECT_EQ(ReadTimer(ctx), ctx.timer.latest);
  EXPECT_GE(ctx.timer.latest - ctx.timer.start, 1500u);
  StopTimer(ctx);
  EXPECT_EQ(pc.begun, std::vector<win::UINT>{3});
  EXPECT_EQ(pc.ended, std::vector<win::UINT>{3});
  EXPECT_GE(ctx.timer.end, ctx.timer.latest);
}

}  // namespace
}  // namespace odf
