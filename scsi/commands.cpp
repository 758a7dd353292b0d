#include "scsi/commands.h"

#include "core/drive_fields.h"
#include "scsi/cdb.h"
#include "scsi/sense.h"

namespace odf {

namespace {

ScsiRequest MakeRequest(const CommandTarget& target, std::int32_t cdbLength, DataDirection direction,
                        std::uint32_t length, std::uint8_t* data, std::int32_t timeoutMs) {
  ScsiRequest request;
  request.target = target;
  request.cdbLength = cdbLength;
  request.direction = direction;
  request.dataLength = static_cast<std::int32_t>(length);
  request.data = data;
  request.timeoutMs = timeoutMs;
  return request;
}

constexpr std::int32_t kInquiryTimeoutMs = 5000;
constexpr std::int32_t kBridgedInquiryTimeoutMs = 1000;

ScsiRequest WriteBufferRequest(const ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                               std::uint8_t mode, std::uint8_t bufferId, std::uint32_t offset,
                               std::uint32_t length, std::uint8_t* buffer) {
  // A bridged drive re-flashes before it answers the normal-mode switch, so
  // that command gets the long default wait.
  const PortTraits traits = port.Traits();
  const bool bridgedSwitch = traits.route == TransportRoute::PassThrough &&
                             traits.bridgeIndex == port.Policy().target && mode == kModeNormalSwitch;
  const DataDirection direction = length == 0 ? DataDirection::None : DataDirection::Out;
  ScsiRequest request =
      MakeRequest(target, kTenByteCdb, direction, length, buffer, bridgedSwitch ? 0 : timeoutMs);
  request.cdb = BufferCdb(kOpWriteBuffer, mode, bufferId, offset, length);
  return request;
}

// Every command of the set goes through here. A read that meets a unit
// attention is sent again (see ResendAfterUnitAttention); anything else goes
// once.
CommandResult Issue(ScsiPort& port, const ScsiRequest& request,
                    CommandResult (ScsiPort::*send)(const ScsiRequest&) = &ScsiPort::Send) {
  CommandResult result = (port.*send)(request);
  for (int resends = 0; result != CommandResult::Done &&
                        ResendAfterUnitAttention(request.cdb, port.SenseFresh(), port.LastSense(), resends);
       ++resends) {
    result = (port.*send)(request);
  }
  return result;
}

ScsiRequest TestUnitReadyRequest(const CommandTarget& target, std::int32_t timeoutMs) {
  ScsiRequest request = MakeRequest(target, kSixByteCdb, DataDirection::None, 0, nullptr, timeoutMs);
  request.cdb[0] = kOpTestUnitReady;
  return request;
}

}  // namespace

CommandResult TestUnitReady(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs) {
  return Issue(port, TestUnitReadyRequest(target, timeoutMs));
}

CommandResult TestUnitReadyOnce(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs) {
  return port.Send(TestUnitReadyRequest(target, timeoutMs));
}

CommandResult Inquiry(ScsiPort& port, const CommandTarget& target, std::uint8_t* buffer) {
  const std::int32_t timeoutMs = port.Traits().bridgeIndex != -1 ? kBridgedInquiryTimeoutMs : kInquiryTimeoutMs;
  ScsiRequest request = MakeRequest(target, kSixByteCdb, DataDirection::In, kInquirySize, buffer, timeoutMs);
  request.cdb = InquiryCdb();
  return Issue(port, request);
}

CommandResult StartStopUnit(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                            std::uint8_t immed, std::uint8_t powerCondition, std::uint8_t loadEject,
                            std::uint8_t start) {
  ScsiRequest request = MakeRequest(target, kSixByteCdb, DataDirection::None, 0, nullptr, timeoutMs);
  request.cdb[0] = kOpStartStopUnit;
  request.cdb[1] = immed;
  request.cdb[4] = static_cast<std::uint8_t>(powerCondition * 16 + loadEject * 2 + start);
  return Issue(port, request);
}

CommandResult ReadBuffer(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                         std::uint8_t mode, std::uint8_t bufferId, std::uint32_t offset, std::uint32_t length,
                         std::uint8_t* buffer) {
  ScsiRequest request = MakeRequest(target, kTenByteCdb, DataDirection::In, length, buffer, timeoutMs);
  request.cdb = BufferCdb(kOpReadBuffer, mode, bufferId, offset, length);
  return Issue(port, request);
}

CommandResult WriteBuffer(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                          std::uint8_t mode, std::uint8_t bufferId, std::uint32_t offset, std::uint32_t length,
                          std::uint8_t* buffer) {
  return Issue(port, WriteBufferRequest(port, target, timeoutMs, mode, bufferId, offset, length, buffer));
}

CommandResult ReadDriveInfo(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                            std::uint8_t* driveInfo) {
  return ReadBuffer(port, target, timeoutMs, kModeDriveInfo, kBufferDriveInfo, 0, kDriveInfoSize, driveInfo);
}

CommandResult StopUnit(ScsiPort& port, const CommandTarget& target) {
  return StartStopUnit(port, target, kStopUnitTimeoutMs, 0, 0, 0, 0);
}

CommandResult EnterUpdateMode(ScsiPort& port, const CommandTarget& target) {
  return WriteBuffer(port, target, kUpdateModeTimeoutMs, kModeVendor, kBufferUpdateMode, 0, 0, nullptr);
}

CommandResult WriteUpdateBlock(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                               std::uint32_t offset, std::uint32_t length, std::uint8_t* data) {
  return WriteBuffer(port, target, timeoutMs, kModeVendor, kBufferModeSwitch, offset, length, data);
}

CommandResult StartFlash(ScsiPort& port, const CommandTarget& target, std::int32_t timeoutMs,
                         bool leavePending) {
  ScsiRequest request =
      WriteBufferRequest(port, target, timeoutMs, kModeVendor, kBufferFlashStart, 0, 0, nullptr);
  request.leavePending = leavePending;
  return Issue(port, request);
}

CommandResult ReadVerifyBlock(ScsiPort& port, const CommandTarget& target, std::uint32_t offset,
                              std::uint32_t length, std::uint8_t* data) {
  return ReadBuffer(port, target, kVerifyReadTimeoutMs, kModeVendor, kBufferFirmwareArea, offset, length, data);
}

CommandResult WriteKernelBlock(ScsiPort& port, const CommandTarget& target, std::uint32_t offset,
                               std::uint32_t length, std::uint8_t* data) {
  return WriteBuffer(port, target, kImageBlockTimeoutMs, kModeDownload, kBufferKernelPart, offset, length,
                     data);
}

CommandResult WriteNormalBlock(ScsiPort& port, const CommandTarget& target, std::uint32_t offset,
                               std::uint32_t length, std::uint8_t* data) {
  return WriteBuffer(port, target, kImageBlockTimeoutMs, kModeDownload, kBufferNormalPart, offset, length,
                     data);
}

CommandResult ProbeInquiry(ScsiPort& port, const CommandTarget& at, std::uint8_t* buffer) {
  ScsiRequest request = MakeRequest(at, kSixByteCdb, DataDirection::In, kInquirySize, buffer, 0);
  request.cdb = InquiryCdb();
  return Issue(port, request, &ScsiPort::Probe);
}

CommandResult ProbeDriveInfo(ScsiPort& port, const CommandTarget& at, std::uint8_t* driveInfo) {
  ScsiRequest request = MakeRequest(at, kTenByteCdb, DataDirection::In, kDriveInfoSize, driveInfo, 0);
  request.cdb = DriveInfoCdb();
  return Issue(port, request, &ScsiPort::Probe);
}

}  // namespace odf
