// One SCSI command to one drive, through pass-through or ASPI.
#pragma once

#include <array>
#include <cstdint>

#include "platform/win_types.h"
#include "scsi/layouts.h"

namespace odf {

struct Context;

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

struct TransportState {
  TransportRoute route = TransportRoute::PassThrough;
  std::int32_t intelDriverKind = 0;   // 0 none, 1 Intel ATA storage driver, 2 Application Accelerator
  std::int32_t bridgeIndex = -1;
  std::int32_t currentTimeoutMs = 1000;
  std::int32_t leavePending = 0;
  std::array<std::uint8_t, 18> lastSense{};
  std::uint32_t senseSummary = 0;     // key << 16 | asc << 8 | ascq
  const PassThroughLayout* layout = &NativePassThroughLayout();
  // Pass-through route
  win::HANDLE volume = win::INVALID_HANDLE_VALUE;
  std::uint8_t pathId = 0, targetId = 0, lun = 0;
  win::DWORD lastError = 0;
  std::array<std::uint8_t, 128> directBlock{};
  std::array<std::uint8_t, 128 + 32> bufferedBlock{};
  // ASPI route: the request block is the start of ctx.host.requestBlockBuffer.
  win::HANDLE pendingEvent = 0;       // 0: nothing pending
};

// 0 success; 2 SCSI error (pass-through, sense in lastSense); -1 ASPI failure,
// polled wait gave up, or index out of range; -2 volume did not open or the
// event wait ran out.
int SendCommand(Context& ctx, ScsiRequest& request);
int OpenTargetVolume(Context& ctx, char letter);
void CloseTargetVolume(Context& ctx);
int SummarizeSense(Context& ctx);
// Clears lastSense and senseSummary, so that a caller judging the next
// command sees only that command's sense (none, if it brings none back).
void ForgetSense(Context& ctx);
int PollPendingCommand(Context& ctx);

// Discovery probes: pass-through form on the volume discovery opened, ASPI
// form on an adapter and target id. 0 on success.
int ProbeInquiry(Context& ctx);
int ProbeInquiry(Context& ctx, int hostAdapter, int targetId);
int ProbeDriveInfo(Context& ctx);
int ProbeDriveInfo(Context& ctx, int hostAdapter, int targetId);

inline std::uint8_t SenseKeyOf(std::uint32_t summary) { return static_cast<std::uint8_t>(summary >> 16); }

}  // namespace odf
