// Fuzz target: the drives' replies. Each simulated drive answers from a byte
// script the fuzzer writes (sim/drives/reply_script_drive.h): INQUIRY data, the
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
// family four (the built-in definition), family one (a QRW-730 writer that
// demands the unlock handshake, whose challenge is one more scripted reply)
// or family zero (a QRD-570 whose firmware area, read back before and after
// the flash, is another).
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
#include "fuzz/fuzz_support.h"
#include "sim/drives/qrd_drive.h"
#include "sim/drives/qrw_drive.h"
#include "sim/drives/reply_script_drive.h"
#include "sim/drives/sim_drive.h"
#include "sim/fixtures/hex_image.h"
#include "sim/fixtures/image_maker.h"
#include "sim/fixtures/sim_definition.h"
#include "sim/frontend/sim_run.h"
#include "sim/pc/pc_builder.h"
#include "sim/pc/sim_pc.h"

namespace {

using namespace odf;

// What one procedure's run needs: the definition, its files (and the image
// bytes a drive must end up holding), a model of drive it serves, the
// identities (vendor and product) that drive may name itself by, and what
// must hold of the model after any run.
struct Prepared {
  UpdateDefinition definition;
  std::vector<sim::ImageFile> files;
  std::vector<std::uint8_t> image;
};

struct Procedure {
  const char* name;
  Prepared (*prepare)();
  std::shared_ptr<sim::SimDrive> (*model)(bool kernel);
  std::vector<std::string_view> identities;
  bool readsDriveInfo;  // the drive information is read before anything is written
  void (*check)(const sim::SimDrive& model, const std::vector<std::uint8_t>& image);
};

// Families four and one: images made as --make-image makes them.
Prepared BinaryImages(const UpdateDefinition& definition) {
  Prepared p{definition, {}, {}};
  sim::ImageFields fields;
  fields.revision = "1.30 ";  // newer than the drives'
  std::string error;
  if (!sim::ImagesForDefinition(definition, fields, definition.fileName, p.files, error)) fuzz::Broken(error.c_str());
  p.image = p.files.front().bytes;
  return p;
}

UpdateDefinition Parsed(const char* text) {
  UpdateDefinition d{};
  std::string error;
  if (!sim::ParseDefinition(text, d, error)) fuzz::Broken(error.c_str());
  return d;
}

// What reaches a kernel-switching drive is the image's own bytes at their own
// offsets, and what it flashes is the whole image.
void CheckKernelSwitchingDrive(const sim::SimDrive& model, const std::vector<std::uint8_t>& image) {
  const auto& drive = static_cast<const sim::Qbc850Drive&>(model);
  fuzz::Require(fuzz::StartsWith(image, drive.normalImage()), "the blocks a drive holds are the image's");
  if (drive.flashCount() > 0) fuzz::Require(drive.flashedImage() == image, "a drive flashes exactly the image");
}

Prepared FamilyFour() { return BinaryImages(fuzz::BuiltInWith(fuzz::kSmallImageSize, 1)); }

std::shared_ptr<sim::SimDrive> FamilyFourDrive(bool kernel) {
  sim::Qbc850Config config;
  config.kernel = kernel;
  return std::make_shared<sim::Qbc850Drive>(config);
}

// A QRW-730 at a revision that demands the unlock handshake, so its
// challenge (READ BUFFER of buffer 0xF2) is a reply the script can write.
Prepared FamilyOne() {
  return BinaryImages(Parsed("fileName=Q7300122.BIN,vendor=KESTREL,product=DVD-RW  QRW-730,extension=BIN,"
                             "imageSize=0x9000,familyCode=0x1005,updateScope=1,minimumImageDate=0x20070101,"
                             "vendorTag=QRW730N"));
}

std::shared_ptr<sim::SimDrive> FamilyOneDrive(bool kernel) {
  sim::Qbc850Config config;
  sim::WriterConfig writer;
  sim::FindWriterModel("qrw730", config, writer);
  config.revision = "1.22";
  config.kernel = kernel;
  writer.handshake = true;
  return std::make_shared<sim::QrwDrive>(config, writer);
}

// A QRD-570 and its HEX image (with the G6 patch file beside it): the
// firmware area it reads back (READ BUFFER of buffer 0x80) is a reply the
// script can write. The image is as large as the area the read-back compares.
Prepared FamilyZero() {
  Prepared p{Parsed("fileName=QRD570.HEX,modelCode=KESTREL QRD-570,vendor=KESTREL,product=DVD-ROM QRD-570,"
                    "versionText=1.07,cpuType=MN103S,extension=HEX,imageSize=0x20000,familyCode=1"),
             {}, {}};
  std::string error;
  if (!sim::HexImageForDefinition(p.definition, p.definition.fileName, p.files, error)) fuzz::Broken(error.c_str());
  const std::string patch = sim::HexText(sim::MakePatchBlock(), sim::kPatchBlockOffset);
  p.files.push_back({"G6PATCH.HEX", std::vector<std::uint8_t>(patch.begin(), patch.end())});
  p.image = sim::MakeFamilyZeroImage(p.definition);
  return p;
}

std::shared_ptr<sim::SimDrive> FamilyZeroDrive(bool) { return std::make_shared<sim::Qrd570Drive>(); }

// What a family-zero drive flashes is the whole image.
void CheckFamilyZeroDrive(const sim::SimDrive& model, const std::vector<std::uint8_t>& image) {
  const auto& drive = static_cast<const sim::Qrd570Drive&>(model);
  if (drive.flashCount() > 0) {
    fuzz::Require(fuzz::StartsWith(drive.firmwareArea(), image), "a drive flashes exactly the image");
  }
}

const Procedure kProcedures[] = {
    {"family four", FamilyFour, FamilyFourDrive, {"KESTREL BD-ROM  QBC-850 ", "KESTREL BD-RW   QBW-610 "}, true,
     CheckKernelSwitchingDrive},
    {"family one", FamilyOne, FamilyOneDrive, {"KESTREL DVD-RW  QRW-730 ", "KESTREL BD-RW   QBW-610 "}, true,
     CheckKernelSwitchingDrive},
    {"family zero", FamilyZero, FamilyZeroDrive, {"KESTREL DVD-ROM QRD-570 "}, false, CheckFamilyZeroDrive},
};

const Prepared& PreparedFor(std::size_t index) {
  static const std::vector<Prepared> all = [] {
    std::vector<Prepared> prepared;
    for (const Procedure& p : kProcedures) prepared.push_back(p.prepare());
    return prepared;
  }();
  return all[index];
}

// A reply of at least `size` bytes the drive really delivered (not bytes some
// earlier reply left in the host's buffer) holding `text` at `at`: to an
// INQUIRY, or to a READ BUFFER of the drive information.
bool Delivered(const sim::ReplyScriptDrive& drive, std::uint8_t opcode, std::size_t size, std::size_t at,
               std::string_view text) {
  return std::any_of(drive.delivered().begin(), drive.delivered().end(), [&](const auto& d) {
    return d.opcode == opcode && (opcode != kOpReadBuffer || d.bufferId == kBufferDriveInfo) &&
           d.bytes.size() >= size && d.bytes.size() >= at + text.size() &&
           std::equal(text.begin(), text.end(), d.bytes.begin() + static_cast<std::ptrdiff_t>(at));
  });
}

// Whatever the drive answers, nothing is written to it before it has named
// itself as the definition's drive (or its kernel) in an INQUIRY reply of its
// own, and sent its drive information where the procedure reads it.
void CheckDrive(const Procedure& procedure, const sim::ReplyScriptDrive& front, const std::vector<std::uint8_t>& image) {
  const bool wrote = std::any_of(front.log.begin(), front.log.end(),
                                 [](const auto& r) { return r.cdb[0] == kOpWriteBuffer; });
  if (wrote) {
    const bool named = std::any_of(procedure.identities.begin(), procedure.identities.end(),
                                   [&](std::string_view id) { return Delivered(front, kOpInquiry, 32, 8, id); });
    fuzz::Require(named, "a drive is written to only after its own INQUIRY reply named it");
    if (procedure.readsDriveInfo) {
      // Hardware revision, signature and the normal part's name (bytes 16-39),
      // or up to byte 32 when that blank says only the kernel runs.
      fuzz::Require(Delivered(front, kOpReadBuffer, 40, 0, "") || Delivered(front, kOpReadBuffer, 33, 32, " "),
                    "a drive is written to only after it sent its drive information");
    }
  }
  procedure.check(front.model(), image);
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
  const std::vector<std::uint8_t>& image = prepared.image;

  std::vector<std::vector<std::uint8_t>> scripts;
  if (setup.twoDrives && size >= 2) {
    const std::size_t first = std::min<std::size_t>(data[1], size - 2);
    scripts.emplace_back(data + 2, data + 2 + first);
    scripts.emplace_back(data + 2 + first, data + size);
  } else {
    scripts.emplace_back(data + 1, data + size);
  }

  sim::SimPc pc;
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
  const int exitCode = sim::RunWithDefinitions(ctx, {prepared.definition});
  fuzz::ShowRun(pc);
  Require(exitCode == 0 || exitCode == 1, "the exit code is 0 or 1");
  for (const auto& drive : drives) CheckDrive(procedure, *drive, image);
  return 0;
}
