// Opcodes and the CDB layouts of the commands the utility
// sends, shared by the command set and the discovery probes.
#pragma once

#include <array>
#include <cstdint>

#include "core/drive_fields.h"
#include "core/scsi_codes.h"

namespace odf {

inline constexpr std::int32_t kSixByteCdb = 6;
inline constexpr std::int32_t kTenByteCdb = 10;

using CdbBytes = std::array<std::uint8_t, 16>;

inline CdbBytes InquiryCdb() {
  CdbBytes cdb{};
  cdb[0] = kOpInquiry;
  cdb[4] = static_cast<std::uint8_t>(kInquirySize);
  return cdb;
}

// READ BUFFER and WRITE BUFFER share their CDB: the offset keeps 24 bits and
// the length 16, byte 6 stays 0.
inline CdbBytes BufferCdb(std::uint8_t opcode, std::uint8_t mode, std::uint8_t bufferId,
                          std::uint32_t offset, std::uint32_t length) {
  CdbBytes cdb{};
  cdb[0] = opcode;
  cdb[1] = mode;
  cdb[2] = bufferId;
  cdb[3] = static_cast<std::uint8_t>(offset >> 16);
  cdb[4] = static_cast<std::uint8_t>(offset >> 8);
  cdb[5] = static_cast<std::uint8_t>(offset);
  cdb[7] = static_cast<std::uint8_t>(length >> 8);
  cdb[8] = static_cast<std::uint8_t>(length);
  return cdb;
}

inline CdbBytes DriveInfoCdb() {
  return BufferCdb(kOpReadBuffer, kModeDriveInfo, kBufferDriveInfo, 0, kDriveInfoSize);
}

}  // namespace odf
