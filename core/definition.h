// The update definition record, the definition table and the run state.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>

#include "core/target_table.h"

namespace odf {

struct Context;

struct UpdateDefinition {
  char fileName[128];            // zero-terminated
  std::uint8_t modelCode[64];
  std::uint8_t vendor[8];
  std::uint8_t product[16];
  std::uint8_t versionText[4];
  std::uint8_t cpuType[8];
  std::uint8_t extension[4];     // 3 used
  std::uint32_t imageSize;
  std::int32_t familyCode;       // 16 bits used
  std::int32_t downgradeWarning;
  std::uint32_t minimumImageDate;  // packed BCD 0x20YYMMDD
  std::uint32_t checksum;
  std::int32_t updateScope;      // 0 kernel and normal part, 1 normal part only
  std::uint8_t vendorTag[16];    // 8 used
  // The SHA-256 of the file named above, when its publisher gave one (the
  // built-in definition has none): a file that differs is refused.
  bool sha256Given;
  std::uint8_t sha256[32];
};

inline constexpr int kDefinitionSlots = 8;

struct DefinitionTable {
  std::array<UpdateDefinition, kDefinitionSlots> entries{};
  int definitionCount = 0;
};

struct RunState {
  std::uint32_t oemCodePage = 0;
  bool updateAll = false;
  std::int32_t currentTarget = 0;
  std::int32_t updatedCount = 0;
  // Run options: cleared at start and never set, since the utility takes no
  // command line; the code paths behind them stay reachable for tests.
  bool forceUpdate = false;
  bool expertOverride = false;
  bool signatureOverride = false;
  bool handshakeSelect = false;
  bool kernelMode = false;
  std::int32_t kernelOnlyState = -1;  // -1 no reply yet, 1 normal part empty, 0 otherwise
  std::uint16_t newRevisionNumber = 0;
  // The time-out each step leaves for the commands after it that take none
  // of their own (the drive-information read above all, which the next
  // drive's checks send): 1000 after the host checks, then whatever the
  // last command wrapper or step chose.
  std::int32_t carriedTimeoutMs = 1000;
  // Drives that may run only their kernel, where a signal must not end the
  // program: the current drive from its switch into the kernel (or from
  // being found there) until an identity read shows its normal firmware
  // again, and the drives the run has left so, by target index.
  bool driveInKernel = false;
  std::bitset<kTargetSlots> drivesLeftInKernel;
  // The run loop is updating the current drive; a listing reads drives the
  // same way but holds no interruption for them.
  bool updatingDrive = false;
  // Scopes that hold interruptions whatever the current drive runs (family
  // zero's flash, a drive left in its kernel), and whether the platform's
  // handler is in.
  std::int32_t holdScopes = 0;
  bool interruptionsHeld = false;
  // Open update windows (the platform keeps the machine awake while any is).
  std::int32_t updateWindows = 0;
};

// Fills entry 0 with the built-in definition; returns definitionCount (1).
int LoadBuiltInDefinition(Context& ctx);
// Clears the run options.
void ResetRunState(Context& ctx);

}  // namespace odf
