// The run loop with fake host checks, discovery and procedures: what it asks,
// which targets it visits, how it reads their results, its summary, its exit
// code, its pauses on the virtual clock, and its clean-up on every way out.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/messages.h"
#include "app/run_update.h"
#include "cp932.h"
#include "sim_fixture.h"

namespace odf {
namespace {

using testing::FromCp932;

const std::string kBanner = "\n/// ODD Firmware Update Utility Ver2.27A\n";
const std::string kNotFound = "\r\nAvailable target is not found.";
const std::string kDone = "\r\nUpdate operation is completed.";
const std::string kAbort = "\r\nUpdate program is terminated by occuring an error.\r\n";

std::string Start(int n) { return "\r\nStart updating the device No." + std::to_string(n) + "."; }
std::string Some(int n) {
  return "\r\n" + std::to_string(n) + "drive(s) have been updated successfully.";
}
std::string AllQuestion(int n) {
  return "\r\n" + std::to_string(n) + " target device(s) is found.\r\nDo you want to update all drives ?";
}

struct Box {
  UINT type;
  std::string text;
  bool operator==(const Box&) const = default;
};

struct Call {
  char family;  // '0', '1' or '4'
  int target;
  int updateAll;
  std::uint64_t atMs;
};

class RunLoopTest : public testing::SimFixture {
 protected:
  RunSteps steps;

  void SetUp() override {
    steps.checkHost = [this](Context& c) {
      ++hostChecks;
      if (adjustAfterSetup) adjustAfterSetup(c);
      return setupResult;
    };
    steps.discover = [this](Context& c) {
      ++discoveries;
      c.targets.targetCount = targetCount;
      return targetCount;
    };
    steps.familyZero = [this](Context& c) { return Procedure(c, '0'); };
    steps.familyOne = [this](Context& c) { return Procedure(c, '1'); };
    steps.familyFour = [this](Context& c) { return Procedure(c, '4'); };
    pc.boxSink = [this](const sim::BoxRecord&) {
      boxTimes.push_back(pc.NowMs());
      releasedAtBox.push_back(ctx.host.released);
    };
  }

  int Procedure(Context& c, char family) {
    const std::size_t n = calls.size();
    calls.push_back({family, c.run.currentTarget, c.run.updateAll, pc.NowMs()});
    return n < results.size() ? results[n] : 1;
  }

  std::vector<Box> Boxes() const {
    std::vector<Box> boxes;
    for (const auto& b : pc.Boxes()) boxes.push_back({b.type, b.text});
    return boxes;
  }

  std::string AfterBanner() const {
    const std::string& all = pc.Console();
    EXPECT_EQ(all.substr(0, kBanner.size()), kBanner);
    return all.size() >= kBanner.size() ? all.substr(kBanner.size()) : "";
  }

  std::vector<int> Visited() const {
    std::vector<int> targets;
    for (const auto& c : calls) targets.push_back(c.target);
    return targets;
  }

  // The clean-up ran, and after every message box of the run.
  void ExpectReleasedLast() const {
    EXPECT_TRUE(ctx.host.released);
    for (bool released : releasedAtBox) EXPECT_FALSE(released);
  }

  int setupResult = kSetupDone;
  std::function<void(Context&)> adjustAfterSetup;
  int targetCount = 1;
  std::vector<int> results;
  int hostChecks = 0, discoveries = 0;
  std::vector<Call> calls;
  std::vector<std::uint64_t> boxTimes;
  std::vector<bool> releasedAtBox;
};

TEST_F(RunLoopTest, LoopScenarios) {
  struct Case {
    const char* name;
    int targets;
    std::vector<int> results;
    std::vector<int> answers;
    int exitCode;
    int updateAll;
    std::vector<int> visited;
    std::string console;  // after the banner
    std::vector<Box> boxes;
  };
  const Case cases[] = {
      {"one target: no question, per-drive questions", 1, {0}, {}, 0, 0, {0},
       Start(1) + kDone, {{0x40, kDone}}},
      {"No to the all-drives question", 2, {1, 0}, {IDNO}, 0, 0, {0, 1},
       Start(1) + Start(2) + Some(1), {{0x24, AllQuestion(2)}, {0x40, Some(1)}}},
      {"Yes to the all-drives question", 2, {0, 0}, {IDYES}, 0, 1, {0, 1},
       Start(1) + Start(2) + kDone, {{0x24, AllQuestion(2)}, {0x40, kDone}}},
      // A box that answers neither Yes nor No (it could not be shown) is no
      // consent: each drive then asks its own question.
      {"an answer other than Yes asks per drive", 2, {1, 1}, {IDCANCEL}, 0, 0, {0, 1},
       Start(1) + Start(2), {{0x24, AllQuestion(2)}}},
      {"-1 in the middle ends the run", 3, {0, -1, 0}, {IDYES}, 1, 1, {0, 1},
       Start(1) + Start(2) + kAbort, {{0x24, AllQuestion(3)}, {0x30, kAbort}}},
      {"nothing updated: no summary", 3, {1, 1, 7}, {IDNO}, 0, 0, {0, 1, 2},
       Start(1) + Start(2) + Start(3), {{0x24, AllQuestion(3)}}},
      {"some updated: their number", 3, {0, 7, 0}, {IDYES}, 0, 1, {0, 1, 2},
       Start(1) + Start(2) + Start(3) + Some(2), {{0x24, AllQuestion(3)}, {0x40, Some(2)}}},
      {"no target", 0, {}, {}, 1, 1, {}, kNotFound, {{0x40, kNotFound}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc casePc;
    Context caseCtx(casePc);
    targetCount = c.targets;
    results = c.results;
    calls.clear();
    releasedAtBox.clear();
    casePc.boxSink = [&](const sim::BoxRecord&) { releasedAtBox.push_back(caseCtx.host.released); };
    for (int a : c.answers) casePc.QueueAnswer(a);

    EXPECT_EQ(RunUpdate(caseCtx, steps), c.exitCode);

    ASSERT_EQ(casePc.Console().substr(0, kBanner.size()), kBanner);
    EXPECT_EQ(casePc.Console().substr(kBanner.size()), c.console);
    std::vector<Box> boxes;
    for (const auto& b : casePc.Boxes()) {
      EXPECT_EQ(b.caption, "ODFLSH");
      boxes.push_back({b.type, b.text});
    }
    EXPECT_EQ(boxes, c.boxes);
    EXPECT_EQ(Visited(), c.visited);
    EXPECT_EQ(caseCtx.run.updateAll, c.updateAll);
    for (const auto& call : calls) EXPECT_EQ(call.updateAll, c.updateAll);
    EXPECT_TRUE(caseCtx.host.released);
    for (bool released : releasedAtBox) EXPECT_FALSE(released) << "released before a message";
  }
}

TEST_F(RunLoopTest, PausesTwoSecondsAfterEveryUpdatedDriveOnly) {
  targetCount = 3;
  results = {0, 1, 0};
  pc.QueueAnswer(IDYES);
  EXPECT_EQ(RunUpdate(ctx, steps), 0);
  ASSERT_EQ(calls.size(), 3u);
  ASSERT_EQ(boxTimes.size(), 2u);  // question, summary
  const auto updatedPause = calls[1].atMs - calls[0].atMs;
  EXPECT_GE(updatedPause, 2000u);
  EXPECT_LT(updatedPause, 2100u);
  EXPECT_LT(calls[2].atMs - calls[1].atMs, 100u) << "paused after a drive that was not updated";
  // The last updated drive is followed by the pause too, before the summary.
  EXPECT_GE(boxTimes[1] - calls[2].atMs, 2000u);
}

TEST_F(RunLoopTest, DispatchFollowsTheFamilyOfTheFirstDefinition) {
  struct Case { std::int32_t familyCode; std::vector<char> families; };
  const Case cases[] = {
      {0x4003, {'4', '4'}}, {0x1003, {'1', '1'}}, {0x0012, {'0', '0'}},
      {0x0000, {'0', '0'}}, {0x2000, {}},         {0x8003, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.familyCode);
    sim::SimPc casePc;
    Context caseCtx(casePc);
    targetCount = 2;
    results = {0, 0};
    calls.clear();
    adjustAfterSetup = [&](Context& x) { x.definitions.entries[0].familyCode = c.familyCode; };
    casePc.QueueAnswer(IDYES);
    EXPECT_EQ(RunUpdate(caseCtx, steps), 0);
    std::vector<char> families;
    for (const auto& call : calls) families.push_back(call.family);
    EXPECT_EQ(families, c.families);
    // A family without a procedure updates nothing, so no summary is shown.
    EXPECT_EQ(casePc.Boxes().size(), c.families.empty() ? 1u : 2u);
  }
}

TEST_F(RunLoopTest, StartUpPreparesTheRunBeforeTheHostChecks) {
  ctx.host.autoInsertCount = 4;
  ctx.run.updateAll = 0;
  ctx.run.forceUpdate = ctx.run.expertOverride = 1;
  ctx.run.signatureOverride = ctx.run.handshakeSelect = 1;
  pc.SetOemCodePage(850);
  bool checked = false;
  adjustAfterSetup = [&](Context& c) {
    checked = true;
    EXPECT_EQ(c.host.autoInsertCount, 0);
    EXPECT_EQ(c.run.updateAll, 1);
    EXPECT_EQ(c.run.oemCodePage, 850u);
    EXPECT_EQ(c.run.forceUpdate + c.run.expertOverride + c.run.signatureOverride +
                  c.run.handshakeSelect, 0);
    EXPECT_EQ(c.definitions.definitionCount, 1);
    EXPECT_STREQ(c.definitions.entries[0].fileName, "S1003431.104");
    EXPECT_EQ(pc.Console(), kBanner);
  };
  RunUpdate(ctx, steps);
  EXPECT_TRUE(checked);
}

TEST_F(RunLoopTest, JapaneseConsoleGetsJapaneseMessagesAfterAnEnglishBanner) {
  pc.SetOemCodePage(932);
  targetCount = 2;
  results = {0, 0};
  pc.QueueAnswer(IDNO);
  EXPECT_EQ(RunUpdate(ctx, steps), 0);
  EXPECT_EQ(FromCp932(AfterBanner()),
            std::string("\r\n1台目のﾄﾞﾗｲﾌﾞのｱｯﾌﾟﾃﾞｰﾄを開始します。"
                        "\r\n2台目のﾄﾞﾗｲﾌﾞのｱｯﾌﾟﾃﾞｰﾄを開始します。"
                        "\r\nｱｯﾌﾟﾃﾞｰﾄﾌﾟﾛｸﾞﾗﾑは完了しました。"));
  ASSERT_EQ(pc.Boxes().size(), 2u);
  EXPECT_EQ(FromCp932(pc.Boxes()[0].text),
            std::string("\r\nこのﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞが2台見つかりました。"
                        "\r\nすべてのﾄﾞﾗｲﾌﾞを自動的にｱｯﾌﾟﾃﾞｰﾄしますか？"));
}

TEST_F(RunLoopTest, RefusedBufferStopsWithMessageThirteen) {
  setupResult = kSetupBufferRefused;
  EXPECT_EQ(RunUpdate(ctx, steps), 1);
  const std::string text = "\nMemory allocation error.  Terminating program\n";
  EXPECT_EQ(AfterBanner(), text);
  EXPECT_EQ(Boxes(), (std::vector<Box>{{0x10, text}}));
  EXPECT_EQ(discoveries, 0);
  EXPECT_TRUE(calls.empty());
  ExpectReleasedLast();
}

TEST_F(RunLoopTest, OtherSetupFindingsDoNotStopTheRun) {
  for (int setup : {kSetupNoAspiLayer, kSetupNoAdapters, kSetupZeroAdapters}) {
    SCOPED_TRACE(setup);
    sim::SimPc casePc;
    Context caseCtx(casePc);
    setupResult = setup;
    targetCount = 0;
    discoveries = 0;
    EXPECT_EQ(RunUpdate(caseCtx, steps), 1);
    EXPECT_EQ(discoveries, 1);
    EXPECT_EQ(casePc.Console(), kBanner + kNotFound);
  }
}

TEST_F(RunLoopTest, OlderFirmwareOfFamilyNineIsRefusedOnAspiHosts) {
  const std::string text =
      "\r\nThis program does not support updating this model on Windows 98 and Windows Me."
      "\r\nPlease try to update on Windows XP or Windows 2000.";
  struct Case {
    const char* name;
    TransportRoute route;
    std::int32_t familyCode;
    std::int32_t expertOverride;
    const char* version;  // of the definition that runs
    bool refused;
  };
  const Case cases[] = {
      {"all conditions hold", TransportRoute::Aspi, 9, 0, "1.04", true},
      {"just below 1.08", TransportRoute::Aspi, 9, 0, "1.07", true},
      {"version 1.08", TransportRoute::Aspi, 9, 0, "1.08", false},
      {"version 2.00", TransportRoute::Aspi, 9, 0, "2.00", false},
      {"pass-through route", TransportRoute::PassThrough, 9, 0, "1.04", false},
      {"built-in family", TransportRoute::Aspi, 0x4003, 0, "1.04", false},
      {"expert override", TransportRoute::Aspi, 9, 1, "1.04", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc casePc;
    Context caseCtx(casePc);
    targetCount = 1;
    results = {0};
    calls.clear();
    adjustAfterSetup = [&](Context& x) {
      if (c.route == TransportRoute::Aspi) {
        UseAspi(x);
      } else {
        UsePassThrough(x);
      }
      x.definitions.entries[0].familyCode = c.familyCode;
      x.run.expertOverride = c.expertOverride;
      std::memcpy(x.definitions.entries[0].versionText, c.version, 4);
      // What the built-in definition's load left must not stand in for it.
      x.run.newRevisionNumber = 0x104;
    };
    const int exitCode = RunUpdate(caseCtx, steps);
    if (c.refused) {
      EXPECT_EQ(exitCode, 1);
      EXPECT_EQ(casePc.Console(), kBanner + text);
      ASSERT_EQ(casePc.Boxes().size(), 1u);
      EXPECT_EQ(casePc.Boxes()[0].type, 0x40u);
      EXPECT_TRUE(calls.empty());
      EXPECT_TRUE(caseCtx.host.released);
    } else {
      EXPECT_EQ(exitCode, 0);
      EXPECT_EQ(calls.size(), 1u);
    }
  }
}

TEST_F(RunLoopTest, BuiltInDefinitionRunsTheFamilyFourProcedure) {
  targetCount = 1;
  results = {0};
  EXPECT_EQ(RunUpdate(ctx, steps), 0);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].family, '4');
}

}  // namespace
}  // namespace odf
