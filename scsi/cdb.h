// Opcodes and the CDB layouts of the commands the utility
// sends, shared by the command set and the discovery probes.
#pragma once

#include <array>
#include <cstdint>

#include "core/drive_fields.h"

namespace odf {

inline constexpr std::uint8_t kOpTestUnitReady = 0x00;
inline constexpr std::uint8_t kOpInquiry = 0x12;
inline constexpr std::uint8_t kOpStartStopUnit = 0x1B;
inline constexpr std::uint8_t kOpWriteBuffer = 0x3B;
inline constexpr std::uint8_t kOpReadBuffer = 0x3C;


// READ BUFFER of the drive information.
inline constexpr std::uint8_t kDriveInfoMode = 2;
inline constexpr std::uint8_t kDriveInfoBuffer = 0xF1;

// WRITE BUFFER of the 256-byte mode block that moves the drive into its kernel
// and back; after the switch back the drive flashes its new firmware.
inline constexpr std::uint8_t kModeKernelSwitch = 4;
inline constexpr std::uint8_t kModeNormalSwitch = 5;
inline constexpr std::uint8_t kModeSwitchBuffer = 0xFF;

// The unlock handshake some writers demand before the kernel switch: a probe
// without data on its own buffer, then the challenge read from the handshake
// buffer and the echo and the response written back to it.
inline constexpr std::uint8_t kHandshakeProbeBuffer = 0xF3;
inline constexpr std::uint8_t kHandshakeBuffer = 0xF2;
inline constexpr std::uint8_t kHandshakeWriteMode = 1;
inline constexpr std::uint8_t kHandshakeReadMode = 2;

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
  return BufferCdb(kOpReadBuffer, kDriveInfoMode, kDriveInfoBuffer, 0, kDriveInfoSize);
}

}  // namespace odf
