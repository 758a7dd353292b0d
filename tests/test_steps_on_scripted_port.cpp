// Procedure steps on a scripted port, with no simulated drive behind it: the
// ready check's decisions by the sense each check brings back, the time-out
// each step leaves for the drive-information read that comes after it, and
// how a command's named result becomes the step's number.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "core/context.h"
#include "core/message_codes.h"
#include "image/image.h"
#include "scripted_port.h"
#include "sim/pc/sim_pc.h"
#include "update/update.h"

namespace odf {
namespace {

using testing::ScriptedPort;
using testing::SenseOf;
using Answer = ScriptedPort::Answer;

constexpr std::int32_t kPlainFamily = 0x4003;
constexpr std::int32_t kFamilyThatMayHoldADisc = 0x1041;

class ScriptedStepsTest : public ::testing::Test {
 protected:
  sim::SimPc pc;  // the clock and the console only
  Context ctx{pc};
  ScriptedPort* port = nullptr;
  std::vector<MessageCode> shown;
  std::array<std::uint8_t, 512> parameters{};

  void SetUp() override { Fresh({}); }

  void Fresh(PortTraits traits) {
    port = &testing::UseScriptedPort(ctx, traits);
    ctx.targets.targetCount = 1;
    ctx.targets.entries[0].driveLetter = 'E';
    ctx.run.currentTarget = 0;
    ctx.matchedDefinition.familyCode = kPlainFamily;
    ctx.host.parameterBuffer.data = parameters.data();
    ctx.host.parameterBuffer.size = parameters.size();
    ctx.dialogue.showing = [this](MessageCode code, const std::string&) { shown.push_back(code); };
    shown.clear();
  }

  static Answer Fails(CommandResult result, std::optional<SenseBytes> sense = {}) {
    return Answer{result, sense, {}};
  }
};

TEST_F(ScriptedStepsTest, ReadyCheckJudgesEachCheckByItsOwnSense) {
  const Answer noMedium = Fails(CommandResult::ScsiError, SenseOf(2, 0x3A, 0));
  const Answer becomingReady = Fails(CommandResult::ScsiError, SenseOf(2, 0x04, 0x01));
  const Answer unitAttention = Fails(CommandResult::ScsiError, SenseOf(6, 0x29, 0));
  const Answer noSense = Fails(CommandResult::ScsiError);
  const Answer mediumError = Fails(CommandResult::ScsiError, SenseOf(3, 0x11, 0));
  struct Case {
    const char* name;
    std::int32_t family;
    std::int32_t intelDriverKind;
    std::vector<Answer> checks;  // the answers to the ready checks, after the stop
    int result;
    std::size_t checksSent;
    std::vector<MessageCode> shown;
  };
  const std::vector<Answer> attentionForEver(30, unitAttention);
  std::vector<Answer> attentionThenIdle(3, unitAttention);
  attentionThenIdle.push_back(noMedium);
  const Case cases[] = {
      {"ready, a family that may hold a disc", kFamilyThatMayHoldADisc, 0, {Answer{}}, 0, 1, {}},
      {"ready: a disc is in", kPlainFamily, 0, {Answer{}}, -1, 1, {MessageCode::kDiscInDrive}},
      {"no medium", kPlainFamily, 0, {noMedium}, 0, 1, {}},
      {"becoming ready", kPlainFamily, 0, {becomingReady}, -1, 1, {MessageCode::kDriveBecomingReady}},
      {"unit attention, then no medium", kPlainFamily, 0, attentionThenIdle, 0, 4, {}},
      {"unit attention for ever", kPlainFamily, 0, attentionForEver, -1, 21, {MessageCode::kUnknownError}},
      {"no sense", kPlainFamily, 0, {noSense}, -1, 1, {MessageCode::kUnknownError}},
      {"no sense under an Intel driver", kPlainFamily, kIntelAtaDriver, {noSense}, 0, 1, {}},
      {"medium error", kPlainFamily, 0, {mediumError}, -1, 1, {MessageCode::kUnknownError}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh({TransportRoute::PassThrough, c.intelDriverKind, -1});
    ctx.matchedDefinition.familyCode = c.family;
    // What an earlier command left must not decide the first check.
    port->KeepSense(SenseOf(2, 0x3A, 0));
    port->script.push_back(Answer{});  // the stop
    port->script.insert(port->script.end(), c.checks.begin(), c.checks.end());
    ctx.run.carriedTimeoutMs = 10000;

    EXPECT_EQ(WaitDriveReady(ctx), c.result);
    ASSERT_EQ(port->sent.size(), 1 + c.checksSent);
    EXPECT_EQ(port->sent[0].cdb, (std::vector<std::uint8_t>{0x1B, 0, 0, 0, 0, 0}));
    for (std::size_t i = 1; i < port->sent.size(); ++i) {
      EXPECT_EQ(port->sent[i].cdb[0], 0x00);
      EXPECT_EQ(port->sent[i].timeoutMs, 0);  // the stop's time-out
    }
    EXPECT_EQ(shown, c.shown);
    EXPECT_EQ(ctx.run.carriedTimeoutMs, 0);
  }
}

// The drive-information read takes no time-out of its own: it goes at the one
// the last step left, which for a second drive is whatever the first drive's
// procedure ended with.
TEST_F(ScriptedStepsTest, EachStepLeavesItsTimeOutForTheDriveInformationRead) {
  struct Case {
    const char* name;
    std::function<void(Context&, ScriptedPort&)> step;
    std::int32_t left;
  };
  const Case cases[] = {
      {"a kernel-mode switch", [](Context& c, ScriptedPort&) { EnterKernelMode(c, kPlainFamily); }, 1000},
      {"a refused kernel-mode switch",
       [](Context& c, ScriptedPort& p) {
         p.script.push_back(Fails(CommandResult::ScsiError, SenseOf(5, 0x24, 0)));
         EnterKernelMode(c, kPlainFamily);
       },
       5000},
      {"a normal-mode switch", [](Context& c, ScriptedPort&) { EnterNormalMode(c, kPlainFamily); }, 5000},
      {"the ready check", [](Context& c, ScriptedPort&) { WaitDriveReady(c); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh({});
    c.step(ctx, *port);
    port->sent.clear();
    port->script.clear();

    EXPECT_EQ(ReadDriveState(ctx), 0);
    ASSERT_EQ(port->sent.size(), 1u);
    EXPECT_EQ(port->sent[0].cdb, (std::vector<std::uint8_t>{0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0, 0x30, 0}));
    EXPECT_EQ(port->sent[0].timeoutMs, c.left);
  }
}

// Each named result keeps the number the run loop acts on (it ends the run
// on -1), through the step that hands it on.
TEST_F(ScriptedStepsTest, AFailedInquiryHandsOnItsResultAsTheStepsNumber) {
  struct Case {
    CommandResult result;
    int status;
  };
  const Case cases[] = {
      {CommandResult::ScsiError, 2}, {CommandResult::Failed, -1},    {CommandResult::NotSent, -1},
      {CommandResult::PollGaveUp, -1}, {CommandResult::NoVolume, -2}, {CommandResult::WaitRanOut, -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.result));
    Fresh({});
    port->script.push_back(Fails(c.result));
    EXPECT_EQ(SelectDefinition(ctx), c.status);
    EXPECT_EQ(shown, std::vector<MessageCode>{MessageCode::kInquiryFailed});
    ASSERT_EQ(port->sent.size(), 1u);  // nothing after the failed INQUIRY
  }
}

}  // namespace
}  // namespace odf
