// Whole runs of the utility on the simulated PC: console bytes, boxes, exit
// codes, and the bytes each drive ends up holding.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "app/run_update.h"
#include "core/context.h"
#include "image/sha256.h"
#include "sim/fixtures/image_maker.h"
#include "sim/fixtures/sim_definition.h"
#include "sim/pc/pc_builder.h"
#include "sim_fixture.h"

namespace odf {
namespace {

using sim::FaultAction;
using sim::FaultRule;

constexpr const char* kBanner = "\n/// ODD Firmware Update Utility Ver2.27A\n";
constexpr const char* kQuestion82 = testing::kDefaultQuestion82;

// The percentages shown before each of the 58 blocks of the 1,880,576-byte image.
constexpr int kProgress[] = {0,  1,  3,  5,  6,  8,  10, 12, 13, 15, 17, 19, 20, 22, 24, 26, 27, 29, 31, 33,
                             34, 36, 38, 40, 41, 43, 45, 47, 48, 50, 52, 54, 55, 57, 59, 60, 62, 64, 66, 67,
                             69, 71, 73, 74, 76, 78, 80, 81, 83, 85, 87, 88, 90, 92, 94, 95, 97, 99};

std::string UpdateText(int deviceNumber) {
  std::string text = "\r\nStart updating the device No." + std::to_string(deviceNumber) + "." +
                     "\nCurrent Revision>> KESTREL BD-ROM  QBC-850  1.00  07/12/01"
                     "\nCurrent Signature = KES_ADV "
                     "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.\r\n";
  for (int p : kProgress) text += "\rProcessing " + std::to_string(p) + "%";
  text += "\rProcessing 100% --> Data transfer complete\r\nNow internal re-flashing..."
          "\nNew Revision    >> KESTREL BD-ROM  QBC-850  1.04  08/01/10  "
          "\nSuccess to update the firmware.";
  return text;
}

class EndToEndTest : public testing::SimFixture {
 protected:
  sim::PcBuilder builder;
  std::vector<std::shared_ptr<sim::Qbc850Drive>> drives;
  std::vector<std::uint8_t> image = sim::MakeImage();

  // The next drive, on the next volume from D unless placed otherwise.
  void AddDrive(const sim::DrivePlace& place = {}) {
    drives.push_back(std::make_shared<sim::Qbc850Drive>());
    builder.Drive(drives.back(), place);
  }
  int Run() {
    builder.Build(pc);
    pc.AddFile("S1003431.104", image);
    return RunUpdate(ctx);
  }
  // For a table row that needs a PC of its own: two drives on `fresh`, the
  // first placed as given, and the image file.
  std::vector<std::shared_ptr<sim::Qbc850Drive>> TwoDrivesOn(sim::SimPc& fresh,
                                                             const sim::DrivePlace& first = {}) const {
    std::vector<std::shared_ptr<sim::Qbc850Drive>> pair = {std::make_shared<sim::Qbc850Drive>(),
                                                           std::make_shared<sim::Qbc850Drive>()};
    sim::PcBuilder().Drive(pair[0], first).Drive(pair[1]).Build(fresh);
    fresh.AddFile("S1003431.104", image);
    return pair;
  }
  std::vector<std::string> BoxTexts() const { return testing::BoxTexts(pc); }
  static int Writes(const sim::Qbc850Drive& d) {
    int n = 0;
    for (const auto& r : d.log) n += r.cdb[0] == 0x3B ? 1 : 0;
    return n;
  }
};

TEST_F(EndToEndTest, OneDriveUpdated) {
  AddDrive();
  pc.QueueAnswers({IDYES});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(pc.Console(), kBanner + UpdateText(1) + "\r\nUpdate operation is completed.");
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{kQuestion82, "\r\nUpdate operation is completed."}));
  EXPECT_EQ(pc.Boxes()[1].type, 0x40u);
  EXPECT_EQ(drives[0]->flashedImage(), image);
  EXPECT_EQ(drives[0]->flashCount(), 1);
  EXPECT_EQ(drives[0]->config().revision, "1.04");
}

TEST_F(EndToEndTest, OneDriveUpdatedOverAspi) {
  builder = sim::PcBuilder(sim::SimRoute::Aspi);
  AddDrive({.target = 1});
  pc.QueueAnswers({IDYES});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(pc.Console(), kBanner + UpdateText(1) + "\r\nUpdate operation is completed.");
  EXPECT_EQ(drives[0]->flashedImage(), image);
}

TEST_F(EndToEndTest, TwoDrivesConfirmedAtOnce) {
  AddDrive();
  AddDrive();
  pc.QueueAnswers({IDYES});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(pc.Console(), kBanner + UpdateText(1) + UpdateText(2) + "\r\nUpdate operation is completed.");
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{
                            "\r\n2 target device(s) is found.\r\nDo you want to update all drives ?",
                            "\r\nUpdate operation is completed."}));
  for (const auto& d : drives) EXPECT_EQ(d->flashedImage(), image);
}

// Runs where no drive gets new firmware; none of them shows a summary.
TEST_F(EndToEndTest, NothingUpdated) {
  struct Case {
    const char* name;
    std::string revision, date;
    std::vector<int> answers;
    std::string consoleTail;
    std::vector<std::string> boxes;
  };
  const Case cases[] = {
      {"already latest", "1.04", "08/01/10", {}, "\r\nStart updating the device No.1."
       "\nCurrent Revision>> KESTREL BD-ROM  QBC-850  1.04  08/01/10\nCurrent Signature = KES_ADV "
       "\r\nFW is already latest.", {"\r\nFW is already latest."}},
      {"user says no", "1.00", "07/12/01", {7}, "\r\nStart updating the device No.1."
       "\nCurrent Revision>> KESTREL BD-ROM  QBC-850  1.00  07/12/01\nCurrent Signature = KES_ADV ",
       {kQuestion82}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Qbc850Config config;
    config.revision = c.revision;
    config.date = c.date;
    testing::OneDrivePc bench(config);
    auto& [freshPc, fresh, d] = bench;
    freshPc.AddFile("S1003431.104", image);
    for (int a : c.answers) freshPc.QueueAnswer(a);

    EXPECT_EQ(RunUpdate(fresh), 0);
    EXPECT_EQ(freshPc.Console(), kBanner + c.consoleTail);
    std::vector<std::string> boxes;
    for (const auto& b : freshPc.Boxes()) boxes.push_back(b.text);
    EXPECT_EQ(boxes, c.boxes);
    EXPECT_EQ(Writes(*d), 0);
    EXPECT_EQ(d->flashCount(), 0);
  }
}

TEST_F(EndToEndTest, RefusedKernelSwitchEndsTheRun) {
  FaultRule refuse;
  refuse.opcode = 0x3B;
  refuse.mode = 4;
  refuse.occurrence = 1;
  refuse.action = FaultAction::Sense;
  refuse.key = 5;
  refuse.asc = 0x26;
  AddDrive();
  AddDrive();
  drives[0]->AddFault(refuse);
  pc.QueueAnswers({IDNO, IDYES});  // one question per drive; only the first is reached
  EXPECT_EQ(Run(), 1);
  const std::string tail =
      "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.\r\n"
      "\nFailed to move to the kernel mode."
      "\r\nUpdate program is terminated by occuring an error.\r\n";
  const std::string& console = pc.Console();
  ASSERT_GE(console.size(), tail.size());
  EXPECT_EQ(console.substr(console.size() - tail.size()), tail);
  EXPECT_EQ(console.find("device No.2"), std::string::npos);
  ASSERT_FALSE(pc.Boxes().empty());
  EXPECT_EQ(pc.Boxes().back().text, "\r\nUpdate program is terminated by occuring an error.\r\n");
  EXPECT_EQ(pc.Boxes().back().type, 0x30u);
  EXPECT_EQ(drives[0]->flashCount(), 0);
  EXPECT_TRUE(drives[1]->log.size() > 0);
  EXPECT_EQ(Writes(*drives[1]), 0);
}

// A signal during the update of the first of two drives: that drive is
// finished with the whole image, the second is never started, the usual
// closing message is shown and the exit code is the signal's.
TEST_F(EndToEndTest, AnInterruptionDuringTheUpdateEndsTheRunAfterThatDrive) {
  struct Case {
    const char* name;
    const char* when;  // console text at which the signals arrive
    std::vector<int> signals;
  };
  const Case cases[] = {
      {"between blocks", "\rProcessing 50%", {SIGINT}},
      {"after the last block, before the restart", "Now internal re-flashing...", {SIGTERM}},
      {"twice", "\rProcessing 3%", {SIGHUP, SIGINT}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc freshPc;
    Context fresh(freshPc);
    const auto pair = TwoDrivesOn(freshPc);
    freshPc.QueueAnswers({IDYES});
    bool sent = false;
    freshPc.consoleSink = [&](const std::string& bytes) {
      if (sent || bytes.find(c.when) == std::string::npos) return;
      sent = true;
      EXPECT_TRUE(freshPc.HandlerIn());
      for (int signal : c.signals) freshPc.Interrupt(signal);
    };

    EXPECT_EQ(RunUpdate(fresh), 128 + c.signals.front());
    ASSERT_TRUE(sent);
    EXPECT_EQ(freshPc.EndedBy(), 0);
    EXPECT_FALSE(freshPc.HandlerIn());
    EXPECT_EQ(std::count(freshPc.StandardError().begin(), freshPc.StandardError().end(), '\n'), 1);
    const std::string closing = "\r\n1drive(s) have been updated successfully.";
    EXPECT_EQ(freshPc.Console(), kBanner + UpdateText(1) + closing);
    EXPECT_EQ(freshPc.Boxes().back().text, closing);
    EXPECT_EQ(pair[0]->flashedImage(), image);
    EXPECT_EQ(pair[0]->config().revision, "1.04");
    EXPECT_EQ(Writes(*pair[1]), 0);
  }
}

// Outside the update of a drive a signal keeps its default action: at the
// question the process would end, and nothing was held.
TEST_F(EndToEndTest, AnInterruptionAtTheQuestionIsNotHeld) {
  AddDrive();
  pc.answerer = [&](const sim::BoxRecord&) {
    EXPECT_FALSE(pc.HandlerIn());
    pc.Interrupt(SIGINT);
    return IDNO;
  };
  Run();
  EXPECT_EQ(pc.EndedBy(), SIGINT);
  EXPECT_EQ(pc.GetInterruption(), 0);
  EXPECT_TRUE(pc.StandardError().empty());
  EXPECT_EQ(Writes(*drives[0]), 0);
}

// A drive whose lock another odflsh holds gets no command from this one:
// locked before the search for drives, it is not even found; locked after
// it, it is left alone from its start. The other drive is updated under its
// own lock, which goes with the drive.
TEST_F(EndToEndTest, ADriveLockedElsewhereIsLeftAlone) {
  struct Case {
    const char* name;
    bool lockedBeforeSearch;
    std::size_t commands;  // what the locked drive received
    std::string console;
  };
  const std::string closing = "\r\n1drive(s) have been updated successfully.";
  const Case cases[] = {
      {"before the search", true, 0, kBanner + UpdateText(1) + "\r\nUpdate operation is completed."},
      // The search's INQUIRY and drive-information read, nothing after them.
      {"after the search", false, 2,
       std::string(kBanner) + "\r\nStart updating the device No.1." + UpdateText(2) + closing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc freshPc;
    Context fresh(freshPc);
    const auto pair = TwoDrivesOn(freshPc, {.volume = {.lockedElsewhere = c.lockedBeforeSearch}});
    freshPc.answerer = [&](const sim::BoxRecord&) {
      freshPc.SetLockedElsewhere('D', true);  // the question comes after the search
      return IDYES;
    };
    bool lockedDuringUpdate = false;
    freshPc.consoleSink = [&](const std::string& bytes) {
      if (bytes.find("\rProcessing 50%") != std::string::npos) lockedDuringUpdate = freshPc.VolumeLocked('E');
    };

    EXPECT_EQ(RunUpdate(fresh), 0);
    EXPECT_EQ(pair[0]->log.size(), c.commands);
    EXPECT_EQ(Writes(*pair[0]), 0);
    EXPECT_EQ(pair[1]->flashedImage(), image);
    EXPECT_TRUE(lockedDuringUpdate);
    EXPECT_FALSE(freshPc.VolumeLocked('E'));
    EXPECT_EQ(freshPc.Console(), c.console);
  }
}

TEST_F(EndToEndTest, JapaneseConsole) {
  builder.CodePage(932);
  AddDrive();
  pc.QueueAnswers({IDYES});
  EXPECT_EQ(Run(), 0);
  // "\rProcessing 100% --> ﾌｧｰﾑｳｪｱ転送完了" in cp932
  EXPECT_NE(pc.Console().find("\rProcessing 99%\rProcessing 100% --> \xCC\xA7\xB0\xD1\xB3\xAA\xB1\x93\x5D\x91\x97"
                              "\x8A\xAE\x97\xB9\r\n"),
            std::string::npos);
  EXPECT_EQ(pc.Console().find("Data transfer complete"), std::string::npos);
  EXPECT_EQ(drives[0]->flashedImage(), image);
}

// One byte changed at 1,000,000 of the image: where a digest for it is known
// (a list beside it, or its definition), nothing reaches the drive.
TEST_F(EndToEndTest, AnImageThatIsNotItsDigestsFileIsNeverSent) {
  std::vector<std::uint8_t> damaged = image;
  damaged[1000000] ^= 0x01;
  const std::string digest = Sha256Text(Sha256Of(image.data(), image.size()));
  struct Case {
    const char* name;
    bool listed;       // S1003431.104.sha256 gives the digest of the sound image
    bool defined;      // and so does the definition
    bool sound;        // the file is the sound image
  };
  const Case cases[] = {
      {"listed, damaged", true, false, false},
      {"in the definition, damaged", false, true, false},
      {"listed, sound", true, false, true},
      {"in the definition, sound", false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc fresh;
    Context run(fresh);
    auto drive = std::make_shared<sim::Qbc850Drive>();
    sim::PcBuilder().Drive(drive).Build(fresh);
    fresh.AddFile("S1003431.104", c.sound ? image : damaged);
    if (c.listed) {
      const std::string list = digest + "  S1003431.104\n";
      fresh.AddFile("S1003431.104.sha256", std::vector<std::uint8_t>(list.begin(), list.end()));
    }
    UpdateDefinition definition = sim::BuiltInDefinition();
    if (c.defined) {
      const Sha256Digest sound = Sha256Of(image.data(), image.size());
      std::copy(sound.begin(), sound.end(), definition.sha256);
      definition.sha256Given = true;
    }
    RunSteps steps = DefaultRunSteps();
    steps.loadDefinitions = sim::DefinitionLoader({definition});
    fresh.QueueAnswers({IDYES});
    EXPECT_EQ(RunUpdate(run, steps), c.sound ? 0 : 1);
    if (c.sound) {
      EXPECT_EQ(drive->flashedImage(), image);
    } else {
      EXPECT_EQ(Writes(*drive), 0);
      EXPECT_NE(fresh.Console().find("S1003431.104 has SHA-256 "), std::string::npos) << fresh.Console();
    }
  }
}

}  // namespace
}  // namespace odf
