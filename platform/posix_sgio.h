// How the Linux layer carries a Windows pass-through block to an optical
// drive: which device a volume name stands for, the SG_IO request built from
// a block, and the kernel's answer written back into the block with the
// meaning Windows gives it. No device is opened here, so every rule can be
// checked without a drive.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/layouts.h"
#include "platform/win_types.h"

namespace odf::posix {

using namespace odf::win;  // NOLINT: the Windows names are this layer's vocabulary

// "\\.\D:" is /dev/sr0, "\\.\E:" /dev/sr1 and so on to "\\.\Z:", /dev/sr22,
// in the order the kernel numbers the optical drives; the letter may be in
// either case. Any other name stands for no device: "".
std::string VolumeDevice(const char* path);

// True for names under "\\.\", which are devices and never plain files.
bool IsDeviceName(const char* path);

// The error CreateFileA reports when a volume's device does not open: a
// missing device is the missing volume Windows reports.
DWORD VolumeOpenError(int error);

// The error DeviceIoControl reports when the kernel refuses an ioctl.
DWORD DeviceIoctlError(int error);

// The SCSI address SCSI_IOCTL_GET_IDLUN gives as its first word
// (target id, lun << 8, channel << 16, host << 24).
SCSI_ADDRESS AddressFromIdLun(std::uint32_t devId);

// Builds the SG_IO request for the pass-through block at `block` (`size`
// bytes, the caller's block with its input in place). The request points into
// the block for the CDB and the sense area, and for the data when the block
// is buffered; a direct block's data is the caller's own buffer. Returns
// ERROR_SUCCESS, or ERROR_INVALID_PARAMETER for a block Windows would refuse.
DWORD SgIoFromBlock(std::uint8_t* block, DWORD size, bool buffered,
                    const PassThroughLayout& layout, sg_io_hdr_t& hdr);

// Writes the kernel's answer to a delivered SG_IO into the block: ScsiStatus,
// SenseInfoLength (the sense bytes are already in the block's sense area) and
// DataTransferLength. Returns ERROR_SUCCESS when DeviceIoControl succeeds, or
// the Windows error for a host or driver failure; a command that failed
// below the drive moved nothing and brings no sense of its own.
DWORD BlockFromSgIo(const sg_io_hdr_t& hdr, std::uint8_t* block, const PassThroughLayout& layout);

// An SG_IO the kernel did not deliver (the ioctl itself failed with `error`):
// no status, no sense, nothing moved. Returns the Windows error.
DWORD BlockFromRefusal(int error, std::uint8_t* block, const PassThroughLayout& layout);

// The kernel's side of one SG_IO: 0 when the command was delivered (its
// answer is then in the request), or the errno of an ioctl that failed.
using SgIoKernel = std::function<int(sg_io_hdr_t&)>;

struct PassThroughOutcome {
  DWORD error = ERROR_SUCCESS;  // ERROR_SUCCESS: DeviceIoControl returns TRUE
  int refusal = 0;              // errno of the failed ioctl, 0 when it was delivered
};

// One pass-through block carried as exactly one SG_IO (none for a block
// Windows would refuse), with the answer written back into the block.
PassThroughOutcome CarryPassThrough(std::uint8_t* block, DWORD size, bool buffered,
                                    const PassThroughLayout& layout, const SgIoKernel& kernel);

// A readable name for the opcode of a refused command.
std::string CommandName(std::uint8_t opcode);

}  // namespace odf::posix
