// The steps of the family-zero procedure: drives whose images come as HEX
// files, which are put into an update mode, take the whole image with its own
// WRITE BUFFER mode, flash it while the console counts down, and (up to
// family 7) are read back.
#pragma once

#include <cstdint>

namespace odf {

struct Context;

struct UpdateDefinition;

// A definition's version as a number (1.08 is 0x108); "0000" is 0.
std::uint16_t VersionNumberOf(const UpdateDefinition& definition);

// INQUIRY, the firmware identification and the definition match; sets
// newRevisionNumber from the matched definition's version in every case.
// 0; the INQUIRY status (message 9 shown); -1 when the firmware area was not
// recognised (message 0) or no definition serves the drive (message 49).
int SelectDefinitionZero(Context& ctx);

// Looks for the model code and CPU type in the drive's firmware area. 0, or
// -1 with "Not recognize   " (when every read worked) and an error line.
int IdentifyFirmware(Context& ctx);

// The six checks of the drive and the image against the matched definition:
// 0 go on, 1 already current, -1 refused.
int CheckFamilyZeroImage(Context& ctx);

// 0 when the image of the matched definition can be sent from the image
// buffer: at least 4 KiB, and every byte the transfer reads (full blocks, the
// marker and the 12 bytes after it) inside the buffer. Otherwise a console
// line and -1.
int CheckTransferSize(Context& ctx);

// Update mode, the image in full blocks, and its last 4 KiB again with the
// transfer marker. 0, or -1 after the sense line.
int WriteUpdateImage(Context& ctx);

// Starts the flash and counts its time down on the console; the status of
// the flash-start command.
int StartFlashAndWait(Context& ctx);

// What reading the firmware area back found.
enum class VerifyOutcome {
  Same,
  NoRoom,              // the buffers cannot hold what would be read: nothing read
  ReadFailed,          // a READ BUFFER failed
  HeadDiffers,         // in the first KiB
  FirstBlockDiffers,   // in the rest of the first 32 KiB
  LaterBlockDiffers,   // in a later 32 KiB block
};

// Reads `length` bytes of the firmware area back and compares them with the image.
VerifyOutcome VerifyImage(Context& ctx, std::uint32_t length);

}  // namespace odf
