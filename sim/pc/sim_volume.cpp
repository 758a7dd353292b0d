// Volumes of the simulated PC and the device controls sent through them. The
// pass-through blocks are decoded byte by byte at the offsets of the layout in
// use and checked the way Windows checks them, so a block built for the wrong
// layout is refused here just as it would be on a real system.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "sim/pc/sim_pc.h"
#include "sim/pc/sim_pc_impl.h"

namespace odf::sim {

// The header fields of one pass-through block.
struct PassThroughFields {
  std::uint32_t length = 0;
  std::uint8_t cdbLength = 0;
  std::uint8_t senseInfoLength = 0;
  std::uint8_t dataIn = 0;
  std::uint32_t dataTransferLength = 0;
  std::uint32_t timeOutValue = 0;
  std::uint64_t dataBuffer = 0;  // address (direct) or offset in the block (buffered)
  std::uint32_t senseInfoOffset = 0;
  const std::uint8_t* cdb = nullptr;
};

namespace {

std::uint32_t Get(const std::uint8_t* p, std::uint32_t bytes) {
  std::uint32_t v = 0;
  for (std::uint32_t i = bytes; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

std::uint64_t GetPointer(const std::uint8_t* p, std::uint32_t bytes) {
  std::uint64_t v = 0;
  for (std::uint32_t i = bytes; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

void Put(std::uint8_t* p, std::uint32_t value, std::uint32_t bytes) {
  for (std::uint32_t i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

PassThroughFields Decode(const std::uint8_t* b, const PassThroughLayout& l) {
  PassThroughFields f;
  f.length = Get(b + l.offLength, 2);
  f.cdbLength = b[l.offCdbLength];
  f.senseInfoLength = b[l.offSenseInfoLength];
  f.dataIn = b[l.offDataIn];
  f.dataTransferLength = Get(b + l.offDataTransferLength, 4);
  f.timeOutValue = Get(b + l.offTimeOutValue, 4);
  f.dataBuffer = GetPointer(b + l.offDataBuffer, l.pointerSize);
  f.senseInfoOffset = Get(b + l.offSenseInfoOffset, 4);
  f.cdb = b + l.offCdb;
  return f;
}

// The checks the system makes before it accepts a block.
bool BlockIsValid(const PassThroughFields& f, const PassThroughLayout& l, bool buffered,
                  DWORD inSize, DWORD outSize) {
  if (f.length != l.headerSize) return false;
  if (f.cdbLength == 0 || f.cdbLength > 16) return false;
  if (f.dataIn > SCSI_IOCTL_DATA_UNSPECIFIED) return false;
  const std::uint64_t expected =
      buffered ? std::uint64_t{l.dataOffset} + f.dataTransferLength : l.directBlockSize;
  if (inSize != expected || outSize != expected) return false;
  if (f.senseInfoLength != 0 &&
      (f.senseInfoOffset < l.headerSize ||
       std::uint64_t{f.senseInfoOffset} + f.senseInfoLength > outSize)) {
    return false;
  }
  if (buffered && f.dataTransferLength != 0 &&
      (f.dataBuffer < l.headerSize || f.dataBuffer + f.dataTransferLength > outSize)) {
    return false;
  }
  return true;
}

int DirectionOf(std::uint8_t dataIn) {
  switch (dataIn) {
    case SCSI_IOCTL_DATA_OUT: return 2;
    case SCSI_IOCTL_DATA_IN: return 1;
    default: return 0;
  }
}

}  // namespace

void SimPc::AddVolume(char letter, std::shared_ptr<SimDrive> drive, VolumeOptions options) {
  const auto key = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  impl_->volumes[key] = Volume{std::move(drive), options};
}

HANDLE SimPc::Impl::OpenVolume(SimPc& pc, const std::string& path, DWORD access) {
  // Only "\\.\X:" names a volume.
  const bool wellFormed = path.size() == 6 && path[5] == ':' &&
                          std::isalpha(static_cast<unsigned char>(path[4]));
  const auto letter =
      wellFormed ? static_cast<char>(std::toupper(static_cast<unsigned char>(path[4]))) : '\0';
  auto it = volumes.find(letter);
  if (!wellFormed || it == volumes.end()) {
    pc.lastError_ = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  if (it->second.options.openFails) {
    pc.lastError_ = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  HandleObject h;
  h.kind = HandleKind::Volume;
  h.letter = letter;
  h.access = access;
  return NewHandle(std::move(h));
}

// Locks as LockFileEx takes them on the first byte: shared locks go
// together, an exclusive one goes with no other, whether the other is held
// through another handle of this process or by another process.
BOOL SimPc::LockFileEx(HANDLE file, DWORD flags) {
  auto found = impl_->handles.find(file);
  if (found == impl_->handles.end() || found->second.kind != HandleKind::Volume) {
    lastError_ = found == impl_->handles.end() ? ERROR_INVALID_HANDLE : ERROR_INVALID_FUNCTION;
    return FALSE_;
  }
  const char letter = found->second.letter;
  const bool exclusive = (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0;
  const VolumeOptions& options = impl_->volumes.at(letter).options;
  bool conflict = options.lockedElsewhere || (exclusive && now_ < options.sharedElsewhereUntilMs);
  for (const auto& [handle, object] : impl_->handles) {
    if (handle == file || object.kind != HandleKind::Volume || object.letter != letter || !object.locked) continue;
    if (exclusive || object.lockedExclusive) conflict = true;
  }
  if (conflict) {
    // Held elsewhere, a lock asked without LOCKFILE_FAIL_IMMEDIATELY would wait for ever.
    lastError_ = (flags & LOCKFILE_FAIL_IMMEDIATELY) != 0 ? ERROR_LOCK_VIOLATION : ERROR_INVALID_PARAMETER;
    return FALSE_;
  }
  found->second.locked = true;
  found->second.lockedExclusive = exclusive;
  return TRUE_;
}

void SimPc::SetLockedElsewhere(char letter, bool locked) {
  impl_->volumes.at(letter).options.lockedElsewhere = locked;
}

void SimPc::SetSharedElsewhereUntil(char letter, std::uint64_t ms) {
  impl_->volumes.at(letter).options.sharedElsewhereUntilMs = ms;
}

bool SimPc::VolumeLocked(char letter, bool exclusiveOnly) const {
  for (const auto& [handle, object] : impl_->handles) {
    if (object.kind == HandleKind::Volume && object.letter == letter && object.locked &&
        (object.lockedExclusive || !exclusiveOnly)) {
      return true;
    }
  }
  return false;
}

BOOL SimPc::DeviceIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize,
                            void* outBuffer, DWORD outSize, DWORD* bytesReturned) {
  if (bytesReturned) *bytesReturned = 0;
  auto found = impl_->handles.find(device);
  if (found == impl_->handles.end()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return FALSE_;
  }
  if (found->second.kind != HandleKind::Volume) {
    lastError_ = ERROR_INVALID_FUNCTION;
    return FALSE_;
  }
  const HandleObject& handle = found->second;
  // Bits 14-15 of a control code name the access the handle must carry.
  const DWORD required = (controlCode >> 14) & 3;
  if (((required & 1) && !(handle.access & GENERIC_READ)) ||
      ((required & 2) && !(handle.access & GENERIC_WRITE))) {
    lastError_ = ERROR_ACCESS_DENIED;
    return FALSE_;
  }
  Volume& volume = impl_->volumes.at(handle.letter);
  switch (controlCode) {
    case IOCTL_SCSI_GET_ADDRESS: {
      if (volume.options.noAddress) {
        lastError_ = ERROR_NOT_SUPPORTED;
        return FALSE_;
      }
      if (volume.options.addressFails) {
        lastError_ = ERROR_GEN_FAILURE;
        return FALSE_;
      }
      if (outBuffer == nullptr || outSize < sizeof(SCSI_ADDRESS)) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE_;
      }
      auto* a = static_cast<std::uint8_t*>(outBuffer);
      Put(a, sizeof(SCSI_ADDRESS), 4);
      a[4] = volume.options.portNumber;
      a[5] = volume.options.pathId;
      a[6] = volume.options.targetId;
      a[7] = volume.options.lun;
      if (bytesReturned) *bytesReturned = sizeof(SCSI_ADDRESS);
      return TRUE_;
    }
    case IOCTL_STORAGE_MCN_CONTROL:
      if (inBuffer == nullptr || inSize < 1) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE_;
      }
      mcnLog_.push_back({handle.letter, *static_cast<std::uint8_t*>(inBuffer), now_});
      return TRUE_;
    case IOCTL_SCSI_PASS_THROUGH:
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
      if (!volume.drive) {
        lastError_ = ERROR_INVALID_FUNCTION;
        return FALSE_;
      }
      return impl_->PassThrough(*this, *volume.drive, controlCode == IOCTL_SCSI_PASS_THROUGH,
                                inBuffer, inSize, outBuffer, outSize, bytesReturned);
    default:
      lastError_ = ERROR_INVALID_FUNCTION;
      return FALSE_;
  }
}

BOOL SimPc::Impl::PassThrough(SimPc& pc, SimDrive& drive, bool buffered, void* inBuffer,
                              DWORD inSize, void* outBuffer, DWORD outSize,
                              DWORD* bytesReturned) {
  const PassThroughLayout& l = *pc.layout_;
  if (inBuffer == nullptr || outBuffer == nullptr || inSize < l.headerSize ||
      outSize < l.headerSize) {
    pc.lastError_ = ERROR_INVALID_PARAMETER;
    return FALSE_;
  }
  const PassThroughFields f = Decode(static_cast<const std::uint8_t*>(inBuffer), l);
  if (!BlockIsValid(f, l, buffered, inSize, outSize)) {
    pc.lastError_ = ERROR_INVALID_PARAMETER;
    return FALSE_;
  }
  auto* out = static_cast<std::uint8_t*>(outBuffer);
  if (outBuffer != inBuffer) std::memmove(out, inBuffer, std::min(inSize, outSize));

  std::uint8_t* data = nullptr;
  if (f.dataTransferLength != 0) {
    if (buffered) {
      data = out + f.dataBuffer;
    } else if (l.pointerSize < sizeof(void*)) {
      // A 32-bit block carries only the low half of a 64-bit address.
      data = Resolve(f.dataBuffer, f.dataTransferLength, true);
    } else {
      data = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(f.dataBuffer));
      // A run that starts in a known buffer must end inside it.
      if (data != nullptr && Known(data) &&
          Resolve(f.dataBuffer, f.dataTransferLength, false) == nullptr) {
        data = nullptr;
      }
    }
    if (data == nullptr) {
      pc.lastError_ = ERROR_INVALID_PARAMETER;
      return FALSE_;
    }
  }

  CommandRecord record;
  std::copy(f.cdb, f.cdb + f.cdbLength, record.cdb.begin());
  record.cdbLength = f.cdbLength;
  record.direction = DirectionOf(f.dataIn);
  record.length = f.dataTransferLength;
  record.timeoutSeconds = f.timeOutValue;
  record.buffered = buffered;
  record.atMs = pc.now_;
  const DriveReply reply = drive.Receive(record, data);
  return FinishPassThrough(pc, reply, f, out, outSize, bytesReturned);
}

BOOL SimPc::Impl::FinishPassThrough(SimPc& pc, const DriveReply& reply,
                                    const PassThroughFields& f, std::uint8_t* out,
                                    DWORD outSize, DWORD* bytesReturned) {
  const PassThroughLayout& l = *pc.layout_;
  const std::uint64_t limitMs = std::uint64_t{f.timeOutValue} * 1000;
  if (reply.timedOut || (f.timeOutValue > 0 && reply.durationMs > limitMs)) {
    // The port driver gives up at the time-out, whatever the drive does later.
    pc.Advance(f.timeOutValue > 0 ? limitMs : 0);
    out[l.offScsiStatus] = 0;
    out[l.offSenseInfoLength] = 0;
    Put(out + l.offDataTransferLength, 0, 4);
    pc.lastError_ = ERROR_SEM_TIMEOUT;
    return FALSE_;
  }
  pc.Advance(reply.durationMs);
  if (reply.transportFail) {
    out[l.offScsiStatus] = 0;
    out[l.offSenseInfoLength] = reply.returnedSenseLength;
    Put(out + l.offDataTransferLength, 0, 4);
    pc.lastError_ = ERROR_IO_DEVICE;
    return FALSE_;
  }
  std::uint8_t senseLength = 0;
  if (reply.status != 0) {
    senseLength = std::min<std::uint8_t>(
        {reply.returnedSenseLength, f.senseInfoLength,
         static_cast<std::uint8_t>(reply.sense.size())});
    if (senseLength > 0) std::memcpy(out + f.senseInfoOffset, reply.sense.data(), senseLength);
  }
  out[l.offScsiStatus] = reply.status;
  out[l.offSenseInfoLength] = senseLength;
  Put(out + l.offDataTransferLength, std::min(reply.dataTransferred, f.dataTransferLength), 4);
  if (bytesReturned) *bytesReturned = outSize;
  if (reply.ioctlFails) {
    pc.lastError_ = ERROR_IO_DEVICE;
    return FALSE_;
  }
  return TRUE_;
}

}  // namespace odf::sim
