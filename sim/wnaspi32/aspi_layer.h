// The simulated drives behind the test fixture WNASPI32.DLL, without any
// Windows call: what the drives are (read from simdrives.txt), the answers to
// the ASPI request blocks, and the reports written when the process ends.
// The threads, events and files live in wnaspi32.cpp.
//
// simdrives.txt holds one drive a line in odflsh-sim's --drive syntax (faults
// included), placed on the ASPI route as odflsh-sim --route aspi places them.
// A line "adapter=TEXT" names the next host adapter's identifier (the rest of
// the line, up to 16 bytes, spaces kept); adapters not named are plain ones.
// A line "abort=refuse" or "abort=ignore" sets how the layer answers a
// request to abort a command, as odflsh-sim's --host abort= does.
// Empty lines and lines starting with '#' are skipped.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/layouts.h"
#include "sim/drives/sim_drive.h"
#include "sim/pc/pc_builder.h"
#include "sim/pc/sim_pc.h"

namespace odf::wnaspi32 {

// The simulated drive's time runs this many times faster than real time, so
// a 20-second re-flash completes after 2 seconds.
inline constexpr std::uint32_t kTimeScale = 10;
// Commands the drive takes at least this long over (virtual ms) complete
// later, from the worker thread; quicker ones complete during submission.
inline constexpr std::uint32_t kDelayedFromMs = 100;

// How one SC_EXEC_SCSI_CMD ends, written into its block at completion.
struct Completion {
  std::uint8_t status = SS_COMP;
  std::uint8_t haStat = 0;
  std::uint8_t targStat = 0;
  std::array<std::uint8_t, 18> sense{};
  std::uint8_t senseLength = 0;
  std::uint32_t delayMs = 0;  // real time until completion; 0: at once
};

class AspiLayer {
 public:
  AspiLayer();
  ~AspiLayer();

  // Sets the adapters and drives up from the text of simdrives.txt. On a
  // mistake the layer reports no adapters and `error` says what is wrong.
  bool Configure(const std::string& text, std::string& error);

  std::uint32_t SupportInfo() const;
  std::uint8_t HaInquiry(SRB_HAInquiry& srb) const;

  // Checks an exec block: 0 when it names a drive and a sound buffer,
  // otherwise the status it ends with at once.
  std::uint8_t Check(const SRB_ExecSCSICmd& srb) const;
  // Hands the block's command to its drive (checked before) at `nowMs`.
  Completion Execute(const SRB_ExecSCSICmd& srb, std::uint64_t nowMs);
  // Writes the outcome into the block; the status byte last, as the caller
  // may be polling it.
  static void Complete(SRB_ExecSCSICmd& srb, const Completion& c);

  // How an abort request ends at once: SS_PENDING when the layer is to abort
  // the command (honoured), otherwise the status it answers with.
  std::uint8_t CheckAbort(const SRB_Abort& srb) const;

  // One line per drive, as odflsh-sim prints it, in the order configured.
  std::string StateReport() const;
  // Every command the drives received, in time order; those completed later
  // say after how long.
  std::string TraceReport() const;

 private:
  struct Delayed {
    const sim::SimDrive* drive;
    std::size_t logIndex;
    std::uint32_t delayMs;
  };

  sim::SimDrive* DriveAt(int adapter, int target) const;
  static Completion Outcome(const SRB_ExecSCSICmd& srb, const sim::DriveReply& reply);

  std::unique_ptr<sim::SimPc> pc_;  // BuildSimPc places the drives on it; never run
  std::vector<std::string> adapters_;
  sim::AspiAbort abortAnswer_ = sim::AspiAbort::Honour;
  std::vector<sim::PlacedDrive> drives_;
  std::vector<Delayed> delayed_;
};

}  // namespace odf::wnaspi32
