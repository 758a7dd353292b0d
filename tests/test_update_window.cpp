// The update window: the system is asked to stay awake (Windows'
// SetThreadExecutionState, which the Linux layer also takes as the moment to
// keep the kernel away from the drive) from just before the switch into
// update mode to just after the read-back of the new revision, whatever way
// the pass ends, and never around a question.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/run_update.h"
#include "core/context.h"
#include "sim/fixtures/image_maker.h"
#include "sim/pc/pc_builder.h"
#include "sim_fixture.h"

namespace odf {
namespace {

constexpr EXECUTION_STATE kAwake = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;

// Each call, with the number of commands the drive had received by then.
struct Mark {
  EXECUTION_STATE flags;
  std::size_t commands;
};

struct WindowBench {
  explicit WindowBench(const std::vector<std::string>& faults) : drive(testing::DriveWithFaults(faults, false)) {
    sim::PcBuilder().Drive(drive).Build(pc);
    pc.AddFile("S1003431.104", sim::MakeImage());
    pc.executionStateSink = [this](const sim::ExecutionStateRecord& r) {
      marks.push_back({r.flags, drive->log.size()});
    };
    // No question is ever open inside the window.
    pc.answerer = [this](const sim::BoxRecord& box) {
      if (pc.ExecutionState() != ES_CONTINUOUS) questionsInside.push_back(box.text);
      return answers.empty() ? IDNO : Take();
    };
  }
  int Take() {
    const int a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
  std::uint8_t Opcode(std::size_t index) const { return drive->log.at(index).cdb[0]; }

  std::shared_ptr<sim::Qbc850Drive> drive;
  sim::SimPc pc;
  Context ctx{pc};
  std::vector<Mark> marks;
  std::vector<int> answers;
  std::vector<std::string> questionsInside;
};

constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kWriteBuffer = 0x3B;
constexpr std::uint8_t kKernelSwitchMode = 0x04;

TEST(UpdateWindow, OpensAtTheSwitchAndClosesAtTheReadBackOnEveryWayOut) {
  struct Case {
    const char* name;
    std::vector<std::string> faults;
    std::vector<int> answers;  // after the update question, which is answered Yes
    int signal;                // sent at the first image block, 0 for none
    int windows;
    int exitCode;
    bool readBack = true;  // the pass reaches the read-back of the revision
  };
  const Case cases[] = {
      {"success", {}, {}, 0, 1, 0},
      // A failed image block or switch back: the read-back finds the kernel;
      // the retry question is asked outside the window, and a retry (asked
      // again whether to update) opens a new one.
      {"failed image block", {"writebuf/7/f0@3:4/44/0"}, {IDNO}, 0, 1, 1},
      {"failed switch back, no retry", {"writebuf/5/ff@0:4/44/0"}, {IDNO}, 0, 1, 1},
      {"failed switch back, one retry", {"writebuf/5/ff@1:4/44/0"}, {IDYES, IDYES}, 0, 2, 0},
      // Held through the pass; the window still closes before the run ends.
      {"held signal", {}, {}, SIGTERM, 1, 128 + SIGTERM},
      // A switch refused outright: the pass ends at once, the window with it.
      {"switch refused", {"writebuf/4/ff@0:5/24/0"}, {}, 0, 1, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WindowBench bench(c.faults);
    bench.answers = {IDYES};
    bench.answers.insert(bench.answers.end(), c.answers.begin(), c.answers.end());
    if (c.signal != 0) {
      bench.pc.consoleSink = [&](const std::string& bytes) {
        if (bytes.find("Processing") != std::string::npos && bench.pc.GetInterruption() == 0) {
          bench.pc.Interrupt(c.signal);
        }
      };
    }
    EXPECT_EQ(RunUpdate(bench.ctx), c.exitCode) << bench.pc.Console();
    ASSERT_EQ(bench.marks.size(), static_cast<std::size_t>(2 * c.windows));
    for (int w = 0; w < c.windows; ++w) {
      const Mark& open = bench.marks[static_cast<std::size_t>(2 * w)];
      const Mark& close = bench.marks[static_cast<std::size_t>(2 * w + 1)];
      EXPECT_EQ(open.flags, kAwake);
      EXPECT_EQ(close.flags, ES_CONTINUOUS);
      // The first command inside is the switch into the kernel (a retry
      // finds the drive there and starts with the image) ...
      ASSERT_LT(open.commands, bench.drive->log.size());
      EXPECT_EQ(bench.Opcode(open.commands), kWriteBuffer);
      if (w == 0) {
        EXPECT_EQ(bench.drive->log[open.commands].cdb[1], kKernelSwitchMode);
      }
      // ... and the last the read-back of the revision, unless the pass ended before it.
      ASSERT_GT(close.commands, open.commands);
      if (c.readBack) {
        EXPECT_EQ(bench.Opcode(close.commands - 1), kInquiry);
      }
    }
    EXPECT_EQ(bench.questionsInside, std::vector<std::string>{});
    EXPECT_EQ(bench.pc.ExecutionState(), ES_CONTINUOUS);
  }
}

// A declined update: the system is never asked.
TEST(UpdateWindow, NoWindowWithoutAnUpdate) {
  WindowBench declined({});
  declined.answers = {IDNO};
  RunUpdate(declined.ctx);
  EXPECT_TRUE(declined.pc.ExecutionStates().empty());

}

}  // namespace
}  // namespace odf
