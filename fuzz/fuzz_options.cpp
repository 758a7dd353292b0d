// Fuzz target: the command line of odflsh-sim, which tests and people write
// by hand. The fuzzer writes the arguments, one per line; an accepted command
// line builds its simulated PC and runs the utility on it, so the drive keys,
// fault rules and definitions it sets are exercised as well as parsed.
// The run's image files are the ones --make-image would write for the first
// definition given (a small built-in image without one); definitions whose
// images would be large are only parsed, to keep each run short.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/context.h"
#include "fuzz/fuzz_support.h"
#include "sim/cli/sim_options.h"
#include "sim/cli/sim_setup.h"
#include "sim/fixtures/hex_image.h"
#include "sim/fixtures/image_maker.h"
#include "sim/fixtures/sim_definition.h"
#include "sim/frontend/sim_run.h"
#include "sim/pc/sim_pc.h"

namespace {

using namespace odf;

std::vector<std::string> Arguments(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  std::string arg;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      args.push_back(arg);
      arg.clear();
    } else {
      arg += static_cast<char>(data[i]);
    }
  }
  if (!arg.empty()) args.push_back(arg);
  return args;
}

constexpr std::uint32_t kLargestImageRun = 0x40000;

// The definitions a run uses and their image files; false when there is no
// run to make (no image fits the first definition, or it is large).
bool RunFiles(const sim::SimOptions& options, std::vector<UpdateDefinition>& definitions,
              std::vector<sim::ImageFile>& files) {
  definitions = options.definitions;
  if (definitions.empty()) definitions.push_back(fuzz::BuiltInWith(fuzz::kSmallImageSize, 1));
  const UpdateDefinition& first = definitions.front();
  if (first.imageSize > kLargestImageRun) return false;
  std::string error;
  if (!sim::IsHexDefinition(first)) return sim::ImagesForDefinition(first, options.imageFields, first.fileName, files, error);
  if (!sim::HexImageForDefinition(first, first.fileName, files, error)) return false;
  const std::string patch = sim::HexText(sim::MakePatchBlock(), sim::kPatchBlockOffset);
  files.push_back({"G6PATCH.HEX", std::vector<std::uint8_t>(patch.begin(), patch.end())});
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz::Require;
  const sim::ParseOutcome parsed = sim::ParseSimOptions(Arguments(data, size));
  if (!parsed.ok) {
    // The front end prints the reason as one line after its own name.
    Require(!parsed.error.empty() && parsed.error.find('\n') == std::string::npos,
            "a refused command line says why, on one line");
    return 0;
  }
  const sim::SimOptions& options = parsed.options;
  if (options.help || !options.makeImage.empty() || !options.makePatch.empty()) return 0;  // no run; nothing written here

  sim::SimPc pc;
  try {
    sim::BuildSimPc(options, pc);
  } catch (const std::invalid_argument&) {
    fuzz::Broken("an accepted command line builds its PC");
  }
  std::vector<UpdateDefinition> definitions;
  std::vector<sim::ImageFile> files;
  if (!RunFiles(options, definitions, files)) return 0;
  for (const auto& file : files) pc.AddFile(file.path, file.bytes);
  Context ctx(pc);
  const int exitCode = sim::RunWithDefinitions(ctx, definitions);
  fuzz::ShowRun(pc);
  Require(exitCode == 0 || exitCode == 1, "the exit code is 0 or 1");
  return 0;
}
