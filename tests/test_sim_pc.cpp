// The simulated PC as the program sees it through the platform interface:
// pass-through blocks decoded at both layouts, results written back into the
// block, the ASPI layer completing on the virtual clock, the registry, and the
// small services (boxes, version, clock, memory, files).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scripted_drive.h"
#include "sim/pc/sim_pc.h"

namespace odf::sim {
namespace {

using testing::ScriptedDrive;

void Put(std::vector<std::uint8_t>& b, std::uint32_t at, std::uint64_t value, std::uint32_t bytes) {
  for (std::uint32_t i = 0; i < bytes; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t Get(const std::vector<std::uint8_t>& b, std::uint32_t at, std::uint32_t bytes) {
  std::uint32_t v = 0;
  for (std::uint32_t i = bytes; i-- > 0;) v = (v << 8) | b[at + i];
  return v;
}

// A well-formed block for the layout, as a correct transport fills it.
struct Block {
  const PassThroughLayout* layout;
  bool buffered;
  std::vector<std::uint8_t> bytes;
  DWORD inSize;
  DWORD outSize;
};

Block MakeBlock(const PassThroughLayout& l, bool buffered, std::uint32_t transfer,
                std::uint64_t dataAddress, std::uint8_t senseLength = 18) {
  const std::uint32_t size = buffered ? l.dataOffset + transfer : l.directBlockSize;
  Block b{&l, buffered, std::vector<std::uint8_t>(std::max(size, l.bufferedBlockSize), 0), size,
          size};
  Put(b.bytes, l.offLength, l.headerSize, 2);
  b.bytes[l.offCdbLength] = 6;
  b.bytes[l.offSenseInfoLength] = senseLength;
  b.bytes[l.offDataIn] = SCSI_IOCTL_DATA_IN;
  Put(b.bytes, l.offDataTransferLength, transfer, 4);
  Put(b.bytes, l.offTimeOutValue, 7, 4);
  Put(b.bytes, l.offDataBuffer, buffered ? l.dataOffset : dataAddress, l.pointerSize);
  Put(b.bytes, l.offSenseInfoOffset, l.senseOffset, 4);
  const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, static_cast<std::uint8_t>(transfer), 0};
  std::memcpy(&b.bytes[l.offCdb], inquiry, sizeof inquiry);
  return b;
}

class SimPcTest : public ::testing::Test {
 protected:
  SimPc pc;
  std::shared_ptr<ScriptedDrive> drive = std::make_shared<ScriptedDrive>();
  std::array<std::uint8_t, 96> data{};

  HANDLE OpenVolume(char letter, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    const char path[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
    return pc.CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL);
  }

  BOOL Send(HANDLE h, Block& b) {
    pc.SetPassThroughLayout(*b.layout);
    DWORD returned = 0;
    return pc.DeviceIoControl(
        h, b.buffered ? IOCTL_SCSI_PASS_THROUGH : IOCTL_SCSI_PASS_THROUGH_DIRECT, b.bytes.data(),
        b.inSize, b.bytes.data(), b.outSize, &returned);
  }

  std::uint64_t DataAddress(const PassThroughLayout& l) {
    const auto a = reinterpret_cast<std::uintptr_t>(data.data());
    return l.pointerSize == 4 ? static_cast<std::uint32_t>(a) : a;
  }
};

TEST_F(SimPcTest, PassThroughDecoderChecksTheBlockAgainstItsLayout) {
  pc.AddVolume('E', drive);
  pc.RegisterMemory(data.data(), data.size());
  const auto& l32 = kPassThroughLayout32;
  const auto& l64 = kPassThroughLayout64;
  struct Case {
    const char* name;
    const PassThroughLayout* layout;
    bool buffered;
    std::function<void(Block&)> damage;  // nullptr: the block is sound
    const PassThroughLayout* decodeAs = nullptr;  // the PC's layout when it differs
  };
  const Case cases[] = {
      {"direct 32", &l32, false, nullptr},
      {"direct 64", &l64, false, nullptr},
      {"buffered 32", &l32, true, nullptr},
      {"buffered 64", &l64, true, nullptr},
      {"64-bit block with the 32-bit Length", &l64, false,
       [](Block& b) { Put(b.bytes, 0, 44, 2); }},
      {"32-bit block sent to a 64-bit system", &l32, false, nullptr, &l64},
      {"64-bit block sent to a 32-bit system", &l64, false, nullptr, &l32},
      {"direct: input size one short", &l32, false, [](Block& b) { --b.inSize; }},
      {"direct: output size the buffered size", &l64, false,
       [&](Block& b) { b.outSize = l64.bufferedBlockSize; }},
      {"sense area at the 32-bit offset inside the 64-bit header", &l64, false,
       [&](Block& b) { Put(b.bytes, l64.offSenseInfoOffset, 48, 4); }},
      {"sense area running past the block", &l32, false,
       [&](Block& b) { Put(b.bytes, l32.offSenseInfoOffset, l32.directBlockSize - 17, 4); }},
      {"buffered: sizes without the data bytes", &l64, true,
       [&](Block& b) { b.inSize = b.outSize = l64.dataOffset; }},
      {"CDB length 17", &l32, false, [&](Block& b) { b.bytes[l32.offCdbLength] = 17; }},
      {"direct: address unknown in the low 32 bits", &l32, false,
       [&](Block& b) { Put(b.bytes, l32.offDataBuffer, 0x10, 4); }},
  };
  const HANDLE h = OpenVolume('E');
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    drive->log.clear();
    data.fill(0);
    const std::uint32_t transfer = c.buffered ? 32 : 96;
    Block b = MakeBlock(*c.layout, c.buffered, transfer, DataAddress(*c.layout));
    if (c.damage) c.damage(b);
    const PassThroughLayout& as = c.decodeAs ? *c.decodeAs : *c.layout;
    const PassThroughLayout* own = b.layout;
    b.layout = &as;
    const BOOL ok = Send(h, b);
    b.layout = own;
    if (c.damage || c.decodeAs) {
      EXPECT_EQ(ok, FALSE_);
      EXPECT_EQ(pc.GetLastError(), ERROR_INVALID_PARAMETER);
      EXPECT_TRUE(drive->log.empty());
      continue;
    }
    ASSERT_EQ(ok, TRUE_);
    ASSERT_EQ(drive->log.size(), 1u);
    const CommandRecord& r = drive->log[0];
    EXPECT_EQ(r.cdb[0], 0x12);
    EXPECT_EQ(r.cdb[4], transfer);
    EXPECT_EQ(r.cdbLength, 6);
    EXPECT_EQ(r.direction, 1);
    EXPECT_EQ(r.length, transfer);
    EXPECT_EQ(r.timeoutSeconds, 7u);
    EXPECT_EQ(r.buffered, c.buffered);
    EXPECT_EQ(Get(b.bytes, c.layout->offDataTransferLength, 4), transfer);
    // The data went to the caller's buffer (direct) or into the block (buffered).
    const std::uint8_t* landed = c.buffered ? &b.bytes[c.layout->dataOffset] : data.data();
    EXPECT_EQ(landed[0], ScriptedDrive::Pattern(0));
    EXPECT_EQ(landed[transfer - 1], ScriptedDrive::Pattern(transfer - 1));
  }
}

TEST_F(SimPcTest, PassThroughWritesTheOutcomeBackIntoTheBlock) {
  pc.AddVolume('F', drive);
  pc.RegisterMemory(data.data(), data.size());
  DriveReply sense = CheckCondition(5, 0x24, 0x00);
  DriveReply failingIoctl = sense;
  failingIoctl.ioctlFails = true;
  DriveReply slow;
  slow.durationMs = 9000;  // beyond the 7-second time-out
  DriveReply silent;
  silent.timedOut = true;
  DriveReply lostAdapter;
  lostAdapter.transportFail = true;
  lostAdapter.returnedSenseLength = 18;
  DriveReply good;
  good.durationMs = 40;
  struct Case {
    const char* name;
    DriveReply reply;
    std::uint8_t requestedSense;
    BOOL result;
    DWORD error;
    std::uint8_t scsiStatus, senseLength;
    std::uint32_t transferred;
    std::uint64_t elapsedMs;
  };
  const Case cases[] = {
      {"good", good, 18, TRUE_, 0, 0, 0, 96, 40},
      {"check condition", sense, 18, TRUE_, 0, 2, 18, 96, 1},
      {"check condition, short sense area", sense, 8, TRUE_, 0, 2, 8, 96, 1},
      {"check condition, call fails", failingIoctl, 18, FALSE_, ERROR_IO_DEVICE, 2, 18, 96, 1},
      {"slower than the time-out", slow, 18, FALSE_, ERROR_SEM_TIMEOUT, 0, 0, 0, 7000},
      {"drive never answers", silent, 18, FALSE_, ERROR_SEM_TIMEOUT, 0, 0, 0, 7000},
      {"adapter fails", lostAdapter, 18, FALSE_, ERROR_IO_DEVICE, 0, 18, 0, 1},
  };
  const HANDLE h = OpenVolume('F');
  for (const auto* layout : {&kPassThroughLayout32, &kPassThroughLayout64}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (layout->pointerSize == 4 ? " (32)" : " (64)"));
      drive->reply = c.reply;
      Block b = MakeBlock(*layout, false, 96, DataAddress(*layout), c.requestedSense);
      const auto& l = *layout;
      std::memset(&b.bytes[l.senseOffset], 0xEE, kSenseAreaSize);
      const std::uint64_t before = pc.NowMs();
      const BOOL ok = Send(h, b);
      EXPECT_EQ(ok, c.result);
      if (!ok) {
        EXPECT_EQ(pc.GetLastError(), c.error);
      }
      EXPECT_EQ(pc.NowMs() - before, c.elapsedMs);
      EXPECT_EQ(b.bytes[l.offScsiStatus], c.scsiStatus);
      EXPECT_EQ(b.bytes[l.offSenseInfoLength], c.senseLength);
      EXPECT_EQ(Get(b.bytes, l.offDataTransferLength, 4), c.transferred);
      const std::uint8_t* area = &b.bytes[l.senseOffset];
      if (c.scsiStatus == 2) {
        EXPECT_EQ(area[0], 0x70);
        if (c.senseLength > 12) {
          EXPECT_EQ(area[2], 5);
          EXPECT_EQ(area[12], 0x24);
        }
        // Nothing beyond the sense length the caller asked for.
        EXPECT_EQ(area[c.senseLength], 0xEE);
      } else {
        EXPECT_EQ(area[0], 0xEE);
      }
    }
  }
}

TEST_F(SimPcTest, VolumesOpenAnswerTheirAddressAndNotification) {
  VolumeOptions noAddress;
  noAddress.noAddress = true;
  VolumeOptions badAddress;
  badAddress.addressFails = true;
  VolumeOptions locked;
  locked.openFails = true;
  VolumeOptions placed;
  placed.portNumber = 3;
  placed.pathId = 1;
  placed.targetId = 2;
  placed.lun = 0;
  pc.AddVolume('D', drive, placed);
  pc.AddVolume('e', drive, noAddress);
  pc.AddVolume('G', drive, badAddress);
  pc.AddVolume('H', drive, locked);
  pc.AddVolume('I', nullptr);

  EXPECT_EQ(OpenVolume('K'), INVALID_HANDLE_VALUE);
  EXPECT_EQ(pc.GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenVolume('H'), INVALID_HANDLE_VALUE);
  EXPECT_EQ(pc.GetLastError(), ERROR_ACCESS_DENIED);

  struct Case {
    char letter;
    BOOL result;
    DWORD error;
    std::array<std::uint8_t, 8> address;
  };
  const Case cases[] = {
      {'D', TRUE_, 0, {8, 0, 0, 0, 3, 1, 2, 0}},
      {'E', FALSE_, ERROR_NOT_SUPPORTED, {}},
      {'G', FALSE_, ERROR_GEN_FAILURE, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.letter);
    const HANDLE h = OpenVolume(static_cast<char>(c.letter | 0x20));  // letters ignore case
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::array<std::uint8_t, 8> address{};
    DWORD returned = 0;
    EXPECT_EQ(pc.DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, address.data(), 8,
                                 &returned),
              c.result);
    if (c.result) {
      EXPECT_EQ(address, c.address);
    } else {
      EXPECT_EQ(pc.GetLastError(), c.error);
    }
    EXPECT_EQ(pc.CloseHandle(h), TRUE_);
  }

  // A handle without access rights serves media notification, not commands.
  const HANDLE notify = OpenVolume('D', 0);
  std::uint8_t flag = 0;
  pc.Advance(30);
  EXPECT_EQ(pc.DeviceIoControl(notify, IOCTL_STORAGE_MCN_CONTROL, &flag, 1, nullptr, 0, nullptr),
            TRUE_);
  ASSERT_EQ(pc.McnLog().size(), 1u);
  EXPECT_EQ(pc.McnLog()[0].driveLetter, 'D');
  EXPECT_EQ(pc.McnLog()[0].flag, 0);
  EXPECT_EQ(pc.McnLog()[0].atMs, 30u);
  pc.RegisterMemory(data.data(), data.size());
  Block b = MakeBlock(NativePassThroughLayout(), false, 96, DataAddress(NativePassThroughLayout()));
  EXPECT_EQ(Send(notify, b), FALSE_);
  EXPECT_EQ(pc.GetLastError(), ERROR_ACCESS_DENIED);

  // A volume without a drive answers no command and leaves the block alone.
  const HANDLE empty = OpenVolume('I');
  const std::vector<std::uint8_t> before = b.bytes;
  EXPECT_EQ(Send(empty, b), FALSE_);
  EXPECT_EQ(pc.GetLastError(), 1u);
  EXPECT_EQ(b.bytes, before);
  EXPECT_TRUE(drive->log.empty());

  EXPECT_EQ(pc.OpenHandles(), 2);
  pc.CloseHandle(notify);
  pc.CloseHandle(empty);
  EXPECT_EQ(pc.OpenHandles(), 0);
  EXPECT_EQ(pc.CloseHandle(empty), FALSE_);
}

// ---- ASPI -----------------------------------------------------------------------

class AspiTest : public SimPcTest {
 protected:
  FARPROC support = 0, send = 0;

  void SetUp() override {
    pc.InstallAspi();
    pc.AddAdapter("ESDI_506");
    pc.AddAdapter("NTMAPHLP");
    pc.AttachAspiDrive(1, 3, drive);
    const HMODULE m = pc.LoadLibraryA("wnaspi32.dll");
    ASSERT_NE(m, 0u);
    support = pc.GetProcAddressOrdinal(m, 1);
    send = pc.GetProcAddressOrdinal(m, 2);
    ASSERT_NE(support, 0u);
    ASSERT_NE(send, 0u);
  }

  SRB_ExecSCSICmd Inquiry(std::uint8_t flags, HANDLE event = 0, std::uint8_t target = 3) {
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = 1;
    srb.SRB_Target = target;
    srb.SRB_Flags = flags;
    srb.SRB_BufLen = 96;
    srb.SRB_BufPointer = data.data();
    srb.SRB_SenseLen = 18;
    srb.SRB_CDBLen = 6;
    srb.SRB_PostProc = reinterpret_cast<void*>(event);
    srb.CDBByte[0] = 0x12;
    srb.CDBByte[4] = 96;
    std::memset(srb.SenseArea, 0xEE, sizeof srb.SenseArea);
    return srb;
  }
};

TEST_F(AspiTest, LayerAnswersSupportInfoAndAdapterInquiry) {
  EXPECT_EQ(pc.CallGetASPI32SupportInfo(support), (DWORD{SS_COMP} << 8) | 2);
  SRB_HAInquiry ha{};
  ha.SRB_Cmd = SC_HA_INQUIRY;
  ha.SRB_HaId = 1;
  std::memset(ha.HA_Identifier, 0xEE, sizeof ha.HA_Identifier);
  EXPECT_EQ(pc.CallSendASPI32Command(send, &ha), SS_COMP);
  EXPECT_EQ(ha.SRB_Status, SS_COMP);
  EXPECT_EQ(ha.HA_Count, 2);
  const std::uint8_t expected[16] = {'N', 'T', 'M', 'A', 'P', 'H', 'L', 'P'};
  EXPECT_EQ(std::memcmp(ha.HA_Identifier, expected, 16), 0);
  ha.SRB_HaId = 2;
  EXPECT_EQ(pc.CallSendASPI32Command(send, &ha), 0x81u);

  SimPc bare;
  EXPECT_EQ(bare.LoadLibraryA("WNASPI32.DLL"), 0u);
  EXPECT_EQ(bare.GetLastError(), 126u);
  SimPc noAdapters;
  noAdapters.InstallAspi();
  const HMODULE m = noAdapters.LoadLibraryA("WNASPI32.DLL");
  EXPECT_EQ(noAdapters.CallGetASPI32SupportInfo(noAdapters.GetProcAddressOrdinal(m, 1)), 0xE800u);
}

TEST_F(AspiTest, EventModeCompletesOnTheVirtualClock) {
  drive->reply.durationMs = 250;
  const HANDLE event = pc.CreateEventA(FALSE_, FALSE_);
  SRB_ExecSCSICmd srb = Inquiry(SRB_EVENT_NOTIFY | SRB_DIR_IN, event);
  EXPECT_EQ(pc.CallSendASPI32Command(send, &srb), SS_PENDING);
  // The drive has the command at once; the block completes later.
  ASSERT_EQ(drive->log.size(), 1u);
  EXPECT_TRUE(drive->log[0].viaAspi);
  EXPECT_FALSE(drive->log[0].polled);
  EXPECT_EQ(drive->log[0].direction, 1);
  EXPECT_EQ(srb.SRB_Status, SS_PENDING);

  EXPECT_EQ(pc.WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_EQ(pc.NowMs(), 0u);
  EXPECT_EQ(pc.WaitForSingleObject(event, 100), WAIT_TIMEOUT);
  EXPECT_EQ(pc.NowMs(), 100u);
  EXPECT_EQ(srb.SRB_Status, SS_PENDING);
  EXPECT_EQ(pc.WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(pc.NowMs(), 250u);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(data[0], ScriptedDrive::Pattern(0));
  // Auto-reset, and nothing left that could signal it: no endless wait.
  EXPECT_EQ(pc.WaitForSingleObject(event, INFINITE), WAIT_FAILED);
  EXPECT_EQ(pc.CloseHandle(event), TRUE_);
  EXPECT_EQ(pc.OpenHandles(), 0);
}

TEST_F(AspiTest, CompletionsCarryTheOutcome) {
  DriveReply sense = CheckCondition(2, 0x3A, 0x00);
  sense.durationMs = 20;
  DriveReply silent;
  silent.timedOut = true;
  DriveReply lostAdapter;
  lostAdapter.transportFail = true;
  struct Case {
    const char* name;
    DriveReply reply;
    std::uint8_t senseLength;  // SRB_SenseLen
    std::uint64_t completesAt;
    std::uint8_t status, haStat, targStat;
    std::uint8_t senseKeyByte;  // SenseArea[2] afterwards
  };
  const Case cases[] = {
      {"check condition", sense, 18, 20, SS_ERR, 0, 2, 2},
      {"check condition, no sense asked", sense, 0, 20, SS_ERR, 0, 2, 0xEE},
      {"drive never answers", silent, 18, 600000, SS_ERR, 0x09, 0, 0xEE},
      {"adapter fails", lostAdapter, 18, 0, SS_ERR, 0x11, 0, 0xEE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimPc fresh;
    fresh.InstallAspi();
    fresh.AddAdapter("ESDI_506");
    auto d = std::make_shared<ScriptedDrive>();
    d->reply = c.reply;
    fresh.AttachAspiDrive(0, 0, d);
    const FARPROC entry = fresh.GetProcAddressOrdinal(fresh.LoadLibraryA("WNASPI32.DLL"), 2);
    SRB_ExecSCSICmd srb = Inquiry(SRB_DIR_IN, 0, 0);  // polled
    srb.SRB_HaId = 0;
    srb.SRB_SenseLen = c.senseLength;
    EXPECT_EQ(fresh.CallSendASPI32Command(entry, &srb), SS_PENDING);
    EXPECT_TRUE(d->log.at(0).polled);
    if (c.completesAt > 0) {
      fresh.Sleep(static_cast<DWORD>(c.completesAt - 1));
      EXPECT_EQ(srb.SRB_Status, SS_PENDING);
    }
    fresh.Sleep(1);
    EXPECT_EQ(srb.SRB_Status, c.status);
    EXPECT_EQ(srb.SRB_HaStat, c.haStat);
    EXPECT_EQ(srb.SRB_TargStat, c.targStat);
    EXPECT_EQ(srb.SenseArea[2], c.senseKeyByte);
    if (c.senseKeyByte == 2) {
      EXPECT_EQ(srb.SenseArea[12], 0x3A);
      EXPECT_EQ(srb.SenseArea[18], 0xEE);  // 18 bytes, no more
    }
  }
}

TEST_F(AspiTest, CompletionsFollowTimeOrderAndMissingDevicesFailAtOnce) {
  auto quick = std::make_shared<ScriptedDrive>();
  quick->reply.durationMs = 100;
  drive->reply.durationMs = 300;
  pc.AttachAspiDrive(1, 4, quick);
  SRB_ExecSCSICmd slow = Inquiry(SRB_DIR_IN);
  SRB_ExecSCSICmd fast = Inquiry(SRB_DIR_IN, 0, 4);
  pc.CallSendASPI32Command(send, &slow);
  pc.CallSendASPI32Command(send, &fast);
  pc.Advance(200);
  EXPECT_EQ(slow.SRB_Status, SS_PENDING);
  EXPECT_EQ(fast.SRB_Status, SS_COMP);
  // The clock read by a busy wait moves on and finishes the other one.
  while (slow.SRB_Status == SS_PENDING) pc.timeGetTime();
  EXPECT_EQ(pc.NowMs(), 300u);

  SRB_ExecSCSICmd nobody = Inquiry(SRB_DIR_IN, 0, 5);
  EXPECT_EQ(pc.CallSendASPI32Command(send, &nobody), 0x82u);
  EXPECT_EQ(nobody.SRB_Status, 0x82);
}

// ---- registry -------------------------------------------------------------------

TEST_F(SimPcTest, RegistryOpensEnumeratesAndFailsAsWindowsDoes) {
  pc.AddRegistryKey(HKEY_LOCAL_MACHINE, "Enum\\SCSI\\Base\\Zeta");
  pc.AddRegistryKey(HKEY_LOCAL_MACHINE, "Enum\\SCSI\\Base\\Alpha");
  pc.SetRegistryValue(HKEY_LOCAL_MACHINE, "ENUM\\scsi\\base\\alpha", "AutoInsertNotification",
                      {1});
  pc.SetRegistryValue(HKEY_DYN_DATA, "Config Manager\\Enum\\C1", "HardWareKey",
                      {'S', 'B', 'P', '2', 0});

  HKEY base = 0;
  ASSERT_EQ(pc.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "enum\\Scsi\\BASE", 0, KEY_READ, &base), 0);
  DWORD count = 0;
  EXPECT_EQ(pc.RegQueryInfoKeyA(base, &count), 0);
  EXPECT_EQ(count, 2u);
  // Subkeys come in the order they were made, with their own spelling.
  char name[256];
  DWORD length = sizeof name;
  EXPECT_EQ(pc.RegEnumKeyExA(base, 0, name, &length), 0);
  EXPECT_STREQ(name, "Zeta");
  EXPECT_EQ(length, 4u);
  length = 5;  // room for "Alpha" but not its terminating zero
  EXPECT_EQ(pc.RegEnumKeyExA(base, 1, name, &length), 234);
  length = sizeof name;
  EXPECT_EQ(pc.RegEnumKeyExA(base, 2, name, &length), static_cast<LONG>(ERROR_NO_MORE_ITEMS));

  HKEY alpha = 0;
  ASSERT_EQ(pc.RegOpenKeyExA(base, "alpha", 0, KEY_ALL_ACCESS, &alpha), 0);
  BYTE byte = 0;
  DWORD size = 1;
  DWORD type = 0;
  EXPECT_EQ(pc.RegQueryValueExA(alpha, "autoinsertnotification", &type, &byte, &size), 0);
  EXPECT_EQ(byte, 1);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(pc.RegQueryValueExA(alpha, "Missing", nullptr, &byte, &size),
            static_cast<LONG>(ERROR_FILE_NOT_FOUND));

  HKEY dyn = 0;
  ASSERT_EQ(pc.RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum\\C1", 0, KEY_READ, &dyn), 0);
  BYTE text[4];
  size = sizeof text;
  EXPECT_EQ(pc.RegQueryValueExA(dyn, "HardWareKey", nullptr, text, &size), 234);
  EXPECT_EQ(size, 5u);
  HKEY missing = 0;
  EXPECT_EQ(pc.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Config Manager\\Enum", 0, KEY_READ, &missing),
            static_cast<LONG>(ERROR_FILE_NOT_FOUND));

  pc.FailRegistryCall("RegQueryValueExA", "Enum\\SCSI", 5);
  pc.FailRegistryCall("RegOpenKeyExA", "enum\\scsi\\base\\z", 1234);
  size = 1;
  EXPECT_EQ(pc.RegQueryValueExA(alpha, "AutoInsertNotification", nullptr, &byte, &size), 5);
  EXPECT_EQ(pc.RegQueryValueExA(dyn, "HardWareKey", nullptr, nullptr, &size), 0);
  HKEY zeta = 0;
  EXPECT_EQ(pc.RegOpenKeyExA(base, "Zeta", 0, KEY_READ, &zeta), 1234);

  EXPECT_EQ(pc.OpenRegistryKeys(), 3);
  for (HKEY k : {base, alpha, dyn}) EXPECT_EQ(pc.RegCloseKey(k), 0);
  EXPECT_EQ(pc.OpenRegistryKeys(), 0);
  EXPECT_NE(pc.RegCloseKey(base), 0);
}

// ---- small services ---------------------------------------------------------------

TEST_F(SimPcTest, QuestionBoxesTakeQueuedAnswersAndNoticesDoNot) {
  std::vector<std::string> seen;
  pc.boxSink = [&](const BoxRecord& r) { seen.push_back(r.text); };
  pc.QueueAnswers({IDYES, IDCANCEL});
  EXPECT_EQ(pc.MessageBoxA(0, "notice", "odflsh", MB_OK | MB_ICONASTERISK), IDOK);
  EXPECT_EQ(pc.MessageBoxA(0, "q1", "odflsh", MB_YESNO | MB_ICONQUESTION), IDYES);
  EXPECT_EQ(pc.MessageBoxA(0, "q2", "odflsh", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(pc.MessageBoxA(0, "q3", "odflsh", MB_YESNO), IDNO);  // queue empty, no answerer
  pc.answerer = [](const BoxRecord& r) { return r.text == "q4" ? IDYES : IDNO; };
  EXPECT_EQ(pc.MessageBoxA(0, "q4", "odflsh", MB_YESNO), IDYES);
  ASSERT_EQ(pc.Boxes().size(), 5u);
  EXPECT_EQ(pc.Boxes()[1].answer, IDYES);
  EXPECT_EQ(pc.Boxes()[1].type, MB_YESNO | MB_ICONQUESTION);
  EXPECT_EQ(seen, (std::vector<std::string>{"notice", "q1", "q2", "q3", "q4"}));
}

TEST_F(SimPcTest, VersionClockAndMemory) {
  OSVERSIONINFOA v{};
  EXPECT_EQ(pc.GetVersionExA(&v), FALSE_);
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_EQ(pc.GetVersionExA(&v), TRUE_);
  EXPECT_EQ(v.dwPlatformId, 2u);
  EXPECT_EQ(v.dwMajorVersion, 5u);
  EXPECT_EQ(v.dwMinorVersion, 1u);
  pc.SetWindowsVersion(1, 4, 10);
  ASSERT_EQ(pc.GetVersionExA(&v), TRUE_);
  EXPECT_EQ(v.dwPlatformId, 1u);
  EXPECT_EQ(v.dwMinorVersion, 10u);

  EXPECT_EQ(pc.timeGetTime(), 0u);
  EXPECT_EQ(pc.timeGetTime(), 1u);
  pc.Sleep(500);
  EXPECT_EQ(pc.timeGetTime(), 502u);
  EXPECT_EQ(pc.timeBeginPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(pc.timeEndPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(pc.TimerPeriodBalance(), 0);

  pc.RefuseAllocation(2);
  const HGLOBAL first = pc.GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
  EXPECT_EQ(pc.GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096), 0u);
  const HGLOBAL third = pc.GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
  ASSERT_NE(first, 0u);
  ASSERT_NE(third, 0u);
  auto* p = static_cast<std::uint8_t*>(pc.GlobalLock(first));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[4095], 0);
  EXPECT_EQ(pc.LiveAllocations(), 2);
  pc.GlobalUnlock(first);
  EXPECT_EQ(pc.GlobalFree(first), 0u);
  EXPECT_EQ(pc.GlobalFree(first), first);  // already gone
  EXPECT_EQ(pc.LiveAllocations(), 1);
  EXPECT_EQ(pc.AllocationCalls(), 3);

  pc.srand(1);
  const int a = pc.rand();
  pc.srand(1);
  EXPECT_EQ(pc.rand(), a);
  EXPECT_EQ(a, 41);  // the Windows C runtime's first value for seed 1
}

TEST_F(SimPcTest, FilesReadWholeAndLineByLine) {
  pc.AddFile("G6PATCH.HEX", {':', '0', '1', '\r', '\n', '\n', ':', 'F', 'F'});
  EXPECT_EQ(pc.CreateFileA("missing.bin", GENERIC_READ, 0, OPEN_EXISTING, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(pc.GetLastError(), ERROR_FILE_NOT_FOUND);

  const HANDLE h = pc.CreateFileA("g6patch.hex", GENERIC_READ, 0, OPEN_EXISTING, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD high = 1;
  EXPECT_EQ(pc.GetFileSize(h, &high), 9u);
  EXPECT_EQ(high, 0u);
  std::string line;
  std::vector<std::string> lines;
  while (pc.ReadTextLine(h, line) == 1) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{":01", "", ":FF"}));
  EXPECT_EQ(pc.ReadTextLine(h, line), 0);
  pc.CloseHandle(h);

  const HANDLE again = pc.CreateFileA("G6PATCH.HEX", GENERIC_READ, 0, OPEN_EXISTING, 0);
  std::array<char, 16> buffer{};
  DWORD read = 0;
  EXPECT_EQ(pc.ReadFile(again, buffer.data(), 4, &read), TRUE_);
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(pc.ReadFile(again, buffer.data(), 16, &read), TRUE_);
  EXPECT_EQ(read, 5u);
  EXPECT_EQ(std::string(buffer.data(), 5), "\n\n:FF");
  pc.CloseHandle(again);
  EXPECT_EQ(pc.OpenHandles(), 0);
}

// Files of the host folder the front end names: read whole, and refused as
// the Linux layer refuses them when they are no plain readable file.
TEST_F(SimPcTest, HostFilesAreReadWholeOrRefused) {
  char pattern[] = "/tmp/odflsh_sim_files_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
  std::vector<std::uint8_t> big(3 * 1024 * 1024 + 7);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 131 + (i >> 12));
  std::ofstream(dir / "IMAGE.BIN", std::ios::binary)
      .write(reinterpret_cast<const char*>(big.data()), static_cast<std::streamsize>(big.size()));
  std::ofstream(dir / "EMPTY.BIN");
  std::ofstream(dir / "LOCKED.BIN") << "secret";
  std::filesystem::permissions(dir / "LOCKED.BIN", std::filesystem::perms::none);
  std::filesystem::create_directory(dir / "FOLDER.BIN");
  ASSERT_EQ(mkfifo((dir / "PIPE.BIN").c_str(), 0600), 0);
  pc.SetHostDirectory(dir.string());
  // A virtual file of the same name comes first.
  pc.AddFile("EMPTY.BIN", {1, 2, 3});

  struct Case {
    const char* name;
    const char* path;
    DWORD error;                        // 0: opens
    const std::vector<std::uint8_t>* content;
  };
  const std::vector<std::uint8_t> virtualBytes = {1, 2, 3};
  const Case cases[] = {
      {"a large file, whole", "IMAGE.BIN", 0, &big},
      {"the virtual file first", "EMPTY.BIN", 0, &virtualBytes},
      {"a folder", "FOLDER.BIN", ERROR_ACCESS_DENIED, nullptr},
      {"a pipe is no file and does not block", "PIPE.BIN", ERROR_ACCESS_DENIED, nullptr},
      {"no permission", "LOCKED.BIN", ERROR_ACCESS_DENIED, nullptr},
      {"missing", "MISSING.BIN", ERROR_FILE_NOT_FOUND, nullptr},
      {"a file taken for a folder", "IMAGE.BIN\\X", ERROR_PATH_NOT_FOUND, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Whoever may read anything reads the locked file too.
    if (std::string(c.path) == "LOCKED.BIN" && geteuid() == 0) continue;
    const HANDLE h = pc.CreateFileA(c.path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (c.error != 0) {
      EXPECT_EQ(h, INVALID_HANDLE_VALUE);
      EXPECT_EQ(pc.GetLastError(), c.error);
      continue;
    }
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD high = 1;
    ASSERT_EQ(pc.GetFileSize(h, &high), c.content->size());
    EXPECT_EQ(high, 0u);
    std::vector<std::uint8_t> read(c.content->size() + 1);
    DWORD got = 0;
    EXPECT_EQ(pc.ReadFile(h, read.data(), static_cast<DWORD>(read.size()), &got), TRUE_);
    read.resize(got);
    EXPECT_EQ(read, *c.content);
    pc.CloseHandle(h);
  }
  EXPECT_EQ(pc.OpenHandles(), 0);
  std::filesystem::permissions(dir / "LOCKED.BIN", std::filesystem::perms::owner_all);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace odf::sim
