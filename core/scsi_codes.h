// The numbers both sides of the wire agree on: opcodes, the vendor-specific
// READ/WRITE BUFFER modes and buffer ids, and the sense codes the procedures
// act on. The command set sends them; the simulated drives answer them.
#pragma once

#include <cstdint>

namespace odf {

inline constexpr std::uint8_t kOpTestUnitReady = 0x00;
inline constexpr std::uint8_t kOpInquiry = 0x12;
inline constexpr std::uint8_t kOpStartStopUnit = 0x1B;
inline constexpr std::uint8_t kOpWriteBuffer = 0x3B;
inline constexpr std::uint8_t kOpReadBuffer = 0x3C;

// READ/WRITE BUFFER modes.
inline constexpr std::uint8_t kModeVendor = 1;         // update mode, flash start, firmware area
inline constexpr std::uint8_t kModeDriveInfo = 2;      // READ BUFFER of the drive information
inline constexpr std::uint8_t kModeKernelSwitch = 4;   // mode block: into the kernel
inline constexpr std::uint8_t kModeNormalSwitch = 5;   // mode block: back, re-flash and restart
inline constexpr std::uint8_t kModeDownload = 7;       // kernel and normal image blocks

// The unlock handshake some writers demand before the kernel switch: a probe
// without data on its own buffer, then the challenge read from the handshake
// buffer and the echo and the response written back to it.
inline constexpr std::uint8_t kHandshakeWriteMode = 1;
inline constexpr std::uint8_t kHandshakeReadMode = 2;

// Buffer ids.
inline constexpr std::uint8_t kBufferUpdateMode = 0x30;
inline constexpr std::uint8_t kBufferFlashStart = 0x42;
inline constexpr std::uint8_t kBufferFirmwareArea = 0x80;
inline constexpr std::uint8_t kBufferNormalPart = 0xF0;
inline constexpr std::uint8_t kBufferDriveInfo = 0xF1;
inline constexpr std::uint8_t kBufferHandshake = 0xF2;
inline constexpr std::uint8_t kBufferHandshakeProbe = 0xF3;
inline constexpr std::uint8_t kBufferKernelPart = 0xFE;
inline constexpr std::uint8_t kBufferModeSwitch = 0xFF;  // also the family-zero update blocks

// Sense keys and additional sense codes.
inline constexpr std::uint8_t kSenseKeyNotReady = 2;
inline constexpr std::uint8_t kSenseKeyIllegalRequest = 5;
inline constexpr std::uint8_t kSenseKeyUnitAttention = 6;
inline constexpr std::uint8_t kAscInvalidField = 0x24;  // invalid field in the CDB
inline constexpr std::uint8_t kAscNotReady = 0x04;      // with the ASCQs below
inline constexpr std::uint8_t kAscqBecomingReady = 0x01;
inline constexpr std::uint8_t kAscqNeedsStart = 0x02;   // initializing command required
inline constexpr std::uint8_t kAscNoMedium = 0x3A;

}  // namespace odf
