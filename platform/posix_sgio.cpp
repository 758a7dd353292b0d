#include "platform/posix_sgio.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace odf::posix {

namespace {

constexpr char kVolumePrefix[] = "\\\\.\\";
constexpr std::size_t kVolumePrefixLength = sizeof kVolumePrefix - 1;
constexpr char kFirstDriveLetter = 'D';
constexpr char kLastDriveLetter = 'Z';
constexpr std::uint32_t kCdbLimit = 16;

// The kernel's host byte and driver byte (include/scsi/scsi_status.h and the
// sg driver); only their names matter here.
constexpr unsigned kDidOk = 0x00;
constexpr unsigned kDidNoConnect = 0x01;
constexpr unsigned kDidBusBusy = 0x02;
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDidBadTarget = 0x04;
constexpr unsigned kDriverByteMask = 0x0F;
constexpr unsigned kDriverBusy = 0x01;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;  // "sense data is valid": not an error

std::uint64_t GetLe(const std::uint8_t* at, std::uint32_t bytes) {
  std::uint64_t v = 0;
  for (std::uint32_t i = bytes; i-- > 0;) v = (v << 8) | at[i];
  return v;
}

void PutLe(std::uint8_t* at, std::uint64_t value, std::uint32_t bytes) {
  for (std::uint32_t i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A run of `length` bytes from `offset` that lies inside a block of `size`.
bool Inside(std::uint64_t offset, std::uint64_t length, std::uint64_t headerSize, DWORD size) {
  return offset >= headerSize && offset + length <= size;
}

DWORD HostError(unsigned hostStatus, unsigned driverStatus) {
  switch (hostStatus) {
    case kDidOk: break;
    case kDidTimeOut: return ERROR_SEM_TIMEOUT;
    case kDidNoConnect:
    case kDidBadTarget: return ERROR_DEVICE_NOT_CONNECTED;
    case kDidBusBusy: return ERROR_BUSY;
    default: return ERROR_IO_DEVICE;
  }
  switch (driverStatus & kDriverByteMask) {
    case 0:
    case kDriverSense: return ERROR_SUCCESS;
    case kDriverTimeout: return ERROR_SEM_TIMEOUT;
    case kDriverBusy: return ERROR_BUSY;
    default: return ERROR_IO_DEVICE;
  }
}

}  // namespace

bool IsDeviceName(const char* path) {
  return path != nullptr && std::strncmp(path, kVolumePrefix, kVolumePrefixLength) == 0;
}

std::string VolumeDevice(const char* path) {
  if (!IsDeviceName(path)) return "";
  const char* name = path + kVolumePrefixLength;
  if (std::strlen(name) != 2 || name[1] != ':') return "";
  const auto letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  if (letter < kFirstDriveLetter || letter > kLastDriveLetter) return "";
  return "/dev/sr" + std::to_string(letter - kFirstDriveLetter);
}

DWORD VolumeOpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_GEN_FAILURE;
  }
}

DWORD DeviceIoctlError(int error) {
  switch (error) {
    case EPERM:
    case EACCES: return ERROR_ACCESS_DENIED;
    case EINVAL:
    case EFAULT: return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY: return ERROR_BUSY;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case ENODEV:
    case ENXIO:
    case ENOENT: return ERROR_DEVICE_NOT_CONNECTED;
    default: return ERROR_IO_DEVICE;
  }
}

SCSI_ADDRESS AddressFromIdLun(std::uint32_t devId) {
  SCSI_ADDRESS address{};
  address.Length = sizeof(SCSI_ADDRESS);
  address.TargetId = static_cast<BYTE>(devId);
  address.Lun = static_cast<BYTE>(devId >> 8);
  address.PathId = static_cast<BYTE>(devId >> 16);
  address.PortNumber = static_cast<BYTE>(devId >> 24);
  return address;
}

DWORD SgIoFromBlock(std::uint8_t* block, DWORD size, bool buffered,
                    const PassThroughLayout& l, sg_io_hdr_t& hdr) {
  if (block == nullptr || size < l.headerSize) return ERROR_INVALID_PARAMETER;
  const auto cdbLength = static_cast<std::uint32_t>(block[l.offCdbLength]);
  const BYTE dataIn = block[l.offDataIn];
  const std::uint32_t senseLength = block[l.offSenseInfoLength];
  const auto senseOffset = static_cast<std::uint32_t>(GetLe(block + l.offSenseInfoOffset, 4));
  const auto dataLength = static_cast<std::uint32_t>(GetLe(block + l.offDataTransferLength, 4));
  const std::uint64_t dataField = GetLe(block + l.offDataBuffer, l.pointerSize);
  const auto seconds = static_cast<std::uint32_t>(GetLe(block + l.offTimeOutValue, 4));

  if (GetLe(block + l.offLength, 2) != l.headerSize) return ERROR_INVALID_PARAMETER;
  if (cdbLength == 0 || cdbLength > kCdbLimit) return ERROR_INVALID_PARAMETER;
  if (dataIn > SCSI_IOCTL_DATA_UNSPECIFIED) return ERROR_INVALID_PARAMETER;
  // A data phase needs a direction: sending it the wrong way could write to the drive.
  if (dataIn == SCSI_IOCTL_DATA_UNSPECIFIED && dataLength != 0) return ERROR_INVALID_PARAMETER;
  if (senseLength != 0 && !Inside(senseOffset, senseLength, l.headerSize, size)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::uint8_t* data = nullptr;
  if (dataLength != 0) {
    if (buffered) {
      if (!Inside(dataField, dataLength, l.headerSize, size)) return ERROR_INVALID_PARAMETER;
      data = block + dataField;
    } else {
      data = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(dataField));
      if (data == nullptr) return ERROR_INVALID_PARAMETER;
    }
  }

  hdr = sg_io_hdr_t{};
  hdr.interface_id = 'S';
  hdr.dxfer_direction = dataLength == 0                      ? SG_DXFER_NONE
                        : dataIn == SCSI_IOCTL_DATA_IN ? SG_DXFER_FROM_DEV
                                                       : SG_DXFER_TO_DEV;
  hdr.cmd_len = static_cast<unsigned char>(cdbLength);
  hdr.cmdp = block + l.offCdb;
  hdr.mx_sb_len = static_cast<unsigned char>(senseLength);
  hdr.sbp = senseLength != 0 ? block + senseOffset : nullptr;
  hdr.dxfer_len = dataLength;
  hdr.dxferp = data;
  // Whole seconds become milliseconds; 0 leaves the time-out to the kernel's
  // default for SG_IO.
  hdr.timeout = std::min<std::uint32_t>(seconds, UINT_MAX / 1000) * 1000;
  return ERROR_SUCCESS;
}

DWORD BlockFromSgIo(const sg_io_hdr_t& hdr, std::uint8_t* block, const PassThroughLayout& l) {
  const DWORD error = HostError(hdr.host_status, hdr.driver_status);
  BYTE status = hdr.status;
  if (status == 0) status = static_cast<BYTE>(hdr.masked_status << 1);
  // Sense counts only with a status that carries it; a stale or partial
  // sense must not make a failed command look like a drive answer.
  const unsigned senseLength = std::min<unsigned>(hdr.sb_len_wr, hdr.mx_sb_len);
  block[l.offScsiStatus] = status;
  block[l.offSenseInfoLength] = static_cast<BYTE>(status != 0 ? senseLength : 0);
  std::uint32_t moved = 0;
  if (error == ERROR_SUCCESS) {
    const auto resid = static_cast<std::uint32_t>(std::max(hdr.resid, 0));
    moved = hdr.dxfer_len - std::min(resid, hdr.dxfer_len);
  }
  PutLe(block + l.offDataTransferLength, moved, 4);
  return error;
}

DWORD BlockFromRefusal(int error, std::uint8_t* block, const PassThroughLayout& l) {
  block[l.offScsiStatus] = 0;
  block[l.offSenseInfoLength] = 0;
  PutLe(block + l.offDataTransferLength, 0, 4);
  return DeviceIoctlError(error);
}

PassThroughOutcome CarryPassThrough(std::uint8_t* block, DWORD size, bool buffered,
                                    const PassThroughLayout& layout, const SgIoKernel& kernel) {
  PassThroughOutcome outcome;
  sg_io_hdr_t hdr{};
  outcome.error = SgIoFromBlock(block, size, buffered, layout, hdr);
  if (outcome.error != ERROR_SUCCESS) return outcome;
  outcome.refusal = kernel(hdr);
  outcome.error = outcome.refusal != 0 ? BlockFromRefusal(outcome.refusal, block, layout)
                                       : BlockFromSgIo(hdr, block, layout);
  return outcome;
}

std::string CommandName(std::uint8_t opcode) {
  switch (opcode) {
    case 0x00: return "TEST UNIT READY";
    case 0x12: return "INQUIRY";
    case 0x1B: return "START STOP UNIT";
    case 0x3B: return "WRITE BUFFER";
    case 0x3C: return "READ BUFFER";
    default: break;
  }
  char text[32];
  std::snprintf(text, sizeof text, "command %02Xh", static_cast<unsigned>(opcode));
  return text;
}

}  // namespace odf::posix
