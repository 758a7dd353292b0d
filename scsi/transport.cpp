#include "scsi/transport.h"

#include <algorithm>
#include <cstring>

#include "core/context.h"
#include "scsi/cdb.h"
#include "scsi/sense.h"

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
// How long a layer that took an abort request gets to let the command go.
constexpr std::int64_t kAbortFinishLimitMs = 5000;

// Windows structures are little-endian whatever the build host is.
void PutLe(std::uint8_t* at, std::uint64_t value, std::uint32_t bytes) {
  for (std::uint32_t i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t AddressOf(const void* data) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(data));
}

// A reply shorter than asked leaves the rest of its area as it was: the
// previous drive's identity, say, which a drive that answers INQUIRY with a
// few bytes would then be taken for. Nothing the drive did not send may be
// read as its reply, so the area starts as zeros, which match no definition.
void ClearReplyArea(std::uint8_t* data, std::int32_t length) {
  if (data != nullptr && length > 0) std::memset(data, 0, static_cast<std::size_t>(length));
}

// A request the builders could never make is refused before anything is sent.
bool IsWellFormed(const ScsiRequest& request) {
  if (request.target.index < 0 || request.target.index >= kTargetSlots) return false;
  if (request.cdbLength < 0 || request.cdbLength > 16 || request.dataLength < 0) return false;
  return request.dataLength == 0 || request.data != nullptr;
}

std::uint8_t DataInCode(DataDirection direction) {
  switch (direction) {
    case DataDirection::In: return win::SCSI_IOCTL_DATA_IN;
    case DataDirection::Out: return win::SCSI_IOCTL_DATA_OUT;
    default: return win::SCSI_IOCTL_DATA_UNSPECIFIED;
  }
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

}  // namespace

// ---------------------------------------------------------------------------
// Pass-through route

// Both known layouts must fit the blocks the port keeps.
static_assert(kPassThroughLayout32.directBlockSize <= 128);
static_assert(kPassThroughLayout64.directBlockSize <= 128);
static_assert(kPassThroughLayout32.bufferedBlockSize <= 128 + 32);
static_assert(kPassThroughLayout64.bufferedBlockSize <= 128 + 32);

struct PassThroughPort::Call {
  const std::uint8_t* cdb = nullptr;
  std::int32_t cdbLength = 0;
  DataDirection direction = DataDirection::None;
  std::uint32_t dataLength = 0;
  std::uint32_t timeoutSeconds = 0;
  std::uint64_t dataField = 0;  // buffer address (direct) or data area offset (buffered)

  Call(const ScsiRequest& request, std::uint32_t seconds, std::uint64_t field)
      : cdb(request.cdb.data()),
        cdbLength(request.cdbLength),
        direction(request.direction),
        dataLength(static_cast<std::uint32_t>(request.dataLength)),
        timeoutSeconds(seconds),
        dataField(field) {}
};

void PassThroughPort::FillHeader(std::uint8_t* block, const Call& call) const {
  const PassThroughLayout& l = *layout_;
  PutLe(block + l.offLength, l.headerSize, 2);
  block[l.offPathId] = pathId_;
  block[l.offTargetId] = targetId_;
  block[l.offLun] = lun_;
  block[l.offCdbLength] = static_cast<std::uint8_t>(call.cdbLength);
  block[l.offSenseInfoLength] = kSenseLength;
  block[l.offDataIn] = DataInCode(call.direction);
  PutLe(block + l.offDataTransferLength, call.dataLength, 4);
  PutLe(block + l.offTimeOutValue, call.timeoutSeconds, 4);
  PutLe(block + l.offDataBuffer, call.dataField, l.pointerSize);
  PutLe(block + l.offSenseInfoOffset, l.senseOffset, 4);
  std::memcpy(block + l.offCdb, call.cdb, static_cast<std::size_t>(call.cdbLength));
}

// The system writes the returned SenseInfoLength; never take more than the sense area holds.
void PassThroughPort::CaptureSense(const std::uint8_t* block) {
  const PassThroughLayout& l = *layout_;
  const std::size_t count = std::min<std::size_t>(block[l.offSenseInfoLength], lastSense_.size());
  std::memcpy(lastSense_.data(), block + l.senseOffset, count);
  senseFresh_ = count != 0;
}

CommandResult PassThroughPort::RunDirect(const Call& call) {
  const PassThroughLayout& l = *layout_;
  std::uint8_t* block = directBlock_.data();
  directBlock_.fill(0);
  FillHeader(block, call);
  win::DWORD returned = 0;
  const win::BOOL ok = platform_.DeviceIoControl(volume_, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, block,
                                                  l.directBlockSize, block, l.directBlockSize, &returned);
  if (block[l.offScsiStatus] != 0) {
    CaptureSense(block);
    return CommandResult::ScsiError;
  }
  // A call that failed without any SCSI status (time-out, device gone) moved
  // nothing; it must not pass for a delivered block.
  if (ok) return CommandResult::Done;
  failedWithoutStatus_ = true;
  return CommandResult::ScsiError;
}

// Carries at most 32 bytes through the block's own data area (the Intel
// accelerator refuses direct transfers this small).
CommandResult PassThroughPort::RunBuffered(const ScsiRequest& request) {
  const PassThroughLayout& l = *layout_;
  std::uint8_t* block = bufferedBlock_.data();
  const auto length = static_cast<std::uint32_t>(request.dataLength);
  bufferedBlock_.fill(0);
  if (request.direction == DataDirection::Out && length != 0) {
    std::memcpy(block + l.dataOffset, request.data, length);
  }
  // No substitute for a time-out of 0 here, unlike the direct block.
  FillHeader(block, Call(request, static_cast<std::uint32_t>(request.timeoutMs / 1000), l.dataOffset));
  const win::DWORD size = l.dataOffset + length;
  win::DWORD returned = 0;
  const win::BOOL ok =
      platform_.DeviceIoControl(volume_, win::IOCTL_SCSI_PASS_THROUGH, block, size, block, size, &returned);
  CommandResult result = CommandResult::Done;
  if (block[l.offScsiStatus] != 0) {
    CaptureSense(block);
    result = CommandResult::ScsiError;
  } else if (!ok && block[l.offSenseInfoLength] == 0) {
    block[l.offScsiStatus] = kCheckCondition;
    result = CommandResult::ScsiError;
  }
  if (result == CommandResult::Done && request.direction == DataDirection::In && length != 0) {
    std::memcpy(request.data, block + l.dataOffset, length);
  }
  return result;
}

CommandResult PassThroughPort::Send(const ScsiRequest& request) {
  failedWithoutStatus_ = false;
  senseFresh_ = false;
  if (!IsWellFormed(request)) return CommandResult::NotSent;
  if (request.direction == DataDirection::In) ClearReplyArea(request.data, request.dataLength);
  if (!OpenVolume(request.target.driveLetter)) return CommandResult::NoVolume;
  CommandResult result = CommandResult::Done;
  if (intelDriverKind_ == kIntelAccelerator && request.dataLength <= kBufferedLimit) {
    result = RunBuffered(request);
  } else {
    const std::uint32_t seconds = request.timeoutMs == 0 ? kDefaultDirectTimeoutSeconds
                                                         : static_cast<std::uint32_t>(request.timeoutMs / 1000);
    result = RunDirect(Call(request, seconds, AddressOf(request.data)));
  }
  CloseVolume();
  return result;
}

CommandResult PassThroughPort::Probe(const ScsiRequest& request) {
  failedWithoutStatus_ = false;
  senseFresh_ = false;
  if (request.data == nullptr) return CommandResult::NotSent;
  ClearReplyArea(request.data, request.dataLength);
  return RunDirect(Call(request, kProbeTimeoutSeconds, AddressOf(request.data)));
}

bool PassThroughPort::OpenVolume(char letter) {
  bridgeIndex_ = -1;
  pathId_ = targetId_ = lun_ = 0;
  char path[] = "\\\\.\\?:";
  path[4] = letter;
  volume_ = platform_.CreateFileA(path, win::GENERIC_READ | win::GENERIC_WRITE,
                                  win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING,
                                  win::FILE_ATTRIBUTE_NORMAL);
  if (volume_ == win::INVALID_HANDLE_VALUE) {
    lastError_ = platform_.GetLastError();
    return false;
  }
  win::SCSI_ADDRESS address{};
  win::DWORD returned = 0;
  if (platform_.DeviceIoControl(volume_, win::IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address,
                                &returned)) {
    pathId_ = address.PathId;
    targetId_ = address.TargetId;
    lun_ = address.Lun;
    return true;
  }
  lastError_ = platform_.GetLastError();
  // A bridged drive (IEEE1394) has no SCSI address but takes commands all the same.
  if (lastError_ == win::ERROR_NOT_SUPPORTED) {
    bridgeIndex_ = policy_.target;
    return true;
  }
  CloseVolume();
  return false;
}

void PassThroughPort::CloseVolume() {
  if (volume_ == win::INVALID_HANDLE_VALUE) return;
  platform_.CloseHandle(volume_);
  volume_ = win::INVALID_HANDLE_VALUE;
}

// ---------------------------------------------------------------------------
// ASPI route

struct AspiPort::Call {
  int hostAdapter = 0;
  int targetId = 0;
  const std::uint8_t* cdb = nullptr;
  std::int32_t cdbLength = 0;
  std::uint8_t* data = nullptr;
  std::uint32_t dataLength = 0;
  std::uint8_t senseLength = 0;
  std::uint8_t flags = 0;

  Call(const ScsiRequest& request, std::uint8_t sense)
      : hostAdapter(request.target.hostAdapter),
        targetId(request.target.targetId),
        cdb(request.cdb.data()),
        cdbLength(request.cdbLength),
        data(request.data),
        dataLength(static_cast<std::uint32_t>(request.dataLength)),
        senseLength(sense),
        flags(DirectionFlags(request.direction)) {}
};

void AspiPort::Attach(win::FARPROC sendCommand, void* requestBlock) {
  sendCommand_ = sendCommand;
  requestBlock_ = static_cast<SRB_ExecSCSICmd*>(requestBlock);
}

void AspiPort::Detach() {
  sendCommand_ = 0;
  requestBlock_ = nullptr;
}

// Whether the layer still owns the request block, after waiting up to
// `waitMs` for a command left pending to finish.
bool AspiPort::RequestBlockBusy(win::DWORD waitMs) {
  if (pendingEvent_ != 0) {
    if (platform_.WaitForSingleObject(pendingEvent_, waitMs) != win::WAIT_OBJECT_0) {
      // Only a caller that waited gives the command up; a look without waiting does not.
      if (waitMs == 0 || requestBlock_ == nullptr || !Abort(*requestBlock_)) return true;
    }
    platform_.CloseHandle(pendingEvent_);
    pendingEvent_ = 0;
  }
  if (heldByLayer_) heldByLayer_ = requestBlock_ != nullptr && StatusOf(*requestBlock_) == SS_PENDING;
  return heldByLayer_;
}

bool AspiPort::GiveUpHeldCommand() {
  if (!RequestBlockBusy(0)) return true;
  // A command given up before was asked to abort already; one left pending was not.
  if (pendingEvent_ == 0 || requestBlock_ == nullptr || !Abort(*requestBlock_)) return false;
  platform_.CloseHandle(pendingEvent_);
  pendingEvent_ = 0;
  return true;
}

// Gives up a command the layer has not finished, as a real layer expects:
// asks it to abort the command and, if it takes the request, gives it a
// moment to complete the block (SS_ABORTED) and let it go. True once the
// block is free; otherwise the layer still owns it, and may still write into
// it, so no command may use it until the layer has finished with it.
bool AspiPort::Abort(SRB_ExecSCSICmd& srb) {
  heldByLayer_ = false;
  if (StatusOf(srb) != SS_PENDING) return true;  // it finished after all
  std::memset(static_cast<void*>(&abortBlock_), 0, sizeof abortBlock_);
  abortBlock_.SRB_Cmd = SC_ABORT_SRB;
  abortBlock_.SRB_HaId = srb.SRB_HaId;
  abortBlock_.SRB_ToAbort = &srb;
  const bool taken = platform_.CallSendASPI32Command(sendCommand_, &abortBlock_) == SS_COMP;
  for (std::int64_t waited = 0; taken && StatusOf(srb) == SS_PENDING && waited < kAbortFinishLimitMs;
       waited += kPollIntervalMs) {
    platform_.Sleep(kPollIntervalMs);
  }
  heldByLayer_ = StatusOf(srb) == SS_PENDING;
  return !heldByLayer_;
}

// Zero-fills and fills the request block; nullptr when there is no block or
// no layer, or when a command left pending still owns the block after the
// bound (the layer would write its late status and sense into this one).
SRB_ExecSCSICmd* AspiPort::PrepareRequestBlock(const Call& call) {
  if (RequestBlockBusy(kPendingFinishLimitMs)) return nullptr;
  SRB_ExecSCSICmd* srb = requestBlock_;
  if (srb == nullptr || sendCommand_ == 0) return nullptr;
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

// Submits with completion signalled through a fresh event. A command that
// the layer finishes (or refuses) during submission is not waited for: a
// layer need not signal it, and an unlimited wait would never end.
AspiPort::EventOutcome AspiPort::SubmitWithEvent(SRB_ExecSCSICmd& srb, win::DWORD waitMs, bool leavePending) {
  const win::HANDLE event = platform_.CreateEventA(win::FALSE_, win::FALSE_);
  if (event == 0) return EventOutcome::NoEvent;
  srb.SRB_Flags = static_cast<std::uint8_t>(srb.SRB_Flags | SRB_EVENT_NOTIFY);
  srb.SRB_PostProc = reinterpret_cast<void*>(event);
  platform_.CallSendASPI32Command(sendCommand_, &srb);
  if (StatusOf(srb) == SS_PENDING) {
    if (leavePending) {
      pendingEvent_ = event;
      return EventOutcome::LeftPending;
    }
    if (platform_.WaitForSingleObject(event, waitMs) == win::WAIT_TIMEOUT) {
      Abort(srb);  // while the event the layer may signal is still open
      platform_.CloseHandle(event);
      return EventOutcome::WaitRanOut;
    }
  }
  platform_.CloseHandle(event);
  return EventOutcome::Completed;
}

bool AspiPort::UsesPolledMode(const ScsiRequest& request) const {
  if (request.cdb[0] != kOpWriteBuffer) return false;
  return request.target.hostAdapter == bridgeIndex_ ||
         (policy_.pollNormalSwitch && request.cdb[1] == kModeNormalSwitch);
}

// Polls every 500 ms until the request's time-out, or the polling bound
// for a request without one.
CommandResult AspiPort::WaitPolled(SRB_ExecSCSICmd& srb, std::int32_t timeoutMs) {
  const std::int64_t limit = timeoutMs != 0 ? timeoutMs : kPolledWaitLimitMs;
  std::int64_t elapsed = 0;
  do {
    platform_.Sleep(kPollIntervalMs);
    elapsed += kPollIntervalMs;
    if (limit < elapsed && StatusOf(srb) == SS_PENDING) {
      Abort(srb);
      return CommandResult::PollGaveUp;
    }
  } while (StatusOf(srb) == SS_PENDING);
  return CommandResult::Done;
}

CommandResult AspiPort::Complete(const SRB_ExecSCSICmd& srb, const ScsiRequest& request) {
  if (StatusOf(srb) == SS_COMP) return CommandResult::Done;
  std::memcpy(lastSense_.data(), srb.SenseArea, lastSense_.size());
  senseFresh_ = true;
  SummarizeSense();
  if (intelDriverKind_ == kIntelAtaDriver && IntelAtaDriverPassesNotReady(request.cdb[0], senseSummary_)) {
    return CommandResult::Done;
  }
  return CommandResult::Failed;
}

CommandResult AspiPort::Send(const ScsiRequest& request) {
  failedWithoutStatus_ = false;
  senseFresh_ = false;
  if (!IsWellFormed(request)) return CommandResult::NotSent;
  if (request.direction == DataDirection::In) ClearReplyArea(request.data, request.dataLength);
  SRB_ExecSCSICmd* srb = PrepareRequestBlock(Call(request, kSenseLength));
  if (srb == nullptr) return CommandResult::NotSent;

  if (UsesPolledMode(request)) {
    platform_.CallSendASPI32Command(sendCommand_, srb);
    const CommandResult waited = WaitPolled(*srb, request.timeoutMs);
    if (waited != CommandResult::Done) return waited;
    return Complete(*srb, request);
  }
  const bool limited = request.timeoutMs != 0 && policy_.limitWaits;
  const win::DWORD waitMs = limited ? static_cast<win::DWORD>(request.timeoutMs) : win::INFINITE;
  switch (SubmitWithEvent(*srb, waitMs, request.leavePending)) {
    case EventOutcome::LeftPending: return CommandResult::Done;
    case EventOutcome::WaitRanOut: return CommandResult::WaitRanOut;
    case EventOutcome::NoEvent: return CommandResult::NotSent;
    case EventOutcome::Completed: break;
  }
  return Complete(*srb, request);
}

CommandResult AspiPort::Probe(const ScsiRequest& request) {
  senseFresh_ = false;  // a probe asks the layer for no sense
  if (request.data == nullptr) return CommandResult::NotSent;
  ClearReplyArea(request.data, request.dataLength);
  SRB_ExecSCSICmd* srb = PrepareRequestBlock(Call(request, 0));
  if (srb == nullptr) return CommandResult::NotSent;
  if (SubmitWithEvent(*srb, win::INFINITE, false) != EventOutcome::Completed) return CommandResult::Failed;
  return StatusOf(*srb) == SS_COMP ? CommandResult::Done : CommandResult::Failed;
}

PendingState AspiPort::PollPending() {
  if (pendingEvent_ == 0) return PendingState::Running;
  if (platform_.WaitForSingleObject(pendingEvent_, 0) != win::WAIT_OBJECT_0) return PendingState::Running;
  platform_.CloseHandle(pendingEvent_);
  pendingEvent_ = 0;
  return requestBlock_ != nullptr && StatusOf(*requestBlock_) == SS_COMP ? PendingState::Done
                                                                          : PendingState::Failed;
}

// ---------------------------------------------------------------------------

ScsiPort& PortOf(Context& ctx) {
  if (!ctx.port) ctx.port = std::make_unique<PassThroughPort>(ctx.platform);
  return *ctx.port;
}

PortTraits RouteTraits(const Context& ctx) { return ctx.port ? ctx.port->Traits() : PortTraits{}; }

PassThroughPort& UsePassThrough(Context& ctx) {
  auto port = std::make_unique<PassThroughPort>(ctx.platform);
  PassThroughPort& chosen = *port;
  ctx.port = std::move(port);
  return chosen;
}

AspiPort& UseAspi(Context& ctx) {
  auto port = std::make_unique<AspiPort>(ctx.platform);
  AspiPort& chosen = *port;
  ctx.port = std::move(port);
  return chosen;
}

PassThroughPort* PassThroughPortOf(Context& ctx) { return dynamic_cast<PassThroughPort*>(&PortOf(ctx)); }

AspiPort* AspiPortOf(Context& ctx) { return dynamic_cast<AspiPort*>(&PortOf(ctx)); }

}  // namespace odf
