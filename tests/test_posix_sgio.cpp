// The Linux layer's pure parts: which device a volume name stands for, the
// SG_IO request a pass-through block becomes, and the kernel's answer read
// back with the meaning Windows gives it. The blocks are the transport's own,
// so the status rules above are checked together with the mapping.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/context.h"
#include "platform/posix_sgio.h"
#include "scsi/transport.h"
#include "sim/pc/sim_pc.h"

namespace odf::posix {
namespace {

TEST(PosixVolumes, LettersFromDAreTheOpticalDrivesInOrder) {
  struct Case { const char* path; const char* device; };
  const Case cases[] = {
      {"\\\\.\\D:", "/dev/sr0"},  {"\\\\.\\E:", "/dev/sr1"},  {"\\\\.\\e:", "/dev/sr1"},
      {"\\\\.\\Z:", "/dev/sr22"}, {"\\\\.\\z:", "/dev/sr22"},
      // Letters before D are floppy and system drives; then names that are no volume.
      {"\\\\.\\C:", ""},          {"\\\\.\\A:", ""},          {"\\\\.\\[:", ""},
      {"\\\\.\\1:", ""},          {"\\\\.\\D", ""},           {"\\\\.\\D:\\", ""},
      {"\\\\.\\DD:", ""},         {"D:", ""},                 {"\\\\?\\D:", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(VolumeDevice(c.path), c.device);
  }
  EXPECT_EQ(VolumeDevice(nullptr), "");
}

TEST(PosixVolumes, KernelErrorsBecomeWindowsErrors) {
  struct Case { int error; DWORD open; DWORD ioctl; };
  const Case cases[] = {
      // A missing device is a missing volume; a device that vanished mid-run is not.
      {ENOENT, ERROR_FILE_NOT_FOUND, ERROR_DEVICE_NOT_CONNECTED},
      {ENXIO, ERROR_FILE_NOT_FOUND, ERROR_DEVICE_NOT_CONNECTED},
      {EACCES, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {EPERM, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {EROFS, ERROR_ACCESS_DENIED, ERROR_IO_DEVICE},
      {EBUSY, ERROR_SHARING_VIOLATION, ERROR_BUSY},
      {ENOTTY, ERROR_GEN_FAILURE, ERROR_NOT_SUPPORTED},
      {EINVAL, ERROR_GEN_FAILURE, ERROR_INVALID_PARAMETER},
      {EIO, ERROR_GEN_FAILURE, ERROR_IO_DEVICE},
      {0, ERROR_GEN_FAILURE, ERROR_IO_DEVICE},  // a failure without a reason is still one
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(VolumeOpenError(c.error), c.open);
    EXPECT_EQ(DeviceIoctlError(c.error), c.ioctl);
  }
}

TEST(PosixVolumes, AddressFromTheKernelsIdLun) {
  struct Case { std::uint32_t devId; BYTE port, path, target, lun; };
  const Case cases[] = {
      {0x00000000u, 0, 0, 0, 0},
      {0x01020304u, 1, 2, 4, 3},  // host 1, channel 2, lun 3, target 4
      {0x05000001u, 5, 0, 1, 0},
      {0xFFFFFFFFu, 0xFF, 0xFF, 0xFF, 0xFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.devId);
    const SCSI_ADDRESS a = AddressFromIdLun(c.devId);
    EXPECT_EQ(a.Length, 8u);
    EXPECT_EQ(a.PortNumber, c.port);
    EXPECT_EQ(a.PathId, c.path);
    EXPECT_EQ(a.TargetId, c.target);
    EXPECT_EQ(a.Lun, c.lun);
  }
}

// ---------------------------------------------------------------------------
// The transport's blocks carried through a stand-in kernel.

std::uint8_t Pattern(std::size_t i) { return static_cast<std::uint8_t>(0x41 + i % 23); }
constexpr std::uint8_t kMarker = 0xEE;

// What the kernel does with one SG_IO in a table row: the answer to a
// delivered command, or the errno of a refused ioctl.
struct KernelAnswer {
  int refusal = 0;
  unsigned char status = 0;
  unsigned char maskedStatus = 0;
  unsigned short hostStatus = 0;
  unsigned short driverStatus = 0;
  std::vector<unsigned char> sense;
  int resid = 0;
};

KernelAnswer Delivered(unsigned char status, unsigned char masked, unsigned short host,
                       unsigned short driver, std::vector<unsigned char> sense = {},
                       int resid = 0) {
  return KernelAnswer{0, status, masked, host, driver, std::move(sense), resid};
}

KernelAnswer Refused(int error) {
  KernelAnswer a;
  a.refusal = error;
  return a;
}

// A simulated PC whose pass-through controls go through the Linux layer's
// mapping to a stand-in kernel instead of a simulated drive.
class SgIoPc : public sim::SimPc {
 public:
  KernelAnswer answer;
  int kernelCalls = 0;
  sg_io_hdr_t seen{};
  std::vector<std::uint8_t> seenCdb;
  std::vector<std::uint8_t> seenData;  // data-out as the kernel received it
  std::vector<std::uint8_t> sent;      // the block as the transport handed it over
  std::vector<std::uint8_t> returned;  // the block after the answer
  PassThroughOutcome outcome;

  BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                       DWORD outSize, DWORD* bytesReturned) override {
    if (code != IOCTL_SCSI_PASS_THROUGH && code != IOCTL_SCSI_PASS_THROUGH_DIRECT) {
      return SimPc::DeviceIoControl(device, code, in, inSize, out, outSize, bytesReturned);
    }
    auto* block = static_cast<std::uint8_t*>(out);
    const DWORD size = std::min(inSize, outSize);
    std::memmove(block, in, size);
    sent.assign(block, block + size);
    outcome = CarryPassThrough(block, size, code == IOCTL_SCSI_PASS_THROUGH,
                               NativePassThroughLayout(),
                               [this](sg_io_hdr_t& hdr) { return Kernel(hdr); });
    returned.assign(block, block + size);
    return outcome.error == ERROR_SUCCESS ? TRUE_ : FALSE_;
  }

 private:
  int Kernel(sg_io_hdr_t& hdr) {
    ++kernelCalls;
    seen = hdr;
    const auto* cdb = static_cast<const std::uint8_t*>(hdr.cmdp);
    seenCdb.assign(cdb, cdb + hdr.cmd_len);
    auto* data = static_cast<std::uint8_t*>(hdr.dxferp);
    if (hdr.dxfer_direction == SG_DXFER_TO_DEV) seenData.assign(data, data + hdr.dxfer_len);
    if (answer.refusal != 0) return answer.refusal;
    if (hdr.dxfer_direction == SG_DXFER_FROM_DEV) {
      for (std::size_t i = 0; i + static_cast<std::size_t>(answer.resid) < hdr.dxfer_len; ++i) {
        data[i] = Pattern(i);
      }
    }
    hdr.status = answer.status;
    hdr.masked_status = answer.maskedStatus;
    hdr.host_status = answer.hostStatus;
    hdr.driver_status = answer.driverStatus;
    hdr.sb_len_wr =
        static_cast<unsigned char>(std::min<std::size_t>(answer.sense.size(), hdr.mx_sb_len));
    if (hdr.sb_len_wr != 0) std::memcpy(hdr.sbp, answer.sense.data(), hdr.sb_len_wr);
    hdr.resid = answer.resid;
    return 0;
  }
};

class SgIoTransportTest : public ::testing::Test {
 protected:
  SgIoPc pc;
  Context ctx{pc};
  std::array<std::uint8_t, 512> data{};

  void SetUp() override {
    pc.AddVolume('D', nullptr);
    UsePassThrough(ctx);
    ctx.targets.targetCount = 1;
    ctx.targets.entries[0].driveLetter = 'D';
    SenseBytes marked;
    marked.fill(kMarker);
    PortOf(ctx).KeepSense(marked);
    data.fill(kMarker);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 3);
  }

  // Buffered blocks are used for short transfers with the Intel accelerator present.
  int Send(const std::vector<std::uint8_t>& cdb, DataDirection direction, std::int32_t length,
           std::int32_t timeoutMs, bool buffered) {
    PassThroughPortOf(ctx)->SetIntelDriver(buffered ? kIntelAccelerator : kNoIntelDriver);
    ScsiRequest r;
    r.target = TargetAt(ctx.targets, 0);
    r.cdbLength = static_cast<std::int32_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), r.cdb.begin());
    r.direction = direction;
    r.dataLength = length;
    r.data = length != 0 ? data.data() : nullptr;
    r.timeoutMs = timeoutMs;
    return StatusCode(PortOf(ctx).Send(r));
  }

  bool DataIsPattern(std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i) {
      if (data[i] != Pattern(i)) return false;
    }
    return true;
  }
  bool SenseUntouched() {
    const SenseBytes& sense = PortOf(ctx).LastSense();
    return std::all_of(sense.begin(), sense.end(),
                       [](std::uint8_t b) { return b == kMarker; });
  }
};

const std::vector<std::uint8_t> kTestUnitReady{0x00, 0, 0, 0, 0, 0};
const std::vector<std::uint8_t> kInquiry{0x12, 0, 0, 0, 0x60, 0};
const std::vector<std::uint8_t> kModeFive{0x3B, 0x05, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0};
const std::vector<std::uint8_t> kDriveInfo{0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0, 0x30, 0};
const std::vector<std::uint8_t> kReadBuffer32{0x3C, 0x01, 0x80, 0, 0, 0, 0, 0, 0x20, 0};
const std::vector<std::uint8_t> kWriteBuffer16{0x3B, 0x01, 0xF2, 0, 0, 0, 0, 0, 0x10, 0};

TEST_F(SgIoTransportTest, EachBlockBecomesOneSgIoAsTheKernelExpectsIt) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> cdb;
    DataDirection direction;
    std::int32_t length;
    std::int32_t timeoutMs;
    bool buffered;
    int sgDirection;
    unsigned sgTimeoutMs;
  };
  const Case cases[] = {
      {"no data", kTestUnitReady, DataDirection::None, 0, 1000, false, SG_DXFER_NONE, 1000},
      {"data in", kInquiry, DataDirection::In, 96, 5000, false, SG_DXFER_FROM_DEV, 5000},
      // A time-out of 0 is 60 seconds on the direct block ...
      {"data out, no time-out", kModeFive, DataDirection::Out, 256, 0, false, SG_DXFER_TO_DEV,
       60000},
      // ... whole seconds are kept, and 0 seconds leaves the kernel's default.
      {"under a second", kDriveInfo, DataDirection::In, 48, 1999, false, SG_DXFER_FROM_DEV, 1000},
      {"truncated to 0 s", kDriveInfo, DataDirection::In, 48, 999, false, SG_DXFER_FROM_DEV, 0},
      {"buffered in", kReadBuffer32, DataDirection::In, 32, 7000, true, SG_DXFER_FROM_DEV, 7000},
      {"buffered out, no substitute for 0", kWriteBuffer16, DataDirection::Out, 16, 0, true,
       SG_DXFER_TO_DEV, 0},
      {"buffered, no data", kTestUnitReady, DataDirection::None, 0, 3000, true, SG_DXFER_NONE,
       3000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    pc.kernelCalls = 0;
    pc.seenData.clear();
    const std::vector<std::uint8_t> outgoing(data.begin(), data.begin() + c.length);
    ASSERT_EQ(Send(c.cdb, c.direction, c.length, c.timeoutMs, c.buffered), 0);
    EXPECT_EQ(pc.kernelCalls, 1);
    EXPECT_EQ(pc.seen.interface_id, 'S');
    EXPECT_EQ(pc.seenCdb, c.cdb);
    EXPECT_EQ(pc.seen.dxfer_direction, c.sgDirection);
    EXPECT_EQ(pc.seen.dxfer_len, static_cast<unsigned>(c.length));
    EXPECT_EQ(pc.seen.timeout, c.sgTimeoutMs);
    EXPECT_EQ(pc.seen.mx_sb_len, 18);
    if (c.length == 0) {
      EXPECT_EQ(pc.seen.dxferp, nullptr);
    } else if (c.buffered) {
      // The data travels in the block's own area, and the transport copies it.
      EXPECT_NE(pc.seen.dxferp, data.data());
    } else {
      EXPECT_EQ(pc.seen.dxferp, data.data());
    }
    if (c.direction == DataDirection::Out) {
      EXPECT_EQ(pc.seenData, outgoing);
    }
    if (c.direction == DataDirection::In) {
      EXPECT_TRUE(DataIsPattern(static_cast<std::size_t>(c.length)));
    }
  }
}

TEST_F(SgIoTransportTest, TheKernelsAnswerKeepsWindowsMeaning) {
  // Fixed-format sense: key 5 (illegal request), ASC 0x24 (invalid field in CDB).
  const std::vector<unsigned char> invalidField{0x70, 0, 0x05, 0,    0,    0, 0, 10, 0,
                                                0,    0, 0,    0x24, 0x00, 0, 0, 0,  0};
  constexpr unsigned short kDriverSense = 0x08;
  struct Case {
    const char* name;
    KernelAnswer answer;
    int result;            // the port's result as a status
    DWORD error;           // ERROR_SUCCESS: DeviceIoControl returned TRUE
    bool senseCopied;
    std::uint32_t moved;   // DataTransferLength written back
  };
  const Case cases[] = {
      {"good", Delivered(0, 0, 0, 0), 0, ERROR_SUCCESS, false, 32},
      {"good, short read", Delivered(0, 0, 0, 0, {}, 10), 0, ERROR_SUCCESS, false, 22},
      {"check condition", Delivered(0x02, 0x01, 0, kDriverSense, invalidField), 2, ERROR_SUCCESS,
       true, 32},
      {"busy, no sense", Delivered(0x08, 0x04, 0, 0), 2, ERROR_SUCCESS, false, 32},
      {"masked status only", Delivered(0, 0x01, 0, kDriverSense, invalidField), 2, ERROR_SUCCESS,
       true, 32},
      // Failures below the drive: never a delivered command, never the drive's sense.
      {"host time-out", Delivered(0, 0, 0x03, 0), 2, ERROR_SEM_TIMEOUT, false, 0},
      {"host error, stray sense", Delivered(0, 0, 0x07, 0, invalidField), 2, ERROR_IO_DEVICE,
       false, 0},
      {"host error, check condition", Delivered(0x02, 0x01, 0x07, kDriverSense, invalidField), 2,
       ERROR_IO_DEVICE, true, 0},
      {"device gone", Delivered(0, 0, 0x01, 0), 2, ERROR_DEVICE_NOT_CONNECTED, false, 0},
      {"driver time-out", Delivered(0, 0, 0, 0x06), 2, ERROR_SEM_TIMEOUT, false, 0},
      {"driver error", Delivered(0, 0, 0, 0x04), 2, ERROR_IO_DEVICE, false, 0},
      {"refused, not permitted", Refused(EPERM), 2, ERROR_ACCESS_DENIED, false, 0},
      {"refused, i/o error", Refused(EIO), 2, ERROR_IO_DEVICE, false, 0},
  };
  const PassThroughLayout& l = NativePassThroughLayout();
  for (bool buffered : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.name << (buffered ? ", buffered" : ", direct"));
      SetUp();
      pc.answer = c.answer;
      EXPECT_EQ(Send(kReadBuffer32, DataDirection::In, 32, 5000, buffered), c.result);
      EXPECT_EQ(pc.outcome.error, c.error);
      EXPECT_EQ(pc.outcome.refusal, c.answer.refusal);
      if (c.senseCopied) {
        EXPECT_TRUE(std::equal(invalidField.begin(), invalidField.end(),
                               PortOf(ctx).LastSense().begin()));
      } else {
        EXPECT_TRUE(SenseUntouched());
      }
      std::uint32_t moved = 0;
      std::memcpy(&moved, pc.returned.data() + l.offDataTransferLength, 4);
      EXPECT_EQ(moved, c.moved);
      // The buffered block's data reaches the caller only after a success.
      if (buffered) {
        EXPECT_EQ(DataIsPattern(22), c.result == 0);
      }
    }
  }
}

void PutLe(std::uint8_t* at, std::uint64_t value, std::uint32_t bytes) {
  for (std::uint32_t i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

TEST_F(SgIoTransportTest, BlocksWindowsWouldRefuseReachNoDrive) {
  const PassThroughLayout& l = NativePassThroughLayout();
  struct Case {
    const char* name;
    bool buffered;
    std::uint32_t offset;   // header field to change
    std::uint64_t value;
    std::uint32_t bytes;
    DWORD size = 0;         // 0: the block's own size
  };
  const Case cases[] = {
      {"wrong Length", false, l.offLength, l.headerSize + 4, 2},
      {"no CDB", false, l.offCdbLength, 0, 1},
      {"CDB over 16 bytes", false, l.offCdbLength, 17, 1},
      {"unknown direction", false, l.offDataIn, 3, 1},
      {"data without a direction", false, l.offDataIn, SCSI_IOCTL_DATA_UNSPECIFIED, 1},
      {"sense area in the header", false, l.offSenseInfoOffset, 8, 4},
      {"sense area past the block", false, l.offSenseInfoOffset, l.directBlockSize - 4, 4},
      {"direct data without a buffer", false, l.offDataBuffer, 0, l.pointerSize},
      {"buffered data past the block", true, l.offDataBuffer, l.dataOffset + 8, l.pointerSize},
      {"buffered data in the header", true, l.offDataBuffer, 4, l.pointerSize},
      {"shorter than a header", false, l.offLength, l.headerSize, 2, l.headerSize - 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    ASSERT_EQ(Send(kReadBuffer32, DataDirection::In, 32, 5000, c.buffered), 0);
    std::vector<std::uint8_t> block = pc.sent;
    PutLe(block.data() + c.offset, c.value, c.bytes);
    int calls = 0;
    const PassThroughOutcome outcome = CarryPassThrough(
        block.data(), c.size != 0 ? c.size : static_cast<DWORD>(block.size()), c.buffered, l,
        [&calls](sg_io_hdr_t&) {
          ++calls;
          return 0;
        });
    EXPECT_EQ(outcome.error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(calls, 0);
  }
}

}  // namespace
}  // namespace odf::posix
