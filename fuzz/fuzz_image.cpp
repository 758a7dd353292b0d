// Fuzz target: the binary firmware image file. The fuzzer writes the file;
// the utility runs one whole family-four update with it against a simulated
// QBC-850, so the loader, the header checks, the transfer and the revision
// read-back of the flashed image all see its bytes.
//
// Input: the file's bytes, then one byte that picks the set-up (route, update
// scope, the drive's state, the kernel file's length). The definition names the file's own length, so
// a file of any length gets past the size test to the checks behind it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/context.h"
#include "core/image_state.h"
#include "core/scsi_codes.h"
#include "fuzz/fuzz_support.h"
#include "sim/drives/sim_drive.h"
#include "sim/frontend/sim_run.h"
#include "sim/pc/pc_builder.h"
#include "sim/pc/sim_pc.h"

namespace {

using namespace odf;

// The kernel part's blocks end here; a kernel file must reach this far.
constexpr std::size_t kKernelPartEnd = 0x11200;

// Set-up byte: bit 0 ASPI route, bit 1 the kernel part too, bits 2-3 the
// drive (found in its kernel, pre-production, long date form), bit 4 the
// kernel file is long enough for the kernel part.
struct Setup {
  sim::SimRoute route;
  std::int32_t updateScope;  // 0: the kernel part too, from the kernel file
  bool fullKernelFile;
  sim::Qbc850Config drive;
};

Setup SetupFrom(std::uint8_t b) {
  Setup s{(b & 1) != 0 ? sim::SimRoute::Aspi : sim::SimRoute::PassThrough, (b & 2) != 0 ? 0 : 1,
          (b & 16) != 0, {}};
  switch ((b >> 2) & 3) {
    case 1: s.drive.kernel = true; break;          // found in its kernel part
    case 2: s.drive.revision = "0.99"; break;      // pre-production
    case 3: s.drive.date = "2008/01/10"; break;    // the long date form
    default: break;
  }
  return s;
}

// The kernel file is the same file marked as a kernel image, so both loads
// reach their checks from one input; made as long as the kernel part by
// repeating the file when asked, since inputs are far shorter.
std::vector<std::uint8_t> KernelFileOf(std::vector<std::uint8_t> file, bool full) {
  if (full && !file.empty()) {
    const std::size_t size = file.size();
    while (file.size() < kKernelPartEnd) file.push_back(file[file.size() % size]);
  }
  if (file.size() > kHeaderPartLetter) file[kHeaderPartLetter] = 'K';
  return file;
}

bool SentWriteBuffer(const sim::Qbc850Drive& drive) {
  for (const auto& r : drive.log) {
    if (r.cdb[0] == kOpWriteBuffer) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz::Require;
  if (size == 0) return 0;
  const Setup setup = SetupFrom(data[size - 1]);
  const std::vector<std::uint8_t> file(data, data + size - 1);
  const std::vector<std::uint8_t> kernelFile = KernelFileOf(file, setup.fullKernelFile);

  sim::SimPc pc;
  auto drive = std::make_shared<sim::Qbc850Drive>(setup.drive);
  sim::PcBuilder(setup.route).Drive(drive).Answers({IDYES, IDYES, IDNO}).Build(pc);
  pc.AddFile(fuzz::kNormalFile, file);
  if (setup.updateScope == 0) pc.AddFile(fuzz::kKernelFile, kernelFile);

  Context ctx(pc);
  const int exitCode = sim::RunWithDefinitions(
      ctx, {fuzz::BuiltInWith(static_cast<std::uint32_t>(file.size()), setup.updateScope)});
  fuzz::ShowRun(pc);
  Require(exitCode == 0 || exitCode == 1, "the exit code is 0 or 1");

  // Whatever the file holds, a drive only ever receives the file's own bytes,
  // at their own offsets.
  Require(fuzz::StartsWith(file, drive->normalImage()), "the normal part sent is the file's bytes");
  Require(fuzz::StartsWith(kernelFile, drive->kernelImage()), "the kernel part sent is the kernel file's bytes");
  if (drive->flashCount() > 0) Require(drive->flashedImage() == file, "a drive flashes exactly the file");
  if (ctx.run.updatedCount > 0) {
    Require(drive->flashCount() > 0 && !drive->inKernel() && drive->flashedImage() == file,
            "a drive counted as updated holds the image and runs it");
  }
  // A file the loader refused is never followed by a write.
  if (file.size() < kHeaderSize) Require(!SentWriteBuffer(*drive), "a file without a header writes nothing");
  return 0;
}
