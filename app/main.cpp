// The Windows program takes no arguments: the built-in definition, the host
// and the drives decide everything. The Linux program adds what a Linux user
// expects around that same run: a listing that writes nothing, answers for
// scripts, and every other argument refused, so that a typo never starts a
// firmware update.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/run_update.h"
#include "core/context.h"
#include "platform/host_platform.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include "app/command_line.h"
#include "app/drive_list.h"
#include "app/unattended.h"
#include "core/messages.h"
#include "platform/posix_platform.h"
#include "platform/posix_sgio.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kListFailed = 1;
constexpr int kWriteFailed = 1;
constexpr int kNoStandardStreams = 1;

// A descriptor 0, 1 or 2 left closed by whoever started the program would be
// the next one open() hands out: a drive's device would become standard
// error, and a notice would go to the drive. Each closed one is put on
// /dev/null before anything else is opened; false when that cannot be done.
bool StandardStreamsOpen() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened != fd) {
      if (opened >= 0) close(opened);
      return false;
    }
  }
  return true;
}

// The output of --help, --version or --list that could not be written (a full disk,
// a closed pipe) is an error, said as the usual tools say it.
int OutputWritten() {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return 0;
  const int error = errno;
  std::fprintf(stderr, "odflsh: write error: %s\n", std::strerror(error));
  return kWriteFailed;
}

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
      "usage: odflsh [--yes [--yes]]\n"
      "       odflsh --list [--json]\n"
      "\n"
      "Updates the firmware of %s %s optical drives to version %x.%02x,\n"
      "from the image file %s in the current directory.\n"
      "\n"
      "odflsh finds the drives by itself (/dev/sr0, /dev/sr1, ...), shows each drive's\n"
      "current firmware and asks before it writes anything to a drive. Run it as\n"
      "root, with no disc in the drive.\n"
      "\n"
      "  --list     list the optical drives and what an update would do to each;\n"
      "             nothing is written and nothing is asked\n"
      "  --json     with --list: the same as one JSON array\n"
      "  --yes      answer Yes to the questions that lead to an update and to its\n"
      "             retry (at most 3 retries per drive), without a terminal (for\n"
      "             scripts); given twice, also to the question that warns an\n"
      "             update cannot be reversed\n"
      "  -h, --help show this text and exit\n"
      "  --version  show the version and exit\n"
      "\n"
      "Exit status: 0 when every drive found was gone over (updated or not),\n"
      "1 when no drive was found, an error ended the run or a drive is left in its\n"
      "update kernel, 2 for a wrong argument.\n"
      "\n"
      "odflsh %d.%02d%c\n",
      Trimmed(d.vendor, sizeof d.vendor).c_str(), Trimmed(d.product, sizeof d.product).c_str(),
      ctx.run.newRevisionNumber >> 8, ctx.run.newRevisionNumber & 0xFFu, d.fileName,
      odf::kProgramVersion.major, odf::kProgramVersion.minor, odf::kProgramVersion.letter);
}

std::string DeviceOf(char driveLetter) {
  const char path[] = {'\\', '\\', '.', '\\', driveLetter, ':', '\0'};
  return odf::posix::VolumeDevice(path);
}

// The console has named each drive left in its kernel by its number; the
// device node is what a Linux user looks for.
void NoteDrivesLeftInKernel(const odf::Context& ctx) {
  for (int i = 0; i < ctx.targets.targetCount && i < odf::kTargetSlots; ++i) {
    if (!ctx.run.drivesLeftInKernel.test(static_cast<std::size_t>(i))) continue;
    const std::string device = DeviceOf(ctx.targets.entries[static_cast<std::size_t>(i)].driveLetter);
    std::fprintf(stderr, "odflsh: the device No.%d (%s) is still in its update kernel.\n", i + 1,
                 device.empty() ? "its device is unknown" : device.c_str());
  }
}

// Says why nothing was found when the machine has no optical drive at all.
void NoteMissingDevices() {
  if (odf::posix::AnyOpticalDeviceNode()) return;
  std::fprintf(stderr, "odflsh: no optical drive found: there is no /dev/sr* device.\n");
}

int List(bool json) {
  odf::posix::ConsoleSetup console = odf::posix::ConsoleFromEnvironment();
  // The run's own console text (banner, revision lines, refusals) is not the listing.
  std::FILE* discard = std::fopen("/dev/null", "w");
  if (discard == nullptr) {
    std::fprintf(stderr, "odflsh: cannot open /dev/null: %s\n", std::strerror(errno));
    return kListFailed;
  }
  console.out = discard;
  console.interactive = false;
  int exitCode = 0;
  {
    const auto platform = odf::posix::CreatePosixPlatform(console);
    odf::Context ctx(*platform);
    std::vector<odf::DriveListing> drives;
    if (odf::ListDrives(ctx, odf::DefaultRunSteps(), drives) != odf::ListOutcome::Listed) {
      std::fprintf(stderr, "odflsh: the program's buffers could not be allocated; nothing was listed.\n");
      exitCode = kListFailed;
    } else {
      if (drives.empty()) NoteMissingDevices();
      const std::string text = json ? odf::ListingJson(drives, DeviceOf) : odf::ListingText(drives, DeviceOf);
      std::fwrite(text.data(), 1, text.size(), stdout);
      if (OutputWritten() != 0) exitCode = kListFailed;
    }
  }
  std::fclose(discard);
  return exitCode;
}

int Update(int yesCount) {
  // A run killed while it updated a drive left that drive's media polling
  // suspended; given back before anything else is done.
  for (const std::string& line : odf::posix::GiveBackLeftPolling()) std::fprintf(stderr, "odflsh: %s\n", line.c_str());
  auto platform = odf::CreateHostPlatform();
  odf::Context ctx(*platform);
  odf::UnattendedAnswers unattended(yesCount);
  ctx.dialogue.showing = [&unattended](odf::MessageCode code, const std::string&) {
    if (code == odf::MessageCode::kNoTarget) NoteMissingDevices();
    unattended.Showing(code);
  };
  // An image's digest and why an image cannot be loaded: for the user, not the console text.
  ctx.dialogue.note = [](const std::string& line) { std::fprintf(stderr, "odflsh: %s\n", line.c_str()); };
  if (yesCount > 0) {
    ctx.dialogue.answer = [&unattended](odf::MessageCode code) {
      const odf::UnattendedAnswer given = unattended.Answer(code);
      if (!given.note.empty()) std::fprintf(stderr, "odflsh: %s\n", given.note.c_str());
      return given.answer;
    };
  }
  ctx.dialogue.declined = [](odf::MessageCode code) {
    std::fprintf(stderr, "odflsh: %s\n", odf::InterruptedAnswerNote(code).c_str());
  };
  const int exitCode = odf::RunUpdate(ctx);
  NoteDrivesLeftInKernel(ctx);
  // The run's last message has no line end; a shell prompt would follow it.
  if (isatty(STDOUT_FILENO) != 0) platform->WriteConsole("\n");
  return exitCode;
}

int RunLinux(int argc, char** argv) {
  const odf::CommandLine line = odf::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (line.request) {
    case odf::Request::Refused:
      std::fprintf(stderr, "odflsh: %s: nothing was done.\nTry 'odflsh --help'.\n",
                   line.problem.c_str());
      return kUsageError;
    case odf::Request::Help: {
      const auto platform = odf::CreateHostPlatform();
      PrintUsage(*platform);
      return OutputWritten();
    }
    case odf::Request::Version:
      std::printf("odflsh %d.%02d%c\n", odf::kProgramVersion.major, odf::kProgramVersion.minor,
                  odf::kProgramVersion.letter);
      return OutputWritten();
    case odf::Request::List: return List(line.json);
    case odf::Request::Run: break;
  }
  return Update(line.yesCount);
}

}  // namespace
#endif

int main([[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
#ifndef _WIN32
  if (!StandardStreamsOpen()) return kNoStandardStreams;
  return RunLinux(argc, argv);
#else
  auto platform = odf::CreateHostPlatform();
  odf::Context ctx(*platform);
  return odf::RunUpdate(ctx);
#endif
}
