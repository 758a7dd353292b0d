#include "core/families.h"

namespace odf {

namespace {

constexpr std::int32_t kProcedureMask = 0xF000;
constexpr std::int32_t kProcedureZero = 0x0000;
constexpr std::int32_t kProcedureOne = 0x1000;
constexpr std::int32_t kProcedureFour = 0x4000;
constexpr std::int32_t kWriterGroupMask = 0xFF00;
constexpr std::int32_t kWriterGroup = 0x1000;
constexpr std::int32_t kCrossHardwareMask = 0xFFF0;
constexpr std::int32_t kCrossHardwareGroup = 0x1040;

constexpr NormalSwitchTimeouts kDefaultSwitch{5000, 5000, 10000, 5000};
constexpr NormalSwitchTimeouts kThirtySeconds{30000, 30000, 30000, 30000};
constexpr NormalSwitchTimeouts kOneMinute{60000, 60000, 60000, 60000};
constexpr NormalSwitchTimeouts kOneMinuteLongerBehindAspiBridge{60000, 60000, 80000, 60000};

// Family zero: families up to 7 are read back; the binary families (9 and
// 11) flash faster; family 9 below 1.08 cannot be written from Windows 98/Me.
constexpr FamilyZeroTraits kTextZero{true, 30000, 0, 0};
constexpr FamilyZeroTraits kLateZero{false, 30000, 0, 0};
constexpr FamilyZeroTraits kBinaryZero{false, 10000, 10000, 0};
constexpr FamilyZeroTraits kBinaryZeroNotOnWin9x{false, 10000, 10000, 0x108};

constexpr FamilyTraits Row(std::int32_t first, std::int32_t last) {
  return FamilyTraits{first, last, nullptr, nullptr, kDefaultSwitch, false, false, true, false, false,
                      false, 0, kLateZero};
}

constexpr FamilyTraits Models(FamilyTraits row, const char* kernelModel, const char* normalModel) {
  row.kernelModel = kernelModel;
  row.normalModel = normalModel;
  return row;
}

constexpr FamilyTraits Switch(FamilyTraits row, NormalSwitchTimeouts timeouts) {
  row.normalSwitch = timeouts;
  return row;
}

constexpr FamilyTraits Zero(FamilyTraits row, FamilyZeroTraits zero) {
  row.zero = zero;
  return row;
}

constexpr FamilyTraits ShortEnd(FamilyTraits row) {
  row.shortTransferEnd = true;
  return row;
}

constexpr FamilyTraits QrwT880() {
  FamilyTraits row = ShortEnd(Models(Row(0x1003, 0x1003), "KESTREL QRW-T880", "KESTREL QRW-T880"));
  row.normalSwitch = {5000, 10000, 10000, 20000};
  row.pollsNormalSwitch = true;
  row.answersBeforeRestarted = true;
  row.checksKernelRevision = false;
  return row;
}

constexpr FamilyTraits PowerCycled() {
  FamilyTraits row = Switch(Row(0x1006, 0x1006), kOneMinuteLongerBehindAspiBridge);
  row.powerCycleBelow = 0x23;
  return row;
}

constexpr FamilyTraits QrwM55() {
  FamilyTraits row = Switch(Models(Row(0x1041, 0x1041), "KESTREL  QRW-730", "KESTREL  QRW-M55"), kThirtySeconds);
  row.mayHoldDisc = true;
  return row;
}

constexpr FamilyTraits QbwWithChecksum() {
  FamilyTraits row = Switch(Models(Row(0x4003, 0x4003), "KESTREL  QBW-610", "KESTREL  QBW-610"), kOneMinute);
  row.modeBlockCarriesChecksum = true;
  return row;
}

const FamilyTraits kFamilies[] = {
    Zero(Row(0x0000, 0x0007), kTextZero),
    Zero(Row(0x0009, 0x0009), kBinaryZeroNotOnWin9x),
    Zero(Row(0x000B, 0x000B), kBinaryZero),
    ShortEnd(Row(0x1000, 0x1002)),
    QrwT880(),
    ShortEnd(Models(Row(0x1004, 0x1004), "KESTREL QRD-W940", "KESTREL QRD-W940")),
    Switch(Models(Row(0x1005, 0x1005), "KESTREL  QRW-730", "KESTREL  QRW-730"), kThirtySeconds),
    PowerCycled(),
    Switch(Row(0x1007, 0x100A), kOneMinuteLongerBehindAspiBridge),
    QrwM55(),
    Switch(Row(0x1042, 0x1046), kOneMinuteLongerBehindAspiBridge),
    Switch(Row(0x1048, 0x1048), kOneMinuteLongerBehindAspiBridge),
    Switch(Row(0x4001, 0x4002), kOneMinute),
    QbwWithChecksum(),
};

const FamilyTraits kOtherFamilies = Row(0, 0);

}  // namespace

FamilyProcedure ProcedureFor(std::int32_t familyCode) {
  switch (familyCode & kProcedureMask) {
    case kProcedureZero: return FamilyProcedure::Zero;
    case kProcedureOne: return FamilyProcedure::One;
    case kProcedureFour: return FamilyProcedure::Four;
    default: return FamilyProcedure::None;
  }
}

bool NeedsVendorTag(std::int32_t familyCode) { return (familyCode & kWriterGroupMask) == kWriterGroup; }

bool MayCrossHardwareRevision(std::int32_t familyCode) {
  return (familyCode & kCrossHardwareMask) == kCrossHardwareGroup;
}

const FamilyTraits& TraitsOf(std::int32_t familyCode) {
  for (const FamilyTraits& row : kFamilies) {
    if (familyCode >= row.firstCode && familyCode <= row.lastCode) return row;
  }
  return kOtherFamilies;
}

}  // namespace odf
