// Moving a loaded image into the drive, and the two mode switches around it.
#include <algorithm>
#include <cstring>

#include "core/context.h"
#include "core/families.h"
#include "core/messages.h"
#include "scsi/cdb.h"
#include "scsi/commands.h"
#include "scsi/sense.h"
#include "scsi/timer.h"
#include "scsi/transport.h"
#include "update/interruption.h"
#include "update/update.h"

namespace odf {

namespace {

constexpr std::uint32_t kModeBlockSize = 256;
constexpr std::uint32_t kNormalBlockSize = 0x8000;

// The time-outs around the mode switches: the kernel-mode switch, what a
// successful one leaves for the commands after it, and what the normal-mode
// switch leaves (the general edition's ready check goes with it).
constexpr std::int32_t kKernelSwitchTimeoutMs = 5000;
constexpr std::int32_t kInKernelModeTimeoutMs = 1000;
constexpr std::int32_t kAfterNormalSwitchTimeoutMs = 5000;

constexpr std::size_t kModelWidth = 16;  // the model strings carry no terminator in the block

struct KernelBlock {
  std::uint32_t offset;
  std::uint32_t length;
};

// Family four sends all three; family one only the first two.
constexpr KernelBlock kKernelBlocks[] = {
    {0x0000, 0x8000},
    {0x8000, 0x8000},
    {0x10000, 0x1200},
};

// "\rProcessing 100%% --> ﾌｧｰﾑｳｪｱ転送完了\r\n現在ﾄﾞﾗｲﾌﾞ内部でｱｯﾌﾟﾃﾞｰﾄ中です..."
constexpr const char* kTransferCompleteJapanese =
    "\rProcessing 100%% --> \xCC\xA7\xB0\xD1\xB3\xAA\xB1\x93]\x91\x97\x8A\xAE\x97\xB9\r\n"
    "\x8C\xBB\x8D\xDD\xC4\xDE\xD7\xB2\xCC\xDE\x93\xE0\x95\x94\x82\xC5\xB1\xAF\xCC\xDF\xC3\xDE"
    "\xB0\xC4\x92\x86\x82\xC5\x82\xB7...";
constexpr const char* kTransferCompleteEnglish =
    "\rProcessing 100%% --> Data transfer complete\r\nNow internal re-flashing...";
// "\rProcessing 100%% --> 完了"
constexpr const char* kCompleteJapanese = "\rProcessing 100%% --> \x8A\xAE\x97\xB9";
constexpr const char* kCompleteEnglish = "\rProcessing 100%% --> Complete";

bool Japanese(const Context& ctx) { return ctx.run.oemCodePage == 932; }

// The bridge sits on the target's own host adapter (ASPI route only).
bool TargetBehindAspiBridge(const Context& ctx) {
  const std::int32_t target = ctx.run.currentTarget;
  const PortTraits traits = RouteTraits(ctx);
  if (traits.route != TransportRoute::Aspi || target < 0 || target >= kTargetSlots) return false;
  return traits.bridgeIndex == ctx.targets.entries[static_cast<std::size_t>(target)].hostAdapter;
}

std::uint8_t* ModeBlock(Context& ctx) { return ctx.host.parameterBuffer.data; }

void PrintTransferComplete(Context& ctx) {
  PrintFormatted(ctx, Japanese(ctx) ? kTransferCompleteJapanese : kTransferCompleteEnglish);
}

// A switch that failed may still have been taken (a drive restarting into
// its kernel, a command that timed out there), unless it never reached the
// drive or the drive turned it down as an illegal request.
bool SwitchSurelyRefused(const ScsiPort& port, CommandResult result) {
  if (result == CommandResult::Done) return false;
  if (result == CommandResult::NotSent || result == CommandResult::NoVolume) return true;
  return SenseKeyOf(PackSense(port.LastSense())) == kSenseKeyIllegalRequest;
}

}  // namespace

bool AspiWithIntelDriver(const Context& ctx) {
  const PortTraits traits = RouteTraits(ctx);
  return traits.intelDriverKind != kNoIntelDriver && traits.route == TransportRoute::Aspi;
}

std::int32_t NormalModeTimeoutMs(const Context& ctx, std::int32_t familyCode) {
  const NormalSwitchTimeouts& timeouts = TraitsOf(familyCode).normalSwitch;
  const PortTraits traits = RouteTraits(ctx);
  if (TargetBehindAspiBridge(ctx)) return timeouts.aspiBridgeMs;
  if (traits.route == TransportRoute::Aspi) return timeouts.aspiMs;
  if (traits.bridgeIndex == ctx.run.currentTarget) return timeouts.passThroughBridgeMs;
  return timeouts.plainMs;
}

void BuildModeBlock(Context& ctx, std::uint8_t* block, std::int32_t familyCode, bool normalMode) {
  std::memset(block, 0, kModeBlockSize);
  const FamilyTraits& family = TraitsOf(familyCode);
  const char* model = normalMode ? family.normalModel : family.kernelModel;
  if (model != nullptr) std::memcpy(block, model, kModelWidth);
  if (family.modeBlockCarriesChecksum) {
    const std::uint32_t checksum = ctx.matchedDefinition.checksum;
    for (int i = 0; i < 4; ++i) block[16 + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
  }
}

int EnterKernelMode(Context& ctx, std::int32_t familyCode) {
  std::uint8_t* block = ModeBlock(ctx);
  BuildModeBlock(ctx, block, familyCode, false);
  ctx.run.carriedTimeoutMs = kKernelSwitchTimeoutMs;
  ScsiPort& port = PortOf(ctx);
  port.ForgetSense();  // the refusal below is judged by this command's own sense
  const CommandResult result = WriteBuffer(port, CurrentTarget(ctx), kKernelSwitchTimeoutMs,
                                           kModeKernelSwitch, kBufferModeSwitch, 0, kModeBlockSize, block);
  if (!SwitchSurelyRefused(port, result)) NoteKernelSwitch(ctx);
  if (result != CommandResult::Done) {
    ShowMessage(ctx, MessageCode::kEnterKernelModeFailed, ConsoleOnly);
    return StatusCode(result);
  }
  ctx.run.carriedTimeoutMs = kInKernelModeTimeoutMs;
  if (!AspiWithIntelDriver(ctx)) WaitMs(ctx, kAfterKernelSwitchMs);
  return 0;
}

int EnterNormalMode(Context& ctx, std::int32_t familyCode) {
  std::uint8_t* block = ModeBlock(ctx);
  BuildModeBlock(ctx, block, familyCode, true);
  ScsiPort& port = PortOf(ctx);
  const std::int32_t timeoutMs = NormalModeTimeoutMs(ctx, familyCode);
  // Only this command's own sense may excuse its failure; without this, the
  // "no medium" left behind by the ready check would pass any failure,
  // including one that returned no sense at all.
  port.ForgetSense();
  const CommandResult result = WriteBuffer(port, CurrentTarget(ctx), timeoutMs, kModeNormalSwitch,
                                           kBufferModeSwitch, 0, kModeBlockSize, block);
  ctx.run.carriedTimeoutMs = kAfterNormalSwitchTimeoutMs;
  if (result != CommandResult::Done) {
    // The pass-through route leaves a SCSI error's sense unsummarised.
    if (result == CommandResult::ScsiError) port.SummarizeSense();
    const PortTraits traits = port.Traits();
    const bool generalEditionPassThrough =
        ctx.image.editionCode == kGeneralScsiEdition && traits.route == TransportRoute::PassThrough;
    const bool restartedBehindBridge = traits.bridgeIndex != -1 && SenseShowsRestart(port.SenseSummary());
    // A drive that restarts as it takes the switch may leave the host without
    // any answer at all (some bridges always do). That is the switch taking
    // effect, not a failure to report; the read-back after the settle decides.
    const bool restartedUnderCommand = port.FailedWithoutStatus();
    if (!generalEditionPassThrough && !restartedBehindBridge && !restartedUnderCommand) {
      ShowMessage(ctx, MessageCode::kEnterNormalModeFailed, ConsoleOnly);
      return StatusCode(result);
    }
  }
  if (ctx.image.editionCode == kGeneralScsiEdition) {
    WaitMs(ctx, kGeneralEditionRestartMs);
    TestUnitReady(port, CurrentTarget(ctx), kAfterNormalSwitchTimeoutMs);
    RequestSense(port, CurrentTarget(ctx));
  } else {
    WaitMs(ctx, kRestartMs);
  }
  return 0;
}

int WriteKernelPart(Context& ctx, int blockCount) {
  std::uint8_t* image = ctx.host.imageBuffer.data;
  const int count = std::min(blockCount, static_cast<int>(std::size(kKernelBlocks)));
  // The blocks lie at fixed offsets: a kernel file that ends before the last
  // of them would have the rest taken from whatever the buffer held (the
  // normal image), and that flashed as kernel. Refuse before sending any.
  if (count > 0) {
    const KernelBlock& last = kKernelBlocks[count - 1];
    if (image == nullptr || last.offset + last.length > ctx.image.kernelSize) return -1;
  }
  for (int i = 0; i < count; ++i) {
    const KernelBlock& b = kKernelBlocks[i];
    ctx.run.carriedTimeoutMs = kImageBlockTimeoutMs;
    const CommandResult result =
        WriteKernelBlock(PortOf(ctx), CurrentTarget(ctx), b.offset, b.length, image + b.offset);
    if (result != CommandResult::Done) return StatusCode(result);
  }
  return 0;
}

int TransferNormalPart(Context& ctx, TransferVariant variant) {
  const std::uint32_t imageSize = ctx.image.imageSize;
  std::uint8_t* image = ctx.host.imageBuffer.data;
  // Nothing to send, or more than the buffer holds: refuse before touching the drive.
  if (imageSize == 0 || image == nullptr || imageSize > ctx.host.imageBuffer.size) return -1;

  const bool familyOne = variant == TransferVariant::FamilyOne;
  if (familyOne) PrintFormatted(ctx, "\n");

  std::uint32_t offset = 0;
  std::uint32_t previousLength = kNormalBlockSize;
  while (offset < imageSize) {
    if (familyOne && AspiWithIntelDriver(ctx) && offset == imageSize - previousLength) {
      // This driver gives no sign of life during the last block, so say so before it.
      PrintFormatted(ctx, "\rProcessing 100%%");
      ShowMessage(ctx, MessageCode::kRebootingWithNewFirmware, ConsoleOnly);
    } else {
      const auto percent = static_cast<std::int32_t>(offset) * 100 / static_cast<std::int32_t>(imageSize);
      PrintFormatted(ctx, "\rProcessing %d%%", percent);
    }
    const std::uint32_t remaining = imageSize - offset;
    const auto length = static_cast<std::uint16_t>(remaining < kNormalBlockSize ? remaining : kNormalBlockSize);
    ctx.run.carriedTimeoutMs = kImageBlockTimeoutMs;
    const CommandResult result =
        WriteNormalBlock(PortOf(ctx), CurrentTarget(ctx), offset, length, image + offset);
    if (result != CommandResult::Done) return StatusCode(result);
    offset += length;
    previousLength = length;
  }

  if (!familyOne) {
    PrintTransferComplete(ctx);
  } else if (!AspiWithIntelDriver(ctx)) {
    if (TraitsOf(ctx.matchedDefinition.familyCode).shortTransferEnd) {
      PrintFormatted(ctx, Japanese(ctx) ? kCompleteJapanese : kCompleteEnglish);
      ShowMessage(ctx, MessageCode::kRebootingWithNewFirmware, ConsoleOnly);
    } else {
      PrintTransferComplete(ctx);
    }
  }
  return 0;
}

}  // namespace odf
