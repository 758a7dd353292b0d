// The one way to set up a simulated PC for a run: the Windows version and the
// ASPI layer of its route, the drives on volumes or ASPI targets, and the
// console's answers and code page. The tests, the benchmark and odflsh-sim all
// build their PC here, so the host that the real host checks find is the same
// everywhere.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/drives/sim_drive.h"
#include "sim/pc/sim_pc.h"

namespace odf::sim {

// The route the host checks will choose: pass-through on Windows XP, or ASPI
// on Windows 98 with WNASPI32.DLL installed.
enum class SimRoute { PassThrough, Aspi };

inline constexpr int kMaxAspiTargetId = 7;
// The adapters of the ASPI route when none are named: an identifier that
// neither the Intel-driver nor the bridge check singles out.
inline constexpr const char* kPlainAdapter = "SIM HOST";

// Where a drive sits. The pass-through route uses the volume letter (0: the
// next free one from D) with its options; the ASPI route uses the adapter
// (-1: adapter 0) and the target id (-1: the next free one on that adapter).
struct DrivePlace {
  char letter = 0;
  VolumeOptions volume{};
  int adapter = -1;
  int target = -1;
};

// Gives every unset place of the route the next free one, in order. False,
// with the reason, when two drives are given the same place or none is left.
bool PlaceDrives(SimRoute route, std::vector<DrivePlace>& places, std::string& error);

// What the host checks find on the PC besides its route: the Intel disk
// drivers and the IEEE1394 bridge.
struct HostSetup {
  // ASPI route: every adapter a drive sits on (adapter 0 without drives) is
  // named "intelata", the Intel ATA storage driver's adapter.
  bool intelAta = false;
  // ASPI route: this adapter is the IEEE1394 bridge ("NTMAPHLP"); -1 none.
  int bridgeAdapter = -1;
  // The registry keys of the Intel Application Accelerator and of the Intel
  // Ultra ATA Storage Driver (read on the pass-through route).
  bool applicationAccelerator = false;
  bool ultraAtaDriver = false;
  // ASPI route: how the layer answers a request to abort a command.
  AspiAbort aspiAbort = AspiAbort::Honour;
};

inline constexpr const char* kIntelAtaAdapter = "intelata";
inline constexpr const char* kBridgeAdapter = "NTMAPHLP";

// False, with the reason, when the host cannot be built around the drives
// so placed: an adapter or ASPI layer set-up on the pass-through route, or an
// adapter that would have to be both the bridge and an "intelata" one.
bool CheckHostSetup(SimRoute route, const HostSetup& host, const std::vector<DrivePlace>& places,
                    std::string& error);

// A drive where the builder put it, addressed as a target entry holds it: the
// letter on the pass-through route, adapter and target id on the ASPI route.
struct PlacedDrive {
  std::shared_ptr<SimDrive> drive;
  char letter = 0;
  int adapter = 0;
  int target = 0;
  std::string label;  // "D:" or "0:1" (adapter:target)
};

class PcBuilder {
 public:
  explicit PcBuilder(SimRoute route = SimRoute::PassThrough) : route_(route) {}

  // Another Windows version than the route's own (XP, or 98 for ASPI).
  PcBuilder& Windows(DWORD platformId, DWORD major, DWORD minor);
  // Host adapters, numbered in the order named. The ASPI route adds plain
  // ones until every drive's adapter exists, and has at least one.
  PcBuilder& Adapter(const std::string& identifier);
  PcBuilder& Adapters(const std::vector<std::string>& identifiers);
  // The ASPI route without WNASPI32.DLL.
  PcBuilder& WithoutAspiLayer();
  // Intel drivers and the bridge; adapters named with Adapter() keep their names.
  PcBuilder& Host(const HostSetup& host);
  // A null drive makes a volume that opens but answers no command.
  PcBuilder& Drive(std::shared_ptr<SimDrive> drive, const DrivePlace& place = {});
  PcBuilder& CodePage(UINT codePage);
  // Answers for the question boxes, in order (IDYES, IDNO, ...).
  PcBuilder& Answers(const std::vector<int>& answers);

  // Sets up `pc` and returns the drives in the order they were given. Throws
  // std::invalid_argument when the drives cannot all be placed, or the host
  // set-up does not fit them.
  std::vector<PlacedDrive> Build(SimPc& pc) const;

 private:
  struct Version {
    DWORD platformId, major, minor;
  };
  struct Entry {
    std::shared_ptr<SimDrive> drive;
    DrivePlace place;
  };

  SimRoute route_;
  std::optional<Version> windows_;
  std::vector<std::string> adapters_;
  bool aspiLayer_ = true;
  HostSetup host_;
  std::vector<Entry> drives_;
  std::optional<UINT> codePage_;
  std::vector<int> answers_;
};

}  // namespace odf::sim
