// Runs that leave a drive running only its kernel, and the interruptions
// held while a drive is there: the run names such a drive last and never
// ends as a success, and a signal answers the pending or next question No
// instead of ending the program or being ignored.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "app/drive_list.h"
#include "app/run_update.h"
#include "core/context.h"
#include "core/messages.h"
#include "sim/fixtures/image_maker.h"
#include "sim/pc/pc_builder.h"
#include "sim_fixture.h"

namespace odf {
namespace {

constexpr const char* kLeftInKernel =
    "\r\nThe device No.%d is still in its update kernel: run this program again to finish its update.";
constexpr const char* kTerminated = "\r\nUpdate program is terminated by occuring an error.\r\n";
constexpr const char* kPassStart = "\r\nNow updating the firmware.";
constexpr const char* kKernelRevisionLine = "\nCurrent Revision>> KESTREL BD-RW   QBW-610  0001";

std::string LeftLine(int device) {
  char line[160];
  std::snprintf(line, sizeof line, kLeftInKernel, device);
  return line;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::shared_ptr<sim::Qbc850Drive> DriveWith(bool kernel, const std::vector<std::string>& faults) {
  return testing::DriveWithFaults(faults, kernel);
}

struct Bench {
  explicit Bench(const std::vector<std::shared_ptr<sim::Qbc850Drive>>& drives) {
    sim::PcBuilder builder;
    for (const auto& d : drives) builder.Drive(d);
    builder.Build(pc);
    pc.AddFile("S1003431.104", sim::MakeImage());
  }
  sim::SimPc pc;
  Context ctx{pc};
};

TEST(DriveInKernel, ARunThatLeavesADriveInItsKernelSaysSoAndFails) {
  struct Case {
    const char* name;
    bool kernel;  // found in its kernel
    std::vector<std::string> faults;
    std::vector<int> answers;
    int exitCode;
    bool leftInKernel;
  };
  const Case cases[] = {
      // The drive information read by the search for a definition fails.
      {"found so, information cut short", true, {"readbuf/2/f1@0:short=16"}, {}, 1, true},
      {"found so, information read fails", true, {"readbuf/2/f1@0:4/44/0"}, {}, 1, true},
      {"found so, information read times out", true, {"readbuf/2/f1@0:timeout"}, {}, 1, true},
      {"found so, only the search's read fails", true, {"readbuf/2/f1@2:transport"}, {}, 1, true},
      {"found so, the pass's read fails", true, {"readbuf/2/f1@3:4/44/0"}, {}, 1, true},
      {"found so, update declined", true, {}, {IDNO}, 1, true},
      {"found so, updated", true, {}, {IDYES}, 0, false},
      // Failures right after the switch into the kernel.
      {"kernel identity cut short", false, {"inquiry@4:short=32"}, {IDYES}, 1, true},
      {"switch times out", false, {"writebuf/4/ff:timeout"}, {IDYES}, 1, true},
      {"switch fails in the host", false, {"writebuf/4/ff:transport"}, {IDYES}, 1, true},
      // Turned down by the drive: it never left its firmware.
      {"switch refused", false, {"writebuf/4/ff:5/26/0"}, {IDYES}, 1, false},
      {"retry declined", false, {"writebuf/5/ff@1:4/44/0"}, {IDYES, IDNO}, 1, true},
      {"retry recovers", false, {"writebuf/5/ff@1:4/44/0"}, {IDYES, IDYES, IDYES}, 0, false},
      {"updated", false, {}, {IDYES}, 0, false},
      {"declined", false, {}, {IDNO}, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench({DriveWith(c.kernel, c.faults)});
    for (int answer : c.answers) bench.pc.QueueAnswers({answer});
    EXPECT_EQ(RunUpdate(bench.ctx), c.exitCode);
    const std::string& console = bench.pc.Console();
    EXPECT_EQ(Count(console, "update kernel"), c.leftInKernel ? 1 : 0) << console;
    // The line is the run's last word, after every box.
    if (c.leftInKernel) {
      EXPECT_TRUE(EndsWith(console, LeftLine(1))) << console;
    }
    EXPECT_FALSE(bench.pc.HandlerIn());
  }
}

// The first drive is left in its kernel, the second updated: the summary
// counts the second, and the first is named after it.
TEST(DriveInKernel, TheDriveLeftIsNamedAfterTheSummary) {
  Bench bench({DriveWith(true, {"readbuf/2/f1@0:4/44/0"}), DriveWith(false, {})});
  bench.pc.QueueAnswers({IDYES, IDYES});
  EXPECT_EQ(RunUpdate(bench.ctx), 1);
  EXPECT_TRUE(EndsWith(bench.pc.Console(), "\r\n1drive(s) have been updated successfully." + LeftLine(1)))
      << bench.pc.Console();
}

TEST(DriveInKernel, TheLineHasAJapaneseConsoleText) {
  Bench bench({DriveWith(true, {"readbuf/2/f1@0:timeout"})});
  bench.pc.SetOemCodePage(932);
  EXPECT_EQ(RunUpdate(bench.ctx), 1);
  // "1台目のﾄﾞﾗｲﾌﾞはまだｱｯﾌﾟﾃﾞｰﾄ用のｶｰﾈﾙで動作しています。", as cp932 bytes
  const std::string opening =
      "\r\n1\x91\xE4\x96\xDA\x82\xCC\xC4\xDE\xD7\xB2\xCC\xDE\x82\xCD\x82\xDC\x82\xBE\xB1\xAF\xCC\xDF\xC3\xDE\xB0"
      "\xC4\x97p\x82\xCC\xB6\xB0\xC8\xD9\x82\xC5\x93\xAE\x8D\xEC\x82\xB5\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81"
      "B";
  EXPECT_NE(bench.pc.Console().find(opening), std::string::npos);
  EXPECT_EQ(bench.pc.Console().find("update kernel"), std::string::npos);
}

// A listing reads a drive in its kernel as an update does, but nothing is
// being updated: a signal keeps its usual action.
TEST(DriveInKernel, AListingHoldsNoInterruption) {
  Bench bench({DriveWith(true, {})});
  std::vector<DriveListing> drives;
  ASSERT_EQ(ListDrives(bench.ctx, DefaultRunSteps(), drives), ListOutcome::Listed);
  ASSERT_EQ(drives.size(), 1u);
  EXPECT_TRUE(drives[0].kernelMode);
  EXPECT_FALSE(bench.pc.HandlerIn());
}

// A drive whose switch back to its firmware always fails, so that every pass
// ends at the retry question; a signal comes at some moment of that loop.
TEST(DriveInKernel, ASignalInTheRetryLoopEndsTheRunAtTheNextQuestion) {
  enum class When { SecondPassStarts, AtRetryQuestion, InSecondTransfer };
  struct Case {
    const char* name;
    When when;
    int signal;
    int passes;  // update announcements on the console
  };
  const Case cases[] = {
      // Between two passes the process used to end at once.
      {"between passes", When::SecondPassStarts, SIGTERM, 1},
      // The person answers Yes as the signal comes: it counts as No.
      {"at the retry question", When::AtRetryQuestion, SIGINT, 1},
      // Held through the transfer; the retry question is then not asked.
      {"in a retry's transfer", When::InSecondTransfer, SIGHUP, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench({DriveWith(false, {"writebuf/5/ff@0:4/44/0"})});
    sim::SimPc& pc = bench.pc;
    bool sent = false;
    auto send = [&] {
      if (sent) return;
      sent = true;
      // Never outside the hold: that would end the process.
      EXPECT_TRUE(pc.HandlerIn());
      pc.Interrupt(c.signal);
    };
    int questionsAfter = 0;
    int questions = 0;
    pc.answerer = [&](const sim::BoxRecord& box) {
      if (sent) ++questionsAfter;
      if (c.when == When::AtRetryQuestion && box.text.find("retry") != std::string::npos) send();
      // A loop the signal does not end fails the test rather than hanging it.
      return ++questions < 12 ? IDYES : IDNO;
    };
    int passesSeen = 0;
    pc.consoleSink = [&](const std::string& bytes) {
      if (bytes.find(kPassStart) != std::string::npos) ++passesSeen;
      if (c.when == When::SecondPassStarts && bytes.find(kKernelRevisionLine) != std::string::npos) send();
      if (c.when == When::InSecondTransfer && passesSeen == 2 && bytes == "\rProcessing 50%") send();
    };

    EXPECT_EQ(RunUpdate(bench.ctx), 128 + c.signal);
    ASSERT_TRUE(sent);
    EXPECT_EQ(pc.EndedBy(), 0);
    EXPECT_EQ(questionsAfter, 0);
    EXPECT_EQ(Count(pc.Console(), kPassStart), c.passes);
    EXPECT_TRUE(EndsWith(pc.Console(), kTerminated + LeftLine(1))) << pc.Console();
    EXPECT_FALSE(pc.HandlerIn());
  }
}

// Once an interruption is held no question reaches the hook or a box: each is
// answered No (Cancel for OK/Cancel), and the front end is told.
TEST(DriveInKernel, AHeldInterruptionAnswersEveryQuestionNo) {
  struct Case {
    MessageCode code;
    MessageStyle style;
    int answer;
  };
  const Case cases[] = {
      {MessageCode::kAskRetryAfterNormalModeFailed, AskYesNo, IDNO},
      {MessageCode::kAskUpdateFirmware, AskYesNo, IDNO},
      {MessageCode::kAskUpdateAllDrives, AskOkCancel, IDCANCEL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.code));
    sim::SimPc pc;
    Context ctx(pc);
    pc.SetConsoleCtrlHandler(TRUE_);
    pc.Interrupt(SIGTERM);
    int hookCalls = 0;
    std::vector<MessageCode> declined;
    ctx.dialogue.answer = [&](MessageCode) {
      ++hookCalls;
      return IDYES;
    };
    ctx.dialogue.declined = [&](MessageCode code) { declined.push_back(code); };
    pc.QueueAnswers({IDYES});
    EXPECT_EQ(ShowMessage(ctx, c.code, c.style), c.answer);
    EXPECT_EQ(hookCalls, 0);
    EXPECT_TRUE(pc.Boxes().empty());
    EXPECT_EQ(declined, std::vector<MessageCode>{c.code});
  }
}

}  // namespace
}  // namespace odf
