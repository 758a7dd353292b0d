// The Linux program's arguments and the answers its --yes gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/run_update.h"
#include "app/unattended.h"
#include "platform/win_types.h"
#include "sim/fixtures/image_maker.h"
#include "sim_fixture.h"

namespace odf {
namespace {

TEST(CommandLine, EachLineAsksForOneThing) {
  struct Case {
    std::vector<std::string> arguments;
    Request request;
    bool json;
    int yesCount;
  };
  const Case cases[] = {
      {{}, Request::Run, false, 0},
      {{"--yes"}, Request::Run, false, 1},
      {{"--yes", "--yes"}, Request::Run, false, 2},
      {{"--yes", "--yes", "--yes"}, Request::Run, false, 2},
      {{"--list"}, Request::List, false, 0},
      {{"--json", "--list"}, Request::List, true, 0},
      {{"-h"}, Request::Help, false, 0},
      {{"--list", "--help"}, Request::Help, false, 0},
      {{"--version", "--help"}, Request::Help, false, 0},
      {{"--yes", "--version"}, Request::Version, false, 1},
      // Anything unknown or ill-matched refuses the whole line, so a typo
      // beside --help or --list never starts an update.
      {{"--help", "--bogus"}, Request::Refused, false, 0},
      {{"--list", "-y"}, Request::Refused, false, 0},
      {{"--json"}, Request::Refused, true, 0},
      {{"--list", "--yes"}, Request::Refused, false, 1},
      {{"list"}, Request::Refused, false, 0},
      {{""}, Request::Refused, false, 0},
      {{"--yes=2"}, Request::Refused, false, 0},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& a : c.arguments) line += "'" + a + "' ";
    SCOPED_TRACE(line);
    const CommandLine parsed = ParseCommandLine(c.arguments);
    EXPECT_EQ(parsed.request, c.request);
    EXPECT_EQ(parsed.request == Request::Refused, !parsed.problem.empty());
    if (c.request == Request::Refused) continue;
    EXPECT_EQ(parsed.json, c.json);
    EXPECT_EQ(parsed.yesCount, c.yesCount);
  }
}

// An unknown argument is echoed so that it cannot act on the terminal and
// cannot flood it: every byte outside printable ASCII, and the backslash,
// as \xNN; more than 200 characters cut, never inside an escape.
TEST(CommandLine, UnknownArgumentIsEchoedEscapedAndShort) {
  struct Case {
    const char* name;
    std::string argument;
    std::string shown;
  };
  const std::string longest(200, 'a');
  const Case cases[] = {
      {"plain", "--bogus", "--bogus"},
      {"terminal escape", "--\x1b]0;owned\x07x", "--\\x1b]0;owned\\x07x"},
      {"line end and zero byte", std::string("a\nb\0c", 5), "a\\x0ab\\x00c"},
      {"backslash and bytes above ASCII", "\\x\xc3\xa9\x7f", "\\x5cx\\xc3\\xa9\\x7f"},
      {"200 characters", longest, longest},
      {"201 characters", longest + "b", std::string(197, 'a') + "..."},
      {"an escape at the cut", std::string(196, 'a') + "\x01" + std::string(10, 'a'),
       std::string(196, 'a') + "..."},
      {"a megabyte", std::string(1 << 20, '\x1b'), [] {
         std::string s;
         for (int i = 0; i < 49; ++i) s += "\\x1b";
         return s + "...";
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ShownArgument(c.argument), c.shown);
    EXPECT_LE(ShownArgument(c.argument).size(), 200u);
    const CommandLine parsed = ParseCommandLine({"--list", c.argument});
    EXPECT_EQ(parsed.request, Request::Refused);
    EXPECT_EQ(parsed.problem, "unknown argument '" + c.shown + "'");
  }
}

TEST(Unattended, YesOnlyWhereItLeadsToAnUpdate) {
  struct Case {
    MessageCode question;
    int yesCount;
    int answer;  // 0: asked as usual
  };
  const Case cases[] = {
      {MessageCode::kAskUpdateAllDrives, 1, win::IDYES},
      {MessageCode::kAskUpdateFirmware, 1, win::IDYES},
      {MessageCode::kAskUpdateDrive, 1, win::IDYES},
      {MessageCode::kAskRetryAfterNormalModeFailed, 1, win::IDYES},
      {MessageCode::kAskIrreversibleUpdate, 1, win::IDNO},
      {MessageCode::kAskIrreversibleUpdate, 2, win::IDYES},
      {MessageCode::kAskUpdateFirmware, 0, 0},
      {MessageCode::kAskIrreversibleUpdate, 0, 0},
      {MessageCode::kNoTarget, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.question) * 10 + c.yesCount);
    const UnattendedAnswer given = AnswerUnattended(c.question, c.yesCount);
    EXPECT_EQ(given.answer, c.answer);
    // Every answer given in a person's place is said; none other.
    EXPECT_EQ(given.note.empty(), c.answer == 0);
    if (c.answer == win::IDNO) {
      EXPECT_NE(given.note.find("twice"), std::string::npos);
    }
  }
}

// The answers reach the run's questions in place of a person: with a
// definition that warns before an irreversible update, one --yes leaves the
// drive alone and two update it, and no question box is ever shown.
TEST(Unattended, AnswersTheRunsQuestions) {
  RunSteps steps = DefaultRunSteps();
  steps.loadDefinitions = [](Context& c) {
    const int count = LoadBuiltInDefinition(c);
    c.definitions.entries[0].downgradeWarning = 1;
    return count;
  };
  for (int yesCount : {1, 2}) {
    SCOPED_TRACE(yesCount);
    testing::OneDrivePc one;
    one.pc.AddFile("S1003431.104", sim::MakeImage());
    std::vector<MessageCode> asked;
    one.ctx.dialogue.answer = [&](MessageCode code) {
      asked.push_back(code);
      return AnswerUnattended(code, yesCount).answer;
    };
    EXPECT_EQ(RunUpdate(one.ctx, steps), 0);
    EXPECT_EQ(one.drive->flashCount() > 0, yesCount == 2);
    const std::vector<MessageCode> expected =
        yesCount == 2 ? std::vector{MessageCode::kAskIrreversibleUpdate, MessageCode::kAskUpdateFirmware}
                      : std::vector{MessageCode::kAskIrreversibleUpdate};
    EXPECT_EQ(asked, expected);
    for (const auto& box : one.pc.Boxes()) EXPECT_NE(box.type & 0x0F, MB_YESNO) << box.text;
  }
}

// --yes over drives that keep failing: three retries, then No, and the run
// ends with the drive in its kernel. Each drive gets its own three.
TEST(Unattended, RetriesADrivesUpdateAtMostThreeTimes) {
  constexpr int Y = win::IDYES;
  constexpr int N = win::IDNO;
  struct Case {
    const char* name;
    std::vector<std::vector<std::string>> drives;  // the faults of each drive
    int exitCode;
    std::vector<int> retryAnswers;
  };
  const Case cases[] = {
      {"switch back fails", {{"writebuf/5/ff@0:4/44/0"}}, 1, {Y, Y, Y, N}},
      {"switch back times out", {{"writebuf/5/ff@0:timeout"}}, 1, {Y, Y, Y, N}},
      {"switch back fails in the host", {{"writebuf/5/ff@0:transport"}}, 1, {Y, Y, Y, N}},
      {"every first block fails", {{"writebuf/7/f0@0:4/44/0"}}, 1, {Y, Y, Y, N}},
      {"the third retry succeeds", {{"writebuf/5/ff@1:4/44/0", "writebuf/5/ff@2:4/44/0", "writebuf/5/ff@3:4/44/0"}},
       0, {Y, Y, Y}},
      {"two drives, each its own count",
       {{"writebuf/5/ff@1:4/44/0", "writebuf/5/ff@2:4/44/0"},
        {"writebuf/5/ff@1:4/44/0", "writebuf/5/ff@2:4/44/0", "writebuf/5/ff@3:4/44/0"}},
       0, {Y, Y, Y, Y, Y}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc pc;
    sim::PcBuilder builder;
    for (const auto& faults : c.drives) builder.Drive(testing::DriveWithFaults(faults));
    builder.Build(pc);
    pc.AddFile("S1003431.104", sim::MakeImage());
    Context ctx(pc);
    UnattendedAnswers unattended(1);
    std::vector<int> retryAnswers;
    ctx.dialogue.showing = [&](MessageCode code, const std::string&) { unattended.Showing(code); };
    ctx.dialogue.answer = [&](MessageCode code) {
      const UnattendedAnswer given = unattended.Answer(code);
      if (code == MessageCode::kAskRetryAfterNormalModeFailed) retryAnswers.push_back(given.answer);
      // Past any sane count: a loop that never ends fails here, not by hanging.
      if (retryAnswers.size() > 8) return static_cast<int>(win::IDNO);
      return given.answer;
    };
    EXPECT_EQ(RunUpdate(ctx), c.exitCode);
    EXPECT_EQ(retryAnswers, c.retryAnswers);
    for (const auto& box : pc.Boxes()) EXPECT_NE(box.type & 0x0F, MB_YESNO) << box.text;
  }
}

TEST(Unattended, TheFourthRetryIsAnsweredNoAndSaysWhy) {
  for (int retriesGiven = 0; retriesGiven <= kUnattendedRetries; ++retriesGiven) {
    SCOPED_TRACE(retriesGiven);
    const UnattendedAnswer given =
        AnswerUnattended(MessageCode::kAskRetryAfterNormalModeFailed, 2, retriesGiven);
    const bool refused = retriesGiven == kUnattendedRetries;
    EXPECT_EQ(given.answer, refused ? win::IDNO : win::IDYES);
    EXPECT_EQ(given.note.find("at most 3 times") != std::string::npos, refused) << given.note;
  }
  // The count is of retries only: the other questions are answered as ever.
  EXPECT_EQ(AnswerUnattended(MessageCode::kAskUpdateFirmware, 1, kUnattendedRetries).answer, win::IDYES);
}

}  // namespace
}  // namespace odf
