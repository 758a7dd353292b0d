// What the update procedures do differently per drive family and image
// edition: one row per family in one table, and the waits between steps by
// name. Nothing else in the program spells out a family code or a wait.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

namespace odf {

// Which procedure updates a family: the top digit of its code.
enum class FamilyProcedure { Zero, One, Four, None };
FamilyProcedure ProcedureFor(std::int32_t familyCode);

// The DVD writers (0x10xx) must carry the definition's vendor tag.
bool NeedsVendorTag(std::int32_t familyCode);
// The 0x104x writers' kernel-and-normal update may cross hardware revisions.
bool MayCrossHardwareRevision(std::int32_t familyCode);

// The normal-mode switch makes the drive flash and restart before it
// answers; how long that may take depends on where the drive sits.
struct NormalSwitchTimeouts {
  std::int32_t plainMs;              // pass-through, no bridge
  std::int32_t aspiMs;               // ASPI route, not behind the bridge
  std::int32_t aspiBridgeMs;         // ASPI route, behind the IEEE1394 bridge
  std::int32_t passThroughBridgeMs;  // pass-through, the bridged drive itself
};

// Family zero (images as HEX files).
struct FamilyZeroTraits {
  bool readBack = false;             // the firmware area is read back before and after
  std::int32_t flashTimeoutMs = 0;   // of the flash start, pass-through route
  std::int32_t aspiFlashTimeoutMs = 0;  // the same on ASPI (0: no limit)
  // Below this definition version the family cannot be written from Windows
  // 98/Me (the ASPI route); 0 when it always can.
  std::uint16_t lowestVersionOverAspi = 0;
};

struct FamilyTraits {
  std::int32_t firstCode;
  std::int32_t lastCode;
  // The mode blocks' 16-byte model strings, or nullptr for a block without one.
  const char* kernelModel;
  const char* normalModel;
  NormalSwitchTimeouts normalSwitch;
  // ASPI route: the normal-mode switch completes by polling, not by event.
  bool pollsNormalSwitch;
  // Answers INQUIRY once more before it has finished restarting: asked
  // again after a wait, and on the ASPI route retried.
  bool answersBeforeRestarted;
  // Its kernel image is compared with the drive's kernel before it is sent.
  bool checksKernelRevision;
  // A ready drive (a disc loaded) is no reason to hold the update back.
  bool mayHoldDisc;
  // The normal-mode block carries the definition's checksum.
  bool modeBlockCarriesChecksum;
  // Family one: the end of the transfer says "Complete" and the restart,
  // not "Data transfer complete".
  bool shortTransferEnd;
  // Family one: below this revision the drive must be switched off once after
  // an irreversible update (0: never).
  std::uint16_t powerCycleBelow;
  FamilyZeroTraits zero;
};

// The row of a family; a family without a row of its own gets the defaults.
const FamilyTraits& TraitsOf(std::int32_t familyCode);

// ---- waits between steps, in milliseconds ----------------------------------

// After the kernel switch, before anything else is sent (not under an Intel
// driver on the ASPI route, which waits itself).
inline constexpr win::DWORD kAfterKernelSwitchMs = 2000;
// After the plain kernel switch, before the kernel identity is asked.
inline constexpr win::DWORD kBeforeKernelCheckMs = 1000;
// After the kernel part was written.
inline constexpr win::DWORD kAfterKernelPartMs = 2000;
// After a normal-mode switch the drive failed.
inline constexpr win::DWORD kAfterFailedSwitchMs = 2000;
// The restart after the normal-mode switch behind a bridge, or under an
// Intel driver on the ASPI route.
inline constexpr win::DWORD kSlowRestartMs = 5000;
// The restart after the normal-mode switch: general SCSI edition, others.
inline constexpr win::DWORD kGeneralEditionRestartMs = 5000;
inline constexpr win::DWORD kRestartMs = 3000;
// Between an updated drive and the next.
inline constexpr win::DWORD kBetweenDrivesMs = 2000;
// The unlock handshake: before and after its steps, and after the response.
inline constexpr win::DWORD kHandshakeSettleMs = 100;
inline constexpr win::DWORD kHandshakeAnsweredMs = 5;
// Between INQUIRY retries while a drive restarts.
inline constexpr win::DWORD kInquiryRetryMs = 3000;
// Family zero: after the flash, before the read-back.
inline constexpr win::DWORD kAfterFlashMs = 2000;

}  // namespace odf
