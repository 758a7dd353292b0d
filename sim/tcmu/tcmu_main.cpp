// odflsh-tcmu: simulated drives served through the kernel's own SCSI target
// in user space (target_core_user) and its loopback fabric (tcm_loop), so
// that the kernel sees each as a CD-ROM (/dev/srN, /dev/sgN) and programs
// reach it through SG_IO and the sr driver. A test fixture for odflsh-vm's
// guest, run as root there; never shipped.
//
//   odflsh-tcmu [--state FILE] --drive DRIVE [--drive DRIVE]...
//
// DRIVE is odflsh-sim's --drive (faults included). The drives appear in order;
// the program serves them until SIGTERM or SIGINT, then writes each drive's
// state line (as odflsh-sim prints it) to FILE, or to standard output.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/cli/sim_report.h"
#include "sim/cli/sim_setup.h"
#include "sim/tcmu/tcmu_drive.h"
#include "sim/tcmu/tcmu_ring.h"
#include "sim/tcmu/tcmu_setup.h"

namespace {

using namespace odf;

constexpr char kUsage[] = "usage: odflsh-tcmu [--state FILE] --drive DRIVE [--drive DRIVE]...\n";

std::atomic<bool> stopping{false};

// Serves one device's ring until the program stops.
void ServeDevice(tcmu::UserDevice device, sim::SimDrive* drive) {
  tcmu::Ring ring(device.map, device.mapSize);
  std::string error;
  if (!ring.Valid(error)) {
    std::fprintf(stderr, "odflsh-tcmu: %s: %s\n", device.name.c_str(), error.c_str());
    return;
  }
  // Commands are logged at the real time since start, as the ASPI fixture logs them.
  const auto start = std::chrono::steady_clock::now();
  auto handler = [&](const tcmu::RingCommand& command) {
    const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start).count();
    const tcmu::Served served = tcmu::ServeCommand(*drive, command, static_cast<std::uint64_t>(nowMs));
    if (served.delayMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(served.delayMs));
    return served.answer;
  };
  while (!stopping.load()) {
    // The device reports no event that came before it was opened, so the
    // ring is looked at before every wait, not only after one.
    if (ring.Serve(handler) > 0) {
      const std::uint32_t one = 1;
      if (::write(device.fd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
        std::perror("odflsh-tcmu: completing commands");
      }
    }
    pollfd waiting{device.fd, POLLIN, 0};
    if (::poll(&waiting, 1, 200) > 0) {
      std::uint32_t events = 0;
      if (::read(device.fd, &events, sizeof events) < 0) std::perror("odflsh-tcmu: waiting");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args = {"--route", "pt"};
  std::string statePath;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--state" || arg == "--drive") && i + 1 < argc) {
      if (arg == "--state") {
        statePath = argv[++i];
      } else {
        args.push_back(arg);
        args.push_back(argv[++i]);
      }
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  const sim::ParseOutcome parsed = sim::ParseSimOptions(args);
  if (!parsed.ok || parsed.options.drives.empty()) {
    std::fprintf(stderr, "odflsh-tcmu: %s\n%s", parsed.ok ? "no --drive" : parsed.error.c_str(), kUsage);
    return 2;
  }
  sim::SimPc pc;
  const std::vector<sim::PlacedDrive> placed = sim::BuildSimPc(parsed.options, pc);

  // Only this thread takes the stop signals; the serving threads inherit the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::string error;
  std::vector<std::thread> servers;
  bool ready = tcmu::CreateLoopbackTarget(error);
  for (std::size_t i = 0; ready && i < placed.size(); ++i) {
    tcmu::UserDevice device;
    ready = tcmu::CreateUserDevice(static_cast<int>(i), device, error);
    if (!ready) break;
    servers.emplace_back(ServeDevice, device, placed[i].drive.get());
    ready = tcmu::LinkLun(device, static_cast<int>(i), error);
  }
  int rc = 0;
  if (ready) {
    std::printf("odflsh-tcmu: %zu drive(s) ready\n", placed.size());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
  } else {
    std::fprintf(stderr, "odflsh-tcmu: %s\n", error.c_str());
    rc = 1;
  }
  stopping.store(true);
  for (std::thread& server : servers) server.join();

  std::FILE* out = statePath.empty() ? stdout : std::fopen(statePath.c_str(), "w");
  if (out == nullptr) {
    std::perror(("odflsh-tcmu: " + statePath).c_str());
    return 1;
  }
  for (const sim::PlacedDrive& drive : placed) std::fputs(sim::FormatDriveReport(drive).c_str(), out);
  if (out != stdout) std::fclose(out);
  return rc;
}
