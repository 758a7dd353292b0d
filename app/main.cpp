// The utility takes no arguments: the built-in definition, the host and the
// drives decide everything. On Linux, where typing --help is a reflex, the two
// usual questions are answered and every other argument is refused, so that a
// typo never starts a firmware update. The Windows program ignores arguments.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/run_update.h"
#include "core/context.h"
#include "platform/host_platform.h"

#ifndef _WIN32
namespace {

constexpr int kGoOn = -1;
constexpr int kUsageError = 2;

// A fixed-width identity field without its trailing blanks.
std::string Trimmed(const std::uint8_t* field, std::size_t width) {
  std::string text(reinterpret_cast<const char*>(field), width);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

void PrintUsage(odf::Platform& platform) {
  odf::Context ctx(platform);
  odf::LoadBuiltInDefinition(ctx);
  const odf::UpdateDefinition& d = ctx.definitions.entries[0];
  std::printf(
      "usage: odflsh\n"
      "\n"
      "Updates the firmware of %s %s optical drives to version %x.%02x,\n"
      "from the image file %s in the current directory.\n"
      "\n"
      "odflsh takes no options. It finds the drives by itself (/dev/sr0, /dev/sr1,\n"
      "...), shows each drive's current firmware and asks before it writes anything\n"
      "to a drive. Run it as root, with no disc in the drive.\n"
      "\n"
      "  --help     show this text and exit\n"
      "  --version  show the version and exit\n"
      "\n"
      "odflsh %d.%02d%c\n",
      Trimmed(d.vendor, sizeof d.vendor).c_str(), Trimmed(d.product, sizeof d.product).c_str(),
      ctx.run.newRevisionNumber >> 8, ctx.run.newRevisionNumber & 0xFFu, d.fileName,
      odf::kProgramVersion.major, odf::kProgramVersion.minor, odf::kProgramVersion.letter);
}

// kGoOn when the run may start, otherwise the exit code. Every argument is
// checked before anything is done, so "--help --bogus" does nothing.
int HandleArguments(int argc, char** argv, odf::Platform& platform) {
  bool help = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      help = true;
    } else if (std::strcmp(argv[i], "--version") != 0) {
      std::fprintf(stderr,
                   "odflsh: unknown argument '%s': odflsh takes no options, nothing was done.\n"
                   "Try 'odflsh --help'.\n",
                   argv[i]);
      return kUsageError;
    }
  }
  if (argc <= 1) return kGoOn;
  if (help) {
    PrintUsage(platform);
  } else {
    std::printf("odflsh %d.%02d%c\n", odf::kProgramVersion.major, odf::kProgramVersion.minor,
                odf::kProgramVersion.letter);
  }
  return 0;
}

}  // namespace
#endif

int main([[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
  auto platform = odf::CreateHostPlatform();
#ifndef _WIN32
  if (const int exitCode = HandleArguments(argc, argv, *platform); exitCode != kGoOn) {
    return exitCode;
  }
#endif
  odf::Context ctx(*platform);
  return odf::RunUpdate(ctx);
}
