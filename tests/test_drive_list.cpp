// The listing of --list: what it says of each drive must be what a run then
// does to it, and it must send no drive anything but reads.
#include <algorithm>
#include <string>
#include <vector>

#include "app/drive_list.h"
#include "app/run_update.h"
#include "sim/fixtures/image_maker.h"
#include "sim_fixture.h"

namespace odf {
namespace {

constexpr std::uint8_t kWriteBuffer = 0x3B;
constexpr std::uint8_t kStartStopUnit = 0x1B;

bool SentAny(const sim::SimDrive& drive, std::uint8_t opcode) {
  return std::any_of(drive.log.begin(), drive.log.end(),
                     [opcode](const sim::CommandRecord& r) { return r.cdb[0] == opcode; });
}

std::string NoDevice(char) { return ""; }

// A text as ListingJson writes it, for the plain ASCII the tests use.
std::string JsonOf(const std::string& text) {
  std::string json;
  for (char c : text) json += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return "\"" + json + "\"";
}

struct Case {
  const char* name;
  sim::Qbc850Config drive;
  bool imageFile;
  PlannedAction action;
  bool target;
  bool kernel;
  const char* updateTo;
  const char* reasonPart;  // in the reason, for refusals
};

sim::Qbc850Config Drive(void (*change)(sim::Qbc850Config&)) {
  sim::Qbc850Config config;
  change(config);
  return config;
}

std::vector<Case> Cases() {
  return {
      {"older firmware", {}, true, PlannedAction::Update, true, false, "1.04", ""},
      {"already 1.04", Drive([](auto& c) { c.revision = "1.04"; c.date = "08/01/10"; }), true,
       PlannedAction::Current, true, false, "", ""},
      {"another model", Drive([](auto& c) { c.product = "BD-ROM  QBC-860 "; }), true,
       PlannedAction::None, false, false, "", ""},
      {"left in its kernel", Drive([](auto& c) { c.kernel = true; }), true, PlannedAction::Update,
       true, true, "1.04", ""},
      {"other hardware", Drive([](auto& c) { c.hardware = "QBC 0200"; }), true,
       PlannedAction::Refused, true, false, "", "Hardware Revision is not matched."},
      {"pre-production firmware", Drive([](auto& c) { c.revision = "0.90"; }), true,
       PlannedAction::Refused, true, false, "", ""},
      {"no image file", {}, false, PlannedAction::Refused, true, false, "", "S1003431.104"},
      // An identity without its revision, or with bytes no drive reports, is
      // refused before any check: a run would strand such a drive in its kernel.
      {"revision of zero bytes", Drive([](auto& c) { c.revision = std::string(4, '\0'); }), true,
       PlannedAction::Refused, false, false, "", "incomplete identity (revision missing or not printable)"},
      {"vendor ending in a zero byte", Drive([](auto& c) { c.vendor = std::string("KESTREL\0", 8); }), true,
       PlannedAction::Refused, false, false, "", "incomplete identity (vendor missing or not printable)"},
  };
}

// Each row twice on fresh PCs: listed, then updated by a run that says yes to
// everything. The listing must have foretold what the run did.
TEST(DriveList, ForetellsWhatARunDoesAndWritesNothing) {
  const std::vector<std::uint8_t> image = sim::MakeImage();
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    testing::OneDrivePc listed(c.drive);
    if (c.imageFile) listed.pc.AddFile("S1003431.104", image);
    std::vector<DriveListing> drives;
    ASSERT_EQ(ListDrives(listed.ctx, DefaultRunSteps(), drives), ListOutcome::Listed);
    ASSERT_EQ(drives.size(), 1u);
    const DriveListing& d = drives[0];
    EXPECT_EQ(d.driveLetter, 'D');
    EXPECT_EQ(d.action, c.action) << ActionName(d.action) << ": " << d.reason;
    EXPECT_EQ(d.target, c.target);
    EXPECT_EQ(d.kernelMode, c.kernel);
    EXPECT_EQ(d.updateTo, c.updateTo);
    EXPECT_EQ(d.reason.empty(), c.action != PlannedAction::Refused) << d.reason;
    EXPECT_NE(d.reason.find(c.reasonPart), std::string::npos) << d.reason;
    EXPECT_FALSE(SentAny(*listed.drive, kWriteBuffer));
    EXPECT_FALSE(SentAny(*listed.drive, kStartStopUnit));
    for (const auto& box : listed.pc.Boxes()) {
      EXPECT_NE(box.type & 0x0F, MB_YESNO) << "asked: " << box.text;
    }

    testing::OneDrivePc updated(c.drive);
    if (c.imageFile) updated.pc.AddFile("S1003431.104", image);
    updated.pc.QueueAnswers({IDYES, IDYES, IDYES});
    RunUpdate(updated.ctx);
    EXPECT_EQ(updated.drive->flashCount() > 0, c.action == PlannedAction::Update);
    EXPECT_EQ(SentAny(*updated.drive, kWriteBuffer), c.action == PlannedAction::Update);
  }
}

TEST(DriveList, IdentityAsTheDriveReportsIt) {
  sim::Qbc850Config config;
  config.date = "2007/12/01";
  testing::OneDrivePc one(config);
  std::vector<DriveListing> drives;
  ListDrives(one.ctx, DefaultRunSteps(), drives);
  ASSERT_EQ(drives.size(), 1u);
  EXPECT_EQ(drives[0].vendor, "KESTREL");
  EXPECT_EQ(drives[0].product, "BD-ROM  QBC-850");  // inner blanks kept
  EXPECT_EQ(drives[0].revision, "1.00");
  EXPECT_EQ(drives[0].date, "2007/12/01");
}

// A field is shown so that it can be neither taken for another (a vendor
// with a zero byte is not the blank-padded one) nor act on a terminal; what
// a short reply never sent is shown empty.
TEST(DriveList, OddBytesOfAnIdentityAreShownEscaped) {
  struct Shown {
    const char* name;
    void (*change)(sim::Qbc850Config&);
    const char* vendor;
    const char* product;
    const char* revision;
    const char* date;
  };
  const Shown cases[] = {
      {"zero byte ending the vendor", [](auto& c) { c.vendor = std::string("KESTREL\0", 8); }, "KESTREL\\x00",
       "BD-ROM  QBC-850", "1.00", "07/12/01"},
      {"zero byte inside the vendor", [](auto& c) { c.vendor = std::string("KES\0REL ", 8); }, "KES\\x00REL",
       "BD-ROM  QBC-850", "1.00", "07/12/01"},
      {"escape sequence in the product", [](auto& c) { c.product = "\x1b[2JQBC-850"; }, "KESTREL",
       "\\x1b[2JQBC-850", "1.00", "07/12/01"},
      {"backslash and a high byte", [](auto& c) { c.revision = "1\\\xff" "0"; }, "KESTREL", "BD-ROM  QBC-850",
       "1\\x5c\\xff0", "07/12/01"},
      {"revision and date of zero bytes",
       [](auto& c) {
         c.revision = std::string(4, '\0');
         c.date = std::string(10, '\0');
       },
       "KESTREL", "BD-ROM  QBC-850", "", ""},
  };
  for (const Shown& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Qbc850Config config;
    c.change(config);
    testing::OneDrivePc one(config);
    std::vector<DriveListing> drives;
    ListDrives(one.ctx, DefaultRunSteps(), drives);
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].vendor, c.vendor);
    EXPECT_EQ(drives[0].product, c.product);
    EXPECT_EQ(drives[0].revision, c.revision);
    EXPECT_EQ(drives[0].date, c.date);
    // Both forms show the same escapes.
    EXPECT_NE(ListingText(drives, NoDevice).find(c.vendor), std::string::npos);
    EXPECT_NE(ListingJson(drives, NoDevice).find(JsonOf(c.vendor)), std::string::npos);
  }
}

// A drive another odflsh is updating is listed, as busy, and sent nothing.
TEST(DriveList, ADriveBeingUpdatedElsewhereIsBusy) {
  auto busy = std::make_shared<sim::Qbc850Drive>();
  sim::SimPc pc;
  sim::PcBuilder()
      .Drive(busy, {.letter = 'D', .volume = {.lockedElsewhere = true}})
      .Drive(std::make_shared<sim::Qbc850Drive>(), {.letter = 'E'})
      .Build(pc);
  pc.AddFile("S1003431.104", sim::MakeImage());
  Context ctx(pc);
  std::vector<DriveListing> drives;
  ASSERT_EQ(ListDrives(ctx, DefaultRunSteps(), drives), ListOutcome::Listed);
  ASSERT_EQ(drives.size(), 2u);
  EXPECT_EQ(drives[0].driveLetter, 'D');
  EXPECT_EQ(drives[0].action, PlannedAction::Busy);
  EXPECT_NE(drives[0].reason.find("another odflsh is updating it"), std::string::npos);
  EXPECT_FALSE(drives[0].target);
  EXPECT_EQ(drives[0].vendor, "");
  EXPECT_EQ(drives[1].action, PlannedAction::Update);
  EXPECT_TRUE(busy->log.empty());
}

// Every drive in discovery order, each judged as itself: a current drive
// between two old ones does not make them current, nor they it.
TEST(DriveList, EveryDriveInDiscoveryOrder) {
  sim::Qbc850Config current;
  current.revision = "1.04";
  current.date = "08/01/10";
  sim::Qbc850Config other;
  other.product = "DVD-ROM QRD-570 ";
  sim::SimPc pc;
  sim::PcBuilder()
      .Drive(std::make_shared<sim::Qbc850Drive>(), {.letter = 'E'})
      .Drive(std::make_shared<sim::Qbc850Drive>(other), {.letter = 'F'})
      .Drive(std::make_shared<sim::Qbc850Drive>(current), {.letter = 'G'})
      .Drive(std::make_shared<sim::Qbc850Drive>(), {.letter = 'K'})
      .Build(pc);
  pc.AddFile("S1003431.104", sim::MakeImage());
  Context ctx(pc);
  std::vector<DriveListing> drives;
  ASSERT_EQ(ListDrives(ctx, DefaultRunSteps(), drives), ListOutcome::Listed);
  std::string seen;
  for (const DriveListing& d : drives) seen += std::string{d.driveLetter} + ActionName(d.action) + " ";
  EXPECT_EQ(seen, "Eupdate Fnone Gcurrent Kupdate ");
}

TEST(DriveList, NoDriveListsNothing) {
  sim::SimPc pc;
  sim::PcBuilder().Build(pc);
  Context ctx(pc);
  std::vector<DriveListing> drives{DriveListing{}};
  EXPECT_EQ(ListDrives(ctx, DefaultRunSteps(), drives), ListOutcome::Listed);
  EXPECT_TRUE(drives.empty());
  EXPECT_EQ(ListingJson(drives, NoDevice), "[]\n");
  EXPECT_EQ(ListingText(drives, NoDevice), "");
}

TEST(DriveList, RefusedBuffersEndTheListing) {
  testing::OneDrivePc one;
  RunSteps steps = DefaultRunSteps();
  steps.checkHost = [](Context&) { return -1; };
  std::vector<DriveListing> drives;
  EXPECT_EQ(ListDrives(one.ctx, steps, drives), ListOutcome::SetupFailed);
  EXPECT_TRUE(one.drive->log.empty());
}

DriveListing Row(char letter, const char* product, PlannedAction action, const char* updateTo,
                 const char* reason) {
  DriveListing d;
  d.driveLetter = letter;
  d.vendor = "KESTREL";
  d.product = product;
  d.revision = "1.00";
  d.date = "07/12/01";
  d.target = action != PlannedAction::None;
  d.action = action;
  d.updateTo = updateTo;
  d.reason = reason;
  return d;
}

std::string SrDevice(char letter) { return "/dev/sr" + std::to_string(letter - 'D'); }

TEST(DriveListFormat, TextColumnsLineUp) {
  const std::vector<DriveListing> drives = {
      Row('D', "BD-ROM  QBC-850", PlannedAction::Update, "1.04", ""),
      Row('E', "DVD", PlannedAction::None, "", ""),
  };
  EXPECT_EQ(ListingText(drives, SrDevice),
            "D:  /dev/sr0  KESTREL  BD-ROM  QBC-850  1.00  07/12/01  normal  update to 1.04\n"
            "E:  /dev/sr1  KESTREL  DVD              1.00  07/12/01  normal  not a target\n");
}

// A busy drive's identity and mode are unknown, not empty: blank columns in
// the text, null in JSON.
TEST(DriveListFormat, BusyDriveHasNoIdentity) {
  DriveListing busy;
  busy.driveLetter = 'E';
  busy.action = PlannedAction::Busy;
  busy.reason = "another odflsh is updating it";
  const std::vector<DriveListing> drives = {Row('D', "BD-ROM  QBC-850", PlannedAction::Update, "1.04", ""), busy};
  EXPECT_EQ(ListingText(drives, SrDevice),
            "D:  /dev/sr0  KESTREL  BD-ROM  QBC-850  1.00  07/12/01  normal  update to 1.04\n"
            "E:  /dev/sr1                                                    busy: another odflsh is updating it\n");
  const std::string json = ListingJson({busy}, SrDevice);
  EXPECT_EQ(json,
            "[\n  {\"letter\": \"E:\", \"device\": \"/dev/sr1\", \"vendor\": null, \"product\": null, "
            "\"revision\": null, \"date\": null, \"mode\": null, \"target\": false, \"action\": \"busy\", "
            "\"update_to\": null, \"reason\": \"another odflsh is updating it\"}\n]\n");
}

// Texts are escaped, and absent values are null rather than empty strings.
TEST(DriveListFormat, JsonEscapesAndNulls) {
  std::vector<DriveListing> drives = {
      Row('D', "A\"B\\C\x01", PlannedAction::Refused, "", "Hardware \"x\"")};
  drives[0].kernelMode = true;
  EXPECT_EQ(ListingJson(drives, SrDevice),
            "[\n  {\"letter\": \"D:\", \"device\": \"/dev/sr0\", \"vendor\": \"KESTREL\", "
            "\"product\": \"A\\\"B\\\\C\\u0001\", \"revision\": \"1.00\", \"date\": \"07/12/01\", "
            "\"mode\": \"kernel\", \"target\": true, \"action\": \"refused\", \"update_to\": null, "
            "\"reason\": \"Hardware \\\"x\\\"\"}\n]\n");
}

}  // namespace
}  // namespace odf
