// The SCSI commands the utility sends: five generic builders and the
// wrappers that fix vendor-specific modes and buffer ids. Each takes the port,
// the drive and, where the caller chooses it, the time-out. A read that meets
// a unit attention is sent again here, for every caller (see
// ResendAfterUnitAttention); no other command is ever repeated.
#pragma once

#include <cstdint>

#include "core/scsi_port.h"

namespace odf {

// The time-outs the wrappers carry themselves; a procedure that goes on with
// "the time-out left by" one of them uses these names.
inline constexpr std::int32_t kStopUnitTimeoutMs = 0;
inline constexpr std::int32_t kUpdateModeTimeoutMs = 1000;
inline constexpr std::int32_t kVerifyReadTimeoutMs = 5000;
inline constexpr std::int32_t kImageBlockTimeoutMs = 10000;

CommandResult TestUnitReady(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs);
// Sent once whatever it meets, for the ready check, which counts each unit
// attention itself.
CommandResult TestUnitReadyOnce(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs);
// 5000 ms, or 1000 ms while the port knows a bridge (whichever drive it addresses).
CommandResult Inquiry(ScsiPort& port, const CommandTarget& target, std::uint8_t* buffer);
CommandResult StartStopUnit(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                            std::uint8_t immed, std::uint8_t powerCondition, std::uint8_t loadEject,
                            std::uint8_t start);
CommandResult ReadBuffer(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                         std::uint8_t mode, std::uint8_t bufferId, std::uint32_t offset, std::uint32_t length,
                         std::uint8_t* buffer);
// A normal-mode switch to a bridged drive on pass-through goes with time-out 0
// (the long default wait) whatever the caller gives.
CommandResult WriteBuffer(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                          std::uint8_t mode, std::uint8_t bufferId, std::uint32_t offset, std::uint32_t length,
                          std::uint8_t* buffer);
// Sends nothing: sense reaches the port only through the automatic capture.
inline CommandResult RequestSense(ScsiPort&, const CommandTarget&) { return CommandResult::Done; }

// Wrappers.
// Fills the drive-information area (64 bytes; the reply is 48) and nothing else.
CommandResult ReadDriveInfo(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                            std::uint8_t* driveInfo);
CommandResult StopUnit(ScsiPort& port, const CommandTarget& target);
CommandResult EnterUpdateMode(ScsiPort& port, const CommandTarget& target);
CommandResult WriteUpdateBlock(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                               std::uint32_t offset, std::uint32_t length, std::uint8_t* data);
// leavePending: on ASPI the command is left running (see ScsiPort::PollPending).
CommandResult StartFlash(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                         bool leavePending);
CommandResult ReadVerifyBlock(ScsiPort& port, const CommandTarget& target, std::uint32_t offset,
                              std::uint32_t length, std::uint8_t* data);
CommandResult WriteKernelBlock(ScsiPort& port, const CommandTarget& target, std::uint32_t offset,
                               std::uint32_t length, std::uint8_t* data);
CommandResult WriteNormalBlock(ScsiPort& port, const CommandTarget& target, std::uint32_t offset,
                               std::uint32_t length, std::uint8_t* data);

// Discovery probes: the same INQUIRY and drive-information read, sent
// outside the target table (see ScsiPort::Probe). They too are sent again
// after a unit attention, so a drive that has just restarted is not lost to
// the listing; ASPI probes ask for no sense, so there they go once.
CommandResult ProbeInquiry(ScsiPort& port, const CommandTarget& at, std::uint8_t* buffer);
CommandResult ProbeDriveInfo(ScsiPort& port, const CommandTarget& at, std::uint8_t* driveInfo);

}  // namespace odf
