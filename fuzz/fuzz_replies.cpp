// Fuzz target: the drives' replies. Each simulated drive answers from a byte
// script the fuzzer writes (sim/reply_script_drive.h): INQUIRY data, the
// drive information, sense bytes (the only way sense reaches the utility:
// REQUEST SENSE is never sent, the transport captures it), statuses, short
// replies, late replies and none at all, with a drive model behind the
// script answering whatever it leaves. The utility runs whole: host checks,
// discovery of every drive, and the update of each target.
//
// Input: one set-up byte, then the script; with two drives, a byte giving the
// first drive's script length comes before the scripts.
//
// The set-up byte picks the procedure, by the definition the run is given:
// family four (the built-in definition) or family one (a QRW-730 writer that
// demands the unlock handshake, whose challenge is one more scripted reply).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/context.h"
#include "core/scsi_codes.h"
#include "fuzz/fuzz_pc.h"
#include "fuzz/fuzz_support.h"
#include "sim/image_maker.h"
#include "sim/pc_builder.h"
#include "sim/qrw_drive.h"
#include "sim/reply_script_drive.h"
#include "sim/sim_definition.h"
#include "sim/sim_drive.h"
#include "sim/sim_pc.h"

namespace {

using namespace odf;

// What a run updates: the definition, the model of drive it serves, and the
// identities (vendor and product) the drive may name itself by, in its
// normal part or its kernel.
struct Procedure {
  const char* name;
  UpdateDefinition (*definition)();
  std::shared_ptr<sim::Qbc850Drive> (*model)(bool kernel);
  std::vector<std::string_view> identities;
};

UpdateDefinition FamilyFourDefinition() { return fuzz::BuiltInWith(fuzz::kSmallImageSize, 1); }

std::shared_ptr<sim::Qbc850Drive> FamilyFourDrive(bool kernel) {
  sim::Qbc850Config config;
  config.kernel = kernel;
  return std::make_shared<sim::Qbc850Drive>(config);
}

// A QRW-730 at a revision that demands the unlock handshake, so its
// challenge (READ BUFFER of buffer 0xF2) is a reply the script can write.
UpdateDefinition FamilyOneDefinition() {
  UpdateDefinition d{};
  std::string error;
  sim::ParseDefinition("fileName=Q7300122.BIN,vendor=KESTREL,product=DVD-RW  QRW-730,extension=BIN,"
                       "imageSize=0x9000,familyCode=0x1005,updateScope=1,minimumImageDate=0x20070101,"
                       "vendorTag=QRW730N",
                       d, error);
  return d;
}

std::shared_ptr<sim::Qbc850Drive> FamilyOneDrive(bool kernel) {
  sim::Qbc850Config config;
  sim::WriterConfig writer;
  sim::FindWriterModel("qrw730", config, writer);
  config.revision = "1.22";
  config.kernel = kernel;
  writer.handshake = true;
  return std::make_shared<sim::QrwDrive>(config, writer);
}

// Family zero (HEX images, the firmware area read back with READ BUFFER of
// buffer 0x80) joins as a row of its own once its procedure and drive model
// are in: the read-back is a data-in reply like the others.
const Procedure kProcedures[] = {
    {"family four", FamilyFourDefinition, FamilyFourDrive,
     {"KESTREL BD-ROM  QBC-850 ", "KESTREL BD-RW   QBW-610 "}},
    {"family one", FamilyOneDefinition, FamilyOneDrive,
     {"KESTREL DVD-RW  QRW-730 ", "KESTREL BD-RW   QBW-610 "}},
};

// The definition and its image files, made once per procedure.
struct Prepared {
  UpdateDefinition definition;
  std::vector<sim::ImageFile> files;
};

const Prepared& PreparedFor(std::size_t index) {
  static const std::vector<Prepared> all = [] {
    std::vector<Prepared> prepared;
    for (const Procedure& p : kProcedures) {
      Prepared one{p.definition(), {}};
      sim::ImageFields fields;
      fields.revision = "1.30 ";  // newer than either drive's
      std::string error;
      if (!sim::ImagesForDefinition(one.definition, fields, one.definition.fileName, one.files, error)) {
        fuzz::Broken(error.c_str());
      }
      prepared.push_back(one);
    }
    return prepared;
  }();
  return all[index];
}

bool Wrote(const sim::SimDrive& drive) {
  return std::any_of(drive.log.begin(), drive.log.end(), [](const auto& r) {
    return r.cdb[0] == kOpWriteBuffer &&
           (r.cdb[1] == kModeKernelSwitch || r.cdb[1] == kModeNormalSwitch || r.cdb[1] == kModeDownload);
  });
}

// A reply of at least `size` bytes the drive really delivered to this command
// (not bytes some earlier reply left in the host's buffer) holding `text` at `at`.
bool Delivered(const sim::ReplyScriptDrive& drive, std::uint8_t opcode, std::size_t size, std::size_t at,
               std::string_view text) {
  return std::any_of(drive.delivered().begin(), drive.delivered().end(), [&](const auto& d) {
    return d.opcode == opcode && d.bytes.size() >= size && d.bytes.size() >= at + text.size() &&
           std::equal(text.begin(), text.end(), d.bytes.begin() + static_cast<std::ptrdiff_t>(at));
  });
}

// Whatever the drive answers: it is switched or sent blocks only once it has
// named itself as the definition's drive (or its kernel) and sent its drive
// information; what reaches it is the image's own bytes at their own
// offsets, and what it flashes is the whole image.
void CheckDrive(const Procedure& procedure, const sim::ReplyScriptDrive& front, const std::vector<std::uint8_t>& image) {
  if (Wrote(front)) {
    const bool named = std::any_of(procedure.identities.begin(), procedure.identities.end(),
                                   [&](std::string_view id) { return Delivered(front, kOpInquiry, 32, 8, id); });
    fuzz::Require(named, "a drive is written to only after its own INQUIRY reply named it");
    fuzz::Require(Delivered(front, kOpReadBuffer, 40, 0, ""),
                  "a drive is written to only after it sent its drive information");
  }
  const auto& drive = static_cast<const sim::Qbc850Drive&>(front.model());
  fuzz::Require(fuzz::StartsWith(image, drive.normalImage()), "the blocks a drive holds are the image's");
  if (drive.flashCount() > 0) fuzz::Require(drive.flashedImage() == image, "a drive flashes exactly the image");
}

// Set-up byte: bit 0 ASPI route, bit 1 two drives, bit 2 the drives start in
// their kernel part, bit 3 the ASPI adapter is the Intel ATA driver's, bit 4
// every question is answered yes a few times; bits 5-7 pick the procedure.
struct Setup {
  bool aspi, twoDrives, kernel, intelAdapter, yesToAll;
};

Setup SetupFrom(std::uint8_t b) {
  return {(b & 1) != 0, (b & 2) != 0, (b & 4) != 0, (b & 8) != 0, (b & 16) != 0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz::Require;
  if (size == 0) return 0;
  const Setup setup = SetupFrom(data[0]);
  const std::size_t index = (data[0] >> 5) % std::size(kProcedures);
  const Procedure& procedure = kProcedures[index];
  const Prepared& prepared = PreparedFor(index);
  const std::vector<std::uint8_t>& image = prepared.files.front().bytes;

  std::vector<std::vector<std::uint8_t>> scripts;
  if (setup.twoDrives && size >= 2) {
    const std::size_t first = std::min<std::size_t>(data[1], size - 2);
    scripts.emplace_back(data + 2, data + 2 + first);
    scripts.emplace_back(data + 2 + first, data + size);
  } else {
    scripts.emplace_back(data + 1, data + size);
  }

  fuzz::FuzzPc pc;
  sim::PcBuilder builder(setup.aspi ? sim::SimRoute::Aspi : sim::SimRoute::PassThrough);
  if (setup.aspi && setup.intelAdapter) builder.Adapter("intelata");
  std::vector<std::shared_ptr<sim::ReplyScriptDrive>> drives;
  for (auto& script : scripts) {
    drives.push_back(std::make_shared<sim::ReplyScriptDrive>(procedure.model(setup.kernel), std::move(script)));
    builder.Drive(drives.back());
  }
  builder.Answers(setup.yesToAll ? std::vector<int>{IDYES, IDYES, IDYES, IDYES} : std::vector<int>{IDYES});
  builder.Build(pc);
  for (const auto& file : prepared.files) pc.AddFile(file.path, file.bytes);

  Context ctx(pc);
  const int exitCode = RunUpdate(ctx, fuzz::StepsWithDefinitions({prepared.definition}));
  fuzz::ShowRun(pc);
  Require(exitCode == 0 || exitCode == 1, "the exit code is 0 or 1");
  for (const auto& drive : drives) CheckDrive(procedure, *drive, image);
  return 0;
}
