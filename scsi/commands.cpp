#include "scsi/commands.h"

#include "core/context.h"
#include "core/drive_fields.h"
#include "scsi/transport.h"

namespace odf {

namespace {

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kReadBuffer = 0x3C;
constexpr std::uint8_t kWriteBuffer = 0x3B;

constexpr std::uint8_t kModeNormalSwitch = 5;

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

// READ BUFFER and WRITE BUFFER share their CDB: the offset keeps 24 bits and
// the length 16, byte 6 stays 0.
void PutBufferCdb(ScsiRequest& request, std::uint8_t opcode, std::uint8_t mode,
                  std::uint8_t bufferId, std::uint32_t offset, std::uint32_t length) {
  request.cdb[0] = opcode;
  request.cdb[1] = mode;
  request.cdb[2] = bufferId;
  request.cdb[3] = static_cast<std::uint8_t>(offset >> 16);
  request.cdb[4] = static_cast<std::uint8_t>(offset >> 8);
  request.cdb[5] = static_cast<std::uint8_t>(offset);
  request.cdb[7] = static_cast<std::uint8_t>(length >> 8);
  request.cdb[8] = static_cast<std::uint8_t>(length);
}

}  // namespace

int TestUnitReady(Context& ctx, int target) {
  ScsiRequest request =
      MakeRequest(target, 6, DataDirection::None, 0, nullptr, ctx.transport.currentTimeoutMs);
  request.cdb[0] = kTestUnitReady;
  return SendCommand(ctx, request);
}

int Inquiry(Context& ctx, int target, std::uint8_t* buffer) {
  const std::int32_t timeoutMs = ctx.transport.bridgeIndex != -1 ? 1000 : 5000;
  ScsiRequest request = MakeRequest(target, 6, DataDirection::In, kInquirySize, buffer, timeoutMs);
  request.cdb[0] = kInquiry;
  request.cdb[4] = static_cast<std::uint8_t>(kInquirySize);
  return SendCommand(ctx, request);
}

int StartStopUnit(Context& ctx, int target, std::uint8_t immed, std::uint8_t powerCondition,
                  std::uint8_t loadEject, std::uint8_t start) {
  ScsiRequest request =
      MakeRequest(target, 6, DataDirection::None, 0, nullptr, ctx.transport.currentTimeoutMs);
  request.cdb[0] = kStartStopUnit;
  request.cdb[1] = immed;
  request.cdb[4] = static_cast<std::uint8_t>(powerCondition * 16 + loadEject * 2 + start);
  return SendCommand(ctx, request);
}

int ReadBuffer(Context& ctx, int target, std::uint8_t mode, std::uint8_t bufferId,
               std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer) {
  ScsiRequest request =
      MakeRequest(target, 10, DataDirection::In, length, buffer, ctx.transport.currentTimeoutMs);
  PutBufferCdb(request, kReadBuffer, mode, bufferId, offset, length);
  return SendCommand(ctx, request);
}

int WriteBuffer(Context& ctx, int target, std::uint8_t mode, std::uint8_t bufferId,
                std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer) {
  // A bridged drive re-flashes before it answers the normal-mode switch, so
  // that command gets the long default wait.
  const bool bridgedSwitch = ctx.transport.route == TransportRoute::PassThrough &&
                             ctx.transport.bridgeIndex == ctx.run.currentTarget &&
                             mode == kModeNormalSwitch;
  const DataDirection direction = length == 0 ? DataDirection::None : DataDirection::Out;
  ScsiRequest request = MakeRequest(target, 10, direction, length, buffer,
                                    bridgedSwitch ? 0 : ctx.transport.currentTimeoutMs);
  PutBufferCdb(request, kWriteBuffer, mode, bufferId, offset, length);
  return SendCommand(ctx, request);
}

int RequestSense(Context&, int, std::uint8_t*) { return 0; }

int ReadDriveInfo(Context& ctx) {
  ctx.run.kernelOnlyState = -1;
  const int status =
      ReadBuffer(ctx, ctx.run.currentTarget, 2, 0xF1, 0, kDriveInfoSize, ctx.driveInfo.data());
  if (status != 0) return status;
  const std::int32_t kernelOnly = DriveInfoView(ctx.driveInfo).KernelOnly() ? 1 : 0;
  ctx.run.kernelMode = kernelOnly;
  ctx.run.kernelOnlyState = kernelOnly;
  return 0;
}

int StopUnit(Context& ctx) {
  ctx.transport.currentTimeoutMs = 0;
  return StartStopUnit(ctx, ctx.run.currentTarget, 0, 0, 0, 0);
}

int EnterUpdateMode(Context& ctx) {
  ctx.transport.currentTimeoutMs = 1000;
  return WriteBuffer(ctx, ctx.run.currentTarget, 1, 0x30, 0, 0, nullptr);
}

int WriteUpdateBlock(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data) {
  return WriteBuffer(ctx, ctx.run.currentTarget, 1, 0xFF, offset, length, data);
}

int StartFlash(Context& ctx) {
  return WriteBuffer(ctx, ctx.run.currentTarget, 1, 0x42, 0, 0, nullptr);
}

int ReadVerifyBlock(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data) {
  ctx.transport.currentTimeoutMs = 5000;
  return ReadBuffer(ctx, ctx.run.currentTarget, 1, 0x80, offset, length, data);
}

int WriteKernelBlock(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data) {
  ctx.transport.currentTimeoutMs = 10000;
  return WriteBuffer(ctx, ctx.run.currentTarget, 7, 0xFE, offset, length, data);
}

int WriteNormalBlock(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data) {
  ctx.transport.currentTimeoutMs = 10000;
  return WriteBuffer(ctx, ctx.run.currentTarget, 7, 0xF0, offset, length, data);
}

}  // namespace odf
