// Fuzz target: the command line of odflsh-sim, which tests and people write
// by hand. The fuzzer writes the arguments, one per line; an accepted command
// line builds its simulated PC and runs the utility on it (with a small image
// in the current directory), so the drive keys and fault rules it sets are
// exercised as well as parsed.
//
// --definition, once the simulator takes it, is parsed here too: the seeds
// already carry a few (refused as unknown options until then).
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/context.h"
#include "fuzz/fuzz_pc.h"
#include "fuzz/fuzz_support.h"
#include "sim/image_maker.h"
#include "sim/sim_options.h"
#include "sim/sim_pc.h"
#include "sim/sim_setup.h"

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

const std::vector<std::uint8_t>& SmallImage() {
  static const std::vector<std::uint8_t> image = [] {
    sim::ImageFields fields;
    fields.size = fuzz::kSmallImageSize;
    return sim::MakeImage(fields);
  }();
  return image;
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
  if (options.help || !options.makeImage.empty()) return 0;  // no run; nothing written here

  fuzz::FuzzPc pc;
  try {
    sim::BuildSimPc(options, pc);
  } catch (const std::invalid_argument&) {
    fuzz::Broken("an accepted command line builds its PC");
  }
  pc.AddFile(fuzz::kNormalFile, SmallImage());
  Context ctx(pc);
  const int exitCode = RunUpdate(ctx, fuzz::StepsWithDefinition(fuzz::kSmallImageSize, 1));
  Require(exitCode == 0 || exitCode == 1, "the exit code is 0 or 1");
  return 0;
}
