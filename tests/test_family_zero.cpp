// The family-zero procedure and its steps, on a simulated PC with the
// QRD-570 drive, prepared by the real host checks and discovery.
#include <gtest/gtest.h>

#include <csignal>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/run_update.h"
#include "core/context.h"
#include "core/definition.h"
#include "core/firmware_area.h"
#include "core/scsi_codes.h"
#include "discovery/discovery.h"
#include "image/image.h"
#include "scsi/transport.h"
#include "sim/drives/qrd_drive.h"
#include "sim/fixtures/hex_image.h"
#include "sim/fixtures/sim_definition.h"
#include "sim_fixture.h"
#include "update/family_zero.h"
#include "update/update.h"

namespace odf {
namespace {

using sim::FaultRule;
using sim::FirmwareLayout;
using sim::Qrd570Config;
using sim::Qrd570Drive;

constexpr const char* kHexName = "QRD570.HEX";
constexpr const char* kPatchName = "G6PATCH.HEX";
constexpr const char* kLoaded = "\r\nF/W file load success.";
constexpr const char* kPatchLoaded = "\r\nG6 Patch load success.";
constexpr const char* kUpdating =
    "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.\r\n";
constexpr const char* kSuccess = "\nSuccess to update the firmware.";

void PutText(std::uint8_t* field, std::size_t width, const std::string& text) {
  std::memset(field, ' ', width);
  std::memcpy(field, text.data(), std::min(width, text.size()));
}

// The definition a QRD-570 with the default firmware area fits.
UpdateDefinition QrdDefinition(std::int32_t family = 1, std::uint32_t imageSize = 0x20000) {
  UpdateDefinition d{};
  std::snprintf(d.fileName, sizeof d.fileName, "%s", kHexName);
  PutText(d.modelCode, 16, "KESTREL QRD-570 ");
  PutText(d.vendor, 8, "KESTREL ");
  PutText(d.product, 16, "DVD-ROM QRD-570 ");
  PutText(d.versionText, 4, "1.07");
  PutText(d.cpuType, 8, "MN103S");
  PutText(d.extension, 3, "HEX");
  d.imageSize = imageSize;
  d.familyCode = family;
  return d;
}

// The firmware layout a drive of the family carries.
FirmwareLayout LayoutFor(std::int32_t family) {
  switch (family) {
    case 8: return FirmwareLayout::Text1010;
    case 9: return FirmwareLayout::IdentA;
    case 10: return FirmwareLayout::Text1C000;
    case 11: return FirmwareLayout::IdentB;
    default: return FirmwareLayout::Text1000;
  }
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::string Countdown(int from) {
  std::string text = "\n";
  for (int s = from; s >= 0; --s) {
    char line[40];
    std::snprintf(line, sizeof line, "\rRemaining time is %02dsec", s);
    text += line;
  }
  return text;
}

// One PC with one QRD-570, the definition as the table's only entry, the
// HEX image and the patch as files, and discovery done.
struct ZeroBench {
  sim::SimPc pc;
  Context ctx{pc};
  std::shared_ptr<Qrd570Drive> drive;
  UpdateDefinition definition;
  std::vector<std::uint8_t> image;  // what the HEX file decodes to

  explicit ZeroBench(Qrd570Config config = {}, UpdateDefinition def = QrdDefinition(), bool aspi = false)
      : drive(std::make_shared<Qrd570Drive>(std::move(config))), definition(def) {
    sim::PcBuilder(testing::RouteOf(aspi)).Drive(drive).Build(pc);
  }

  void Start(bool withImage = true, bool withPatch = true) {
    UpdateDefinition content = definition;
    content.imageSize = std::min<std::uint32_t>(definition.imageSize, sim::kHexTextLimit);
    image = sim::MakeFamilyZeroImage(content);
    image.resize(definition.imageSize, 0xFF);
    if (withImage) pc.AddFile(kHexName, Bytes(sim::HexText(image)));
    if (withPatch) pc.AddFile(kPatchName, Bytes(sim::HexText(sim::MakePatchBlock(), sim::kPatchBlockOffset)));
    ctx.run.oemCodePage = pc.GetOEMCP();
    ResetRunState(ctx);
    ctx.definitions = DefinitionTable{};
    ctx.definitions.entries[0] = definition;
    ctx.definitions.definitionCount = 1;
    ASSERT_NO_FATAL_FAILURE(testing::RunHostChecks(ctx));
    ASSERT_EQ(DiscoverTargets(ctx), 1);
    ctx.run.currentTarget = 0;
    drive->log.clear();
    pc.ClearConsole();
  }

  int Count(std::uint8_t opcode, int buffer = -1, int length = -1) const {
    int n = 0;
    for (const auto& r : drive->log) {
      n += r.cdb[0] == opcode && (buffer < 0 || r.cdb[2] == buffer) &&
                   (length < 0 || static_cast<int>(r.length) == length)
               ? 1
               : 0;
    }
    return n;
  }
  std::vector<std::string> BoxTexts() const { return testing::BoxTexts(pc); }
  bool ConsoleHas(const std::string& text) const { return testing::ConsoleHas(pc, text); }
};

FaultRule Fault(std::uint8_t opcode, int occurrence, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq,
                std::optional<std::uint8_t> buffer = std::nullopt) {
  return testing::SenseFault(opcode, occurrence, key, asc, ascq, buffer ? std::optional<std::uint8_t>(1) : std::nullopt,
                             buffer);
}

// ---- the whole procedure ------------------------------------------------------

TEST(FamilyZero, UpdatesAndVerifiesOnBothRoutesWithAndWithoutThePatch) {
  struct Case {
    const char* name;
    bool aspi;
    const char* revision;
    const char* marker;
    int countdownFrom;  // pass-through: the flash's own 8 s count
  };
  const Case cases[] = {
      {"pass-through", false, "1.05", "WIN ", 21},
      {"pass-through, G6", false, "1.06", "WIN ", 21},
      {"aspi", true, "1.05", "WIN2", 29},
      {"aspi, G6", true, "1.06", "WIN ", 29},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Qrd570Config config;
    config.revision = c.revision;
    ZeroBench b(config, QrdDefinition(), c.aspi);
    ASSERT_NO_FATAL_FAILURE(b.Start());
    const bool g6 = std::string(c.revision) == "1.06";

    EXPECT_EQ(FamilyZeroUpdate(b.ctx), 0);

    const std::string model = "KESTREL DVD-ROM QRD-570  " + std::string(c.revision) + " ";
    const std::string expected = std::string(kLoaded) + "\nCurrent Revision>> " + model + " 03/06/12" +
                                 (g6 ? kPatchLoaded : "") + kLoaded + kUpdating + Countdown(c.countdownFrom) +
                                 "\nNew Revision    >> " + model + " 03/06/12  " + kSuccess;
    EXPECT_EQ(b.pc.Console(), expected);
    EXPECT_TRUE(b.pc.Boxes().empty());  // no question in this family
    EXPECT_EQ(b.drive->flashCount(), 1);
    EXPECT_FALSE(b.drive->inUpdateMode());
    EXPECT_EQ(b.drive->firmwareArea(), b.image);
    EXPECT_EQ(b.drive->marker(), c.marker);
    // The 12 bytes after the marker are what the buffer holds past the
    // image: the patch block's, once the patch was loaded.
    const std::vector<std::uint8_t> tail(b.drive->closingTail().begin() + 4, b.drive->closingTail().end());
    const auto patch = sim::MakePatchBlock();
    const std::vector<std::uint8_t> expectedTail =
        g6 ? std::vector<std::uint8_t>(patch.begin() + 4, patch.begin() + 16) : std::vector<std::uint8_t>(12, 0);
    EXPECT_EQ(tail, expectedTail);
    // Read back before and after: 4 blocks of 32 KiB each time.
    EXPECT_EQ(b.Count(kOpReadBuffer, kBufferFirmwareArea, 0x8000), 8);
  }
}

// A signal during the flash's countdown, on both routes: the drive is
// flashed, verified and read back all the same; the signal is only recorded.
TEST(FamilyZero, AnInterruptionDuringTheFlashIsHeldUntilTheRevisionIsRead) {
  for (const bool aspi : {false, true}) {
    SCOPED_TRACE(aspi ? "aspi" : "pass-through");
    ZeroBench b({}, QrdDefinition(), aspi);
    ASSERT_NO_FATAL_FAILURE(b.Start());
    // The update window (the system kept awake) spans the same stretch:
    // from the switch into update mode to the revision read back.
    std::vector<std::pair<EXECUTION_STATE, std::size_t>> window;
    b.pc.executionStateSink = [&](const sim::ExecutionStateRecord& r) { window.emplace_back(r.flags, b.drive->log.size()); };
    b.pc.consoleSink = [&](const std::string& bytes) {
      if (bytes.find("Remaining time") != std::string::npos) b.pc.Interrupt(SIGTERM);
      if (bytes.find("New Revision") != std::string::npos) {
        EXPECT_TRUE(b.pc.HandlerIn());
      }
    };

    EXPECT_EQ(FamilyZeroUpdate(b.ctx), 0);
    ASSERT_EQ(window.size(), 2u);
    EXPECT_EQ(window[0].first, ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    EXPECT_EQ(window[1].first, ES_CONTINUOUS);
    EXPECT_EQ(b.drive->log.at(window[0].second).cdb[0], 0x3B) << "the switch into update mode";
    EXPECT_EQ(b.drive->log.at(window[1].second - 1).cdb[0], 0x12);
    EXPECT_EQ(b.pc.GetInterruption(), SIGTERM);
    EXPECT_EQ(b.pc.EndedBy(), 0);
    EXPECT_FALSE(b.pc.HandlerIn());
    EXPECT_EQ(b.drive->flashCount(), 1);
    EXPECT_FALSE(b.drive->inUpdateMode());
    EXPECT_EQ(b.drive->firmwareArea(), b.image);
    EXPECT_TRUE(b.ConsoleHas(kSuccess));
  }
}

TEST(FamilyZero, SecondRunFindsTheDriveCurrentUpToFamilySeven) {
  struct Case {
    std::int32_t family;
    int secondResult;
    int blocksRead;  // 32 KiB read-backs in the second run
  };
  const Case cases[] = {{1, 1, 4}, {7, 1, 4}, {8, 0, 0}, {10, 0, 0}, {11, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE("family " + std::to_string(c.family));
    Qrd570Config config;
    config.layout = LayoutFor(c.family);
    ZeroBench b(config, QrdDefinition(c.family));
    ASSERT_NO_FATAL_FAILURE(b.Start());
    ASSERT_EQ(FamilyZeroUpdate(b.ctx), 0);
    ASSERT_EQ(b.drive->firmwareArea(), b.image);
    b.drive->log.clear();
    b.pc.ClearConsole();

    EXPECT_EQ(FamilyZeroUpdate(b.ctx), c.secondResult);
    EXPECT_EQ(b.Count(kOpReadBuffer, kBufferFirmwareArea, 0x8000), c.blocksRead);
    if (c.secondResult == 1) {
      EXPECT_EQ(b.Count(kOpWriteBuffer), 0);
      EXPECT_EQ(b.BoxTexts(), std::vector<std::string>{"\nFW is already latest version."});
      EXPECT_EQ(b.drive->flashCount(), 1);
    } else {
      EXPECT_EQ(b.drive->flashCount(), 2);
    }
  }
}

// An image smaller than the read-back area is verified over its own bytes:
// the update succeeds, and a second run finds the drive current.
TEST(FamilyZero, AnImageSmallerThanTheVerifiedAreaIsVerifiedOverItsOwnBytes) {
  for (const std::uint32_t size : {0x10000u, 0x9000u}) {
    SCOPED_TRACE(size);
    ZeroBench b({}, QrdDefinition(1, size));
    ASSERT_NO_FATAL_FAILURE(b.Start());
    ASSERT_EQ(FamilyZeroUpdate(b.ctx), 0) << b.pc.Console();
    EXPECT_FALSE(b.ConsoleHas("Verify error"));
    b.pc.ClearConsole();
    EXPECT_EQ(FamilyZeroUpdate(b.ctx), 1);
    EXPECT_EQ(b.drive->flashCount(), 1);
    EXPECT_EQ(b.BoxTexts(), std::vector<std::string>{"\nFW is already latest version."});
  }
}

TEST(FamilyZero, AlreadyCurrentShowsOnTheConsoleOnlyWhenAllDrivesWereConfirmed) {
  ZeroBench b;
  ASSERT_NO_FATAL_FAILURE(b.Start());
  ASSERT_EQ(FamilyZeroUpdate(b.ctx), 0);
  b.pc.ClearConsole();
  b.ctx.run.updateAll = 1;
  EXPECT_EQ(FamilyZeroUpdate(b.ctx), 1);
  EXPECT_TRUE(b.pc.Boxes().empty());
  EXPECT_TRUE(b.ConsoleHas("\nFW is already latest version."));
}

// Two drives: once "update all" is declined, each drive is asked for, and a
// drive the user declines is left as it was; "update all" asks no more.
TEST(FamilyZero, SeveralDrivesAreAskedForOneByOneAfterUpdateAllIsDeclined) {
  struct Case {
    const char* name;
    std::vector<int> answers;  // update all?, then drive 1, drive 2 (when asked)
    std::vector<bool> flashed;
    std::size_t questions;
  };
  const Case cases[] = {
      {"all", {IDYES}, {true, true}, 1},
      {"not all, the second only", {IDNO, IDNO, IDYES}, {false, true}, 3},
      {"not all, neither", {IDNO, IDNO, IDNO}, {false, false}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc pc;
    const UpdateDefinition definition = QrdDefinition();
    const std::vector<std::uint8_t> image = sim::MakeFamilyZeroImage(definition);
    pc.AddFile(kHexName, Bytes(sim::HexText(image)));
    std::vector<std::shared_ptr<Qrd570Drive>> drives{std::make_shared<Qrd570Drive>(),
                                                     std::make_shared<Qrd570Drive>()};
    sim::PcBuilder builder;
    for (const auto& d : drives) builder.Drive(d);
    builder.Build(pc);
    for (int a : c.answers) pc.QueueAnswer(a);
    RunSteps steps = DefaultRunSteps();
    steps.loadDefinitions = sim::DefinitionLoader({definition});
    Context ctx(pc);

    EXPECT_EQ(RunUpdate(ctx, steps), 0);

    const std::vector<std::string> boxes = testing::BoxTexts(pc);
    std::size_t asked = 0;
    for (const auto& text : boxes) asked += text.find("Do you want to update") != std::string::npos ? 1 : 0;
    EXPECT_EQ(asked, c.questions) << pc.Console();
    for (std::size_t i = 0; i < drives.size(); ++i) {
      EXPECT_EQ(drives[i]->flashCount(), c.flashed[i] ? 1 : 0) << "drive " << i;
      if (!c.flashed[i]) {
        EXPECT_EQ(std::count_if(drives[i]->log.begin(), drives[i]->log.end(),
                                [](const auto& r) { return r.cdb[0] == kOpWriteBuffer; }),
                  0);
      }
    }
    if (c.questions > 1) {
      EXPECT_EQ(boxes[1].rfind("\r\nDo you want to update ID=0 drive to Ver1.07 ?", 0), 0u) << boxes[1];
    }
  }
}

TEST(FamilyZero, FailuresEndTheDriveOrTheRun) {
  struct Case {
    const char* name;
    std::vector<FaultRule> faults;
    bool withImage, withPatch;
    const char* revision;
    int result;
    const char* consoleEnd;      // the console ends with it
    std::vector<std::string> boxes;
    int writes;                  // WRITE BUFFER commands sent
    bool leftInUpdateMode;
  };
  const Case cases[] = {
      {"inquiry refused", {Fault(kOpInquiry, 1, 5, 0x24, 0)}, true, true, "1.05", 1,
       "\nFailed to execute Inquiry Command.", {"\nFailed to execute Inquiry Command."}, 0, false},
      {"firmware area unreadable", {Fault(kOpReadBuffer, 1, 5, 0x24, 0)}, true, true, "1.05", 1,
       "\r\nError Code : 052400\nFailed to get a drive information.", {"\nFailed to get a drive information."}, 0,
       false},
      {"no HEX file", {}, false, true, "1.05", -1, "\r\nFailed to load HEX file.", {}, 0, false},
      {"no patch file for a G6 drive", {}, true, false, "1.06", -1, "\r\nFailed to load Patch file.", {}, 0, false},
      {"update mode refused", {Fault(kOpWriteBuffer, 1, 5, 0x20, 0, kBufferUpdateMode)}, true, true, "1.05", -1,
       "\r\nFailed to move to the update mode.", {}, 1, false},
      {"a block refused", {Fault(kOpWriteBuffer, 2, 4, 0x44, 0, kBufferModeSwitch)}, true, true, "1.05", -1,
       "\nSense Code : 04-44-00\r\nFailed to transfer the FW code.", {}, 4, true},
      {"flash refused", {Fault(kOpWriteBuffer, 1, 4, 0x44, 0, kBufferFlashStart)}, true, true, "1.05", -1,
       "\r\nFailed to update FW.", {}, 8, true},
      {"read-back after the flash fails", {Fault(kOpReadBuffer, 6, 5, 0x24, 0)}, true, true, "1.05", -1,
       "\r\nVerify error occured.", {}, 8, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Qrd570Config config;
    config.revision = c.revision;
    ZeroBench b(config);
    ASSERT_NO_FATAL_FAILURE(b.Start(c.withImage, c.withPatch));
    for (const auto& f : c.faults) b.drive->AddFault(f);

    EXPECT_EQ(FamilyZeroUpdate(b.ctx), c.result);
    const std::string& console = b.pc.Console();
    const std::string end = c.consoleEnd;
    ASSERT_GE(console.size(), end.size()) << console;
    EXPECT_EQ(console.substr(console.size() - end.size()), end) << console;
    EXPECT_EQ(b.BoxTexts(), c.boxes);
    EXPECT_EQ(b.Count(kOpWriteBuffer), c.writes);
    EXPECT_EQ(b.drive->inUpdateMode(), c.leftInUpdateMode);
    if (c.result != 0 && c.writes < 8) {
      EXPECT_EQ(b.drive->flashCount(), 0);
    }
  }
}

// A damaged image or patch file is reported with its line and reason, then
// with the load-failure message, and the drive is left alone.
TEST(FamilyZero, DamagedHexFilesAreNeverFlashed) {
  struct Case {
    const char* name;
    const char* revision;  // 1.06 needs the patch
    const char* file;
    std::string (*damage)(std::string);
    std::string consoleEnd;
  };
  const Case cases[] = {
      {"image cut after its first 300 lines", "1.05", kHexName,
       [](std::string text) {
         std::size_t end = 0;
         for (int line = 0; line < 300; ++line) end = text.find('\n', end) + 1;
         return text.substr(0, end);
       },
       "\r\nQRD570.HEX line 301: the file ends without its end record.\r\nFailed to load HEX file."},
      {"junk after an image record", "1.05", kHexName,
       [](std::string text) { return text.insert(text.find("\r\n", text.find('\n')), "x"); },
       "\r\nQRD570.HEX line 2: text follows the record's checksum.\r\nFailed to load HEX file."},
      {"empty patch file", "1.06", kPatchName, [](std::string) { return std::string(); },
       "\r\nG6PATCH.HEX line 1: the file ends without its end record.\r\nFailed to load Patch file."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Qrd570Config config;
    config.revision = c.revision;
    ZeroBench b(config);
    ASSERT_NO_FATAL_FAILURE(b.Start());
    const std::string sound = c.file == kHexName ? sim::HexText(b.image)
                                                 : sim::HexText(sim::MakePatchBlock(), sim::kPatchBlockOffset);
    b.pc.AddFile(c.file, Bytes(c.damage(sound)));
    const auto before = b.drive->firmwareArea();

    EXPECT_EQ(FamilyZeroUpdate(b.ctx), -1);
    const std::string& console = b.pc.Console();
    ASSERT_GE(console.size(), c.consoleEnd.size()) << console;
    EXPECT_EQ(console.substr(console.size() - c.consoleEnd.size()), c.consoleEnd) << console;
    EXPECT_EQ(b.Count(kOpWriteBuffer), 0);
    EXPECT_EQ(b.drive->flashCount(), 0);
    EXPECT_EQ(b.drive->firmwareArea(), before);
  }
}

// A drive asked into update mode leaves it only by a restart. When the
// program cannot know that it left (the switch failed after the drive took
// it, or the flash command never came back and the read-back differs), the
// run must end as a failure rather than go on to the next drive and exit 0.
TEST(FamilyZero, ADrivePossiblyLeftInUpdateModeEndsTheRun) {
  const auto taken = [](FaultRule rule) {
    rule.executed = true;
    return rule;
  };
  FaultRule switchTimesOut = Fault(kOpWriteBuffer, 1, 0, 0, 0, kBufferUpdateMode);
  switchTimesOut.action = sim::FaultAction::Timeout;
  FaultRule flashNeverAnswers = Fault(kOpWriteBuffer, 1, 0, 0, 0, kBufferFlashStart);
  flashNeverAnswers.action = sim::FaultAction::Timeout;
  struct Case {
    const char* name;
    bool aspi;
    FaultRule fault;
    const char* consoleEnd;
    std::int32_t family = 1;
  };
  const Case cases[] = {
      {"switch taken, then a unit attention", false, taken(Fault(kOpWriteBuffer, 1, 6, 0x29, 0, kBufferUpdateMode)),
       "\r\nFailed to move to the update mode."},
      {"switch taken, then no answer", true, taken(switchTimesOut), "\r\nFailed to move to the update mode."},
      // The pending flash start is only polled: the count runs out, and the
      // read-back finds the old firmware.
      {"flash start never answers", true, flashNeverAnswers, "\r\nVerify error occured."},
      // Family 8 has no read-back: the command still pending after the
      // count is all that shows the drive has not flashed.
      {"flash start never answers, family 8", true, flashNeverAnswers, "\r\nFailed to update FW.", 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Qrd570Config config;
    config.layout = LayoutFor(c.family);
    ZeroBench b(config, QrdDefinition(c.family), c.aspi);
    ASSERT_NO_FATAL_FAILURE(b.Start());
    b.drive->AddFault(c.fault);

    EXPECT_EQ(FamilyZeroUpdate(b.ctx), -1);
    const std::string& console = b.pc.Console();
    const std::string end = c.consoleEnd;
    ASSERT_GE(console.size(), end.size()) << console;
    EXPECT_EQ(console.substr(console.size() - end.size()), end) << console;
    EXPECT_TRUE(b.drive->inUpdateMode());
    EXPECT_EQ(b.drive->flashCount(), 0);
    EXPECT_FALSE(b.ConsoleHas(kSuccess));
  }
}

TEST(FamilyZero, RefusedChecksSendNothing) {
  struct Case {
    const char* name;
    const char* revision;
    std::string modelCode;
    int result;
    const char* message;
  };
  const Case cases[] = {
      {"drive already at the version", "1.07", "KESTREL QRD-570 ", 1, "\nFW is already latest version."},
      {"other model code in the drive", "1.05", "KESTREL QRD-571 ", -1, "\nModel code is not matched."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Qrd570Config config;
    config.revision = c.revision;
    config.modelCode = c.modelCode;
    ZeroBench b(config);
    ASSERT_NO_FATAL_FAILURE(b.Start());
    EXPECT_EQ(FamilyZeroUpdate(b.ctx), c.result);
    EXPECT_TRUE(b.ConsoleHas(c.message));
    EXPECT_EQ(b.Count(kOpWriteBuffer), 0);
    EXPECT_EQ(b.Count(kOpReadBuffer, kBufferFirmwareArea, 0x8000), 0);
  }
}

TEST(FamilyZero, UnrecognisedFirmwareAreaLeavesTheDriveAlone) {
  Qrd570Config config;
  config.layout = FirmwareLayout::None;
  ZeroBench b(config);
  ASSERT_NO_FATAL_FAILURE(b.Start());
  EXPECT_EQ(FamilyZeroUpdate(b.ctx), 1);
  EXPECT_EQ(std::string(b.ctx.firmware.driveModelCode.begin(), b.ctx.firmware.driveModelCode.end()),
            "Not recognize   ");
  EXPECT_EQ(std::string(b.ctx.firmware.driveCpuType.begin(), b.ctx.firmware.driveCpuType.end()),
            "Not recognize   ");
  EXPECT_EQ(b.pc.Console(), "\r\nError Code : 000000\nFailed to get a drive information.");
  EXPECT_EQ(b.Count(kOpWriteBuffer), 0);
}

TEST(FamilyZero, ImageThatCannotBeSentIsRefusedBeforeUpdateMode) {
  // On the ASPI route the image buffer holds 2 MiB: a 2 MiB image loads, but
  // its marker would go past the buffer's end. Family 8 skips the read-back.
  Qrd570Config config;
  config.layout = FirmwareLayout::Text1010;
  ZeroBench b(config, QrdDefinition(8, 0x200000), true);
  ASSERT_NO_FATAL_FAILURE(b.Start());
  EXPECT_EQ(FamilyZeroUpdate(b.ctx), -1);
  EXPECT_TRUE(b.ConsoleHas("needs 200010 bytes of buffer"));
  EXPECT_TRUE(b.ConsoleHas("\r\nFailed to transfer the FW code."));
  EXPECT_EQ(b.Count(kOpWriteBuffer), 0);
  EXPECT_FALSE(b.drive->inUpdateMode());
}

// ---- identification -----------------------------------------------------------

TEST(FamilyZero, IdentifyFirmwareFindsEachPlace) {
  struct Case {
    const char* name;
    FirmwareLayout layout;
    std::vector<std::uint8_t> model, cpu;
    int reads;
  };
  const auto text = [](const char* t) {
    std::vector<std::uint8_t> v(16, ' ');
    std::memcpy(v.data(), t, std::strlen(t));
    return v;
  };
  const std::vector<std::uint8_t> cpuIdent(kCpuIdent.begin(), kCpuIdent.end());
  const Case cases[] = {
      {"text at 0x1000", FirmwareLayout::Text1000, text("KESTREL QRD-570"), text("MN103S"), 1},
      {"text at 0x1010", FirmwareLayout::Text1010, text("KESTREL QRD-570"), text("MN103S"), 1},
      {"text at 0x1C010", FirmwareLayout::Text1C000, text("KESTREL QRD-570"), text("MN103S"), 2},
      {"identA", FirmwareLayout::IdentA, {kIdentA.begin(), kIdentA.end()}, cpuIdent, 3},
      {"identB", FirmwareLayout::IdentB, {kIdentB.begin(), kIdentB.end()}, cpuIdent, 3},
      {"identC", FirmwareLayout::IdentC, {kIdentC.begin(), kIdentC.end()}, cpuIdent, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Qrd570Config config;
    config.layout = c.layout;
    ZeroBench b(config);
    ASSERT_NO_FATAL_FAILURE(b.Start());
    testing::SetPolicyTarget(b.ctx, 0);
    EXPECT_EQ(IdentifyFirmware(b.ctx), 0);
    const auto& id = b.ctx.firmware;
    EXPECT_EQ(std::vector<std::uint8_t>(id.driveModelCode.begin(), id.driveModelCode.end()), c.model);
    EXPECT_EQ(std::vector<std::uint8_t>(id.driveCpuType.begin(), id.driveCpuType.end()), c.cpu);
    EXPECT_EQ(b.Count(kOpReadBuffer, kBufferFirmwareArea), c.reads);
    EXPECT_EQ(b.pc.Console(), "");
  }
}

TEST(FamilyZero, IdentifyFirmwareReportsAFailedReadWithItsSense) {
  Qrd570Config config;
  config.layout = FirmwareLayout::IdentB;
  ZeroBench b(config);
  ASSERT_NO_FATAL_FAILURE(b.Start());
  b.drive->AddFault(Fault(kOpReadBuffer, 3, 3, 0x11, 0x05));
  EXPECT_EQ(IdentifyFirmware(b.ctx), -1);
  EXPECT_EQ(b.pc.Console(), "\r\nError Code : 031105");
}

// ---- the checks ---------------------------------------------------------------

// The checks on a hand-set drive and image: no PC commands are needed.
class CheckTest : public testing::SimFixture {
 public:
  using SimFixture::ctx;
  using SimFixture::pc;
  std::vector<std::uint8_t> imageBytes = std::vector<std::uint8_t>(0x40000, 0xEE);

  // A drive and an image that pass every check of `family`.
  void Prepare(std::int32_t family) {
    ctx.matchedDefinition = QrdDefinition(family);
    ctx.host.imageBuffer = SharedBuffer{0, imageBytes.data(), imageBytes.size()};
    PutText(ctx.inquiry.data() + 8, 8, "KESTREL ");
    PutText(ctx.inquiry.data() + 16, 16, "DVD-ROM QRD-570 ");
    ctx.revision.revisionNumber = 0x105;
    const auto image = sim::MakeFamilyZeroImage(ctx.matchedDefinition);
    std::copy(image.begin(), image.end(), imageBytes.begin());
    const bool binary = IsBinaryFamily(family);
    const FirmwareCode model = binary ? BinaryModelFor(family) : Text("KESTREL QRD-570");
    ctx.firmware.driveModelCode = model;
    ctx.firmware.driveCpuType = binary ? kCpuIdent : Text("MN103S");
    ctx.run.newRevisionNumber = 0x9999;
  }
  static FirmwareCode Text(const char* t) {
    FirmwareCode code;
    code.fill(' ');
    std::memcpy(code.data(), t, std::strlen(t));
    return code;
  }
};

TEST_F(CheckTest, EachFamilyPassesWithItsOwnPlaces) {
  for (std::int32_t family : {0, 1, 7, 8, 9, 10, 11, 0x0123}) {
    SCOPED_TRACE("family " + std::to_string(family));
    pc.ClearConsole();
    Prepare(family);
    EXPECT_EQ(CheckFamilyZeroImage(ctx), 0);
    EXPECT_EQ(pc.Console(), "");
    EXPECT_EQ(ctx.run.newRevisionNumber, 0x107);
  }
}

TEST_F(CheckTest, EachCheckRefusesWithItsMessageAndValue) {
  struct Case {
    const char* name;
    std::int32_t family;
    void (*spoil)(CheckTest&);
    int value;
    const char* message;
  };
  const Case cases[] = {
      {"other product", 1, [](CheckTest& t) { t.ctx.inquiry[31] = 'X'; }, -1,
       "\r\nCurrent Firmware is not supported by this program."},
      {"drive at the version", 1, [](CheckTest& t) { t.ctx.revision.revisionNumber = 0x107; }, 1,
       "\nFW is already latest version."},
      {"drive above the version", 1, [](CheckTest& t) { t.ctx.revision.revisionNumber = 0x200; }, 1,
       "\nFW is already latest version."},
      {"drive model code", 1, [](CheckTest& t) { t.ctx.firmware.driveModelCode[15] = '1'; }, -1,
       "\nModel code is not matched."},
      {"family 9 drive with identB", 9, [](CheckTest& t) { t.ctx.firmware.driveModelCode = kIdentB; }, -1,
       "\nModel code is not matched."},
      {"family 11 drive with identA", 11, [](CheckTest& t) { t.ctx.firmware.driveModelCode = kIdentA; }, -1,
       "\nModel code is not matched."},
      {"drive CPU type", 1, [](CheckTest& t) { t.ctx.firmware.driveCpuType[0] = 'X'; }, -1,
       "\nCPU type is not matched."},
      {"family 10 compares 12 bytes of the CPU type", 10,
       [](CheckTest& t) { t.ctx.firmware.driveCpuType[11] = 'X'; }, -1, "\nCPU type is not matched."},
      {"family 9 CPU code", 9, [](CheckTest& t) { t.ctx.firmware.driveCpuType[15] ^= 1; }, -1,
       "\nCPU type is not matched."},
      {"image model code", 1, [](CheckTest& t) { t.imageBytes[0x100F] = 'X'; }, -1, "\nModel code is not matched."},
      {"family 8 image model code", 8, [](CheckTest& t) { t.imageBytes[0x101B] = 'X'; }, -1,
       "\nModel code is not matched."},
      {"family 10 image model code", 10, [](CheckTest& t) { t.imageBytes[0x1C010] = 'X'; }, -1,
       "\nModel code is not matched."},
      {"family 11 image model code", 11, [](CheckTest& t) { t.imageBytes[0x1F00F] ^= 1; }, -1,
       "\nModel code is not matched."},
      {"image CPU type", 1, [](CheckTest& t) { t.imageBytes[0x101F] = 'X'; }, -1,
       "\r\nSelected file is illegal fw file."},
      {"family 8 image CPU type", 8, [](CheckTest& t) { t.imageBytes[0x102B] = 'X'; }, -1,
       "\r\nSelected file is illegal fw file."},
      {"family 10 image CPU type", 10, [](CheckTest& t) { t.imageBytes[0x1C020] = 'X'; }, -1,
       "\r\nSelected file is illegal fw file."},
      {"family 9 image CPU code", 9, [](CheckTest& t) { t.imageBytes[0x1F01F] ^= 1; }, -1,
       "\r\nSelected file is illegal fw file."},
      {"image ends inside its CPU type", 1,
       [](CheckTest& t) { t.ctx.matchedDefinition.imageSize = 0x1018; }, -1,
       "\r\nSelected file is illegal fw file."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pc.ClearConsole();
    Prepare(c.family);
    c.spoil(*this);
    EXPECT_EQ(CheckFamilyZeroImage(ctx), c.value);
    EXPECT_EQ(pc.Console(), c.message);
    EXPECT_EQ(ctx.run.newRevisionNumber, 0x107);  // on the early return too

    // With the override the same check shows message 2 and lets the update go on.
    pc.ClearConsole();
    ctx.run.forceUpdate = c.value == 1 ? 1 : 0;
    ctx.run.expertOverride = c.value == -1 ? 1 : 0;
    EXPECT_EQ(CheckFamilyZeroImage(ctx), 0);
    EXPECT_EQ(pc.Console(), std::string(c.message) + "\nContinue because Force Update option is specified.");
    ctx.run.forceUpdate = ctx.run.expertOverride = 0;
  }
}

TEST_F(CheckTest, ComparisonsStopAtTheirWidths) {
  struct Case {
    const char* name;
    std::int32_t family;
    void (*change)(CheckTest&);
  };
  const Case cases[] = {
      {"family 8 model code beyond 12 bytes", 8, [](CheckTest& t) { t.imageBytes[0x101C] = 'X'; }},
      {"family 10 model code beyond 12 bytes", 10, [](CheckTest& t) { t.imageBytes[0x1C01C] = 'X'; }},
      {"family 8 CPU type beyond 12 bytes", 8, [](CheckTest& t) { t.imageBytes[0x102C] = 'X'; }},
      {"drive CPU type beyond its text length", 1, [](CheckTest& t) { t.ctx.firmware.driveCpuType[8] = 'X'; }},
      {"drive CPU type beyond a shorter text", 1,
       [](CheckTest& t) {
         std::memcpy(t.ctx.matchedDefinition.cpuType, "MN10\0\0\0\0", 8);
         t.ctx.firmware.driveCpuType[5] = 'X';
         std::memcpy(t.imageBytes.data() + 0x1010, "MN10\0\0\0\0        ", 16);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pc.ClearConsole();
    Prepare(c.family);
    c.change(*this);
    EXPECT_EQ(CheckFamilyZeroImage(ctx), 0);
    EXPECT_EQ(pc.Console(), "");
  }
}

// ---- the transfer ---------------------------------------------------------------

struct Block {
  std::uint32_t offset;
  std::uint32_t length;
  bool operator==(const Block&) const = default;
};

std::vector<Block> SentBlocks(const Qrd570Drive& drive) {
  std::vector<Block> blocks;
  for (const auto& r : drive.log) {
    if (r.cdb[0] != kOpWriteBuffer || r.cdb[2] != kBufferModeSwitch) continue;
    blocks.push_back({static_cast<std::uint32_t>(r.cdb[3] << 16 | r.cdb[4] << 8 | r.cdb[5]),
                      static_cast<std::uint32_t>(r.cdb[7] << 8 | r.cdb[8])});
  }
  return blocks;
}

TEST(FamilyZeroTransfer, FullBlocksThenTheLastFourKibWithTheMarker) {
  struct Case {
    std::uint32_t imageSize;
    std::vector<Block> blocks;
  };
  const Case cases[] = {
      {0x20000, {{0, 0x8000}, {0x8000, 0x8000}, {0x10000, 0x8000}, {0x18000, 0x8000}, {0x1F000, 0x1010}}},
      {0x21000, {{0, 0x8000}, {0x8000, 0x8000}, {0x10000, 0x8000}, {0x18000, 0x8000}, {0x20000, 0x1010}}},
      {0x21001, {{0, 0x8000}, {0x8000, 0x8000}, {0x10000, 0x8000}, {0x18000, 0x8000}, {0x20000, 0x8000},
                 {0x20001, 0x1010}}},
      {0x9000, {{0, 0x8000}, {0x8000, 0x1010}}},
      {0x1000, {{0, 0x8000}, {0, 0x1010}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.imageSize);
    ZeroBench b({}, QrdDefinition(1, c.imageSize));
    ASSERT_NO_FATAL_FAILURE(b.Start());
    b.ctx.matchedDefinition = b.definition;
    testing::SetPolicyTarget(b.ctx, 0);
    std::vector<std::uint8_t> image(c.imageSize);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
    std::copy(image.begin(), image.end(), b.ctx.host.imageBuffer.data);
    std::memcpy(b.ctx.host.imageBuffer.data + c.imageSize + 4, "twelve bytes", 12);

    EXPECT_EQ(WriteUpdateImage(b.ctx), 0);
    EXPECT_EQ(SentBlocks(*b.drive), c.blocks);
    EXPECT_EQ(b.Count(kOpWriteBuffer, kBufferUpdateMode), 1);
    EXPECT_EQ(std::vector<std::uint8_t>(b.drive->received().begin(), b.drive->received().begin() + c.imageSize),
              image);
    const auto& tail = b.drive->closingTail();
    EXPECT_EQ(std::string(tail.begin(), tail.end()), "WIN twelve bytes");
    for (const auto& r : b.drive->log) EXPECT_EQ(r.timeoutSeconds, 1u);  // the update mode's 1000 ms
  }
}

TEST(FamilyZeroTransfer, MarkerByDriverRouteAndPatch) {
  struct Case {
    bool aspi;
    int intelDriverKind;
    int g6;
    const char* marker;
  };
  const Case cases[] = {
      {false, 0, 0, "WIN "}, {true, 0, 0, "WIN2"}, {false, 0, 1, "WIN "}, {true, 0, 1, "WIN "},
      {false, 1, 1, "WIN2"}, {true, 1, 0, "WIN2"}, {false, 2, 0, "WIN "}, {true, 2, 0, "WIN2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.aspi ? "aspi" : "pt") + " intel " + std::to_string(c.intelDriverKind) + " g6 " +
                 std::to_string(c.g6));
    ZeroBench b({}, QrdDefinition(), c.aspi);
    ASSERT_NO_FATAL_FAILURE(b.Start());
    b.ctx.matchedDefinition = b.definition;
    testing::SetPolicyTarget(b.ctx, 0);
    testing::SetIntelDriver(b.ctx, c.intelDriverKind);
    b.ctx.revision.g6PatchNeeded = c.g6;
    EXPECT_EQ(WriteUpdateImage(b.ctx), 0);
    EXPECT_EQ(b.drive->marker(), c.marker);
  }
}

TEST(FamilyZeroTransfer, SizesTheBufferCannotCarryAreRefusedBeforeAnythingIsSent) {
  struct Case {
    std::uint32_t imageSize;
    std::size_t bufferSize;
    int result;
    const char* line;
  };
  const Case cases[] = {
      {0xFFF, 0x200000, -1, "\r\nAn image of 4095 bytes is too small to be sent (4096 at least)."},
      {0, 0x200000, -1, "\r\nAn image of 0 bytes is too small to be sent (4096 at least)."},
      {0x1000, 0x8000, 0, ""},
      {0x200000, 0x200000, -1, "\r\nSending an image of 200000 bytes needs 200010 bytes of buffer, more than it holds."},
      {0x1FFFF0, 0x200000, 0, ""},
      {0x1FFFF1, 0x200000, -1, "\r\nSending an image of 1ffff1 bytes needs 200001 bytes of buffer, more than it holds."},
      // The last full block would reach past a buffer that is not a whole number of blocks.
      {0x23000, 0x24000, -1, "\r\nSending an image of 23000 bytes needs 28000 bytes of buffer, more than it holds."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.imageSize);
    ZeroBench b;
    ASSERT_NO_FATAL_FAILURE(b.Start());
    testing::SetPolicyTarget(b.ctx, 0);
    b.ctx.matchedDefinition = QrdDefinition(1, c.imageSize);
    std::vector<std::uint8_t> buffer(c.bufferSize);
    b.ctx.host.imageBuffer = SharedBuffer{0, buffer.data(), buffer.size()};
    if (c.result != 0) {
      EXPECT_EQ(WriteUpdateImage(b.ctx), c.result);
      EXPECT_EQ(b.Count(kOpWriteBuffer), 0);
    }
    EXPECT_EQ(CheckTransferSize(b.ctx), c.result);
    EXPECT_EQ(b.pc.Console(), c.result != 0 ? std::string(c.line) + c.line : std::string());
  }
}

// ---- flash and countdown ----------------------------------------------------------

TEST(FamilyZeroFlash, CountdownByRouteAndFamily) {
  struct Case {
    const char* name;
    bool aspi;
    std::int32_t family;
    std::uint32_t flashMs;
    int from;               // first second shown
    std::uint64_t seconds;  // whole seconds from the flash start to the end of the count
    std::uint32_t timeoutSeconds;
    int result = 0;
  };
  const Case cases[] = {
      {"aspi, drive done at once", true, 1, 1, 29, 30, 0},
      {"aspi, drive takes 8 s", true, 1, 8000, 29, 30, 0},
      // The read-back after the count decides.
      {"aspi, drive takes longer than the count", true, 1, 45000, 29, 30, 0},
      // No read-back follows: a flash not seen to end is a failed one.
      {"aspi, family 8, drive takes longer than the count", true, 8, 45000, 29, 30, 0, StatusCode(CommandResult::WaitRanOut)},
      {"aspi, family 8, drive takes 8 s", true, 8, 8000, 29, 30, 0},
      {"aspi, family 9", true, 9, 8000, 29, 30, 0},
      {"pass-through, drive done at once", false, 1, 1, 29, 30, 30},
      {"pass-through, drive takes 8 s", false, 1, 8000, 21, 30, 30},
      {"pass-through, family 11", false, 11, 8000, 1, 10, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Qrd570Config config;
    config.flashMs = c.flashMs;
    ZeroBench b(config, QrdDefinition(c.family), c.aspi);
    ASSERT_NO_FATAL_FAILURE(b.Start());
    b.ctx.matchedDefinition = b.definition;
    testing::SetPolicyTarget(b.ctx, 0);
    ASSERT_EQ(WriteUpdateImage(b.ctx), 0);
    b.pc.ClearConsole();
    const std::uint64_t start = b.pc.NowMs();

    EXPECT_EQ(StartFlashAndWait(b.ctx), c.result);
    EXPECT_EQ(b.pc.Console(), Countdown(c.from));
    const std::uint64_t took = b.pc.NowMs() - start;
    EXPECT_GE(took, c.seconds * 1000);
    EXPECT_LT(took, c.seconds * 1000 + 500);
    EXPECT_EQ(b.drive->flashCount(), 1);
    EXPECT_EQ(b.pc.TimerPeriodBalance(), 0);
    const auto& flash = b.drive->log.back();
    EXPECT_EQ(flash.cdb[2], kBufferFlashStart);
    if (c.aspi) {
      EXPECT_FALSE(flash.polled);  // left pending, then polled through its event
    } else {
      EXPECT_EQ(flash.timeoutSeconds, c.timeoutSeconds);
    }
  }
}

TEST(FamilyZeroFlash, AFlashTheDriveRefusesIsAFailureOnBothRoutes) {
  struct Case {
    bool aspi;
    int status;
    std::string console;
  };
  // The ASPI command was only submitted when it returned: its failure shows
  // at the poll, and the count still runs its 30 seconds.
  const Case cases[] = {{false, 2, ""}, {true, -1, Countdown(29)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.aspi ? "aspi" : "pass-through");
    ZeroBench b({}, QrdDefinition(), c.aspi);
    ASSERT_NO_FATAL_FAILURE(b.Start());
    b.ctx.matchedDefinition = b.definition;
    testing::SetPolicyTarget(b.ctx, 0);
    b.drive->AddFault(Fault(kOpWriteBuffer, 1, 4, 0x44, 0, kBufferFlashStart));
    EXPECT_EQ(StartFlashAndWait(b.ctx), c.status);
    EXPECT_EQ(b.pc.Console(), c.console);
    EXPECT_EQ(b.pc.TimerPeriodBalance(), 0);
  }
}

// ---- read-back ------------------------------------------------------------------

TEST(FamilyZeroVerify, MismatchResultsByPlace) {
  struct Case {
    const char* name;
    std::uint32_t changed;  // offset of the one byte that differs, or 0xFFFFFFFF for none
    VerifyOutcome result;
    std::uint32_t length = 0x20000;
  };
  constexpr auto kSame = VerifyOutcome::Same;
  constexpr auto kHead = VerifyOutcome::HeadDiffers;
  constexpr auto kFirst = VerifyOutcome::FirstBlockDiffers;
  constexpr auto kLater = VerifyOutcome::LaterBlockDiffers;
  const Case cases[] = {
      {"equal", 0xFFFFFFFF, kSame},  {"first byte", 0, kHead},          {"end of the first KiB", 0x3FF, kHead},
      {"0x400 not compared", 0x400, kSame}, {"0x44F not compared", 0x44F, kSame}, {"0x450", 0x450, kFirst},
      {"end of the first block", 0x7FFF, kFirst}, {"second block", 0x8000, kLater}, {"last byte", 0x1FFFF, kLater},
      // A smaller image: only the bytes it covers count.
      {"past a 0x9000-byte image", 0x9000, kSame, 0x9000}, {"last byte of it", 0x8FFF, kLater, 0x9000},
      {"past a 0x500-byte image", 0x500, kSame, 0x500},     {"last byte of that", 0x4FF, kFirst, 0x500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ZeroBench b;
    ASSERT_NO_FATAL_FAILURE(b.Start());
    testing::SetPolicyTarget(b.ctx, 0);
    std::vector<std::uint8_t> area = b.drive->firmwareArea();
    std::copy(area.begin(), area.end(), b.ctx.host.imageBuffer.data);
    if (c.changed != 0xFFFFFFFF) area[c.changed] ^= 0x5A;
    b.drive->SetFirmwareArea(area);
    EXPECT_EQ(VerifyImage(b.ctx, c.length), c.result);
    EXPECT_EQ(b.Count(kOpReadBuffer, kBufferFirmwareArea, 0x8000), (c.length + 0x7FFF) / 0x8000);
  }
}

TEST(FamilyZeroVerify, AFailedReadStopsTheReadBack) {
  ZeroBench b;
  ASSERT_NO_FATAL_FAILURE(b.Start());
  testing::SetPolicyTarget(b.ctx, 0);
  b.drive->AddFault(Fault(kOpReadBuffer, 3, 3, 0x11, 0));
  EXPECT_EQ(VerifyImage(b.ctx, 0x20000), VerifyOutcome::ReadFailed);
  EXPECT_EQ(b.Count(kOpReadBuffer), 3);
  for (const auto& r : b.drive->log) EXPECT_EQ(r.timeoutSeconds, 5u);
}

}  // namespace
}  // namespace odf
