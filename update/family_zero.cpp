// The family-zero update procedure: identify the drive by its firmware area,
// build the image from its HEX file, check both against the definition, send
// the image in update mode, flash it while counting down, and read it back.
#include <algorithm>
#include <cstring>

#include "core/context.h"
#include "core/families.h"
#include "core/drive_fields.h"
#include "core/firmware_area.h"
#include "core/messages.h"
#include "image/hex_text.h"
#include "image/image.h"
#include "scsi/commands.h"
#include "scsi/timer.h"
#include "scsi/transport.h"
#include "update/family_zero.h"
#include "update/interruption.h"
#include "update/update.h"

namespace odf {

namespace {

constexpr int kAspiCountdownSeconds = 30;
constexpr DWORD kCountdownStepMs = 1000;

std::uint16_t VersionNumber(const std::uint8_t* versionText) {
  return std::memcmp(versionText, "0000", 4) == 0 ? 0 : RevisionNumber(versionText);
}

void SetNewRevisionNumber(Context& ctx) {
  ctx.run.newRevisionNumber = VersionNumber(ctx.matchedDefinition.versionText);
}

// ---- identification --------------------------------------------------------

bool IsMaker(const std::uint8_t* bytes) {
  return std::memcmp(bytes, kFirmwareMaker, kFirmwareMakerWidth) == 0;
}

void TakeIdentity(Context& ctx, const std::uint8_t* model) {
  std::memcpy(ctx.firmware.driveModelCode.data(), model, kFirmwareCodeWidth);
  std::memcpy(ctx.firmware.driveCpuType.data(), model + kFirmwareCodeWidth, kFirmwareCodeWidth);
}

bool IsBinaryIdent(const std::uint8_t* bytes) {
  for (const FirmwareCode* code : {&kIdentA, &kIdentB, &kIdentC}) {
    if (std::memcmp(bytes, code->data(), code->size()) == 0) return true;
  }
  return false;
}

enum class Probe { Found, NotFound, ReadFailed };

// The three probes in order; the first that finds the identity takes it.
// Reads one piece of the firmware area; the procedure carries the read's time-out on.
bool ReadFirmwareArea(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data) {
  ctx.run.carriedTimeoutMs = kVerifyReadTimeoutMs;
  return ReadVerifyBlock(PortOf(ctx), CurrentTarget(ctx), offset, length, data) == CommandResult::Done;
}

Probe ProbeFirmwareArea(Context& ctx) {
  std::uint8_t* data = ctx.host.dataBuffer.data;
  if (!ReadFirmwareArea(ctx, kTextProbeOffset, kTextProbeLength, data)) return Probe::ReadFailed;
  if (IsMaker(data)) {
    TakeIdentity(ctx, data);
    return Probe::Found;
  }
  if (IsMaker(data + kFirmwareCodeWidth)) {
    TakeIdentity(ctx, data + kFirmwareCodeWidth);
    return Probe::Found;
  }
  if (!ReadFirmwareArea(ctx, kLateTextProbeOffset, kTextProbeLength, data)) return Probe::ReadFailed;
  if (IsMaker(data + kFirmwareCodeWidth)) {
    TakeIdentity(ctx, data + kFirmwareCodeWidth);
    return Probe::Found;
  }
  if (!ReadFirmwareArea(ctx, kBinaryProbeOffset, kBinaryProbeLength, data)) return Probe::ReadFailed;
  if (IsBinaryIdent(data)) {
    TakeIdentity(ctx, data);
    return Probe::Found;
  }
  return Probe::NotFound;
}

// ---- the checks -----------------------------------------------------------

// 16 bytes of a definition's fixed-width text field: its bytes, then blanks
// past its width, as its own padding would continue. The CPU type field holds
// 8 bytes but some comparisons take 12 or 16 of it.
FirmwareCode Widened(const std::uint8_t* field, std::size_t width) {
  FirmwareCode out;
  out.fill(' ');
  std::memcpy(out.data(), field, std::min(width, out.size()));
  return out;
}

struct Expected {
  FirmwareCode bytes;
  std::size_t width;
};

struct ImageField {
  std::uint32_t offset;
  Expected expected;
};

Expected DriveModelExpected(const UpdateDefinition& d) {
  if (IsBinaryFamily(d.familyCode)) return {BinaryModelFor(d.familyCode), 16};
  return {Widened(d.modelCode, sizeof d.modelCode), 16};
}

Expected DriveCpuExpected(const UpdateDefinition& d) {
  if (IsBinaryFamily(d.familyCode)) return {kCpuIdent, 16};
  const FirmwareCode cpu = Widened(d.cpuType, sizeof d.cpuType);
  if (d.familyCode == kFamilyLateText) return {cpu, 12};
  const auto* zero = static_cast<const std::uint8_t*>(std::memchr(d.cpuType, 0, sizeof d.cpuType));
  return {cpu, zero != nullptr ? static_cast<std::size_t>(zero - d.cpuType) : sizeof d.cpuType};
}

ImageField ImageModelExpected(const UpdateDefinition& d) {
  const ImageIdentityPlaces places = ImagePlacesFor(d.familyCode);
  const FirmwareCode model =
      IsBinaryFamily(d.familyCode) ? BinaryModelFor(d.familyCode) : Widened(d.modelCode, sizeof d.modelCode);
  return {places.modelOffset, {model, places.width}};
}

ImageField ImageCpuExpected(const UpdateDefinition& d) {
  const ImageIdentityPlaces places = ImagePlacesFor(d.familyCode);
  const FirmwareCode cpu = IsBinaryFamily(d.familyCode) ? kCpuIdent : Widened(d.cpuType, sizeof d.cpuType);
  return {places.cpuOffset, {cpu, places.width}};
}

bool Same(const FirmwareCode& actual, const Expected& e) {
  return std::memcmp(actual.data(), e.bytes.data(), e.width) == 0;
}

// A field that lies past the image's end is not part of it, whatever an
// earlier load left in the buffer there.
bool ImageCarries(const Context& ctx, const ImageField& f) {
  const std::size_t end = std::size_t{f.offset} + f.expected.width;
  if (end > ctx.matchedDefinition.imageSize || end > ctx.host.imageBuffer.size) return false;
  return std::memcmp(ctx.host.imageBuffer.data + f.offset, f.expected.bytes.data(), f.expected.width) == 0;
}

bool IdentityMatches(const Context& ctx) {
  const InquiryView inquiry(ctx.inquiry);
  return inquiry.Vendor().Equals(ctx.matchedDefinition.vendor) &&
         inquiry.Product().Equals(ctx.matchedDefinition.product);
}

bool VersionIsNewer(const Context& ctx) {
  return VersionNumber(ctx.matchedDefinition.versionText) > ctx.revision.revisionNumber;
}

bool DriveModelMatches(const Context& ctx) {
  return Same(ctx.firmware.driveModelCode, DriveModelExpected(ctx.matchedDefinition));
}

bool DriveCpuMatches(const Context& ctx) {
  return Same(ctx.firmware.driveCpuType, DriveCpuExpected(ctx.matchedDefinition));
}

bool ImageModelMatches(const Context& ctx) { return ImageCarries(ctx, ImageModelExpected(ctx.matchedDefinition)); }

bool ImageCpuMatches(const Context& ctx) { return ImageCarries(ctx, ImageCpuExpected(ctx.matchedDefinition)); }

// A failed check shows its message and returns its value, unless its
// override option is set: then message 2, and the checks go on.
struct Check {
  bool (*passes)(const Context&);
  MessageCode message;
  int value;
  bool RunState::*override;
};

constexpr Check kChecks[] = {
    {IdentityMatches, MessageCode::kCurrentFirmwareUnsupported, -1, &RunState::expertOverride},
    {VersionIsNewer, MessageCode::kFirmwareAlreadyLatestVersion, 1, &RunState::forceUpdate},
    {DriveModelMatches, MessageCode::kModelCodeMismatch, -1, &RunState::expertOverride},
    {DriveCpuMatches, MessageCode::kCpuTypeMismatch, -1, &RunState::expertOverride},
    {ImageModelMatches, MessageCode::kModelCodeMismatch, -1, &RunState::expertOverride},
    {ImageCpuMatches, MessageCode::kIllegalFirmwareFile, -1, &RunState::expertOverride},
};

int RunChecks(Context& ctx) {
  for (const Check& check : kChecks) {
    if (check.passes(ctx)) continue;
    ShowMessage(ctx, check.message, ConsoleOnly);
    if (ctx.run.*check.override == 0) return check.value;
    ShowMessage(ctx, MessageCode::kForcedUpdateContinues, ConsoleOnly);
  }
  return 0;
}

// ---- the transfer -----------------------------------------------------------

const char* TransferMarker(const Context& ctx) {
  const PortTraits traits = RouteTraits(ctx);
  if (traits.intelDriverKind == kIntelAtaDriver) return kMarkerWin2;
  if (ctx.revision.g6PatchNeeded) return kMarkerWin;
  return traits.route == TransportRoute::PassThrough ? kMarkerWin : kMarkerWin2;
}

// Offset of the last full block: the block at 0 always goes, then one for
// every further offset below imageSize - 4 KiB.
std::uint64_t LastFullBlock(std::uint32_t imageSize) {
  const std::uint64_t limit = imageSize - kClosingImagePart;
  return limit == 0 ? 0 : (limit - 1) / kUpdateBlockSize * kUpdateBlockSize;
}

int SenseReport(Context& ctx) {
  RequestSense(PortOf(ctx), CurrentTarget(ctx));
  const SenseBytes& sense = PortOf(ctx).LastSense();
  PrintFormatted(ctx, "\nSense Code : %02x-%02x-%02x", unsigned{sense[2]}, unsigned{sense[12]},
                 unsigned{sense[13]});
  return -1;
}

bool UpdateModeEntered(Context& ctx) {
  ctx.run.carriedTimeoutMs = kUpdateModeTimeoutMs;
  return EnterUpdateMode(PortOf(ctx), CurrentTarget(ctx)) == CommandResult::Done;
}

// The blocks go at the time-out the switch to update mode left.
bool UpdateBlockWritten(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data) {
  return WriteUpdateBlock(PortOf(ctx), CurrentTarget(ctx), ctx.run.carriedTimeoutMs, offset, length, data) ==
         CommandResult::Done;
}

// Families up to 7 have their firmware area read back before and after the
// flash; the others are trusted to the flash command's own answer.
bool ReadBack(const Context& ctx) { return TraitsOf(ctx.matchedDefinition.familyCode).zero.readBack; }

// What the read-back compares: the verified area, or the whole image when
// the image is smaller.
std::uint32_t VerifiedLength(const Context& ctx) {
  return std::min(ctx.matchedDefinition.imageSize, kVerifyLength);
}

bool HexImageLoaded(Context& ctx) {
  if (LoadHexImage(ctx) == 0) return true;
  ShowMessage(ctx, MessageCode::kHexFileLoadFailed, ConsoleOnly);
  return false;
}

int FlashTimeoutMs(const Context& ctx) {
  const FamilyZeroTraits& zero = TraitsOf(ctx.matchedDefinition.familyCode).zero;
  return RouteTraits(ctx).route == TransportRoute::Aspi ? zero.aspiFlashTimeoutMs : zero.flashTimeoutMs;
}

int ElapsedSeconds(Context& ctx) {
  ReadTimer(ctx);
  return static_cast<int>((ctx.timer.latest - ctx.timer.start) / 1000);
}

// A flash start that took longer than the count (a polled one the bridge
// waited out) leaves no time, not a negative one.
void PrintRemaining(Context& ctx, int seconds) {
  PrintFormatted(ctx, "\rRemaining time is %02dsec", std::max(seconds, 0));
}

int FlashOverAspi(Context& ctx) {
  ScsiPort& port = PortOf(ctx);
  ctx.run.carriedTimeoutMs = FlashTimeoutMs(ctx);
  StartTimer(ctx);
  // Left running: the countdown below watches it.
  const CommandResult submitted = StartFlash(port, CurrentTarget(ctx), ctx.run.carriedTimeoutMs, true);
  PrintText(ctx, "\n");
  bool finished = false;
  bool failed = false;
  int remaining = 0;
  do {
    if (!finished) {
      const PendingState poll = port.PollPending();
      finished = poll != PendingState::Running;
      failed = poll == PendingState::Failed;
    }
    ctx.platform.Sleep(kCountdownStepMs);
    remaining = kAspiCountdownSeconds - ElapsedSeconds(ctx);
    PrintRemaining(ctx, remaining);
  } while (remaining > 0);
  if (!finished) failed = port.PollPending() == PendingState::Failed;
  StopTimer(ctx);
  // The command was only submitted when it returned; a drive that then
  // failed the flash has not taken the image, whatever the submission said.
  if (submitted == CommandResult::Done && failed) return StatusCode(CommandResult::Failed);
  // Nor has one still pending after the countdown, for the families that
  // are not read back: nothing else would tell a drive still in update mode
  // from an updated one. (Over pass-through the same command has those 30 s
  // before it times out. The others are judged by their read-back. A command
  // sent in polled mode was waited for in full: none is left pending.)
  if (submitted == CommandResult::Done && !ReadBack(ctx) && port.CommandPending()) {
    return StatusCode(CommandResult::WaitRanOut);
  }
  return StatusCode(submitted);
}

int FlashOverPassThrough(Context& ctx) {
  ctx.run.carriedTimeoutMs = FlashTimeoutMs(ctx);
  StartTimer(ctx);
  const CommandResult result = StartFlash(PortOf(ctx), CurrentTarget(ctx), ctx.run.carriedTimeoutMs, false);
  if (result != CommandResult::Done) {
    StopTimer(ctx);
    return StatusCode(result);
  }
  const int limit = ctx.run.carriedTimeoutMs / 1000;
  PrintText(ctx, "\n");
  int elapsed = 0;
  do {
    ctx.platform.Sleep(kCountdownStepMs);
    elapsed = ElapsedSeconds(ctx);
    PrintRemaining(ctx, limit - elapsed);
  } while (elapsed < limit);
  StopTimer(ctx);
  return 0;
}

// With several drives and "update all" declined, each drive is asked for
// before anything is sent to it, as in the other families; with one drive
// the run goes on unasked, as it always has. The question names the
// definition's version: a HEX image has no header to take it from.
bool UserDeclinedThisDrive(Context& ctx) {
  if (ctx.run.updateAll || ctx.targets.targetCount < 2) return false;
  std::memcpy(ctx.image.imageVersionText.data(), ctx.matchedDefinition.versionText, 4);
  ctx.image.imageVersionText[4] = '\0';
  return ShowMessage(ctx, MessageCode::kAskUpdateDrive, AskYesNo) == IDNO;
}

}  // namespace

// ---- the steps ----------------------------------------------------------------

std::uint16_t VersionNumberOf(const UpdateDefinition& definition) { return VersionNumber(definition.versionText); }

int SelectDefinitionZero(Context& ctx) {
  SetDrivePolicy(ctx);  // before anything is sent to this drive
  const CommandResult inquiry = Inquiry(PortOf(ctx), CurrentTarget(ctx), ctx.inquiry.data());
  int result = StatusCode(inquiry);
  if (inquiry != CommandResult::Done) {
    ShowMessage(ctx, MessageCode::kInquiryFailed, NoticeStop);
  } else if (IdentifyFirmware(ctx) != 0) {
    ShowMessage(ctx, MessageCode::kDriveInfoFailed, NoticeStop);
    result = -1;
  } else {
    const int index = MatchDefinition(ctx, ctx.inquiry.data());
    if (index < 0 || index >= ctx.definitions.definitionCount) {
      // Going on would write the previous drive's image to this one.
      ShowMessage(ctx, MessageCode::kCurrentFirmwareUnsupported, NoticeStop);
      result = -1;
    } else {
      CopyMatchedDefinition(ctx, index);
      SetDrivePolicy(ctx);
    }
  }
  SetNewRevisionNumber(ctx);
  return result;
}

int IdentifyFirmware(Context& ctx) {
  // The error line shows this identification's sense only.
  PortOf(ctx).ForgetSense();
  const Probe probe = ProbeFirmwareArea(ctx);
  if (probe == Probe::Found) return 0;
  if (probe == Probe::NotFound) {
    std::memcpy(ctx.firmware.driveModelCode.data(), kNotRecognized, kFirmwareCodeWidth);
    std::memcpy(ctx.firmware.driveCpuType.data(), kNotRecognized, kFirmwareCodeWidth);
  }
  PortOf(ctx).SummarizeSense();
  PrintFormatted(ctx, "\r\nError Code : %06lx", static_cast<unsigned long>(PortOf(ctx).SenseSummary()));
  return -1;
}

int CheckFamilyZeroImage(Context& ctx) {
  const int result = RunChecks(ctx);
  SetNewRevisionNumber(ctx);
  return result;
}

int CheckTransferSize(Context& ctx) {
  const std::uint32_t imageSize = ctx.matchedDefinition.imageSize;
  if (imageSize < kClosingImagePart) {
    PrintFormatted(ctx, "\r\nAn image of %lu bytes is too small to be sent (4096 at least).",
                   static_cast<unsigned long>(imageSize));
    return -1;
  }
  const std::uint64_t end = std::max<std::uint64_t>(
      LastFullBlock(imageSize) + kUpdateBlockSize,
      std::uint64_t{imageSize} + kClosingBlockSize - kClosingImagePart);
  if (ctx.host.imageBuffer.data == nullptr || end > ctx.host.imageBuffer.size) {
    PrintFormatted(ctx, "\r\nSending an image of %lx bytes needs %lx bytes of buffer, more than it holds.",
                   static_cast<unsigned long>(imageSize), static_cast<unsigned long>(end));
    return -1;
  }
  return 0;
}

int WriteUpdateImage(Context& ctx) {
  if (CheckTransferSize(ctx) != 0) return -1;
  if (!UpdateModeEntered(ctx)) return SenseReport(ctx);
  std::uint8_t* image = ctx.host.imageBuffer.data;
  const std::uint32_t imageSize = ctx.matchedDefinition.imageSize;
  std::memcpy(image + imageSize, TransferMarker(ctx), kMarkerWidth);
  const std::uint64_t last = LastFullBlock(imageSize);
  for (std::uint64_t offset = 0; offset <= last; offset += kUpdateBlockSize) {
    const auto at = static_cast<std::uint32_t>(offset);
    if (!UpdateBlockWritten(ctx, at, kUpdateBlockSize, image + at)) return SenseReport(ctx);
  }
  const std::uint32_t closing = imageSize - kClosingImagePart;
  if (!UpdateBlockWritten(ctx, closing, kClosingBlockSize, image + closing)) return SenseReport(ctx);
  return 0;
}

int StartFlashAndWait(Context& ctx) {
  return RouteTraits(ctx).route == TransportRoute::Aspi ? FlashOverAspi(ctx) : FlashOverPassThrough(ctx);
}

VerifyOutcome VerifyImage(Context& ctx, std::uint32_t length) {
  std::uint8_t* readBack = ctx.host.dataBuffer.data;
  const std::uint8_t* image = ctx.host.imageBuffer.data;
  // Whole blocks are read, so the last one may reach past `length`.
  const std::uint64_t span = (std::uint64_t{length} + kUpdateBlockSize - 1) / kUpdateBlockSize * kUpdateBlockSize;
  if (readBack == nullptr || image == nullptr || span > ctx.host.dataBuffer.size ||
      span > ctx.host.imageBuffer.size) {
    return VerifyOutcome::NoRoom;
  }
  for (std::uint32_t offset = 0; offset < length; offset += kUpdateBlockSize) {
    if (!ReadFirmwareArea(ctx, offset, kUpdateBlockSize, readBack + offset)) return VerifyOutcome::ReadFailed;
  }
  // Only the first `length` bytes count: past a smaller image the drive holds
  // the transfer marker and whatever was there before.
  auto same = [&](std::uint32_t from, std::uint32_t to) {
    to = std::min(to, length);
    return from >= to || std::memcmp(readBack + from, image + from, to - from) == 0;
  };
  if (!same(0, kVerifyHeadEnd)) return VerifyOutcome::HeadDiffers;
  if (!same(kVerifyRestBegin, kUpdateBlockSize)) return VerifyOutcome::FirstBlockDiffers;
  for (std::uint32_t offset = kUpdateBlockSize; offset < length; offset += kUpdateBlockSize) {
    if (!same(offset, offset + kUpdateBlockSize)) return VerifyOutcome::LaterBlockDiffers;
  }
  return VerifyOutcome::Same;
}

// ---- the procedure ----------------------------------------------------------

int FamilyZeroUpdate(Context& ctx) {
  // A drive not identified, or one no definition serves, is left alone.
  if (SelectDefinitionZero(ctx) != 0) return 1;
  if (!HexImageLoaded(ctx)) return -1;
  if (ReadRevision(ctx, RevisionPhase::Current) != 0) return -1;
  if (ctx.revision.g6PatchNeeded && LoadHexPatch(ctx) != 0) {
    ShowMessage(ctx, MessageCode::kPatchFileLoadFailed, ConsoleOnly);
    return -1;
  }
  if (const int checked = CheckFamilyZeroImage(ctx); checked != 0) return checked;

  const bool verified = ReadBack(ctx);
  if (verified && VerifyImage(ctx, VerifiedLength(ctx)) == VerifyOutcome::Same) {
    ShowMessage(ctx, MessageCode::kFirmwareAlreadyLatestVersion,
                ctx.run.updateAll ? ConsoleOnly : NoticeInfo);
    return 1;
  }
  // The read-back above used the data buffer, which the loader stages in.
  if (!HexImageLoaded(ctx)) return -1;
  // An image that cannot be sent whole is refused before the drive leaves
  // its normal operation.
  if (CheckTransferSize(ctx) != 0) {
    ShowMessage(ctx, MessageCode::kTransferFailed, ConsoleOnly);
    return -1;
  }
  if (UserDeclinedThisDrive(ctx)) return IDNO;  // the refusal is the result: not updated
  ShowMessage(ctx, MessageCode::kUpdatingKeepPowerOn, ConsoleOnly);
  // From the switch on, the drive may sit in update mode, which it leaves
  // only by a restart: a switch that failed may have been taken before the
  // drive failed the command, a flash that failed leaves it there, and a
  // read-back that differs cannot tell it from a drive that took a broken
  // flash. None of that may end quietly, so each ends the run; nor may an
  // interruption end it before the drive is back.
  InterruptionHold hold(ctx);
  if (!UpdateModeEntered(ctx)) {
    ShowMessage(ctx, MessageCode::kEnterUpdateModeFailed, ConsoleOnly);
    return -1;
  }
  ctx.run.carriedTimeoutMs = kStopUnitTimeoutMs;
  if (StopUnit(PortOf(ctx), CurrentTarget(ctx)) != CommandResult::Done) PortOf(ctx).SummarizeSense();
  if (WriteUpdateImage(ctx) != 0) {
    ShowMessage(ctx, MessageCode::kTransferFailed, ConsoleOnly);
    return -1;
  }
  if (StartFlashAndWait(ctx) != 0) {
    ShowMessage(ctx, MessageCode::kFirmwareUpdateFailed, ConsoleOnly);
    return -1;
  }
  WaitMs(ctx, kAfterFlashMs);
  if (verified && VerifyImage(ctx, VerifiedLength(ctx)) != VerifyOutcome::Same) {
    ShowMessage(ctx, MessageCode::kVerifyFailed, ConsoleOnly);
    return -1;
  }
  if (ReadRevision(ctx, RevisionPhase::New) != 0) return -1;
  hold.End();
  ShowMessage(ctx, MessageCode::kUpdateSucceeded, ConsoleOnly);
  return 0;
}

}  // namespace odf
