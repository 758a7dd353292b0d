// The family-four procedure and its shared steps, called directly on a
// simulated PC prepared by the real host checks and discovery.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/definition.h"
#include "sim/fixtures/image_maker.h"
#include "sim_fixture.h"
#include "update/update.h"

namespace odf {
namespace {

using sim::FaultAction;
using sim::FaultRule;

constexpr const char* kImageName = "S1003431.104";
constexpr const char* kQuestion82 = testing::kDefaultQuestion82;
constexpr const char* kSuccess = "\nSuccess to update the firmware.";

int Occurrences(const std::string& text, const std::string& part) {
  int n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class FamilyFourTest : public testing::SimFixture {
 protected:
  std::shared_ptr<sim::Qbc850Drive> drive;
  std::vector<std::uint8_t> image;

  void Start(sim::Qbc850Config config = {}, bool withImage = true) {
    drive = std::make_shared<sim::Qbc850Drive>(config);
    sim::PcBuilder().Drive(drive).Build(pc);
    image = sim::MakeImage();
    if (withImage) pc.AddFile(kImageName, image);
    ctx.run.oemCodePage = pc.GetOEMCP();
    ASSERT_NO_FATAL_FAILURE(testing::BringUp(ctx));
    ctx.run.updateAll = 0;
    drive->log.clear();
    pc.ClearConsole();
  }

  int Count(std::uint8_t opcode, int mode = -1, int buffer = -1) const {
    int n = 0;
    for (const auto& r : drive->log) {
      n += (r.cdb[0] == opcode && (mode < 0 || r.cdb[1] == mode) && (buffer < 0 || r.cdb[2] == buffer)) ? 1 : 0;
    }
    return n;
  }
  int Writes() const { return Count(0x3B); }

  std::vector<std::string> BoxTexts() const { return testing::BoxTexts(pc); }
  bool ConsoleHas(const std::string& text) const { return testing::ConsoleHas(pc, text); }
};

TEST_F(FamilyFourTest, UpdatesTheDriveWithTheImage) {
  ASSERT_NO_FATAL_FAILURE(Start());
  pc.QueueAnswers({IDYES});
  EXPECT_EQ(FamilyFourUpdate(ctx), 0);

  EXPECT_EQ(drive->flashCount(), 1);
  EXPECT_EQ(drive->flashedImage(), image);
  EXPECT_FALSE(drive->inKernel());
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{kQuestion82});
  EXPECT_TRUE(ConsoleHas("\nCurrent Revision>> KESTREL BD-ROM  QBC-850  1.00  07/12/01"
                         "\nCurrent Signature = KES_ADV "));
  EXPECT_TRUE(ConsoleHas("\nNew Revision    >> KESTREL BD-ROM  QBC-850  1.04  08/01/10  " + std::string(kSuccess)));
  const std::string& console = pc.Console();
  EXPECT_EQ(console.substr(console.size() - std::strlen(kSuccess)), kSuccess);
  EXPECT_FALSE(ConsoleHas("New Signature"));

  // Order on the wire: ready check, kernel switch, blocks, normal switch.
  std::vector<std::string> order;
  for (const auto& r : drive->log) {
    std::string kind;
    if (r.cdb[0] == 0x1B) kind = "stop";
    if (r.cdb[0] == 0x00) kind = "ready";
    if (r.cdb[0] == 0x3B) kind = r.cdb[1] == 4 ? "kernel" : r.cdb[1] == 5 ? "normal" : "block";
    if (!kind.empty() && (order.empty() || order.back() != kind)) order.push_back(kind);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"stop", "ready", "kernel", "block", "normal"}));
  EXPECT_EQ(Count(0x3B, 7, 0xF0), 58);
  EXPECT_EQ(Count(0x3B, 7, 0xFE), 0);  // normal part only
  EXPECT_EQ(std::vector<std::uint8_t>(drive->lastModeBlock.begin() + 16, drive->lastModeBlock.begin() + 20),
            (std::vector<std::uint8_t>{0xB9, 0xD8, 0x3A, 0xC2}));
}

TEST_F(FamilyFourTest, VariantsThatStillUpdate) {
  struct Case {
    const char* name;
    bool kernelDrive;            // starts in its kernel part
    std::vector<FaultRule> faults;
    int updateAll;
    std::vector<int> answers;
    int kernelSwitches;
    std::size_t boxes;
    const char* consoleHas;
  };
  const Case cases[] = {
      {"all drives confirmed at once", false, {}, 1, {}, 1, 0, kSuccess},
      {"drive in its kernel part", true, {}, 0, {6}, 0, 1, "\nCurrent Revision>> KESTREL BD-RW   QBW-610  0001  07/12/01"},
      {"unit attention once", false, {testing::SenseFault(0x00, 1, 6, 0x29)}, 0, {6}, 1, 1, kSuccess},
      {"not ready 04/02", false, {testing::SenseFault(0x00, 1, 2, 0x04, 0x02)}, 0, {6}, 1, 1, kSuccess},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Qbc850Config config;
    config.kernel = c.kernelDrive;
    testing::OneDrivePc bench(config);
    auto& [freshPc, fresh, d] = bench;
    const auto img = sim::MakeImage();
    freshPc.AddFile(kImageName, img);
    ASSERT_NO_FATAL_FAILURE(testing::BringUp(fresh));
    for (const auto& f : c.faults) d->AddFault(f);
    fresh.run.updateAll = c.updateAll;
    for (int a : c.answers) freshPc.QueueAnswer(a);

    EXPECT_EQ(FamilyFourUpdate(fresh), 0);
    EXPECT_EQ(d->flashedImage(), img);
    int switches = 0;
    for (const auto& r : d->log) switches += (r.cdb[0] == 0x3B && r.cdb[1] == 4) ? 1 : 0;
    EXPECT_EQ(switches, c.kernelSwitches);
    EXPECT_EQ(freshPc.Boxes().size(), c.boxes);
    EXPECT_NE(freshPc.Console().find(c.consoleHas), std::string::npos) << freshPc.Console();
  }
}

// Every way a drive is left alone, with what the user is told. Nothing is
// written to the drive in any of them.
TEST_F(FamilyFourTest, DrivesLeftAlone) {
  struct Case {
    const char* name;
    std::string revision, date;
    sim::ReadyState ready;
    std::vector<FaultRule> faults;
    std::vector<int> answers;
    int result;
    const char* console;     // expected at the end of the console
    const char* box;         // the last box, or nullptr for none beyond question 82
  };
  const auto none = sim::ReadyState::NoMedium;
  const Case cases[] = {
      {"already latest", "1.04", "08/01/10", none, {}, {}, 1, "\r\nFW is already latest.", "\r\nFW is already latest."},
      {"disc loaded", "1.00", "07/12/01", sim::ReadyState::DiscLoaded, {}, {}, 1,
       "\nDisc is inserted into DVD-RW.\nPlease eject a disc.", "\nDisc is inserted into DVD-RW.\nPlease eject a disc."},
      {"becoming ready", "1.00", "07/12/01", sim::ReadyState::BecomingReady, {}, {}, 1,
       "\nError : Drive is now becoming ready.\nPlease eject the disc", nullptr},
      {"unknown ready error", "1.00", "07/12/01", none, {testing::SenseFault(0x00, 1, 3, 0x11)}, {}, 1,
       "\nError : Unknown Error is occurred.", nullptr},
      {"user says no", "1.00", "07/12/01", none, {}, {7}, 7, "\nCurrent Signature = KES_ADV ", kQuestion82},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Qbc850Config config;
    config.revision = c.revision;
    config.date = c.date;
    config.ready = c.ready;
    testing::OneDrivePc bench(config);
    auto& [freshPc, fresh, d] = bench;
    freshPc.AddFile(kImageName, sim::MakeImage());
    ASSERT_NO_FATAL_FAILURE(testing::BringUp(fresh));
    for (const auto& f : c.faults) d->AddFault(f);
    for (int a : c.answers) freshPc.QueueAnswer(a);

    EXPECT_EQ(FamilyFourUpdate(fresh), c.result);
    for (const auto& r : d->log) EXPECT_NE(r.cdb[0], 0x3B) << "a WRITE BUFFER reached the drive";
    const std::string& console = freshPc.Console();
    const std::string tail = c.console;
    ASSERT_GE(console.size(), tail.size());
    EXPECT_EQ(console.substr(console.size() - tail.size()), tail);
    if (c.box != nullptr) {
      ASSERT_FALSE(freshPc.Boxes().empty());
      EXPECT_EQ(freshPc.Boxes().back().text, c.box);
    } else {
      EXPECT_TRUE(freshPc.Boxes().empty());
    }
  }
}

// The drive reports its restart to the next command: the read of the new
// signature meets that unit attention and is sent again.
TEST_F(FamilyFourTest, SignatureReadBackAfterRestart) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ctx.run.signatureOverride = 1;
  pc.QueueAnswers({IDYES});
  EXPECT_EQ(FamilyFourUpdate(ctx), 0);
  EXPECT_EQ(drive->flashedImage(), image);
  const std::string tail = "\nNew Signature = KES_ADV \nSuccess to update the firmware.";
  EXPECT_EQ(pc.Console().substr(pc.Console().size() - tail.size()), tail);
  ASSERT_GE(drive->log.size(), 2u);
  EXPECT_EQ(drive->log[drive->log.size() - 1].cdb, drive->log[drive->log.size() - 2].cdb);
  EXPECT_EQ(drive->log.back().cdb[0], 0x3C);
}

TEST_F(FamilyFourTest, UnitAttentionForeverEndsWithUnknownError) {
  ASSERT_NO_FATAL_FAILURE(Start());
  drive->AddFault(testing::SenseFault(0x00, 0, 6, 0x29));
  EXPECT_EQ(FamilyFourUpdate(ctx), 1);
  EXPECT_EQ(Count(0x00), 21);  // the first check and 20 repeats
  EXPECT_EQ(Writes(), 0);
  const std::string tail = "\nError : Unknown Error is occurred.";
  EXPECT_EQ(pc.Console().substr(pc.Console().size() - tail.size()), tail);
}

// A ready check that fails without any sense must not be judged by the sense
// an earlier command (here: another drive's "no medium") left behind.
TEST_F(FamilyFourTest, ReadyCheckWithoutSenseIsAnUnknownError) {
  ASSERT_NO_FATAL_FAILURE(Start());
  SenseBytes noMedium{};
  noMedium[2] = 2;
  noMedium[12] = 0x3A;
  PortOf(ctx).KeepSense(noMedium);
  FaultRule fail;
  fail.opcode = 0x00;
  fail.action = FaultAction::TransportFail;
  drive->AddFault(fail);
  EXPECT_EQ(FamilyFourUpdate(ctx), 1);
  EXPECT_EQ(Writes(), 0);
  EXPECT_TRUE(pc.Boxes().empty());
  const std::string tail = "\nError : Unknown Error is occurred.";
  EXPECT_EQ(pc.Console().substr(pc.Console().size() - tail.size()), tail);
}

TEST_F(FamilyFourTest, RefusedKernelSwitchEndsTheRun) {
  sim::Qbc850Config config;
  config.checksum = 0x12345678;  // this drive expects another checksum
  ASSERT_NO_FATAL_FAILURE(Start(config));
  pc.QueueAnswers({IDYES});
  EXPECT_EQ(FamilyFourUpdate(ctx), -1);
  EXPECT_TRUE(ConsoleHas("\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.\r\n"
                         "\nFailed to move to the kernel mode."));
  EXPECT_EQ(Count(0x3B, 7), 0);
  EXPECT_EQ(drive->flashCount(), 0);
}

TEST_F(FamilyFourTest, MissingImageEndsTheRun) {
  ASSERT_NO_FATAL_FAILURE(Start({}, false));
  EXPECT_EQ(FamilyFourUpdate(ctx), -1);
  const std::string text = "\r\nFailed to load binary file.\r\n(File Name : S1003431.104)";
  EXPECT_EQ(pc.Console(), text);
  ASSERT_EQ(pc.Boxes().size(), 1u);
  EXPECT_EQ(pc.Boxes()[0].text, text);
  EXPECT_EQ(Writes(), 0);
}

// A drive that gives up on its kernel part when a block fails and restarts
// with the given identity.
class FallsBackAfterFailedBlock : public sim::Qbc850Drive {
 public:
  explicit FallsBackAfterFailedBlock(const std::string& revisionAfter) {
    sim::Qbc850Config after;
    after.revision = revisionAfter;
    after.date = revisionAfter == "1.04" ? "08/01/10" : "07/12/01";
    after_ = std::make_shared<sim::Qbc850Drive>(after);
  }

 protected:
  sim::DriveReply Execute(const sim::CommandRecord& record, std::uint8_t* data) override {
    if (fellBack_ && record.cdb[0] == 0x12) return after_->Receive(record, data);
    if (record.cdb[0] == 0x3B && record.cdb[1] == 7 && record.cdb[2] == 0xF0 && ++blocks_ == 3) {
      fellBack_ = true;
      return sim::CheckCondition(4, 0x44, 0);
    }
    return sim::Qbc850Drive::Execute(record, data);
  }

 private:
  std::shared_ptr<sim::Qbc850Drive> after_;
  bool fellBack_ = false;
  int blocks_ = 0;
};

// After a failed block, success is claimed only for a drive that reports the
// image's revision; one back on its old firmware was not updated.
TEST_F(FamilyFourTest, FailedBlockThenNormalIdentityCountsOnlyTheNewRevision) {
  struct Case {
    const char* revisionAfter;
    int result;
    bool success;
  };
  for (const auto& c : {Case{"1.00", 1, false}, Case{"1.04", 0, true}}) {
    SCOPED_TRACE(c.revisionAfter);
    testing::OneDrivePc bench(std::make_shared<FallsBackAfterFailedBlock>(c.revisionAfter));
    auto& [freshPc, fresh, d] = bench;
    freshPc.AddFile(kImageName, sim::MakeImage());
    freshPc.QueueAnswers({IDYES});
    ASSERT_NO_FATAL_FAILURE(testing::BringUpSingleTarget(fresh));

    EXPECT_EQ(FamilyFourUpdate(fresh), c.result);
    const std::string& console = freshPc.Console();
    EXPECT_NE(console.find("\r\nFailed to update the normal part."), std::string::npos);
    EXPECT_EQ(console.find(kSuccess) != std::string::npos, c.success) << console;
    // A drive back on its old firmware is said to be not updated.
    EXPECT_EQ(console.find("\nNew Revision    >> KESTREL BD-ROM  QBC-850  1.00  07/12/01  \r\nFailed to update FW.") !=
                  std::string::npos,
              !c.success)
        << console;
    EXPECT_EQ(console.find("Do you retry"), std::string::npos);
  }
}

// A block fails; the drive still answers as its kernel, so the user is
// offered another pass, which starts again from the image load.
TEST_F(FamilyFourTest, FailedBlockOffersARetry) {
  struct Case {
    const char* name;
    std::vector<int> answers;  // 82, 47, (82)
    int result;
  };
  const Case cases[] = {
      {"retry succeeds", {6, 6, 6}, 0},
      {"retry declined", {6, 7}, -1},
      // The second pass begins with the drive in its kernel: stopping short
      // of the update there must end the run, not pass as "not updated".
      {"retry, then the update declined", {6, 6, 7}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::OneDrivePc bench;
    auto& [freshPc, fresh, d] = bench;
    const auto img = sim::MakeImage();
    freshPc.AddFile(kImageName, img);
    ASSERT_NO_FATAL_FAILURE(testing::BringUp(fresh));
    d->AddFault(testing::SenseFault(0x3B, 3, 4, 0x44, 0, 7, 0xF0));
    for (int a : c.answers) freshPc.QueueAnswer(a);

    EXPECT_EQ(FamilyFourUpdate(fresh), c.result);

    std::vector<std::string> texts;
    for (const auto& b : freshPc.Boxes()) texts.push_back(b.text);
    std::vector<std::string> expected = {kQuestion82, "\r\nFailed to update the normal part.",
                                         "\nFailed to move to the normal mode.\r\nDo you retry to update ?"};
    // The second pass asks again; the drive now answers as its kernel.
    if (c.answers.size() > 2) {
      expected.push_back(
          "\r\nDo you want to update the F/W\r\nFrom : KESTREL BD-RW   QBW-610  0001  (2007/12/01)"
          "\r\nTo : KESTREL BD-ROM  QBC-850  1.04  (2008/01/10)");
    }
    EXPECT_EQ(texts, expected);
    const std::string& console = freshPc.Console();
    EXPECT_NE(console.find("\rProcessing 3%\r\nFailed to update the normal part."
                           "\nNew Revision    >> KESTREL BD-RW   QBW-610  0001  07/12/01  "),
              std::string::npos)
        << console;
    int switches = 0;
    for (const auto& r : d->log) switches += (r.cdb[0] == 0x3B && r.cdb[1] == 4) ? 1 : 0;
    EXPECT_EQ(switches, 1);  // the second pass finds the drive in its kernel already
    EXPECT_EQ(d->flashCount(), c.result == 0 ? 1 : 0);
    if (c.result == 0) {
      EXPECT_EQ(d->flashedImage(), img);
    }
  }
}

// After a failed block the read-back INQUIRY decides whether the drive still
// runs its kernel. A reply that is no identity (cut short, or a NOT READY the
// Intel ATA driver lets pass as done, leaving the area blank) must not pass
// for a drive back on its old firmware: it is taken for the kernel, so the
// user is offered the retry, and declining it ends the run.
TEST_F(FamilyFourTest, AReadBackThatIsNoIdentityIsTakenForTheKernel) {
  struct Case {
    const char* name;
    sim::HostSetup host;
    FaultRule readBack;        // on the read-back INQUIRY (and every later one when andLater)
    std::vector<int> answers;  // 82, 47, (82)
    int result;
  };
  auto shortReply = [](std::uint32_t length, bool andLater) {
    FaultRule r;
    r.opcode = 0x12;
    r.occurrence = 4;  // selection, current revision, kernel identity, then the read-back
    r.andLater = andLater;
    r.action = FaultAction::ShortReply;
    r.replyLength = length;
    return r;
  };
  FaultRule notReady = testing::SenseFault(0x12, 4, 2, 0x04, 0x01);
  notReady.andLater = true;
  const Case cases[] = {
      {"20 bytes, retry declined", {}, shortReply(20, true), {6, 7}, -1},
      {"no bytes, retry declined", {}, shortReply(0, true), {6, 7}, -1},
      {"revision cut after 2 of its 4 bytes", {}, shortReply(34, true), {6, 7}, -1},
      {"not ready let pass by the Intel ATA driver", {.intelAta = true}, notReady, {6, 7}, -1},
      {"20 bytes once, then a retry that updates", {}, shortReply(20, false), {6, 6, 6}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool aspi = c.host.intelAta;
    testing::OneDrivePc bench(sim::Qbc850Config{}, sim::PcBuilder(testing::RouteOf(aspi)).Host(c.host));
    auto& [freshPc, fresh, d] = bench;
    const auto img = sim::MakeImage();
    freshPc.AddFile(kImageName, img);
    ASSERT_NO_FATAL_FAILURE(testing::BringUp(fresh));
    d->AddFault(testing::SenseFault(0x3B, 3, 4, 0x44, 0, 7, 0xF0));
    d->AddFault(c.readBack);
    for (int a : c.answers) freshPc.QueueAnswer(a);

    EXPECT_EQ(FamilyFourUpdate(fresh), c.result) << freshPc.Console();
    const std::vector<std::string> boxes = testing::BoxTexts(freshPc);
    ASSERT_GE(boxes.size(), 3u);
    EXPECT_EQ(boxes[2], "\nFailed to move to the normal mode.\r\nDo you retry to update ?");
    EXPECT_EQ(d->flashCount(), c.result == 0 ? 1 : 0);
    EXPECT_EQ(d->inKernel(), c.result != 0);
    if (c.result == 0) {
      EXPECT_EQ(d->flashedImage(), img);
    }
  }
}

// The host loses the answer to a command: a normal-mode switch the drive
// restarted under counts as done (no failure line, the full settle, the
// read-back decides), while an image block without its answer is never
// taken as delivered, even when the drive did store it.
TEST_F(FamilyFourTest, CommandsWhoseAnswerTheHostLost) {
  struct Case {
    const char* name;
    FaultRule fault;          // on the pass-through route: no SCSI status comes back
    int result;
    bool flashed;
    bool normalSwitchSent;
    bool retryAsked;
  };
  auto Lost = [](std::uint8_t mode, std::uint8_t buffer, int occurrence, FaultAction action, bool executed) {
    FaultRule r = testing::SenseFault(0x3B, occurrence, 0, 0, 0, mode, buffer);
    r.action = action;
    r.executed = executed;
    return r;
  };
  const auto T = FaultAction::TransportFail;
  const Case cases[] = {
      {"the drive restarts under the switch", Lost(5, 0xFF, 1, T, true), 0, true, true, false},
      {"the switch times out while the drive restarts", Lost(5, 0xFF, 1, FaultAction::Timeout, true), 0, true,
       true, false},
      {"the switch never reached the drive", Lost(5, 0xFF, 1, T, false), -1, false, true, true},
      {"a block never reached the drive", Lost(7, 0xF0, 5, T, false), -1, false, false, true},
      {"a block the drive stored without answering", Lost(7, 0xF0, 5, T, true), -1, false, false, true},
      {"a block that timed out", Lost(7, 0xF0, 5, FaultAction::Timeout, true), -1, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::OneDrivePc bench;
    auto& [freshPc, fresh, d] = bench;
    const auto img = sim::MakeImage();
    freshPc.AddFile(kImageName, img);
    ASSERT_NO_FATAL_FAILURE(testing::BringUp(fresh));
    d->AddFault(c.fault);
    freshPc.QueueAnswers({IDYES, IDNO});  // update: yes; retry: no

    EXPECT_EQ(FamilyFourUpdate(fresh), c.result);

    const std::string& console = freshPc.Console();
    // Message 15, apart from the retry question that begins with the same words.
    EXPECT_EQ(Occurrences(console, "\nFailed to move to the normal mode."),
              Occurrences(console, "\nFailed to move to the normal mode.\r\nDo you retry"));
    EXPECT_EQ(console.find(kSuccess) != std::string::npos, c.result == 0);
    EXPECT_EQ(console.find("\r\nFailed to update the normal part.") != std::string::npos, !c.normalSwitchSent);
    EXPECT_EQ(d->flashCount(), c.flashed ? 1 : 0);
    if (c.flashed) {
      EXPECT_EQ(d->flashedImage(), img);
    }
    EXPECT_EQ(freshPc.Boxes().size(), c.retryAsked ? 2u + (c.normalSwitchSent ? 0u : 1u) : 1u);
      // After the switch: the settle of 3 s, then the read-back.
    std::uint64_t switchSent = 0, readBack = 0;
    bool afterSwitch = false;
    for (const auto& r : d->log) {
      if (r.cdb[0] == 0x3B && r.cdb[1] == 5) {
        afterSwitch = true;
        switchSent = r.atMs;
      } else if (afterSwitch && r.cdb[0] == 0x12) {
        readBack = r.atMs;
        break;
      }
    }
    EXPECT_EQ(afterSwitch, c.normalSwitchSent);
    if (c.normalSwitchSent) {
      EXPECT_GE(readBack - switchSent, 3000u);
    }
  }
}

// A drive found running only its kernel has no firmware to go back to: a
// refused update must end the run as a failure rather than pass quietly.
TEST_F(FamilyFourTest, DriveFoundInItsKernelAndLeftThereEndsTheRun) {
  sim::Qbc850Config config;
  config.kernel = true;
  Start(config);
  pc.QueueAnswers({IDNO});
  EXPECT_EQ(FamilyFourUpdate(ctx), -1);
  EXPECT_TRUE(drive->inKernel());
  EXPECT_EQ(Writes(), 0);
}

TEST_F(FamilyFourTest, DriveNoDefinitionServesIsLeftAlone) {
  ASSERT_NO_FATAL_FAILURE(Start());
  // The previous drive's definition is still in place; no entry serves this drive.
  ctx.matchedDefinition = ctx.definitions.entries[0];
  std::memcpy(ctx.definitions.entries[0].product, "DVD-ROM QRD-570 ", 16);

  EXPECT_EQ(FamilyFourUpdate(ctx), 1);
  EXPECT_EQ(Writes(), 0);
  EXPECT_EQ(Count(0x00), 0);
  const std::string text = "\r\nCurrent Firmware is not supported by this program.";
  EXPECT_EQ(pc.Console(), text);
  ASSERT_EQ(pc.Boxes().size(), 1u);
  EXPECT_EQ(pc.Boxes()[0].text, text);
  EXPECT_EQ(pc.Boxes()[0].type, 0x10u);
  EXPECT_EQ(std::memcmp(ctx.matchedDefinition.product, "BD-ROM  QBC-850 ", 16), 0);
}

TEST_F(FamilyFourTest, IdentityReadFailuresLeaveTheDriveAlone) {
  struct Case {
    const char* name;
    FaultRule fault;
    const char* text;
  };
  const Case cases[] = {
      {"inquiry", testing::SenseFault(0x12, 1, 4, 0x44), "\nFailed to execute Inquiry Command."},
      {"drive information", testing::SenseFault(0x3C, 1, 4, 0x44, 0, 2, 0xF1), "\nFailed to get a drive information."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::OneDrivePc bench;
    auto& [freshPc, fresh, d] = bench;
    freshPc.AddFile(kImageName, sim::MakeImage());
    ASSERT_NO_FATAL_FAILURE(testing::BringUp(fresh));
    d->AddFault(c.fault);
    d->log.clear();

    EXPECT_EQ(FamilyFourUpdate(fresh), 1);
    EXPECT_EQ(freshPc.Console(), c.text);
    ASSERT_EQ(freshPc.Boxes().size(), 1u);
    EXPECT_EQ(freshPc.Boxes()[0].type, 0x10u);
    for (const auto& r : d->log) {
      EXPECT_TRUE(r.cdb[0] == 0x12 || r.cdb[0] == 0x3C) << "only identity reads may reach the drive";
    }
  }
}

TEST_F(FamilyFourTest, IrreversibleUpdateAsksFirst) {
  struct Case {
    std::vector<int> answers;
    int result;
  };
  for (const auto& c : {Case{{7}, 1}, Case{{6, 6}, 0}}) {
    SCOPED_TRACE(c.result);
    testing::OneDrivePc bench;
    auto& [freshPc, fresh, d] = bench;
    freshPc.AddFile(kImageName, sim::MakeImage());
    ASSERT_NO_FATAL_FAILURE(testing::BringUp(fresh));
    fresh.definitions.entries[0].downgradeWarning = 1;
    for (int a : c.answers) freshPc.QueueAnswer(a);

    EXPECT_EQ(FamilyFourUpdate(fresh), c.result);
    ASSERT_FALSE(freshPc.Boxes().empty());
    EXPECT_EQ(freshPc.Boxes()[0].text,
              "\nAfter you change the firmware to ver1.04, \r\nyou can not change the firmware to old version."
              "\r\nDo you proceed to update ?");
    if (c.result == 1) {
      ASSERT_EQ(freshPc.Boxes().size(), 2u);
      EXPECT_EQ(freshPc.Boxes()[1].text, "\r\nThe update operation is canceled by user.");
      EXPECT_EQ(freshPc.Boxes()[1].type, 0x30u);
      EXPECT_EQ(d->flashCount(), 0);
    } else {
      EXPECT_EQ(d->flashCount(), 1);
    }
  }
}

// With the kernel part in scope, the kernel image goes first in three blocks.
TEST_F(FamilyFourTest, KernelAndNormalPart) {
  struct Case {
    const char* name;
    bool kernelFile;
    int result;
    const char* consoleHas;
  };
  const Case cases[] = {
      {"both parts written", true, 0, kSuccess},
      {"kernel image missing", false, -1, "\r\nFailed to load kernel binary file."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::OneDrivePc bench;
    auto& [freshPc, fresh, d] = bench;
    const auto normal = sim::MakeImage();
    sim::ImageFields kernelFields;
    kernelFields.partLetter = 'K';
    kernelFields.size = 0x11200;
    kernelFields.seed = 7;
    const auto kernel = sim::MakeImage(kernelFields);
    freshPc.AddFile(kImageName, normal);
    if (c.kernelFile) freshPc.AddFile("S1003430.104", kernel);
    ASSERT_NO_FATAL_FAILURE(testing::BringUp(fresh));
    fresh.definitions.entries[0].updateScope = 0;
    freshPc.QueueAnswers({IDYES});

    EXPECT_EQ(FamilyFourUpdate(fresh), c.result);
    EXPECT_NE(freshPc.Console().find(c.consoleHas), std::string::npos) << freshPc.Console();
    if (c.result == 0) {
      EXPECT_EQ(d->kernelImage(), kernel);
      EXPECT_EQ(d->flashedImage(), normal);  // reloaded after the kernel image
    } else {
      EXPECT_TRUE(d->kernelImage().empty());
      EXPECT_EQ(d->flashCount(), 0);
    }
  }
}

// Once the header check has named the drive's edition, a general-edition
// drive on the ASPI route is waited for as long as its re-flash takes; any
// other drive's normal-mode switch ends at its 60-second time-out.
TEST(FamilyFourOverAspi, OnlyTheGeneralEditionWaitsOutALongReflash) {
  struct Case {
    const char* name;
    const char* signature;
    const char* hardware;
    bool switchFails;
  };
  const Case cases[] = {
      {"general edition", "GENERAL ", "SCSI0100", false},
      {"other edition", "KES_ADV ", "QBC 0100", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Qbc850Config config;
    config.signature = c.signature;
    config.hardware = c.hardware;
    config.reflashMs = 70000;
    testing::OneDrivePc bench(config, sim::PcBuilder(sim::SimRoute::Aspi));
    auto& [freshPc, fresh, d] = bench;
    sim::ImageFields fields;
    fields.hardware = c.hardware;
    freshPc.AddFile(kImageName, sim::MakeImage(fields));
    ASSERT_NO_FATAL_FAILURE(testing::BringUp(fresh));
    fresh.run.signatureOverride = 1;  // lets the general edition take the built-in image
    freshPc.QueueAnswers({IDYES});

    const int result = FamilyFourUpdate(fresh);
    const bool failed =
        freshPc.Console().find("\nFailed to move to the normal mode.") != std::string::npos;
    EXPECT_EQ(failed, c.switchFails) << freshPc.Console();
    // Either way the drive re-flashed and the read-back finds it updated.
    EXPECT_EQ(result, 0);
    EXPECT_EQ(d->flashCount(), 1);
  }
}

}  // namespace
}  // namespace odf
