// Small pieces every drive model is built from: the standard answers, CDB
// fields, and moving a reply into the host's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/drive_fields.h"
#include "sim/drives/sim_drive.h"

namespace odf::sim {

DriveReply Good(std::uint32_t transferred = 0, std::uint32_t durationMs = 1);
inline DriveReply InvalidOpcode() { return CheckCondition(5, 0x20, 0x00); }
inline DriveReply InvalidField() { return CheckCondition(5, 0x24, 0x00); }
inline DriveReply ParameterError() { return CheckCondition(5, 0x26, 0x00); }
inline DriveReply SequenceError() { return CheckCondition(5, 0x2C, 0x00); }
inline DriveReply UnitAttention() { return CheckCondition(6, 0x29, 0x00); }

// Big-endian CDB fields.
std::uint32_t CdbField(const CommandRecord& record, int at, int bytes);

// Moves up to `allocation` bytes of `reply` into the host's buffer, as far as
// the data phase allows; nothing moves unless the host reads.
DriveReply SendToHost(const CommandRecord& record, std::uint8_t* data, const std::uint8_t* reply,
                      std::size_t size, std::size_t allocation);

// Bytes the host sent with the command (0 unless the data phase goes out).
std::uint32_t ReceivedLength(const CommandRecord& record, const std::uint8_t* data);

// Writes `text` into a fixed-width field, padded with blanks.
void PutField(std::uint8_t* field, std::size_t width, const std::string& text);
// The same for a named field of a reply being built; what lies beyond the
// reply's end is left out.
void PutField(std::span<std::uint8_t> reply, ReplyField field, const std::string& text);

// A standard INQUIRY reply of a removable drive of the given device type and
// version, its identity fields blank for the model to fill.
void StartInquiryReply(std::span<std::uint8_t, kInquirySize> reply, std::uint8_t deviceType,
                       std::uint8_t version);

// The start of a drive's report line: its INQUIRY vendor and product,
// revision, date, mode, and the size and CRC-32 of what it holds.
std::string ReportLine(const std::string& vendor, const std::string& product, const std::string& revision,
                       const std::string& date, const char* mode, const std::vector<std::uint8_t>& held);

// Reads a fixed-width text field of an image, or blanks beyond its end.
std::string ImageText(const std::vector<std::uint8_t>& image, std::size_t at, std::size_t width);

}  // namespace odf::sim
