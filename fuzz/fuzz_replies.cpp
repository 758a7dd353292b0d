// Fuzz target: the drives' replies. Each simulated drive answers from a byte
// script the fuzzer writes (sim/reply_script_drive.h): INQUIRY data, the
// drive information, sense bytes (the only way sense reaches the utility:
// REQUEST SENSE is never sent, the transport captures it), statuses, short
// replies, late replies and none at all, with a QBC-850 model behind the
// script answering whatever it leaves. The utility runs whole: host checks,
// discovery of every drive, and the update of each target.
//
// Input: one set-up byte, then the script; with two drives, a byte giving the
// first drive's script length comes before the scripts.
//
// The procedure is the one the definition table selects. Family four is the
// one that exists today; the family-zero firmware area (READ BUFFER of the
// firmware area) and the family-one handshake challenge are data-in replies
// like the others, so they come from the script as soon as a procedure asks
// for them: add their definition and drive model as another Procedure row.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

#include "core/context.h"
#include "core/scsi_codes.h"
#include "fuzz/fuzz_pc.h"
#include "fuzz/fuzz_support.h"
#include "sim/image_maker.h"
#include "sim/pc_builder.h"
#include "sim/reply_script_drive.h"
#include "sim/sim_drive.h"
#include "sim/sim_pc.h"

namespace {

using namespace odf;

// What a run updates: the definition's image file, the model of drive it
// serves, and what must hold of that model after any run.
struct Procedure {
  const char* name;
  std::vector<std::uint8_t> (*image)();
  std::shared_ptr<sim::SimDrive> (*model)(bool kernel);
  void (*check)(const sim::ReplyScriptDrive& drive, const std::vector<std::uint8_t>& image);
};

std::vector<std::uint8_t> FamilyFourImage() {
  sim::ImageFields fields;
  fields.size = fuzz::kSmallImageSize;
  return sim::MakeImage(fields);
}

std::shared_ptr<sim::SimDrive> FamilyFourDrive(bool kernel) {
  sim::Qbc850Config config;
  config.kernel = kernel;
  return std::make_shared<sim::Qbc850Drive>(config);
}

bool Sent(const sim::SimDrive& drive, std::uint8_t opcode) {
  return std::any_of(drive.log.begin(), drive.log.end(), [&](const auto& r) { return r.cdb[0] == opcode; });
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

// Whatever the drive answers: it is only written to once it has named itself
// as the definition's drive (or its kernel) and sent its drive information,
// what reaches it is the image's own bytes at their own offsets, and what it
// flashes is the whole image.
void CheckFamilyFourDrive(const sim::ReplyScriptDrive& front, const std::vector<std::uint8_t>& image) {
  if (Sent(front, kOpWriteBuffer)) {
    fuzz::Require(Delivered(front, kOpInquiry, 32, 8, "KESTREL BD-ROM  QBC-850 ") ||
                      Delivered(front, kOpInquiry, 32, 8, "KESTREL BD-RW   QBW-610 "),
                  "a drive is written to only after its own INQUIRY reply named it");
    fuzz::Require(Delivered(front, kOpReadBuffer, 40, 0, ""), "a drive is written to only after it sent its drive information");
  }
  const auto& drive = static_cast<const sim::Qbc850Drive&>(front.model());
  fuzz::Require(fuzz::StartsWith(image, drive.normalImage()), "the blocks a drive holds are the image's");
  if (drive.flashCount() > 0) fuzz::Require(drive.flashedImage() == image, "a drive flashes exactly the image");
}

const Procedure kProcedures[] = {
    {"family four", FamilyFourImage, FamilyFourDrive, CheckFamilyFourDrive},
};

// Set-up byte: bit 0 ASPI route, bit 1 two drives, bit 2 the drives start in
// their kernel part, bit 3 the ASPI adapter is the Intel ATA driver's, bit 4
// every question is answered yes a few times; bits 5-7 pick the procedure.
struct Setup {
  bool aspi, twoDrives, kernel, intelAdapter, yesToAll;
};

Setup SetupFrom(std::uint8_t b) {
  return {(b & 1) != 0, (b & 2) != 0, (b & 4) != 0, (b & 8) != 0, (b & 16) != 0};
}

const std::vector<std::uint8_t>& ImageOf(std::size_t procedure) {
  static const std::vector<std::vector<std::uint8_t>> images = [] {
    std::vector<std::vector<std::uint8_t>> all;
    for (const Procedure& p : kProcedures) all.push_back(p.image());
    return all;
  }();
  return images[procedure];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz::Require;
  if (size == 0) return 0;
  const Setup setup = SetupFrom(data[0]);
  const std::size_t index = (data[0] >> 5) % std::size(kProcedures);
  const Procedure& procedure = kProcedures[index];
  const std::vector<std::uint8_t>& image = ImageOf(index);

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
  pc.AddFile(fuzz::kNormalFile, image);

  Context ctx(pc);
  const int exitCode = RunUpdate(ctx, fuzz::StepsWithDefinition(static_cast<std::uint32_t>(image.size()), 1));
  Require(exitCode == 0 || exitCode == 1, "the exit code is 0 or 1");

  for (const auto& drive : drives) procedure.check(*drive, image);
  return 0;
}
