// What the procedures see of the transport: one port per route that sends a
// command to one drive with an explicit time-out and data area, keeps that
// command's sense, and says which rules of its route apply.
#pragma once

#include <array>
#include <cstdint>

#include "core/target_table.h"
#include "platform/win_types.h"

namespace odf {

enum class DataDirection : std::int32_t { None = 0, In = 1, Out = 2 };
enum class TransportRoute : std::int32_t { PassThrough = 0, Aspi = 1 };

// How one command ended, one name per meaning.
enum class CommandResult {
  Done,
  // Pass-through: the drive ended the command with a SCSI status (its sense is
  // kept, not yet summarised), or the host failed it without one.
  ScsiError,
  // ASPI: the adapter or the drive failed the command; its sense is kept and
  // summarised.
  Failed,
  // Nothing was sent: no such target, a malformed request, no request block,
  // ASPI layer or event, or the previous command still owns the block.
  NotSent,
  // ASPI polled mode: the time-out passed before the command finished. The
  // layer was asked to abort it; if it kept the request block, the block
  // stays with it (RequestBlockInUse).
  PollGaveUp,
  // Pass-through: the drive's volume did not open; nothing was sent.
  NoVolume,
  // ASPI event mode: the time-out passed before the command finished; the
  // layer was asked to abort it, as for PollGaveUp.
  WaitRanOut,
};

// The numbers procedures hand on as their own results (the run loop ends a
// run on -1): the one place a result becomes a number.
constexpr int StatusCode(CommandResult result) {
  switch (result) {
    case CommandResult::Done: return 0;
    case CommandResult::ScsiError: return 2;
    case CommandResult::Failed:
    case CommandResult::NotSent:
    case CommandResult::PollGaveUp: return -1;
    case CommandResult::NoVolume:
    case CommandResult::WaitRanOut: return -2;
  }
  return -1;
}

// A command left running (ScsiRequest::leavePending), as PollPending sees it.
enum class PendingState { Running, Done, Failed };

// The Intel storage drivers the host checks may find; each bends the transport's rules.
inline constexpr std::int32_t kNoIntelDriver = 0;
inline constexpr std::int32_t kIntelAtaDriver = 1;     // Intel ATA storage driver
inline constexpr std::int32_t kIntelAccelerator = 2;   // Intel Application Accelerator

// The rules of the route a port stands for.
struct PortTraits {
  TransportRoute route = TransportRoute::PassThrough;
  std::int32_t intelDriverKind = kNoIntelDriver;
  // The IEEE1394 bridge: on ASPI the bridge's adapter number; on
  // pass-through the target whose volume last opened without a SCSI address.
  // -1 when there is none.
  std::int32_t bridgeIndex = -1;
};

// How the port treats the drive being worked on. The procedure sets it when
// it selects the drive (and discovery while it probes); the port learns
// nothing else about the drive, its definition or its image.
struct DrivePolicy {
  // TargetTable index of the drive: a volume opened without a SCSI address
  // marks it as the bridge.
  std::int32_t target = 0;
  // ASPI route: the normal-mode switch (WRITE BUFFER mode 5, after which the
  // drive flashes its new firmware) completes by polling instead of by event.
  bool pollNormalSwitch = false;
  // ASPI route: an event wait ends after the request's time-out; otherwise it
  // lasts as long as the drive takes.
  bool limitWaits = true;
};

// One drive as a command addresses it: its TargetTable slot and its address
// on either route. index -1 names no drive: nothing is sent to it.
struct CommandTarget {
  std::int32_t index = -1;
  char driveLetter = 0;
  std::int32_t hostAdapter = 0;
  std::int32_t targetId = 0;
};

inline CommandTarget TargetAt(const TargetTable& table, std::int32_t index) {
  CommandTarget target;
  if (index < 0 || index >= table.targetCount || index >= kTargetSlots) return target;
  const TargetDrive& drive = table.entries[static_cast<std::size_t>(index)];
  target.index = index;
  target.driveLetter = drive.driveLetter;
  target.hostAdapter = drive.hostAdapter;
  target.targetId = drive.targetId;
  return target;
}

struct ScsiRequest {
  CommandTarget target;
  DataDirection direction = DataDirection::None;
  std::int32_t cdbLength = 0;
  // 0 has a meaning per route: 60 s direct pass-through, 0 s buffered, no
  // limit on ASPI.
  std::int32_t timeoutMs = 0;
  std::int32_t dataLength = 0;
  std::uint8_t* data = nullptr;
  std::array<std::uint8_t, 16> cdb{};
  // ASPI event mode: return at once and leave the command running; the
  // caller learns its end from PollPending.
  bool leavePending = false;
};

using SenseBytes = std::array<std::uint8_t, 18>;

// Sense key << 16 | ASC << 8 | ASCQ. The key is byte 2 taken whole, not
// masked to its low four bits, so a key byte with flag bits set matches none
// of the keys the callers look for.
inline std::uint32_t PackSense(const SenseBytes& sense) {
  return (std::uint32_t{sense[2]} << 16) | (std::uint32_t{sense[12]} << 8) | std::uint32_t{sense[13]};
}

class ScsiPort {
 public:
  virtual ~ScsiPort() = default;

  virtual PortTraits Traits() const = 0;
  // Sends one command. A read's area starts zeroed, so nothing the drive did
  // not send is read as its reply.
  virtual CommandResult Send(const ScsiRequest& request) = 0;
  // Discovery: a read sent outside the target table (pass-through: to the
  // volume discovery opened; ASPI: to request.target's adapter and id), with
  // the route's probe time-out. Keeps no sense.
  virtual CommandResult Probe(const ScsiRequest& request) = 0;

  // A command left pending: its state now, without waiting. Running when
  // there is none.
  virtual PendingState PollPending() { return PendingState::Running; }
  // A command left pending has not been seen to finish yet.
  virtual bool CommandPending() const { return false; }
  // The layer still owns the request block (a command left pending, or one
  // the port gave up on and the layer would not let go). Does not wait.
  virtual bool RequestBlockInUse() { return false; }
  // Gives up a command the layer still holds (one left pending, say), asking
  // the layer to abort it as for any command given up. True when the block
  // is free, at once or after the abort.
  virtual bool GiveUpHeldCommand() { return true; }

  void SetPolicy(const DrivePolicy& policy) { policy_ = policy; }
  // Discovery names each matched drive as it probes, before any procedure
  // has chosen the rest of the policy.
  void SetPolicyTarget(std::int32_t target) { policy_.target = target; }
  const DrivePolicy& Policy() const { return policy_; }

  // The last command's sense, and its packed summary (key << 16 | asc << 8 | ascq).
  const SenseBytes& LastSense() const { return lastSense_; }
  std::uint32_t SenseSummary() const { return senseSummary_; }
  void KeepSense(const SenseBytes& sense) { lastSense_ = sense; }
  void SummarizeSense() { senseSummary_ = PackSense(lastSense_); }
  // Clears the sense, so that a caller judging the next command sees only
  // that command's sense (none, if it brings none back).
  void ForgetSense() {
    lastSense_.fill(0);
    senseSummary_ = 0;
  }
  // Pass-through: the last command failed in the host without any SCSI
  // status (it timed out, or the drive restarted or went away under it).
  bool FailedWithoutStatus() const { return failedWithoutStatus_; }
  // The last command brought sense back itself: LastSense is its own, not
  // one an earlier command left.
  bool SenseFresh() const { return senseFresh_; }

 protected:
  DrivePolicy policy_;
  SenseBytes lastSense_{};
  std::uint32_t senseSummary_ = 0;
  bool failedWithoutStatus_ = false;
  bool senseFresh_ = false;
};

}  // namespace odf
