#include "scsi/commands.h"

#include "core/context.h"
#include "core/drive_fields.h"
#include "scsi/cdb.h"
#include "scsi/transport.h"

namespace odf {

namespace {

ScsiRequest MakeRequest(int target, std::int32_t cdbLength, DataDirection direction,
                        std::uint32_t length, std::uint8_t* data, std::int32_t timeoutMs) {
  ScsiRequest request;
  request.targetIndex = target;
  request.cdbLength = cdbLength;
  request.direction = direction;
  request.dataLength = static_cast<std::int32_t>(length);
  request.data = data;
  request.timeoutMs = timeoutMs;
  return request;
}

// The drive the wrappers address.
int Current(const Context& ctx) { return ctx.transport.policy.target; }

}  // namespace

int TestUnitReady(Context& ctx, int target) {
  ScsiRequest request =
      MakeRequest(target, kSixByteCdb, DataDirection::None, 0, nullptr, ctx.transport.currentTimeoutMs);
  request.cdb[0] = kOpTestUnitReady;
  return SendCommand(ctx, request);
}

int Inquiry(Context& ctx, int target, std::uint8_t* buffer) {
  const std::int32_t timeoutMs = ctx.transport.bridgeIndex != -1 ? 1000 : 5000;
  ScsiRequest request =
      MakeRequest(target, kSixByteCdb, DataDirection::In, kInquirySize, buffer, timeoutMs);
  request.cdb = InquiryCdb();
  return SendCommand(ctx, request);
}

int StartStopUnit(Context& ctx, int target, std::uint8_t immed, std::uint8_t powerCondition,
                  std::uint8_t loadEject, std::uint8_t start) {
  ScsiRequest request =
      MakeRequest(target, kSixByteCdb, DataDirection::None, 0, nullptr, ctx.transport.currentTimeoutMs);
  request.cdb[0] = kOpStartStopUnit;
  request.cdb[1] = immed;
  request.cdb[4] = static_cast<std::uint8_t>(powerCondition * 16 + loadEject * 2 + start);
  return SendCommand(ctx, request);
}

int ReadBuffer(Context& ctx, int target, std::uint8_t mode, std::uint8_t bufferId,
               std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer) {
  ScsiRequest request =
      MakeRequest(target, kTenByteCdb, DataDirection::In, length, buffer, ctx.transport.currentTimeoutMs);
  request.cdb = BufferCdb(kOpReadBuffer, mode, bufferId, offset, length);
  return SendCommand(ctx, request);
}

int WriteBuffer(Context& ctx, int target, std::uint8_t mode, std::uint8_t bufferId,
                std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer) {
  // A bridged drive re-flashes before it answers the normal-mode switch, so
  // that command gets the long default wait.
  const bool bridgedSwitch = ctx.transport.route == TransportRoute::PassThrough &&
                             ctx.transport.bridgeIndex == Current(ctx) &&
                             mode == kModeNormalSwitch;
  const DataDirection direction = length == 0 ? DataDirection::None : DataDirection::Out;
  ScsiRequest request = MakeRequest(target, kTenByteCdb, direction, length, buffer,
                                    bridgedSwitch ? 0 : ctx.transport.currentTimeoutMs);
  request.cdb = BufferCdb(kOpWriteBuffer, mode, bufferId, offset, length);
  return SendCommand(ctx, request);
}

int RequestSense(Context&, int, std::uint8_t*) { return 0; }

int ReadDriveInfo(Context& ctx) {
  return ReadBuffer(ctx, Current(ctx), kModeDriveInfo, kBufferDriveInfo, 0, kDriveInfoSize,
                    ctx.driveInfo.data());
}

int StopUnit(Context& ctx) {
  ctx.transport.currentTimeoutMs = 0;
  return StartStopUnit(ctx, Current(ctx), 0, 0, 0, 0);
}

int EnterUpdateMode(Context& ctx) {
  ctx.transport.currentTimeoutMs = 1000;
  return WriteBuffer(ctx, Current(ctx), kModeVendor, kBufferUpdateMode, 0, 0, nullptr);
}

int WriteUpdateBlock(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data) {
  return WriteBuffer(ctx, Current(ctx), kModeVendor, kBufferModeSwitch, offset, length, data);
}

int StartFlash(Context& ctx) {
  return WriteBuffer(ctx, Current(ctx), kModeVendor, kBufferFlashStart, 0, 0, nullptr);
}

int ReadVerifyBlock(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data) {
  ctx.transport.currentTimeoutMs = 5000;
  return ReadBuffer(ctx, Current(ctx), kModeVendor, kBufferFirmwareArea, offset, length, data);
}

int WriteKernelBlock(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data) {
  ctx.transport.currentTimeoutMs = 10000;
  return WriteBuffer(ctx, Current(ctx), kModeDownload, kBufferKernelPart, offset, length, data);
}

int WriteNormalBlock(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data) {
  ctx.transport.currentTimeoutMs = 10000;
  return WriteBuffer(ctx, Current(ctx), kModeDownload, kBufferNormalPart, offset, length, data);
}

}  // namespace odf
