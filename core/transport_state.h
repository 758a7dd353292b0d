// What the transport keeps between commands: the route, the driver found,
// the policy for the drive being worked on, the last sense, and the blocks it
// hands to the operating system.
#pragma once

#include <array>
#include <cstdint>

#include "platform/layouts.h"
#include "platform/win_types.h"

namespace odf {

enum class DataDirection : std::int32_t { None = 0, In = 1, Out = 2 };
enum class TransportRoute : std::int32_t { PassThrough = 0, Aspi = 1 };

struct ScsiRequest {
  std::int32_t targetIndex = 0;
  DataDirection direction = DataDirection::None;
  std::int32_t cdbLength = 0;
  std::int32_t timeoutMs = 0;
  std::int32_t dataLength = 0;
  std::uint8_t* data = nullptr;
  std::array<std::uint8_t, 16> cdb{};
};

// How the transport treats the drive being worked on. The procedure sets it
// when it selects the drive (and discovery while it probes); the transport
// learns nothing else about the drive, its definition or its image.
struct DrivePolicy {
  // TargetTable index of the drive: the command wrappers address it, and a
  // volume opened without a SCSI address marks it as the bridge.
  std::int32_t target = 0;
  // ASPI route: the normal-mode switch (WRITE BUFFER mode 5, after which the
  // drive flashes its new firmware) completes by polling instead of by event.
  bool pollNormalSwitch = false;
  // ASPI route: an event wait ends after the request's time-out; otherwise it
  // lasts as long as the drive takes.
  bool limitWaits = true;
};

// The Intel storage drivers the host checks may find; each bends the transport's rules.
inline constexpr std::int32_t kNoIntelDriver = 0;
inline constexpr std::int32_t kIntelAtaDriver = 1;     // Intel ATA storage driver
inline constexpr std::int32_t kIntelAccelerator = 2;   // Intel Application Accelerator

struct TransportState {
  TransportRoute route = TransportRoute::PassThrough;
  std::int32_t intelDriverKind = kNoIntelDriver;
  std::int32_t bridgeIndex = -1;
  std::int32_t currentTimeoutMs = 1000;
  std::int32_t leavePending = 0;
  DrivePolicy policy;
  std::array<std::uint8_t, 18> lastSense{};
  std::uint32_t senseSummary = 0;     // key << 16 | asc << 8 | ascq
  // Pass-through route: the last command failed in the host without any SCSI
  // status (it timed out, or the drive restarted or went away under it). The
  // command counts as failed all the same; only the normal-mode switch, after
  // which the drive restarts, reads this.
  bool failedWithoutStatus = false;
  const PassThroughLayout* layout = &NativePassThroughLayout();
  // Pass-through route
  win::HANDLE volume = win::INVALID_HANDLE_VALUE;
  std::uint8_t pathId = 0, targetId = 0, lun = 0;
  win::DWORD lastError = 0;
  std::array<std::uint8_t, 128> directBlock{};
  std::array<std::uint8_t, 128 + 32> bufferedBlock{};
  // ASPI route: the request block is the start of ctx.host.requestBlockBuffer.
  win::HANDLE pendingEvent = 0;       // 0: nothing pending
  // A polled wait gave up on a command the layer has not finished: the layer
  // still owns the request block.
  bool polledStillRunning = false;
};

}  // namespace odf
