#include "sim/tcmu/tcmu_drive.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace odf::tcmu {

namespace {

constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint8_t kBusy = 0x08;

}  // namespace

bool DataOut(std::uint8_t opcode) {
  switch (opcode) {
    case 0x15:  // MODE SELECT (6)
    case 0x55:  // MODE SELECT (10)
    case 0x2A:  // WRITE (10)
    case 0xAA:  // WRITE (12)
    case 0x3B:  // WRITE BUFFER
    case 0x1D:  // SEND DIAGNOSTIC
    case 0xBF:  // SEND DVD STRUCTURE
    case 0x5D:  // SEND CUE SHEET
    case 0xA3:  // SEND KEY
      return true;
    default: return false;
  }
}

Served ServeCommand(sim::SimDrive& drive, const RingCommand& command, std::uint64_t nowMs) {
  sim::CommandRecord record;
  const std::size_t cdbLength = std::min(command.cdb.size(), record.cdb.size());
  std::copy_n(command.cdb.begin(), cdbLength, record.cdb.begin());
  record.cdbLength = static_cast<int>(cdbLength);
  const std::size_t length = command.length();
  record.length = static_cast<std::uint32_t>(length);
  record.direction = length == 0 ? 0 : (DataOut(record.cdb[0]) ? 2 : 1);
  record.atMs = nowMs;

  std::vector<std::uint8_t> data(length);
  if (record.direction == 2) {
    std::size_t at = 0;
    for (const Segment& s : command.segments) {
      std::memcpy(data.data() + at, s.data, s.length);
      at += s.length;
    }
  }
  const sim::DriveReply reply = drive.Receive(record, length != 0 ? data.data() : nullptr);

  Served served;
  const std::uint32_t virtualMs = reply.durationMs;
  if (virtualMs >= kDelayedFromMs) served.delayMs = virtualMs / kTimeScale;
  if (reply.timedOut || reply.transportFail) {
    // The kernel's target has no way to lose a command on the wire; a drive
    // that does not answer is a busy one, which the initiator sees as an error.
    served.answer.status = kBusy;
    return served;
  }
  served.answer.status = reply.status;
  if (reply.status == kCheckCondition) {
    served.answer.sense.assign(reply.sense.begin(), reply.sense.end());
  }
  if (record.direction == 1) {
    const std::size_t filled = std::min<std::size_t>(reply.dataTransferred, length);
    std::size_t at = 0;
    for (const Segment& s : command.segments) {
      if (at >= filled) break;
      const std::size_t part = std::min(s.length, filled - at);
      std::memcpy(s.data, data.data() + at, part);
      at += part;
    }
    served.answer.readLength = filled;
  }
  return served;
}

}  // namespace odf::tcmu
