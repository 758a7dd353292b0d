// The fixed-format sense data a failed command brings back: its packed
// summary, and the decisions the callers take on it.
#pragma once

#include <array>
#include <cstdint>

#include "core/scsi_port.h"
#include "scsi/cdb.h"

namespace odf {

using SenseData = SenseBytes;

inline std::uint8_t SenseKeyOf(std::uint32_t summary) { return static_cast<std::uint8_t>(summary >> 16); }
inline std::uint8_t AscOf(std::uint32_t summary) { return static_cast<std::uint8_t>(summary >> 8); }
inline std::uint8_t AscqOf(std::uint32_t summary) { return static_cast<std::uint8_t>(summary); }

// What a failed TEST UNIT READY, sent after the drive was stopped, says.
enum class ReadyCheckSense {
  Idle,           // no medium, or stopped and waiting for a start: fit for an update
  BecomingReady,  // a disc is spinning up
  UnitAttention,  // something changed; ask again
  NoSense,        // the command failed without sense data
  Other,
};

inline ReadyCheckSense JudgeReadyCheck(std::uint32_t summary) {
  if (summary == 0) return ReadyCheckSense::NoSense;
  const std::uint8_t key = SenseKeyOf(summary);
  if (key == kSenseKeyUnitAttention) return ReadyCheckSense::UnitAttention;
  if (key != kSenseKeyNotReady) return ReadyCheckSense::Other;
  if (AscOf(summary) == kAscNoMedium) return ReadyCheckSense::Idle;
  if (AscOf(summary) != kAscNotReady) return ReadyCheckSense::Other;
  if (AscqOf(summary) == kAscqNeedsStart) return ReadyCheckSense::Idle;
  if (AscqOf(summary) == kAscqBecomingReady) return ReadyCheckSense::BecomingReady;
  return ReadyCheckSense::Other;
}

// A drive that restarts as soon as it takes the normal-mode switch may end
// that command with not ready or unit attention.
inline bool SenseShowsRestart(std::uint32_t summary) {
  const std::uint8_t key = SenseKeyOf(summary);
  return key == kSenseKeyNotReady || key == kSenseKeyUnitAttention;
}

// A writer that does not use the unlock handshake refuses its probe as an
// invalid field in the CDB (and nothing else: any other refusal may be one
// that the handshake itself cures).
inline bool SenseDeclinesHandshake(std::uint32_t summary) {
  return summary == (std::uint32_t{kSenseKeyIllegalRequest} << 16 | std::uint32_t{kAscInvalidField} << 8);
}

// A drive reports a restart or a medium change once, as a unit attention to
// the first command after it, and does not carry that command out. A read is
// sent again, as the kernel does with its own commands, at most this many
// times; a drive that keeps reporting it fails the read.
inline constexpr int kUnitAttentionResends = 3;

// The reads that may be sent again after a unit attention: INQUIRY, TEST UNIT
// READY, the drive-information read and the read-back of the firmware area.
// Never a WRITE BUFFER or a mode switch: a unit attention there means the
// drive reset under the update, which its caller must see.
inline bool ResendableRead(const CdbBytes& cdb) {
  switch (cdb[0]) {
    case kOpInquiry:
    case kOpTestUnitReady: return true;
    case kOpReadBuffer:
      return (cdb[1] == kModeDriveInfo && cdb[2] == kBufferDriveInfo) ||
             (cdb[1] == kModeVendor && cdb[2] == kBufferFirmwareArea);
    default: return false;
  }
}

// Whether a read that failed with this sense (senseFresh: the command brought
// it back itself, it is no earlier command's) is sent again after `resends`
// repeats. The key byte is taken whole, as in the summary.
inline bool ResendAfterUnitAttention(const CdbBytes& cdb, bool senseFresh, const SenseData& sense,
                                     int resends) {
  return senseFresh && sense[2] == kSenseKeyUnitAttention && resends < kUnitAttentionResends &&
         ResendableRead(cdb);
}

// Under the Intel ATA storage driver, a not-ready answer to a status read
// counts as success on the ASPI route. Never for TEST UNIT READY, whose
// not-ready answer is the point, and never for WRITE BUFFER: an image block
// or a mode switch that failed did not reach the drive, and passing it would
// leave a hole in the firmware the drive then re-flashes.
inline bool IntelAtaDriverPassesNotReady(std::uint8_t opcode, std::uint32_t summary) {
  return opcode != kOpTestUnitReady && opcode != kOpWriteBuffer &&
         SenseKeyOf(summary) == kSenseKeyNotReady;
}

}  // namespace odf
