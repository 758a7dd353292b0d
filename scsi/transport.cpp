#include "scsi/transport.h"

#include <algorithm>
#include <cstring>

#include "core/context.h"
#include "scsi/cdb.h"

namespace odf {

namespace {

constexpr std::uint8_t kSenseLength = 18;
constexpr std::uint8_t kCheckCondition = 2;  // SCSI status byte
constexpr std::int32_t kBufferedLimit = 32;
constexpr std::uint32_t kProbeTimeoutSeconds = 2;
constexpr std::uint32_t kDefaultDirectTimeoutSeconds = 60;
constexpr win::DWORD kPollIntervalMs = 500;
// How long a command left pending is waited for before the next one, and how
// long a polled command without a time-out of its own is polled. A drive
// that has not answered by then is not going to: the next command fails
// instead of the program hanging on it for ever.
constexpr win::DWORD kPendingFinishLimitMs = 60000;
constexpr std::int64_t kPolledWaitLimitMs = 300000;

// Both known layouts must fit the blocks kept in the transport state.
static_assert(kPassThroughLayout32.directBlockSize <= sizeof(TransportState::directBlock));
static_assert(kPassThroughLayout64.directBlockSize <= sizeof(TransportState::directBlock));
static_assert(kPassThroughLayout32.bufferedBlockSize <= sizeof(TransportState::bufferedBlock));
static_assert(kPassThroughLayout64.bufferedBlockSize <= sizeof(TransportState::bufferedBlock));

// Windows structures are little-endian whatever the build host is.
void PutLe(std::uint8_t* at, std::uint64_t value, std::uint32_t bytes) {
  for (std::uint32_t i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// ---------------------------------------------------------------------------
// Pass-through route

struct PassThroughCall {
  const std::uint8_t* cdb = nullptr;
  std::int32_t cdbLength = 0;
  DataDirection direction = DataDirection::None;
  std::uint32_t dataLength = 0;
  std::uint32_t timeoutSeconds = 0;
  std::uint64_t dataField = 0;  // buffer address (direct) or data area offset (buffered)
};

PassThroughCall CallFor(const ScsiRequest& request, std::uint32_t timeoutSeconds,
                        std::uint64_t dataField) {
  PassThroughCall call;
  call.cdb = request.cdb.data();
  call.cdbLength = request.cdbLength;
  call.direction = request.direction;
  call.dataLength = static_cast<std::uint32_t>(request.dataLength);
  call.timeoutSeconds = timeoutSeconds;
  call.dataField = dataField;
  return call;
}

std::uint8_t DataInCode(DataDirection direction) {
  switch (direction) {
    case DataDirection::In: return win::SCSI_IOCTL_DATA_IN;
    case DataDirection::Out: return win::SCSI_IOCTL_DATA_OUT;
    default: return win::SCSI_IOCTL_DATA_UNSPECIFIED;
  }
}

void FillHeader(const Context& ctx, std::uint8_t* block, const PassThroughCall& call) {
  const TransportState& t = ctx.transport;
  const PassThroughLayout& l = *t.layout;
  PutLe(block + l.offLength, l.headerSize, 2);
  block[l.offPathId] = t.pathId;
  block[l.offTargetId] = t.targetId;
  block[l.offLun] = t.lun;
  block[l.offCdbLength] = static_cast<std::uint8_t>(call.cdbLength);
  block[l.offSenseInfoLength] = kSenseLength;
  block[l.offDataIn] = DataInCode(call.direction);
  PutLe(block + l.offDataTransferLength, call.dataLength, 4);
  PutLe(block + l.offTimeOutValue, call.timeoutSeconds, 4);
  PutLe(block + l.offDataBuffer, call.dataField, l.pointerSize);
  PutLe(block + l.offSenseInfoOffset, l.senseOffset, 4);
  std::memcpy(block + l.offCdb, call.cdb, static_cast<std::size_t>(call.cdbLength));
}

// The system writes the returned SenseInfoLength; never take more than lastSense holds.
void CaptureSense(Context& ctx, const std::uint8_t* block) {
  const PassThroughLayout& l = *ctx.transport.layout;
  const std::size_t count =
      std::min<std::size_t>(block[l.offSenseInfoLength], ctx.transport.lastSense.size());
  std::memcpy(ctx.transport.lastSense.data(), block + l.senseOffset, count);
}

std::uint64_t AddressOf(const void* data) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(data));
}

int RunDirect(Context& ctx, const PassThroughCall& call) {
  TransportState& t = ctx.transport;
  const PassThroughLayout& l = *t.layout;
  std::uint8_t* block = t.directBlock.data();
  t.directBlock.fill(0);
  FillHeader(ctx, block, call);
  win::DWORD returned = 0;
  const win::BOOL ok = ctx.platform.DeviceIoControl(t.volume, win::IOCTL_SCSI_PASS_THROUGH_DIRECT,
                                                     block, l.directBlockSize, block,
                                                     l.directBlockSize, &returned);
  if (block[l.offScsiStatus] != 0) {
    CaptureSense(ctx, block);
    return kCommandScsiError;
  }
  // A call that failed without any SCSI status (time-out, device gone) moved
  // nothing; it must not pass for a delivered block.
  if (ok) return kCommandDone;
  t.failedWithoutStatus = true;
  return kCommandScsiError;
}

// Carries at most 32 bytes through the block's own data area (the Intel
// accelerator refuses direct transfers this small).
int RunBuffered(Context& ctx, const ScsiRequest& request) {
  TransportState& t = ctx.transport;
  const PassThroughLayout& l = *t.layout;
  std::uint8_t* block = t.bufferedBlock.data();
  const auto length = static_cast<std::uint32_t>(request.dataLength);
  t.bufferedBlock.fill(0);
  if (request.direction == DataDirection::Out && length != 0) {
    std::memcpy(block + l.dataOffset, request.data, length);
  }
  // No substitute for a time-out of 0 here, unlike the direct block.
  FillHeader(ctx, block,
             CallFor(request, static_cast<std::uint32_t>(request.timeoutMs / 1000), l.dataOffset));
  const win::DWORD size = l.dataOffset + length;
  win::DWORD returned = 0;
  const win::BOOL ok = ctx.platform.DeviceIoControl(t.volume, win::IOCTL_SCSI_PASS_THROUGH, block,
                                                     size, block, size, &returned);
  int status = kCommandDone;
  if (block[l.offScsiStatus] != 0) {
    CaptureSense(ctx, block);
    status = kCommandScsiError;
  } else if (!ok && block[l.offSenseInfoLength] == 0) {
    block[l.offScsiStatus] = kCheckCondition;
    status = kCommandScsiError;
  }
  if (status == kCommandDone && request.direction == DataDirection::In && length != 0) {
    std::memcpy(request.data, block + l.dataOffset, length);
  }
  return status;
}

int SendPassThrough(Context& ctx, const ScsiRequest& request) {
  const TargetDrive& target = ctx.targets.entries[static_cast<std::size_t>(request.targetIndex)];
  if (OpenTargetVolume(ctx, target.driveLetter) != kVolumeOpened) return kCommandNoVolume;
  int status = kCommandDone;
  if (ctx.transport.intelDriverKind == kIntelAccelerator && request.dataLength <= kBufferedLimit) {
    status = RunBuffered(ctx, request);
  } else {
    const std::uint32_t seconds = request.timeoutMs == 0
                                      ? kDefaultDirectTimeoutSeconds
                                      : static_cast<std::uint32_t>(request.timeoutMs / 1000);
    status = RunDirect(ctx, CallFor(request, seconds, AddressOf(request.data)));
  }
  CloseTargetVolume(ctx);
  return status;
}

// A reply shorter than asked leaves the rest of its area as it was: the
// previous drive's identity, say, which a drive that answers INQUIRY with a
// few bytes would then be taken for. Nothing the drive did not send may be
// read as its reply, so the area starts as zeros, which match no definition.
void ClearReplyArea(std::uint8_t* data, std::uint32_t length) {
  if (data != nullptr && length != 0) std::memset(data, 0, length);
}

int PassThroughProbe(Context& ctx, const CdbBytes& cdb, std::int32_t cdbLength,
                     std::uint8_t* data, std::uint32_t length) {
  if (data == nullptr) return kCommandNotSent;
  ClearReplyArea(data, length);
  PassThroughCall call;
  call.cdb = cdb.data();
  call.cdbLength = cdbLength;
  call.direction = DataDirection::In;
  call.dataLength = length;
  call.timeoutSeconds = kProbeTimeoutSeconds;
  call.dataField = AddressOf(data);
  return RunDirect(ctx, call);
}

// ---------------------------------------------------------------------------
// ASPI route

SRB_ExecSCSICmd* RequestBlock(Context& ctx) {
  return reinterpret_cast<SRB_ExecSCSICmd*>(ctx.host.requestBlockBuffer.data);
}

// The ASPI layer writes the status while the command runs.
std::uint8_t StatusOf(const SRB_ExecSCSICmd& srb) {
  return *static_cast<const volatile std::uint8_t*>(&srb.SRB_Status);
}

std::uint8_t DirectionFlags(DataDirection direction) {
  switch (direction) {
    case DataDirection::In: return SRB_DIR_IN;
    case DataDirection::Out: return SRB_DIR_OUT;
    default: return 0;
  }
}

// Whether the layer still owns the request block, after waiting up to
// `waitMs` for a command left pending to finish.
bool RequestBlockBusy(Context& ctx, win::DWORD waitMs) {
  TransportState& t = ctx.transport;
  if (t.pendingEvent != 0) {
    if (ctx.platform.WaitForSingleObject(t.pendingEvent, waitMs) != win::WAIT_OBJECT_0) return true;
    ctx.platform.CloseHandle(t.pendingEvent);
    t.pendingEvent = 0;
  }
  if (t.polledStillRunning) {
    const SRB_ExecSCSICmd* srb = RequestBlock(ctx);
    t.polledStillRunning = srb != nullptr && StatusOf(*srb) == SS_PENDING;
  }
  return t.polledStillRunning;
}

// A command left pending still owns the one request block; let it finish
// before the block is reused, or the layer would write its late status and
// sense into the next command. False when it is still running after the
// bound: the next command is then not sent.
bool FinishPendingCommand(Context& ctx) { return !RequestBlockBusy(ctx, kPendingFinishLimitMs); }

struct AspiCall {
  int hostAdapter = 0;
  int targetId = 0;
  const std::uint8_t* cdb = nullptr;
  std::int32_t cdbLength = 0;
  std::uint8_t* data = nullptr;
  std::uint32_t dataLength = 0;
  std::uint8_t senseLength = 0;
  std::uint8_t flags = 0;
};

// Zero-fills and fills the request block; nullptr when there is no block or no layer.
SRB_ExecSCSICmd* PrepareRequestBlock(Context& ctx, const AspiCall& call) {
  if (!FinishPendingCommand(ctx)) return nullptr;
  SRB_ExecSCSICmd* srb = RequestBlock(ctx);
  if (srb == nullptr || ctx.host.sendCommand == 0) return nullptr;
  std::memset(static_cast<void*>(srb), 0, sizeof(SRB_ExecSCSICmd));
  srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb->SRB_HaId = static_cast<std::uint8_t>(call.hostAdapter);
  srb->SRB_Flags = call.flags;
  srb->SRB_Target = static_cast<std::uint8_t>(call.targetId);
  srb->SRB_Lun = 0;
  srb->SRB_BufLen = call.dataLength;
  srb->SRB_BufPointer = call.data;
  srb->SRB_SenseLen = call.senseLength;
  srb->SRB_CDBLen = static_cast<std::uint8_t>(call.cdbLength);
  std::memcpy(srb->CDBByte, call.cdb, static_cast<std::size_t>(call.cdbLength));
  return srb;
}

enum class EventOutcome { Completed, LeftPending, WaitRanOut, NoEvent };

// Submits with completion signalled through a fresh event. A command that
// the layer finishes (or refuses) during submission is not waited for: a
// layer need not signal it, and an unlimited wait would never end.
EventOutcome SubmitWithEvent(Context& ctx, SRB_ExecSCSICmd& srb, win::DWORD waitMs,
                             bool leavePending) {
  const win::HANDLE event = ctx.platform.CreateEventA(win::FALSE_, win::FALSE_);
  if (event == 0) return EventOutcome::NoEvent;
  srb.SRB_Flags = static_cast<std::uint8_t>(srb.SRB_Flags | SRB_EVENT_NOTIFY);
  srb.SRB_PostProc = reinterpret_cast<void*>(event);
  ctx.platform.CallSendASPI32Command(ctx.host.sendCommand, &srb);
  if (StatusOf(srb) == SS_PENDING) {
    if (leavePending) {
      ctx.transport.pendingEvent = event;
      return EventOutcome::LeftPending;
    }
    if (ctx.platform.WaitForSingleObject(event, waitMs) == win::WAIT_TIMEOUT) {
      ctx.platform.CloseHandle(event);
      return EventOutcome::WaitRanOut;
    }
  }
  ctx.platform.CloseHandle(event);
  return EventOutcome::Completed;
}

bool UsesPolledMode(const Context& ctx, const TargetDrive& target, const ScsiRequest& request) {
  if (request.cdb[0] != kOpWriteBuffer) return false;
  return target.hostAdapter == ctx.transport.bridgeIndex ||
         (ctx.transport.policy.pollNormalSwitch && request.cdb[1] == kModeNormalSwitch);
}

// Polls every 500 ms until the request's time-out, or the polling bound
// for a request without one.
int WaitPolled(Context& ctx, const SRB_ExecSCSICmd& srb, std::int32_t timeoutMs) {
  const std::int64_t limit = timeoutMs != 0 ? timeoutMs : kPolledWaitLimitMs;
  std::int64_t elapsed = 0;
  do {
    ctx.platform.Sleep(kPollIntervalMs);
    elapsed += kPollIntervalMs;
    if (limit < elapsed && StatusOf(srb) == SS_PENDING) {
      ctx.transport.polledStillRunning = true;
      return kCommandPollGaveUp;
    }
  } while (StatusOf(srb) == SS_PENDING);
  return kCommandDone;
}

int CompleteAspi(Context& ctx, const SRB_ExecSCSICmd& srb, const ScsiRequest& request) {
  if (StatusOf(srb) == SS_COMP) return kCommandDone;
  std::memcpy(ctx.transport.lastSense.data(), srb.SenseArea, ctx.transport.lastSense.size());
  SummarizeSense(ctx);
  if (ctx.transport.intelDriverKind == kIntelAtaDriver &&
      IntelAtaDriverPassesNotReady(request.cdb[0], ctx.transport.senseSummary)) {
    return kCommandDone;
  }
  return kCommandFailed;
}

int SendAspi(Context& ctx, const ScsiRequest& request) {
  const TargetDrive& target = ctx.targets.entries[static_cast<std::size_t>(request.targetIndex)];
  AspiCall call;
  call.hostAdapter = target.hostAdapter;
  call.targetId = target.targetId;
  call.cdb = request.cdb.data();
  call.cdbLength = request.cdbLength;
  call.data = request.data;
  call.dataLength = static_cast<std::uint32_t>(request.dataLength);
  call.senseLength = kSenseLength;
  call.flags = DirectionFlags(request.direction);
  SRB_ExecSCSICmd* srb = PrepareRequestBlock(ctx, call);
  if (srb == nullptr) return kCommandNotSent;

  if (UsesPolledMode(ctx, target, request)) {
    ctx.platform.CallSendASPI32Command(ctx.host.sendCommand, srb);
    const int waited = WaitPolled(ctx, *srb, request.timeoutMs);
    if (waited != kCommandDone) return waited;
    return CompleteAspi(ctx, *srb, request);
  }
  const bool limited = request.timeoutMs != 0 && ctx.transport.policy.limitWaits;
  const win::DWORD waitMs = limited ? static_cast<win::DWORD>(request.timeoutMs) : win::INFINITE;
  switch (SubmitWithEvent(ctx, *srb, waitMs, ctx.transport.leavePending != 0)) {
    case EventOutcome::LeftPending: return kCommandDone;
    case EventOutcome::WaitRanOut: return kCommandWaitRanOut;
    case EventOutcome::NoEvent: return kCommandNotSent;
    case EventOutcome::Completed: break;
  }
  return CompleteAspi(ctx, *srb, request);
}

int AspiProbe(Context& ctx, int hostAdapter, int targetId, const CdbBytes& cdb,
              std::int32_t cdbLength, std::uint8_t* data, std::uint32_t length) {
  if (data == nullptr) return kCommandNotSent;
  ClearReplyArea(data, length);
  AspiCall call;
  call.hostAdapter = hostAdapter;
  call.targetId = targetId;
  call.cdb = cdb.data();
  call.cdbLength = cdbLength;
  call.data = data;
  call.dataLength = length;
  call.senseLength = 0;
  call.flags = SRB_DIR_IN;
  SRB_ExecSCSICmd* srb = PrepareRequestBlock(ctx, call);
  if (srb == nullptr) return kCommandNotSent;
  if (SubmitWithEvent(ctx, *srb, win::INFINITE, false) != EventOutcome::Completed) return kCommandFailed;
  return StatusOf(*srb) == SS_COMP ? kCommandDone : kCommandFailed;
}

// A request the builders could never make is refused before anything is sent.
bool IsWellFormed(const Context& ctx, const ScsiRequest& request) {
  if (request.targetIndex < 0 || request.targetIndex >= ctx.targets.targetCount ||
      request.targetIndex >= kTargetSlots) {
    return false;
  }
  if (request.cdbLength < 0 || request.cdbLength > 16 || request.dataLength < 0) return false;
  return request.dataLength == 0 || request.data != nullptr;
}

}  // namespace

int SendCommand(Context& ctx, ScsiRequest& request) {
  ctx.transport.failedWithoutStatus = false;
  if (!IsWellFormed(ctx, request)) return kCommandNotSent;
  if (request.direction == DataDirection::In) {
    ClearReplyArea(request.data, static_cast<std::uint32_t>(request.dataLength));
  }
  if (ctx.transport.route == TransportRoute::PassThrough) return SendPassThrough(ctx, request);
  return SendAspi(ctx, request);
}

int OpenTargetVolume(Context& ctx, char letter) {
  TransportState& t = ctx.transport;
  t.bridgeIndex = -1;
  t.pathId = t.targetId = t.lun = 0;
  char path[] = "\\\\.\\?:";
  path[4] = letter;
  t.volume = ctx.platform.CreateFileA(path, win::GENERIC_READ | win::GENERIC_WRITE,
                                      win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                                      win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL);
  if (t.volume == win::INVALID_HANDLE_VALUE) {
    t.lastError = ctx.platform.GetLastError();
    return kVolumeNotOpened;
  }
  win::SCSI_ADDRESS address{};
  win::DWORD returned = 0;
  if (ctx.platform.DeviceIoControl(t.volume, win::IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address,
                                   sizeof address, &returned)) {
    t.pathId = address.PathId;
    t.targetId = address.TargetId;
    t.lun = address.Lun;
    return kVolumeOpened;
  }
  t.lastError = ctx.platform.GetLastError();
  // A bridged drive (IEEE1394) has no SCSI address but takes commands all the same.
  if (t.lastError == win::ERROR_NOT_SUPPORTED) {
    t.bridgeIndex = t.policy.target;
    return kVolumeOpened;
  }
  CloseTargetVolume(ctx);
  return kVolumeNotOpened;
}

void CloseTargetVolume(Context& ctx) {
  if (ctx.transport.volume == win::INVALID_HANDLE_VALUE) return;
  ctx.platform.CloseHandle(ctx.transport.volume);
  ctx.transport.volume = win::INVALID_HANDLE_VALUE;
}

void SummarizeSense(Context& ctx) { ctx.transport.senseSummary = PackSense(ctx.transport.lastSense); }

void ForgetSense(Context& ctx) {
  ctx.transport.lastSense.fill(0);
  ctx.transport.senseSummary = 0;
}

int PollPendingCommand(Context& ctx) {
  ctx.transport.leavePending = 0;
  const win::HANDLE event = ctx.transport.pendingEvent;
  if (event == 0) return kPendingRunning;
  if (ctx.platform.WaitForSingleObject(event, 0) != win::WAIT_OBJECT_0) return kPendingRunning;
  ctx.platform.CloseHandle(event);
  ctx.transport.pendingEvent = 0;
  const SRB_ExecSCSICmd* srb = RequestBlock(ctx);
  return srb != nullptr && StatusOf(*srb) == SS_COMP ? kPendingDone : kPendingFailed;
}

bool CommandStillPending(const Context& ctx) { return ctx.transport.pendingEvent != 0; }

bool RequestBlockInUse(Context& ctx) { return RequestBlockBusy(ctx, 0); }

int ProbeInquiry(Context& ctx) {
  return PassThroughProbe(ctx, InquiryCdb(), kSixByteCdb, ctx.host.dataBuffer.data, kInquirySize);
}

int ProbeInquiry(Context& ctx, int hostAdapter, int targetId) {
  return AspiProbe(ctx, hostAdapter, targetId, InquiryCdb(), kSixByteCdb, ctx.host.dataBuffer.data,
                   kInquirySize);
}

int ProbeDriveInfo(Context& ctx) {
  return PassThroughProbe(ctx, DriveInfoCdb(), kTenByteCdb, ctx.driveInfo.data(), kDriveInfoSize);
}

int ProbeDriveInfo(Context& ctx, int hostAdapter, int targetId) {
  return AspiProbe(ctx, hostAdapter, targetId, DriveInfoCdb(), kTenByteCdb, ctx.driveInfo.data(),
                   kDriveInfoSize);
}

}  // namespace odf
