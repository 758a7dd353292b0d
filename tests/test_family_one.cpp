// The unlock handshake and the family-one procedure, on a simulated PC with
// one family-one writer, set up by the real host checks and discovery under
// a family-one definition.
#include <gtest/gtest.h>

#include <csignal>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/definition.h"
#include "discovery/discovery.h"
#include "discovery/host.h"
#include "image/image.h"
#include "sim/drives/qrw_drive.h"
#include "sim/fixtures/sim_definition.h"
#include "sim_fixture.h"
#include "update/update.h"

namespace odf {
namespace {

using sim::CommandRecord;
using sim::FaultRule;

constexpr const char* kQrw730Definition =
    "fileName=Q7300122.BIN,vendor=KESTREL,product=DVD-RW  QRW-730,extension=BIN,imageSize=0x40000,"
    "familyCode=0x1005,updateScope=1,minimumImageDate=0x20070101,vendorTag=QRW730N";
constexpr const char* kSuccess = "\nSuccess to update the firmware.";
constexpr const char* kBdKernel = "KESTREL BD-RW   QBW-610 ";
constexpr const char* kDvdKernel = "KESTREL DVD-RW  QRW-730 ";

UpdateDefinition Definition(const std::string& text = kQrw730Definition) {
  UpdateDefinition d{};
  std::string error;
  EXPECT_TRUE(sim::ParseDefinition(text, d, error)) << error;
  return d;
}

sim::Qbc850Config Writer(const char* model, const std::string& revision, sim::WriterConfig* writer = nullptr) {
  sim::Qbc850Config config;
  sim::WriterConfig w;
  EXPECT_TRUE(sim::FindWriterModel(model, config, w));
  config.revision = revision;
  if (writer != nullptr) *writer = w;
  return config;
}

// What a command was, in a word, for comparing the order on the wire.
std::string Kind(const CommandRecord& r) {
  switch (r.cdb[0]) {
    case 0x00: return "ready";
    case 0x12: return "inquiry";
    case 0x1B: return "stop";
    case 0x3C: return r.cdb[2] == 0xF2 ? "challenge" : "info";
    default: break;
  }
  if (r.cdb[2] == 0xF3) return "probe";
  if (r.cdb[2] == 0xF2) return r.length == 256 ? "echo" : "response";
  if (r.cdb[1] == 4) return "kernel";
  if (r.cdb[1] == 5) return "normal";
  return r.cdb[2] == 0xFE ? "kernel block" : "block";
}

std::string Cdb(const CommandRecord& r) {
  std::string text;
  for (int i = 0; i < r.cdbLength; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%s%02X", i == 0 ? "" : " ", static_cast<unsigned>(r.cdb[static_cast<std::size_t>(i)]));
    text += byte;
  }
  return text;
}

// One writer on a fresh PC, its definition installed in place of the
// built-in one, and the image files that fit the definition in the folder.
class WriterBench {
 public:
  sim::SimPc pc;
  Context ctx{pc};
  std::shared_ptr<sim::QrwDrive> drive;
  std::vector<sim::ImageFile> files;  // normal image, then the kernel image for scope 0

  void Start(std::shared_ptr<sim::QrwDrive> d, const UpdateDefinition& definition, bool aspi = false,
             const sim::VolumeOptions& volume = {}) {
    drive = std::move(d);
    sim::PcBuilder(aspi ? sim::SimRoute::Aspi : sim::SimRoute::PassThrough)
        .Drive(drive, {.volume = volume})
        .Build(pc);
    sim::ImageFields fields;
    fields.revision = "1.30 ";
    std::string error;
    ASSERT_TRUE(sim::ImagesForDefinition(definition, fields, definition.fileName, files, error)) << error;
    for (const auto& f : files) pc.AddFile(f.path, f.bytes);
    ctx.run.oemCodePage = 437;
    ResetRunState(ctx);
    LoadBuiltInDefinition(ctx);
    sim::InstallDefinitions(ctx, {definition});
    ASSERT_NO_FATAL_FAILURE(testing::RunHostChecks(ctx));
    ASSERT_EQ(DiscoverTargets(ctx), 1);
    ctx.run.currentTarget = 0;
    drive->log.clear();
    pc.ClearConsole();
  }
  void Start(const sim::Qbc850Config& config, const sim::WriterConfig& writer,
             const UpdateDefinition& definition = Definition(), bool aspi = false,
             const sim::VolumeOptions& volume = {}) {
    Start(std::make_shared<sim::QrwDrive>(config, writer), definition, aspi, volume);
  }
  // A writer of the given revision that demands the handshake or not.
  void StartQrw730(const std::string& revision, bool handshake, bool aspi = false) {
    sim::WriterConfig writer;
    const sim::Qbc850Config config = Writer("qrw730", revision, &writer);
    writer.handshake = handshake;
    Start(config, writer, Definition(), aspi);
  }
  // The definition selected as the procedure would, the log cleared after it.
  void Select() {
    ASSERT_EQ(SelectDefinition(ctx), 0);
    drive->log.clear();
  }

  std::vector<std::string> Order() const {
    std::vector<std::string> kinds;
    for (const auto& r : drive->log) {
      const std::string k = Kind(r);
      if (kinds.empty() || kinds.back() != k) kinds.push_back(k);
    }
    return kinds;
  }
  std::vector<std::string> Cdbs() const {
    std::vector<std::string> cdbs;
    for (const auto& r : drive->log) cdbs.push_back(Cdb(r));
    return cdbs;
  }
  int Count(const std::string& kind) const {
    int n = 0;
    for (const auto& r : drive->log) n += Kind(r) == kind ? 1 : 0;
    return n;
  }
  std::vector<std::string> BoxTexts() const { return testing::BoxTexts(pc); }
  bool ConsoleHas(const std::string& text) const { return testing::ConsoleHas(pc, text); }
};

// ---- UnlockUpdateMode ----------------------------------------------------------

TEST(Handshake, TrafficFollowsTheProbesAnswer) {
  const std::string probe = "3B 01 F3 00 00 00 00 00 00 00";
  const std::string challenge = "3C 02 F2 00 00 00 00 04 00 00";
  const std::string echo = "3B 01 F2 00 00 00 00 01 00 00";
  const std::string response = "3B 01 F2 00 00 00 00 04 00 00";
  const std::string kernelSwitch = "3B 04 FF 00 00 00 00 01 00 00";
  const std::string inquiry = "12 00 00 00 60 00";
  const std::vector<std::string> exchange = {probe, challenge, echo, response, kernelSwitch, inquiry};
  struct Case {
    const char* name;
    bool handshake;
    std::optional<FaultRule> probeFault;
    int intelDriverKind;
    int result;
    std::vector<std::string> sent;
    int kernelMode;
  };
  const Case cases[] = {
      {"the writer demands it", true, std::nullopt, 0, 0, exchange, 1},
      {"the writer does without it (5/24/00)", false, std::nullopt, 0, 0, {probe, kernelSwitch, inquiry}, 0},
      {"any other refusal of the probe", true, testing::SenseFault(0x3B, 1, 5, 0x20, 0, 1, 0xF3), 0, 0, exchange, 1},
      // Under an Intel driver a refused probe ends the exchange there; this
      // writer then refuses the switch it was not unlocked for.
      {"an Intel driver", true, testing::SenseFault(0x3B, 1, 4, 0x44, 0, 1, 0xF3), 1, 2, {probe, kernelSwitch}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriterBench b;
    ASSERT_NO_FATAL_FAILURE(b.StartQrw730("1.22", c.handshake));
    ASSERT_NO_FATAL_FAILURE(b.Select());
    if (c.probeFault) b.drive->AddFault(*c.probeFault);
    testing::SetIntelDriver(b.ctx, c.intelDriverKind);

    EXPECT_EQ(UnlockUpdateMode(b.ctx), c.result);
    EXPECT_EQ(b.Cdbs(), c.sent);
    EXPECT_EQ(b.ctx.run.kernelMode, c.kernelMode);
    EXPECT_EQ(b.drive->inKernel(), c.result == 0);
    for (const auto& r : b.drive->log) {
      if (Kind(r) == "challenge") {
        EXPECT_EQ(r.length, 1024u);
      }
      if (Kind(r) == "echo" || Kind(r) == "response") {
        EXPECT_EQ(r.direction, 2);
      }
    }
  }
}

// A failed exchange step is named on the console and returned; the switch is
// not tried. A refused switch and a failed identity read come after it.
TEST(Handshake, FailuresAreReportedByStep) {
  struct Case {
    const char* name;
    FaultRule fault;
    int result;
    const char* console;
    int switches;
  };
  const Case cases[] = {
      {"challenge read", testing::SenseFault(0x3C, 1, 4, 0x44, 0, 2, 0xF2), 2, "\nError occurred at step 0.", 0},
      {"echo", testing::SenseFault(0x3B, 1, 4, 0x44, 0, 1, 0xF2), 2, "\nError occurred at step 1.", 0},
      {"response", testing::SenseFault(0x3B, 2, 4, 0x44, 0, 1, 0xF2), 2, "\nError occurred at step 2.", 0},
      {"kernel switch", testing::SenseFault(0x3B, 1, 5, 0x26, 0, 4, 0xFF), 2, "\nFailed to move to the kernel mode.", 1},
      {"identity read", testing::SenseFault(0x12, 1, 4, 0x44), -1, "\nFailed to execute Inquiry Command.", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriterBench b;
    ASSERT_NO_FATAL_FAILURE(b.StartQrw730("1.22", true));
    ASSERT_NO_FATAL_FAILURE(b.Select());
    b.pc.ClearConsole();
    b.drive->AddFault(c.fault);

    EXPECT_EQ(UnlockUpdateMode(b.ctx), c.result);
    EXPECT_EQ(b.pc.Console(), c.console);
    EXPECT_TRUE(b.pc.Boxes().empty());
    EXPECT_EQ(b.Count("kernel"), c.switches);
    EXPECT_EQ(b.ctx.run.kernelMode, 0);
  }
}

// ---- FamilyOneUpdate --------------------------------------------------------------

std::string UpdateConsole(const std::string& from, const std::string& to) {
  std::string text = "\nCurrent Revision>> KESTREL DVD-RW  QRW-730  " + from +
                     "  07/12/01"
                     "\nCurrent Signature = KES_ADV "
                     "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.\r\n"
                     "\n";
  for (int p : {0, 12, 25, 37, 50, 62, 75, 87}) text += "\rProcessing " + std::to_string(p) + "%";
  return text + "\rProcessing 100% --> Data transfer complete\r\nNow internal re-flashing..."
                "\nNew Revision    >> KESTREL DVD-RW  QRW-730  " + to + "  08/01/10" + kSuccess;
}

// A signal during the transfer is held until the writer is back on its
// new firmware; at the question before it, it is not.
TEST(FamilyOne, AnInterruptionDuringTheTransferIsHeldUntilTheReadBack) {
  WriterBench b;
  ASSERT_NO_FATAL_FAILURE(b.StartQrw730("1.22", true, false));
  b.pc.QueueAnswers({IDYES});
  bool heldAtQuestion = true;
  b.pc.boxSink = [&](const sim::BoxRecord&) { heldAtQuestion = b.pc.HandlerIn(); };
  b.pc.consoleSink = [&](const std::string& bytes) {
    if (bytes.find("\rProcessing 50%") != std::string::npos) b.pc.Interrupt(SIGQUIT);
  };
  // The update window (the system kept awake) opens after the question and
  // closes with the revision read back.
  std::vector<std::pair<EXECUTION_STATE, std::size_t>> window;
  std::size_t boxes = 0;
  b.pc.executionStateSink = [&](const sim::ExecutionStateRecord& r) {
    window.emplace_back(r.flags, b.drive->log.size());
    boxes = b.pc.Boxes().size();
  };

  EXPECT_EQ(FamilyOneUpdate(b.ctx), 0);
  ASSERT_EQ(window.size(), 2u);
  EXPECT_EQ(window[0].first, ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_EQ(window[1].first, ES_CONTINUOUS);
  EXPECT_EQ(b.drive->log.at(window[0].second).cdb[0], 0x3B);
  EXPECT_EQ(b.drive->log.at(window[1].second - 1).cdb[0], 0x12);
  EXPECT_EQ(boxes, b.pc.Boxes().size());
  EXPECT_FALSE(heldAtQuestion);
  EXPECT_EQ(b.pc.GetInterruption(), SIGQUIT);
  EXPECT_EQ(b.pc.EndedBy(), 0);
  EXPECT_FALSE(b.pc.HandlerIn());
  EXPECT_EQ(b.pc.Console(), UpdateConsole("1.22", "1.30"));
  EXPECT_EQ(b.drive->flashCount(), 1);
}

// The whole procedure through the handshake: the writer holds exactly the
// image file's bytes, whose first kilobyte the handshake must leave alone.
TEST(FamilyOne, UpdatesAWriterThroughTheHandshake) {
  for (const bool aspi : {false, true}) {
    SCOPED_TRACE(aspi ? "aspi" : "pass-through");
    WriterBench b;
    ASSERT_NO_FATAL_FAILURE(b.StartQrw730("1.22", true, aspi));
    b.pc.QueueAnswers({IDYES});

    EXPECT_EQ(FamilyOneUpdate(b.ctx), 0);
    EXPECT_EQ(b.pc.Console(), UpdateConsole("1.22", "1.30"));
    EXPECT_EQ(b.BoxTexts(), std::vector<std::string>{
                                "\r\nDo you want to update the F/W\r\nFrom : KESTREL DVD-RW  QRW-730  1.22  (2007/12/01)"
                                "\r\nTo : KESTREL DVD-RW  QRW-730  1.30  (2008/01/10)"});
    EXPECT_EQ(b.Order(), (std::vector<std::string>{"inquiry", "info", "inquiry", "info", "stop", "ready", "probe",
                                                   "challenge", "echo", "response", "kernel", "inquiry", "block",
                                                   "normal", "inquiry"}));
    EXPECT_EQ(b.drive->flashCount(), 1);
    EXPECT_EQ(b.drive->flashedImage(), b.files[0].bytes);
    EXPECT_TRUE(b.drive->kernelImage().empty());  // normal part only
    EXPECT_EQ(std::string(b.drive->lastModeBlock.begin(), b.drive->lastModeBlock.begin() + 16), "KESTREL  QRW-730");
  }
}

// The plain switch is confirmed by the BD writers' kernel identity; after the
// handshake the identity only decides kernelMode, and the update goes on.
TEST(FamilyOne, KernelIdentityOnBothWaysIn) {
  struct Case {
    const char* name;
    const char* revision;  // 1.22 and up: the handshake is required
    bool handshake;        // the writer demands it
    const char* kernelModel;
    const char* kernelRevision;
    int result;
  };
  const Case cases[] = {
      {"plain switch, BD kernel identity", "1.20", false, kBdKernel, "0001", 0},
      {"plain switch, DVD kernel identity", "1.20", false, kDvdKernel, "0000", -1},
      {"handshake, DVD kernel identity", "1.22", true, kDvdKernel, "0000", 0},
      {"handshake, BD kernel identity", "1.22", true, kBdKernel, "0001", 0},
      {"handshake required, the writer does without it", "1.22", false, kBdKernel, "0001", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::WriterConfig writer;
    sim::Qbc850Config config = Writer("qrw730", c.revision, &writer);
    writer.handshake = c.handshake;
    config.kernelModel = c.kernelModel;
    config.kernelRevision = c.kernelRevision;
    WriterBench b;
    ASSERT_NO_FATAL_FAILURE(b.Start(config, writer));
    b.pc.QueueAnswers({IDYES});

    EXPECT_EQ(FamilyOneUpdate(b.ctx), c.result);
    EXPECT_EQ(b.Count("probe"), std::string(c.revision) == "1.22" ? 1 : 0);
    EXPECT_EQ(b.Count("kernel"), 1);
    if (c.result == 0) {
      EXPECT_EQ(b.drive->flashedImage(), b.files[0].bytes);
      EXPECT_TRUE(b.ConsoleHas(kSuccess));
    } else {
      EXPECT_EQ(b.Count("block"), 0);
      EXPECT_FALSE(b.ConsoleHas(kSuccess));
    }
  }
}

TEST(FamilyOne, KernelPartGoesInTwoBlocks) {
  UpdateDefinition definition = Definition();
  definition.updateScope = 0;
  sim::WriterConfig writer;
  const sim::Qbc850Config config = Writer("qrw730", "1.22", &writer);
  writer.handshake = true;
  WriterBench b;
  ASSERT_NO_FATAL_FAILURE(b.Start(config, writer, definition));
  ASSERT_EQ(b.files.size(), 2u);
  ASSERT_EQ(b.files[1].path, "Q7300120.BIN");
  b.pc.QueueAnswers({IDYES});

  EXPECT_EQ(FamilyOneUpdate(b.ctx), 0);
  std::vector<std::string> kernelBlocks;
  for (const auto& r : b.drive->log) {
    if (Kind(r) == "kernel block") kernelBlocks.push_back(Cdb(r));
  }
  EXPECT_EQ(kernelBlocks, (std::vector<std::string>{"3B 07 FE 00 00 00 00 80 00 00", "3B 07 FE 00 80 00 00 80 00 00"}));
  EXPECT_EQ(b.drive->kernelImage(), b.files[1].bytes);
  EXPECT_EQ(b.drive->flashedImage(), b.files[0].bytes);  // loaded again after the kernel image
  EXPECT_EQ(b.Order(), (std::vector<std::string>{"inquiry", "info", "inquiry", "info", "stop", "ready", "probe",
                                                 "challenge", "echo", "response", "kernel", "inquiry",
                                                 "kernel block", "block", "normal", "inquiry"}));
}

// Family 0x1006 below revision 0.23 is told to power-cycle instead of being
// asked about the irreversible update. Only a drive running its kernel part
// reaches the question with such a revision; the header checks refuse
// pre-production revisions on any other.
TEST(FamilyOne, PowerCycleNoticeInPlaceOfTheIrreversibleQuestion) {
  constexpr const char* kQuestion46 =
      "\nAfter you change the firmware to ver1.30, \r\nyou can not change the firmware to old version."
      "\r\nDo you proceed to update ?";
  constexpr const char* kNotice70 =
      "\r\nIf you have updated from an earlier version than 0.23,\r\nthen please turn off the power once.";
  struct Case {
    const char* revision;
    std::int32_t family;
    std::vector<int> answers;
    const char* firstBox;
    unsigned firstType;
  };
  const Case cases[] = {
      {"0.22", 0x1006, {IDYES}, kNotice70, 0x40},
      {"0.23", 0x1006, {IDYES, IDYES}, kQuestion46, 0x24},
      {"0.22", 0x1007, {IDYES, IDYES}, kQuestion46, 0x24},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.revision << " family " << std::hex << c.family);
    char text[256];
    std::snprintf(text, sizeof text,
                  "fileName=Q7200130.BIN,vendor=KESTREL,product=DVD-RW  QRW-720,imageSize=0x40000,familyCode=%d,"
                  "downgradeWarning=1,updateScope=1,minimumImageDate=0x20070101,vendorTag=KES_ADV",
                  c.family);
    sim::WriterConfig writer;
    sim::Qbc850Config config = Writer("qrw720", "1.20", &writer);
    config.kernel = true;  // a blank normal part: matched by its signature, the vendor tag
    config.kernelModel = "KESTREL DVD-RW  QRW-720 ";
    config.kernelRevision = c.revision;
    WriterBench b;
    ASSERT_NO_FATAL_FAILURE(b.Start(config, writer, Definition(text)));
    for (int a : c.answers) b.pc.QueueAnswer(a);

    EXPECT_EQ(FamilyOneUpdate(b.ctx), 0);
    ASSERT_EQ(b.pc.Boxes().size(), 2u);
    EXPECT_EQ(b.pc.Boxes()[0].text, c.firstBox);
    EXPECT_EQ(b.pc.Boxes()[0].type & 0xF0, c.firstType & 0xF0);
    EXPECT_NE(b.pc.Boxes()[1].text.find("Do you want to update the F/W"), std::string::npos);
    EXPECT_EQ(b.drive->flashedImage(), b.files[0].bytes);
  }
}

// A drive that still answers as its kernel after the update gets a second
// normal-mode switch first, when an Intel driver sits under the ASPI layer;
// never after a failed block, since the switch makes it flash what it holds.
TEST(FamilyOne, SecondSwitchBackBeforeTheRetryQuestionUnderIntelOnAspi) {
  const FaultRule switchFails = testing::SenseFault(0x3B, 1, 4, 0x44, 0, 5, 0xFF);
  const FaultRule blockFails = testing::SenseFault(0x3B, 2, 4, 0x44, 0, 7, 0xF0);
  struct Case {
    const char* name;
    bool aspi;
    int intelDriverKind;
    FaultRule fault;
    int normalSwitches;
    std::size_t boxes;  // the last one the retry question
    int flashes;
  };
  const Case cases[] = {
      {"aspi, Intel driver", true, 1, switchFails, 2, 2, 1},
      {"aspi, no Intel driver", true, 0, switchFails, 1, 2, 0},
      {"pass-through, Intel driver", false, 1, switchFails, 1, 2, 0},
      {"aspi, Intel driver, a block failed", true, 1, blockFails, 0, 3, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriterBench b;
    sim::WriterConfig writer;
    ASSERT_NO_FATAL_FAILURE(b.Start(Writer("qrw730", "1.20", &writer), writer, Definition(), c.aspi));
    testing::SetIntelDriver(b.ctx, c.intelDriverKind);
    b.drive->AddFault(c.fault);
    b.pc.QueueAnswers({IDYES, IDNO});

    EXPECT_EQ(FamilyOneUpdate(b.ctx), -1);
    EXPECT_EQ(b.Count("normal"), c.normalSwitches);
    EXPECT_EQ(b.drive->flashCount(), c.flashes);
    ASSERT_EQ(b.pc.Boxes().size(), c.boxes);
    EXPECT_EQ(b.pc.Boxes().back().text, "\nFailed to move to the normal mode.\r\nDo you retry to update ?");
    // The second switch comes after the revision read-back and 5 s before the question.
    const auto& log = b.drive->log;
    ASSERT_GE(log.size(), 2u);
    const CommandRecord& last = log.back();
    EXPECT_EQ(Kind(last), c.normalSwitches == 2 ? "normal" : "inquiry");
    if (c.normalSwitches == 2) {
      EXPECT_EQ(Kind(log[log.size() - 2]), "inquiry");
    }
  }
}

// The waits after the switch back: 5 s behind a bridge or under an Intel
// driver on the ASPI route, 2 s after a failed switch, none otherwise (beyond
// the switch's own wait of 3 s after success).
TEST(FamilyOne, WaitsAfterTheSwitchBack) {
  struct Case {
    const char* name;
    bool aspi;
    bool noAddress;  // the volume reports no SCSI address: the drive sits behind a bridge
    int intelDriverKind;
    bool switchFails;
    std::uint64_t gapMs;  // from the switch's arrival to the next INQUIRY's
  };
  constexpr std::uint64_t kReflash = 20000;
  const Case cases[] = {
      {"plain", false, false, 0, false, kReflash + 3000},
      {"switch failed", false, false, 0, true, 1 + 2000},
      {"bridge", false, true, 0, false, kReflash + 3000 + 5000},
      {"aspi, Intel driver", true, false, 1, false, kReflash + 3000 + 5000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriterBench b;
    sim::WriterConfig writer;
    sim::VolumeOptions volume;
    volume.noAddress = c.noAddress;
    ASSERT_NO_FATAL_FAILURE(b.Start(Writer("qrw730", "1.20", &writer), writer, Definition(), c.aspi, volume));
    testing::SetIntelDriver(b.ctx, c.intelDriverKind);
    if (c.switchFails) b.drive->AddFault(testing::SenseFault(0x3B, 1, 4, 0x44, 0, 5, 0xFF));
    b.pc.QueueAnswers({IDYES, IDNO});

    FamilyOneUpdate(b.ctx);
    const auto& log = b.drive->log;
    std::size_t i = 0;
    while (i < log.size() && Kind(log[i]) != "normal") ++i;
    ASSERT_LT(i + 1, log.size());
    EXPECT_EQ(Kind(log[i + 1]), "inquiry");
    const std::uint64_t gap = log[i + 1].atMs - log[i].atMs;
    EXPECT_GE(gap, c.gapMs);
    EXPECT_LE(gap, c.gapMs + 20);
  }
}

// A failed handshake ends the pass and the run, as a refused plain switch
// does: nothing is written to a drive that never took its update mode.
TEST(FamilyOne, FailedHandshakeWritesNothing) {
  struct Case {
    const char* name;
    FaultRule fault;
    const char* console;
  };
  const Case cases[] = {
      {"exchange fails", testing::SenseFault(0x3C, 1, 4, 0x44, 0, 2, 0xF2), "\nError occurred at step 0."},
      {"switch refused", testing::SenseFault(0x3B, 1, 5, 0x26, 0, 4, 0xFF), "\nFailed to move to the kernel mode."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriterBench b;
    ASSERT_NO_FATAL_FAILURE(b.StartQrw730("1.22", true));
    b.drive->AddFault(c.fault);
    b.pc.QueueAnswers({IDYES});

    EXPECT_EQ(FamilyOneUpdate(b.ctx), -1);
    const std::string& console = b.pc.Console();
    EXPECT_EQ(console.substr(console.size() - std::string(c.console).size()), c.console);
    EXPECT_EQ(b.Count("block") + b.Count("kernel block") + b.Count("normal"), 0);
    EXPECT_FALSE(b.drive->inKernel());
    EXPECT_EQ(b.drive->flashCount(), 0);
  }
}

// A writer that takes everything and restarts on the firmware it had.
class RestartsOnItsOldFirmware : public sim::QrwDrive {
 public:
  RestartsOnItsOldFirmware(const sim::Qbc850Config& config, const sim::WriterConfig& writer)
      : sim::QrwDrive(config, writer), before_(std::make_shared<sim::QrwDrive>(config, writer)) {}

 protected:
  sim::DriveReply Execute(const CommandRecord& record, std::uint8_t* data) override {
    if (flashCount() > 0 && record.cdb[0] == 0x12) return before_->Receive(record, data);
    return sim::QrwDrive::Execute(record, data);
  }

 private:
  std::shared_ptr<sim::QrwDrive> before_;
};

TEST(FamilyOne, DriveBackOnItsOldRevisionIsNotUpdated) {
  sim::WriterConfig writer;
  const sim::Qbc850Config config = Writer("qrw730", "1.22", &writer);
  writer.handshake = true;
  WriterBench b;
  ASSERT_NO_FATAL_FAILURE(b.Start(std::make_shared<RestartsOnItsOldFirmware>(config, writer), Definition()));
  b.pc.QueueAnswers({IDYES});

  EXPECT_EQ(FamilyOneUpdate(b.ctx), 1);
  EXPECT_TRUE(b.ConsoleHas("\nNew Revision    >> KESTREL DVD-RW  QRW-730  1.22  07/12/01"));
  EXPECT_FALSE(b.ConsoleHas(kSuccess));
}

}  // namespace
}  // namespace odf
