// The fault matrix: for every update procedure and every route, each command
// the happy path sends fails, one occurrence at a time, in every way a drive
// or a host can fail it; and the drive vanishes at each command in turn.
// Whatever fails, the run ends with exit code 0 or 1, success is claimed only
// for a drive that holds exactly the image and reports its revision, a drive
// left without its firmware ends the run as a failure, and nothing is written
// after a check refused the image.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <iterator>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "app/run_update.h"
#include "core/context.h"
#include "core/definition.h"
#include "core/firmware_area.h"
#include "core/image_state.h"
#include "core/messages.h"
#include "core/scsi_codes.h"
#include "sim/drives/qrd_drive.h"
#include "sim/drives/qrw_drive.h"
#include "sim/drives/sim_drive.h"
#include "sim/fixtures/hex_image.h"
#include "sim/fixtures/image_maker.h"
#include "sim/fixtures/sim_definition.h"
#include "sim/pc/pc_builder.h"
#include "sim/pc/sim_pc.h"
#include "scsi/sense.h"

namespace odf {
namespace {

using sim::FaultAction;
using sim::FaultRule;

// ---- the procedures -----------------------------------------------------------

// A drive's state at the end of a run, as its model knows it.
struct DriveEnd {
  bool holdsImage = false;            // it flashed exactly the image's bytes
  bool reportsImageRevision = false;  // and answers with the image's revision
  bool withoutFirmware = false;       // left in its kernel or update mode
  bool inKernel = false;              // left in its kernel, which the run must name
};

// One update procedure as the matrix runs it. A family joins the matrix as a
// row of Procedures(): its drive, its files, its definition and how to read
// the drive's state afterwards.
struct Procedure {
  const char* name;
  // Adds the files the run reads to the PC and returns a fresh drive whose
  // update succeeds when nothing fails.
  std::function<std::shared_ptr<sim::SimDrive>(sim::SimPc&)> prepare;
  // The run's definition step (empty: the built-in definition serves).
  std::function<int(Context&)> loadDefinitions;
  std::function<DriveEnd(const sim::SimDrive&)> inspect;
  // The program refuses it on Windows 98 and Me (family 9 below 1.08), so
  // only the pass-through routes can update it.
  bool passThroughOnly = false;
  // A drive still answering as its kernel after the transfer is offered
  // another pass (families four and one).
  bool offersRetry = false;
};

// The built-in definition with an image of `fullBlocks` 32 KiB blocks and a
// short last one. Each of the real image's 58 blocks is the first, one in
// the middle or the last; two full blocks and a short one play every part,
// and keep the matrix small enough to run under the sanitizers in every build.
Procedure FamilyFour(std::uint32_t fullBlocks) {
  const std::uint32_t size = fullBlocks * 0x8000 + 0x0C35;
  auto image = std::make_shared<const std::vector<std::uint8_t>>(sim::MakeImage({.size = size}));
  const std::string revision(image->begin() + kHeaderRevision, image->begin() + kHeaderRevision + 4);
  return Procedure{
      "family four",
      [image](sim::SimPc& pc) {
        pc.AddFile("S1003431.104", image);
        return std::make_shared<sim::Qbc850Drive>();
      },
      [size](Context& ctx) {
        const int count = LoadBuiltInDefinition(ctx);
        ctx.definitions.entries[0].imageSize = size;
        return count;
      },
      [image, revision](const sim::SimDrive& drive) {
        const auto& d = dynamic_cast<const sim::Qbc850Drive&>(drive);
        return DriveEnd{d.flashedImage() == *image, !d.inKernel() && d.config().revision == revision,
                        d.inKernel(), d.inKernel()};
      },
      false,
      true,
  };
}

// A QRW-730 writer at revision 1.22, which demands the unlock handshake, under
// its family-0x1005 definition, with images of `fullBlocks` 32 KiB blocks and
// a short one. Scope 1 sends the normal part only; scope 0 sends the two
// blocks of the kernel part first, and the drive must end up holding both.
Procedure FamilyOne(const char* name, std::int32_t updateScope, std::uint32_t fullBlocks) {
  UpdateDefinition definition{};
  std::string error;
  const bool parsed = sim::ParseDefinition(
      "fileName=Q7300122.BIN,vendor=KESTREL,product=DVD-RW  QRW-730,extension=BIN,familyCode=0x1005,"
      "minimumImageDate=0x20070101,vendorTag=QRW730N",
      definition, error);
  EXPECT_TRUE(parsed) << error;
  definition.imageSize = fullBlocks * 0x8000 + 0x0C35;
  definition.updateScope = updateScope;
  sim::ImageFields fields;
  fields.revision = "1.30 ";
  std::vector<sim::ImageFile> made;
  EXPECT_TRUE(sim::ImagesForDefinition(definition, fields, definition.fileName, made, error)) << error;
  auto files = std::make_shared<const std::vector<sim::ImageFile>>(std::move(made));
  return Procedure{
      name,
      [files](sim::SimPc& pc) {
        for (const auto& f : *files) pc.AddFile(f.path, f.bytes);
        sim::Qbc850Config config;
        sim::WriterConfig writer;
        sim::FindWriterModel("qrw730", config, writer);
        config.revision = "1.22";
        writer.handshake = true;
        return std::make_shared<sim::QrwDrive>(config, writer);
      },
      sim::DefinitionLoader({definition}),
      [files](const sim::SimDrive& drive) {
        const auto& d = dynamic_cast<const sim::QrwDrive&>(drive);
        const std::vector<std::uint8_t>& normal = files->front().bytes;
        const bool kernelPart = files->size() == 1 || d.kernelImage() == files->back().bytes;
        const std::string revision(normal.begin() + kHeaderRevision, normal.begin() + kHeaderRevision + 4);
        return DriveEnd{d.flashedImage() == normal && kernelPart,
                        !d.inKernel() && d.config().revision == revision, d.inKernel(), d.inKernel()};
      },
      false,
      true,
  };
}

// A QRD-570 at revision 1.05 under a family-1 definition and its HEX image.
// A family up to 7 reads the drive back before and after the flash, and its
// read-back covers 128 KiB whatever the image's size, so its image is
// 0x20000 bytes: four full blocks, then the closing block that repeats the
// last 4 KiB with the marker. A G6 drive (1.06) takes the same commands with
// the patch block read from a file and another marker, so it adds no row.
// Family 8 (its texts one place on, at 0x1010) is never read back: nothing
// but the flash command's own answer stands between it and a false success.
Procedure FamilyZero(const char* name, std::int32_t family, sim::FirmwareLayout layout,
                     const std::string& version = "1.07") {
  UpdateDefinition definition{};
  std::string error;
  const bool parsed = sim::ParseDefinition(
      "fileName=QRD570.HEX,modelCode=KESTREL QRD-570,vendor=KESTREL,product=DVD-ROM QRD-570,versionText=" +
          version + ",cpuType=MN103S,extension=HEX,imageSize=0x20000,familyCode=" + std::to_string(family),
      definition, error);
  EXPECT_TRUE(parsed) << error;
  // The bytes the HEX text stands for (its left-out rows are 0xFF, as erased
  // flash is): what the program must send, and the drive hold after the flash.
  auto image = std::make_shared<const std::vector<std::uint8_t>>(sim::MakeFamilyZeroImage(definition));
  const std::string text = sim::HexText(*image);
  auto file = std::make_shared<const std::vector<std::uint8_t>>(text.begin(), text.end());
  return Procedure{
      name,
      [file, layout](sim::SimPc& pc) {
        pc.AddFile("QRD570.HEX", file);
        sim::Qrd570Config config;
        config.layout = layout;
        return std::make_shared<sim::Qrd570Drive>(config);
      },
      sim::DefinitionLoader({definition}),
      [image](const sim::SimDrive& drive) {
        const auto& d = dynamic_cast<const sim::Qrd570Drive&>(drive);
        // This drive keeps its identity across a flash: its INQUIRY revision
        // stays the old one, and the procedure judges the update by reading
        // the firmware area back. The firmware area is then the one witness
        // of the revision the drive runs, so holding the image is reporting it.
        const bool holds = d.firmwareArea() == *image;
        return DriveEnd{holds, holds, d.inUpdateMode()};
      },
      family == 9 && version < "1.08",
  };
}

std::vector<Procedure> Procedures() {
  return {FamilyFour(2), FamilyOne("family one, normal part", 1, 2), FamilyOne("family one, kernel part too", 0, 2),
          FamilyZero("family zero", 1, sim::FirmwareLayout::Text1000),
          FamilyZero("family zero, family 8 (no read-back)", 8, sim::FirmwareLayout::Text1010),
          FamilyZero("family zero, family 9 (binary codes, no read-back)", 9, sim::FirmwareLayout::IdentA),
          // Family 9 from 1.08 on is allowed on Windows 98 and Me, so every route.
          FamilyZero("family zero, family 9 at 1.08", 9, sim::FirmwareLayout::IdentA, "1.08"),
          FamilyZero("family zero, family 11 (binary codes, no read-back)", 11, sim::FirmwareLayout::IdentB)};
}

// ---- the routes -----------------------------------------------------------------

struct Route {
  const char* name;
  sim::SimRoute route;
  sim::HostSetup host;
  sim::VolumeOptions volume;  // pass-through: the drive's volume
};

// Every route applies to every procedure: all three reach the drive through
// the same transport and discovery, and the host set-ups steer steps of each
// (the Intel drivers' status rule and waits, the bridge's waits, the
// family-zero marker). Only the families the program refuses on Windows 98
// and Me skip the ASPI routes (Procedure::passThroughOnly).
const Route kRoutes[] = {
    {"pass-through", sim::SimRoute::PassThrough, {}, {}},
    {"ASPI", sim::SimRoute::Aspi, {}, {}},
    {"ASPI, Intel ATA driver", sim::SimRoute::Aspi, {.intelAta = true}, {}},
    {"pass-through, Intel Application Accelerator", sim::SimRoute::PassThrough,
     {.applicationAccelerator = true}, {}},
    {"pass-through, volume without SCSI address", sim::SimRoute::PassThrough, {}, {.noAddress = true}},
    {"ASPI, drive behind the IEEE1394 bridge", sim::SimRoute::Aspi, {.bridgeAdapter = 0}, {}},
};

// ---- the faults -----------------------------------------------------------------

enum class Reach {
  ThisCommand,    // the chosen occurrence only
  DataIn,         // the same, for commands that read data only
  FromHereOn,     // this command and every later one, whatever it is
};

struct Fault {
  const char* name;
  FaultAction action;
  std::uint8_t key = 0, asc = 0, ascq = 0;
  Reach reach = Reach::ThisCommand;
  bool halfReply = false;  // ShortReply: half of what was asked, else nothing
  bool executed = false;   // the drive carries the command out first
};

const Fault kFaults[] = {
    {"not ready, becoming ready (2/04/01)", FaultAction::Sense, 2, 0x04, 0x01},
    {"not ready, no medium (2/3A/00)", FaultAction::Sense, 2, 0x3A, 0x00},
    {"medium error (3/0C/00)", FaultAction::Sense, 3, 0x0C, 0x00},
    {"hardware error (4/44/00)", FaultAction::Sense, 4, 0x44, 0x00},
    {"illegal request (5/24/00)", FaultAction::Sense, 5, 0x24, 0x00},
    {"unit attention (6/29/00)", FaultAction::Sense, 6, 0x29, 0x00},
    {"time-out", FaultAction::Timeout},
    {"transport failure", FaultAction::TransportFail},
    // A drive that restarts as it takes a command (the normal-mode switch
    // above all) acts on it and then answers strangely, or not at all.
    {"not ready after the drive acted", FaultAction::Sense, 2, 0x04, 0x01, Reach::ThisCommand, false, true},
    {"unit attention after the drive acted", FaultAction::Sense, 6, 0x29, 0x00, Reach::ThisCommand, false, true},
    {"time-out after the drive acted", FaultAction::Timeout, 0, 0, 0, Reach::ThisCommand, false, true},
    {"transport failure after the drive acted", FaultAction::TransportFail, 0, 0, 0, Reach::ThisCommand, false,
     true},
    {"reply of half the length asked", FaultAction::ShortReply, 0, 0, 0, Reach::DataIn, true},
    {"reply of no bytes", FaultAction::ShortReply, 0, 0, 0, Reach::DataIn, false},
    {"the drive vanishes", FaultAction::TransportFail, 0, 0, 0, Reach::FromHereOn},
};

// The rule that injects `fault` at entry `index` of the happy path's log, or
// nothing when the fault does not apply to that command.
std::optional<FaultRule> RuleFor(const Fault& fault, const std::vector<sim::CommandRecord>& log,
                                 std::size_t index) {
  const sim::CommandRecord& at = log[index];
  if (fault.reach == Reach::DataIn && at.direction != 1) return std::nullopt;
  FaultRule rule;
  rule.action = fault.action;
  rule.key = fault.key;
  rule.asc = fault.asc;
  rule.ascq = fault.ascq;
  rule.executed = fault.executed;
  rule.replyLength = fault.halfReply ? at.length / 2 : 0;
  if (fault.reach == Reach::FromHereOn) {
    rule.occurrence = static_cast<int>(index) + 1;
    rule.andLater = true;
    return rule;
  }
  // The same occurrence of the same command: up to it the faulty run sends
  // what the happy path sent.
  rule.opcode = at.cdb[0];
  const bool buffer = at.cdb[0] == kOpReadBuffer || at.cdb[0] == kOpWriteBuffer;
  if (buffer) {
    rule.mode = at.cdb[1];
    rule.bufferId = at.cdb[2];
  }
  rule.occurrence = 0;
  for (std::size_t i = 0; i <= index; ++i) {
    const auto& r = log[i];
    if (r.cdb[0] == at.cdb[0] && (!buffer || (r.cdb[1] == at.cdb[1] && r.cdb[2] == at.cdb[2]))) {
      ++rule.occurrence;
    }
  }
  return rule;
}

std::string Describe(const std::vector<sim::CommandRecord>& log, std::size_t index) {
  const auto& r = log[index];
  char text[64];
  std::snprintf(text, sizeof text, "command %zu (%02X %02X %02X, %s %u)", index + 1, r.cdb[0], r.cdb[1], r.cdb[2],
                r.direction == 1 ? "in" : r.direction == 2 ? "out" : "none", r.length);
  return text;
}

// ---- one run ------------------------------------------------------------------

// Questions are answered yes, as a user who wants the update would; the same
// question asked again and again is declined at last, so no run loops. With
// declineAt n, the n-th question that the happy path never asked (a retry,
// the update question of a retry pass) is declined instead.
struct Answerer {
  const std::set<std::string>* happy = nullptr;
  int declineAt = 0;
  std::map<std::string, int> asked;
  int newQuestions = 0;

  int Answer(const sim::BoxRecord& box) {
    constexpr int kRepeats = 3;
    const bool okCancel = (box.type & 0x0F) == win::MB_OKCANCEL;
    const int yes = okCancel ? win::IDOK : win::IDYES;
    const int no = okCancel ? win::IDCANCEL : win::IDNO;
    if (happy != nullptr && happy->count(box.text) == 0 && ++newQuestions == declineAt) return no;
    return ++asked[box.text] <= kRepeats ? yes : no;
  }
};

struct Outcome {
  int exitCode = 0;
  int updatedCount = 0;
  std::string console;
  // For each console write: the console's length after it, and how many
  // commands the drive had received by then.
  std::vector<std::pair<std::size_t, std::size_t>> writes;
  std::vector<sim::CommandRecord> log;
  DriveEnd end;
  int newQuestions = 0;
  std::set<std::string> questions;
  std::uint64_t virtualMs = 0;
  int abortRequests = 0;  // SC_ABORT_SRB requests the ASPI layer received
};

// One whole run of the utility on a fresh PC of the route, with the fault (if
// any) waiting in the drive. happy: the questions of the happy path (none
// while it is the happy path that runs).
Outcome RunOnce(const Procedure& procedure, const Route& route, const std::vector<FaultRule>& faults,
                const std::set<std::string>* happy, int declineAt,
                sim::AspiAbort abortAnswer = sim::AspiAbort::Honour) {
  sim::SimPc pc;
  const auto drive = procedure.prepare(pc);
  for (const FaultRule& fault : faults) drive->AddFault(fault);
  sim::HostSetup host = route.host;
  host.aspiAbort = abortAnswer;
  sim::PcBuilder(route.route).Host(host).Drive(drive, {.volume = route.volume}).Build(pc);

  Outcome out;
  Answerer answerer{happy, declineAt, {}, 0};
  pc.answerer = [&](const sim::BoxRecord& box) {
    out.questions.insert(box.text);
    return answerer.Answer(box);
  };
  pc.consoleSink = [&](const std::string&) { out.writes.emplace_back(pc.Console().size(), drive->log.size()); };

  RunSteps steps = DefaultRunSteps();
  if (procedure.loadDefinitions) steps.loadDefinitions = procedure.loadDefinitions;
  {
    Context ctx(pc);
    out.exitCode = RunUpdate(ctx, steps);
    out.updatedCount = ctx.run.updatedCount;
  }
  out.console = pc.Console();
  out.log = drive->log;
  out.end = procedure.inspect(*drive);
  out.newQuestions = answerer.newQuestions;
  out.virtualMs = pc.NowMs();
  out.abortRequests = pc.AbortRequests();
  return out;
}

// ---- the invariants ---------------------------------------------------------------

// The messages that say a check refused the image or the drive: after any
// of them nothing may be written to the drive.
std::vector<std::string> RefusalTexts() {
  using M = MessageCode;
  const MessageCode codes[] = {
      M::kHardwareRevisionMismatch, M::kNormalModelMismatch, M::kFirmwareAlreadyLatestVersion,
      M::kKernelUpdateNotNeeded, M::kBinaryFileLoadFailed, M::kHexFileLoadFailed, M::kPatchFileLoadFailed,
      M::kCurrentFirmwareOtherMaker, M::kSelectedFileOtherMaker, M::kReferenceFileIllegal,
      M::kKernelModelMismatch, M::kIllegalKernelFile, M::kIllegalFirmwareFile, M::kFirmwareAlreadyThisVersion,
      M::kCurrentFirmwareUnsupported, M::kSelectedFileUnsupported, M::kAutoInsertNotificationEnabled,
      M::kFirmwareAlreadyLatest, M::kUtilityUpdateNeeded, M::kKernelUpdateNeeded, M::kFirmwareFileMismatch,
      M::kModelCodeMismatch, M::kCpuTypeMismatch, M::kCselPolarityDiffers, M::kDefinitionFileIllegal,
      M::kFirmwareFileTooOld, M::kKernelFileLoadFailed, M::kPreProductionFirmware, M::kScrambleModeMismatch,
      M::kIllegalFirmwareVersion,
  };
  std::vector<std::string> texts;
  for (MessageCode code : codes) {
    const std::string text = EnglishText(static_cast<int>(code));
    texts.push_back(text.substr(0, text.find('%')));  // the words before any value
  }
  return texts;
}

std::string Tail(const std::string& text, std::size_t n) {
  return text.size() < n ? text : text.substr(text.size() - n);
}

// Console text on one line, its line ends written out.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
  return out;
}

struct Verdict {
  std::vector<std::string> broken;  // every invariant the outcome breaks, in words
  bool refused = false;             // a check refused the image or the drive
};

// The last line of a run that leaves its drive in the kernel.
const std::string leftInKernel =
    "\r\nThe device No.1 is still in its update kernel: run this program again to finish its update.";

// The console up to its closing messages: without the line naming a drive left in its kernel.
std::string ClosingMessagesEnd(const std::string& console) {
  if (Tail(console, leftInKernel.size()) != leftInKernel) return console;
  return console.substr(0, console.size() - leftInKernel.size());
}

Verdict Judge(const Outcome& o) {
  static const std::vector<std::string> refusals = RefusalTexts();
  static const std::string success = EnglishText(static_cast<int>(MessageCode::kUpdateSucceeded));
  static const std::string terminated = EnglishText(static_cast<int>(MessageCode::kTerminatedByError));
  constexpr std::uint64_t kVirtualHour = 3600 * 1000;
  Verdict verdict;
  std::vector<std::string>& broken = verdict.broken;

  if (o.exitCode != 0 && o.exitCode != 1) broken.push_back("exit code " + std::to_string(o.exitCode));
  if (o.virtualMs > 2 * kVirtualHour) broken.push_back("the run took " + std::to_string(o.virtualMs) + " ms");

  const bool claimed = o.console.find(success) != std::string::npos || o.updatedCount != 0;
  if (claimed && !(o.end.holdsImage && o.end.reportsImageRevision && !o.end.withoutFirmware)) {
    broken.push_back("success claimed for a drive without the image");
  }
  // A drive the run believes in its kernel is named after the closing messages.
  const bool named = Tail(o.console, leftInKernel.size()) == leftInKernel;
  const std::string closing = Tail(o.console, terminated.size() + (named ? leftInKernel.size() : 0));
  if (o.end.withoutFirmware) {
    if (o.updatedCount != 0) broken.push_back("a drive without its firmware counted as updated");
    if (o.exitCode != 1 || closing.compare(0, terminated.size(), terminated) != 0) {
      broken.push_back("a drive left without its firmware, and the run does not end as a failure");
    }
  }
  if (o.end.inKernel && !named) broken.push_back("a drive left in its kernel, and the run does not name it");
  if (named && o.exitCode != 1) broken.push_back("a drive named as left in its kernel, and exit code 0");

  for (const auto& refusal : refusals) {
    const std::size_t at = o.console.find(refusal);
    if (at == std::string::npos) continue;
    verdict.refused = true;
    std::size_t sent = o.log.size();
    for (const auto& [consoleEnd, logSize] : o.writes) {
      if (consoleEnd > at) {
        sent = logSize;
        break;
      }
    }
    for (std::size_t i = sent; i < o.log.size(); ++i) {
      if (o.log[i].cdb[0] == kOpWriteBuffer) {
        broken.push_back("written after \"" + Escaped(refusal) + "\"");
        break;
      }
    }
  }
  return verdict;
}

// ---- the matrix -----------------------------------------------------------------

// One case of the matrix per procedure and route, so each is a test of its
// own: the whole matrix under the sanitizers takes minutes, which no single
// test should.
struct Cell {
  std::size_t procedure;
  std::size_t route;
};

void PrintTo(const Cell& cell, std::ostream* os) { *os << "procedure " << cell.procedure << ", route " << cell.route; }

// Made once per test program: test names and cases read the same rows.
const std::vector<Procedure>& TheProcedures() {
  static const std::vector<Procedure> procedures = Procedures();
  return procedures;
}

// The cells of the matrix, or those `wanted` picks.
std::vector<Cell> Cells(bool (*wanted)(const Procedure&, const Route&) = nullptr) {
  std::vector<Cell> cells;
  const std::vector<Procedure>& procedures = TheProcedures();
  for (std::size_t p = 0; p < procedures.size(); ++p) {
    for (std::size_t r = 0; r < std::size(kRoutes); ++r) {
      if (procedures[p].passThroughOnly && kRoutes[r].route != sim::SimRoute::PassThrough) continue;
      if (wanted != nullptr && !wanted(procedures[p], kRoutes[r])) continue;
      cells.push_back({p, r});
    }
  }
  return cells;
}

// "family zero, family 8 (no read-back)" → "FamilyZeroFamily8NoReadBack".
std::string TestName(const std::string& text) {
  std::string name;
  bool upper = true;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
      upper = true;
      continue;
    }
    name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    upper = false;
  }
  return name;
}

// What the cases of one test came to.
struct Tally {
  int cases = 0, failing = 0, refusals = 0, undone = 0;
  std::uint64_t longest = 0;
};

// The run of `base` again, with each fault of `kinds` at each of its commands
// from `from` on, on top of the faults `earlier` that gave `base` its path:
// each case first with yes to everything, then once for each question the
// new fault brought (a retry, say), with that one declined. Up to the
// declined question a run asks what the first one asked.
void TryFaults(const Procedure& procedure, const Route& route, const std::vector<FaultRule>& earlier,
               const Outcome& base, std::size_t from, std::span<const Fault> kinds, const std::string& context,
               Tally& tally) {
  constexpr int kReported = 25;  // failing cases shown in full; the rest are counted
  for (std::size_t index = from; index < base.log.size(); ++index) {
    for (const Fault& fault : kinds) {
      const std::optional<FaultRule> rule = RuleFor(fault, base.log, index);
      if (!rule) continue;
      std::vector<FaultRule> faults = earlier;
      faults.push_back(*rule);
      int declinable = 0;
      for (int declineAt = 0; declineAt <= declinable; ++declineAt) {
        const Outcome o = RunOnce(procedure, route, faults, &base.questions, declineAt);
        ++tally.cases;
        tally.longest = std::max(tally.longest, o.virtualMs);
        const Verdict verdict = Judge(o);
        tally.refusals += verdict.refused ? 1 : 0;
        tally.undone += o.end.withoutFirmware ? 1 : 0;
        if (!verdict.broken.empty() && ++tally.failing <= kReported) {
          std::string what;
          for (const auto& b : verdict.broken) what += "\n  " + b;
          ADD_FAILURE() << context << Describe(base.log, index) << ", " << fault.name
                        << (declineAt > 0 ? ", question " + std::to_string(declineAt) + " of its own declined"
                                          : std::string())
                        << ":" << what << "\n  exit " << o.exitCode
                        << ", console ends: " << Escaped(Tail(o.console, 160));
        }
        if (declineAt == 0) declinable = o.newQuestions;
      }
    }
  }
}

void Report(const char* kind, const Procedure& procedure, const Route& route, std::size_t commands,
            const Tally& tally) {
  std::printf("[fault matrix] %s, %s, %s: %zu commands on the happy path, %d cases tried, %d broke an "
              "invariant; a check refused the image in %d, the drive was left without its firmware in %d; "
              "longest run %llu s of virtual time\n",
              kind, procedure.name, route.name, commands, tally.cases, tally.failing, tally.refusals,
              tally.undone, static_cast<unsigned long long>(tally.longest / 1000));
  ::testing::Test::RecordProperty("cases", tally.cases);
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {
 protected:
  const Procedure& procedure() const { return TheProcedures()[GetParam().procedure]; }
  const Route& route() const { return kRoutes[GetParam().route]; }

  // The run with nothing failing, which every case departs from.
  void RunHappyPath() {
    happy_ = RunOnce(procedure(), route(), {}, nullptr, 0);
    ASSERT_EQ(happy_.exitCode, 0) << happy_.console;
    ASSERT_EQ(happy_.updatedCount, 1);
    ASSERT_TRUE(happy_.end.holdsImage && happy_.end.reportsImageRevision);
    ASSERT_TRUE(Judge(happy_).broken.empty());
  }

  Outcome happy_;
};

TEST_P(FaultMatrix, NoFaultMakesARunClaimADriveWithoutTheImage) {
  ASSERT_NO_FATAL_FAILURE(RunHappyPath());
  Tally tally;
  TryFaults(procedure(), route(), {}, happy_, 0, kFaults, "", tally);
  Report("one fault", procedure(), route(), happy_.log.size(), tally);
  EXPECT_EQ(tally.failing, 0);
}

// The ways a write of the image or a mode switch fails first in the double
// faults: the drive refuses it, it goes unanswered after the drive acted, or
// the host loses it. The recovery that follows (the read-back, the retry)
// then meets every fault of kFaults at each of its commands.
const Fault kFirstFaults[] = {
    {"medium error (3/0C/00)", FaultAction::Sense, 3, 0x0C, 0x00},
    {"time-out after the drive acted", FaultAction::Timeout, 0, 0, 0, Reach::ThisCommand, false, true},
    {"transport failure", FaultAction::TransportFail},
};

TEST_P(FaultMatrix, NoSecondFaultInTheRecoveryMakesARunClaimADriveWithoutTheImage) {
  ASSERT_NO_FATAL_FAILURE(RunHappyPath());
  Tally tally;
  for (std::size_t index = 0; index < happy_.log.size(); ++index) {
    if (happy_.log[index].cdb[0] != kOpWriteBuffer) continue;
    for (const Fault& first : kFirstFaults) {
      const std::optional<FaultRule> rule = RuleFor(first, happy_.log, index);
      if (!rule) continue;
      const Outcome failed = RunOnce(procedure(), route(), {*rule}, &happy_.questions, 0);
      const std::string context = "after " + Describe(happy_.log, index) + ", " + first.name + ": ";
      TryFaults(procedure(), route(), {*rule}, failed, index + 1, kFaults, context, tally);
    }
  }
  Report("two faults", procedure(), route(), happy_.log.size(), tally);
  EXPECT_EQ(tally.failing, 0);
}

// ---- unit attention on a read --------------------------------------------------

bool SameCommand(const sim::CommandRecord& a, const sim::CommandRecord& b) {
  return a.cdb == b.cdb && a.direction == b.direction && a.length == b.length;
}

// A drive reports a restart (or a medium change) as a unit attention to the
// next command, which it does not carry out. Each read of the happy path
// (INQUIRY, TEST UNIT READY, the drive-information read, the firmware-area
// read-back) meets one up to three times in a row: it is sent again that many
// times and the run goes on as the happy path did, command for command. A
// fourth in a row fails the read as any failure would; it is not sent a fifth
// time, except by the ready check, which repeats on its own. An ASPI probe
// asks for no sense and cannot tell a unit attention from another failure,
// so it is left out.
TEST_P(FaultMatrix, AReadMeetingAUnitAttentionIsSentAgainAtMostThreeTimes) {
  ASSERT_NO_FATAL_FAILURE(RunHappyPath());
  constexpr std::size_t kDiscoveryProbes = 2;  // INQUIRY and the drive-information read
  const bool aspi = route().route == sim::SimRoute::Aspi;
  Tally tally;
  for (std::size_t index = 0; index < happy_.log.size(); ++index) {
    const sim::CommandRecord& read = happy_.log[index];
    CdbBytes cdb{};
    std::copy(read.cdb.begin(), read.cdb.end(), cdb.begin());
    if (!ResendableRead(cdb) || (aspi && index < kDiscoveryProbes)) continue;
    const Fault attention{"unit attention (6/29/00)", FaultAction::Sense, 6, 0x29, 0x00};
    const FaultRule first = *RuleFor(attention, happy_.log, index);
    const bool readyCheck = read.cdb[0] == kOpTestUnitReady;
    for (int times = 1; times <= 4; ++times) {
      std::vector<FaultRule> faults;
      for (int i = 0; i < times; ++i) {
        faults.push_back(first);
        faults.back().occurrence = first.occurrence + i;
      }
      const Outcome o = RunOnce(procedure(), route(), faults, &happy_.questions, 0);
      ++tally.cases;
      tally.longest = std::max(tally.longest, o.virtualMs);
      const std::string context = Describe(happy_.log, index) + ", " + std::to_string(times) + " unit attentions";
      const Verdict verdict = Judge(o);
      for (const auto& b : verdict.broken) ADD_FAILURE() << context << ": " << b;
      if (times <= kUnitAttentionResends || readyCheck) {
        // The happy path's commands with the read repeated `times` times.
        std::vector<sim::CommandRecord> expected(happy_.log.begin(), happy_.log.begin() + index);
        expected.insert(expected.end(), static_cast<std::size_t>(times), read);
        expected.insert(expected.end(), happy_.log.begin() + index, happy_.log.end());
        bool same = o.log.size() == expected.size();
        for (std::size_t i = 0; same && i < expected.size(); ++i) same = SameCommand(o.log[i], expected[i]);
        EXPECT_TRUE(same) << context << ": " << o.log.size() << " commands, " << expected.size() << " expected";
        EXPECT_EQ(o.exitCode, 0) << context << ": " << Escaped(Tail(o.console, 160));
        EXPECT_EQ(o.updatedCount, 1) << context;
      } else {
        // Sent back to back, four times; a caller that waits and asks again
        // (the read-back's own retries under some drivers) is not the resend.
        constexpr std::uint64_t kBackToBackMs = 100;
        std::size_t sent = 1;
        while (index + sent < o.log.size() && SameCommand(o.log[index + sent], read) &&
               o.log[index + sent].atMs - o.log[index + sent - 1].atMs < kBackToBackMs) {
          ++sent;
        }
        EXPECT_EQ(sent, static_cast<std::size_t>(kUnitAttentionResends) + 1) << context;
      }
    }
  }
  Report("unit attention on a read", procedure(), route(), happy_.log.size(), tally);
}

// A read-back whose INQUIRY comes back cut short, after a whole transfer,
// leads to the retry question; the restarted drive still holds its unit
// attention for the next command. Answered yes, the retry pass finds the
// drive at the image's revision and reports it updated, without sending the
// image again.
class RetryMatrix : public FaultMatrix {};

TEST_P(RetryMatrix, ARetryAfterACutReadBackFindsTheDriveUpdated) {
  ASSERT_NO_FATAL_FAILURE(RunHappyPath());
  std::size_t lastInquiry = 0;
  for (std::size_t i = 0; i < happy_.log.size(); ++i) {
    if (happy_.log[i].cdb[0] == kOpInquiry) lastInquiry = i;
  }
  const Fault cut{"reply of no bytes", FaultAction::ShortReply, 0, 0, 0, Reach::DataIn, false};
  FaultRule rule = *RuleFor(cut, happy_.log, lastInquiry);
  rule.replyLength = 8;
  const Outcome o = RunOnce(procedure(), route(), {rule}, &happy_.questions, 0);
  const auto imageBlocks = [](const std::vector<sim::CommandRecord>& log) {
    return std::count_if(log.begin(), log.end(), [](const sim::CommandRecord& r) {
      return r.cdb[0] == kOpWriteBuffer && r.cdb[1] == kModeDownload;
    });
  };
  EXPECT_TRUE(Judge(o).broken.empty());
  EXPECT_EQ(o.newQuestions, 1);  // the retry question, and no question of a second update
  EXPECT_EQ(o.exitCode, 0) << Escaped(Tail(o.console, 200));
  EXPECT_EQ(o.updatedCount, 1);
  EXPECT_TRUE(o.end.holdsImage && o.end.reportsImageRevision);
  EXPECT_EQ(imageBlocks(o.log), imageBlocks(happy_.log));
}

// ---- the ASPI abort -----------------------------------------------------------------

// Each command of the happy path goes unanswered on an ASPI route, so the
// transport gives it up (when its wait has a limit) and asks the layer to
// abort it. A layer that does lets the run go on as after any failed command;
// one that refuses keeps the request block, and then the run ends, exit 1,
// with the line that says the last command never finished, and no failure
// after it names a command that could not be sent.
class AspiMatrix : public FaultMatrix {};

TEST_P(AspiMatrix, AGivenUpCommandIsAbortedOrTheRunSaysItNeverFinished) {
  ASSERT_NO_FATAL_FAILURE(RunHappyPath());
  static const std::string unfinished = "\nThe drive's last command never finished";
  static const std::string terminated = EnglishText(static_cast<int>(MessageCode::kTerminatedByError));
  static const std::string inquiryFailed = EnglishText(static_cast<int>(MessageCode::kInquiryFailed));
  const Fault silent{"time-out", FaultAction::Timeout};
  Tally tally;
  for (std::size_t index = 0; index < happy_.log.size(); ++index) {
    const FaultRule rule = *RuleFor(silent, happy_.log, index);
    for (const sim::AspiAbort answer : {sim::AspiAbort::Honour, sim::AspiAbort::Refuse}) {
      const bool honoured = answer == sim::AspiAbort::Honour;
      const Outcome o = RunOnce(procedure(), route(), {rule}, &happy_.questions, 0, answer);
      ++tally.cases;
      tally.longest = std::max(tally.longest, o.virtualMs);
      const std::string context =
          Describe(happy_.log, index) + (honoured ? ", abort honoured" : ", abort refused");
      for (const auto& b : Judge(o).broken) ADD_FAILURE() << context << ": " << b;
      const std::size_t at = o.console.find(unfinished);
      if (honoured || o.abortRequests == 0) {
        EXPECT_EQ(at, std::string::npos) << context;
        // A normal block lost this way is sent again in the retry pass.
        const sim::CommandRecord& lost = happy_.log[index];
        const bool normalBlock = lost.cdb[0] == kOpWriteBuffer && lost.cdb[1] == kModeDownload &&
                                 lost.cdb[2] == kBufferNormalPart;
        if (procedure().offersRetry && normalBlock) {
          EXPECT_EQ(o.exitCode, 0) << context << ": " << Escaped(Tail(o.console, 200));
          EXPECT_EQ(o.updatedCount, 1) << context;
        }
        continue;
      }
      ASSERT_NE(at, std::string::npos) << context << ": " << Escaped(Tail(o.console, 200));
      EXPECT_EQ(o.exitCode, 1) << context;
      EXPECT_EQ(o.console.find(terminated), o.console.find('.', at + unfinished.size() + 1) + 1) << context;
      EXPECT_EQ(Tail(ClosingMessagesEnd(o.console), terminated.size()), terminated) << context;
      // No INQUIRY fails on the happy path: one said to fail now was never sent.
      if (happy_.log[index].cdb[0] != kOpInquiry) {
        EXPECT_EQ(o.console.find(inquiryFailed), std::string::npos) << context << ": " << Escaped(o.console);
      }
    }
  }
  Report("ASPI abort", procedure(), route(), happy_.log.size(), tally);
}

std::string CellName(const ::testing::TestParamInfo<Cell>& cell) {
  return TestName(TheProcedures()[cell.param.procedure].name) + "_" + TestName(kRoutes[cell.param.route].name);
}

INSTANTIATE_TEST_SUITE_P(ProcedureByRoute, FaultMatrix, ::testing::ValuesIn(Cells()), CellName);
// The procedures whose read-back offers another pass, on every route.
INSTANTIATE_TEST_SUITE_P(ProcedureByRoute, RetryMatrix,
                         ::testing::ValuesIn(Cells([](const Procedure& p, const Route&) { return p.offersRetry; })),
                         CellName);
// Every procedure on the ASPI routes, whose layer the transport asks to abort.
INSTANTIATE_TEST_SUITE_P(ProcedureByRoute, AspiMatrix,
                         ::testing::ValuesIn(Cells([](const Procedure&, const Route& r) {
                           return r.route == sim::SimRoute::Aspi;
                         })),
                         CellName);

}  // namespace
}  // namespace odf
