// Byte layouts of the pass-through blocks and the ASPI request blocks.
//
// The pass-through header (SCSI_PASS_THROUGH / SCSI_PASS_THROUGH_DIRECT) holds
// a pointer-sized field, so its size depends on the Windows build: 44 bytes on
// 32-bit Windows, 56 on 64-bit. The classic fixed offsets (sense at 48, data at
// 80) are only right for 32-bit; the 64-bit layout follows the real structure
// (header, filler, sense area, data area), otherwise the sense area would
// overlap the header. The transport and the simulated PC both work from one of
// these descriptors, so both layouts can be checked on any host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace odf {

struct PassThroughLayout {
  std::uint32_t pointerSize;       // 4 or 8
  std::uint32_t headerSize;        // value of the Length field
  // Field offsets inside the header.
  std::uint32_t offLength;         // USHORT
  std::uint32_t offScsiStatus;     // UCHAR
  std::uint32_t offPathId;
  std::uint32_t offTargetId;
  std::uint32_t offLun;
  std::uint32_t offCdbLength;
  std::uint32_t offSenseInfoLength;
  std::uint32_t offDataIn;
  std::uint32_t offDataTransferLength;  // ULONG
  std::uint32_t offTimeOutValue;        // ULONG, seconds
  std::uint32_t offDataBuffer;          // PVOID (direct) or ULONG_PTR offset (buffered)
  std::uint32_t offSenseInfoOffset;     // ULONG
  std::uint32_t offCdb;                 // UCHAR[16]
  // Block layout: header, filler, sense area (32 bytes), data area (32 bytes).
  std::uint32_t senseOffset;
  std::uint32_t dataOffset;        // buffered block only
  std::uint32_t directBlockSize;   // header + filler + sense
  std::uint32_t bufferedBlockSize; // header + filler + sense + data
};

inline constexpr std::uint32_t kSenseAreaSize = 32;
inline constexpr std::uint32_t kBufferedDataAreaSize = 32;

// 32-bit Windows: the 44-byte header, sense at 48, data at 80, blocks of 80 and 112.
inline constexpr PassThroughLayout kPassThroughLayout32{
    4, 44, 0, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 28, 48, 80, 80, 112};
// 64-bit Windows: the pointer at 24 pushes the header to 56 bytes; the block
// structure puts its ULONG filler at 56, the sense area at 60 and the data
// area at 92, and rounds the whole to 8 bytes.
inline constexpr PassThroughLayout kPassThroughLayout64{
    8, 56, 0, 2, 3, 4, 5, 6, 7, 8, 12, 16, 24, 32, 36, 60, 92, 96, 128};

inline constexpr const PassThroughLayout& NativePassThroughLayout() {
  return sizeof(void*) == 4 ? kPassThroughLayout32 : kPassThroughLayout64;
}

// ---------------------------------------------------------------------------
// ASPI request blocks (packed, as the ASPI layer expects them).

inline constexpr std::uint8_t SC_HA_INQUIRY = 0x00;
inline constexpr std::uint8_t SC_EXEC_SCSI_CMD = 0x02;
inline constexpr std::uint8_t SC_ABORT_SRB = 0x03;
inline constexpr std::uint8_t SS_PENDING = 0x00;
inline constexpr std::uint8_t SS_COMP = 0x01;
inline constexpr std::uint8_t SS_ABORTED = 0x02;     // the aborted block's status
inline constexpr std::uint8_t SS_ABORT_FAIL = 0x03;  // the abort request's: not aborted
inline constexpr std::uint8_t SS_ERR = 0x04;
inline constexpr std::uint8_t SS_NO_ADAPTERS = 0xE4;  // the value the checks compare with
inline constexpr std::uint8_t SRB_DIR_IN = 0x08;
inline constexpr std::uint8_t SRB_DIR_OUT = 0x10;
inline constexpr std::uint8_t SRB_EVENT_NOTIFY = 0x40;

#pragma pack(push, 1)
struct SRB_ExecSCSICmd {
  std::uint8_t SRB_Cmd;
  std::uint8_t SRB_Status;
  std::uint8_t SRB_HaId;
  std::uint8_t SRB_Flags;
  std::uint32_t SRB_Hdr_Rsvd;
  std::uint8_t SRB_Target;
  std::uint8_t SRB_Lun;
  std::uint16_t SRB_Rsvd1;
  std::uint32_t SRB_BufLen;
  std::uint8_t* SRB_BufPointer;
  std::uint8_t SRB_SenseLen;
  std::uint8_t SRB_CDBLen;
  std::uint8_t SRB_HaStat;
  std::uint8_t SRB_TargStat;
  void* SRB_PostProc;  // the event handle in event mode
  std::uint8_t SRB_Rsvd2[20];
  std::uint8_t CDBByte[16];
  std::uint8_t SenseArea[20];
};

struct SRB_HAInquiry {
  std::uint8_t SRB_Cmd;
  std::uint8_t SRB_Status;
  std::uint8_t SRB_HaId;
  std::uint8_t SRB_Flags;
  std::uint32_t SRB_Hdr_Rsvd;
  std::uint8_t HA_Count;
  std::uint8_t HA_SCSI_ID;
  std::uint8_t HA_ManagerId[16];
  std::uint8_t HA_Identifier[16];
  std::uint8_t HA_Unique[16];
  std::uint16_t HA_Rsvd1;
};
// Asks the layer to abort a command it has not finished; the layer then
// completes that block with SS_ABORTED and lets it go.
struct SRB_Abort {
  std::uint8_t SRB_Cmd;
  std::uint8_t SRB_Status;
  std::uint8_t SRB_HaId;
  std::uint8_t SRB_Flags;
  std::uint32_t SRB_Hdr_Rsvd;
  void* SRB_ToAbort;
};
#pragma pack(pop)

// On 32-bit Windows the request block is the 84-byte area with its sense at 64.
static_assert(sizeof(void*) != 4 || sizeof(SRB_ExecSCSICmd) == 84);
static_assert(sizeof(void*) != 4 || offsetof(SRB_ExecSCSICmd, SenseArea) == 64);
static_assert(sizeof(void*) != 8 || sizeof(SRB_ExecSCSICmd) == 92);
static_assert(sizeof(SRB_HAInquiry) == 60);
static_assert(offsetof(SRB_Abort, SRB_ToAbort) == 8);
static_assert(sizeof(void*) != 4 || sizeof(SRB_Abort) == 12);
static_assert(sizeof(void*) != 8 || sizeof(SRB_Abort) == 16);

inline constexpr std::size_t kAspiRequestAreaSize = sizeof(SRB_ExecSCSICmd);

}  // namespace odf
