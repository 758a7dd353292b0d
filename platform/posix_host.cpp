// The Linux program's host: the native layer with logind's inhibitor lock
// for the update window. Kept apart from the layer itself, so that programs
// that only read files through it (the HEX timing program) need no D-Bus.
#include <csignal>
#include <memory>

#include "platform/host_platform.h"
#include "platform/posix_inhibit.h"
#include "platform/posix_platform.h"

namespace odf {

namespace {

// What logind is told about the lock it holds for the program.
constexpr char kInhibitorWho[] = "odflsh";

}  // namespace

std::unique_ptr<Platform> CreateHostPlatform() {
  // A closed standard output or error must not end the program in the middle
  // of a flash: writes to it fail with EPIPE instead, and are dropped.
  std::signal(SIGPIPE, SIG_IGN);
  posix::ConsoleSetup console = posix::ConsoleFromEnvironment();
  auto inhibitor = std::make_shared<posix::SleepInhibitor>();
  console.awake.take = [inhibitor](const std::string& why, std::string& problem) {
    return inhibitor->Take(kInhibitorWho, why, problem);
  };
  console.awake.release = [inhibitor] { inhibitor->Release(); };
  return posix::CreatePosixPlatform(console);
}

}  // namespace odf
