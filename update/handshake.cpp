// The unlock handshake: some DVD writers take the switch into their kernel
// only after the host has answered a challenge.
#include <cstdint>

#include "core/context.h"
#include "core/families.h"
#include "core/drive_fields.h"
#include "core/messages.h"
#include "scsi/cdb.h"
#include "scsi/commands.h"
#include "scsi/sense.h"
#include "scsi/timer.h"
#include "scsi/transport.h"
#include "update/update.h"

namespace odf {

namespace {

constexpr std::uint32_t kChallengeSize = 1024;
constexpr std::uint32_t kEchoSize = 256;  // the drive gets the start of its own challenge back
constexpr std::uint32_t kResponseSize = 1024;

// Both areas lie in the data buffer: the challenge at its start, the
// response right after it. The response must not go into the image buffer,
// whose normal image is sent after the handshake without being loaded again.
constexpr std::uint32_t kChallengeOffset = 0;
constexpr std::uint32_t kResponseOffset = kChallengeSize;

// Challenge byte 512 plus this offset picks the byte that is answered; the
// challenge byte at the second index gives the answer's place in the response.
constexpr std::uint16_t kKey0 = 0x02C9;
constexpr std::uint16_t kKey1 = 0x0317;
constexpr std::uint32_t kPickerIndex = 512;

constexpr char kWriterKernelModel[] = "KESTREL DVD-RW  QRW-";  // 20 bytes

int ExchangeFailed(Context& ctx, int step, int status) {
  PrintFormatted(ctx, "\nError occurred at step %d.", step);
  return status;
}

// The challenge and the response start as random bytes, taken alternately
// from one freshly seeded generator.
void FillRandom(Context& ctx, std::uint8_t* challenge, std::uint8_t* response) {
  Platform& os = ctx.platform;
  os.srand(static_cast<unsigned>(os.time()));
  for (std::uint32_t i = 0; i < kChallengeSize; ++i) {
    challenge[i] = static_cast<std::uint8_t>(os.rand());
    response[i] = static_cast<std::uint8_t>(os.rand());
  }
}

// Reads the challenge, echoes its start and sends the response; 0, or the
// failing command's status.
int Exchange(Context& ctx) {
  std::uint8_t* challenge = ctx.host.dataBuffer.data + kChallengeOffset;
  std::uint8_t* response = ctx.host.dataBuffer.data + kResponseOffset;
  ScsiPort& port = PortOf(ctx);
  const CommandTarget target = CurrentTarget(ctx);
  // The exchange goes at the time-out the steps before it left.
  const std::int32_t timeoutMs = ctx.run.carriedTimeoutMs;

  WaitMs(ctx, kHandshakeSettleMs);
  FillRandom(ctx, challenge, response);
  CommandResult result =
      ReadBuffer(port, target, timeoutMs, kHandshakeReadMode, kBufferHandshake, 0, kChallengeSize, challenge);
  if (result != CommandResult::Done) return ExchangeFailed(ctx, 0, StatusCode(result));
  result = WriteBuffer(port, target, timeoutMs, kHandshakeWriteMode, kBufferHandshake, 0, kEchoSize, challenge);
  if (result != CommandResult::Done) return ExchangeFailed(ctx, 1, StatusCode(result));

  // Both indexes stay inside the challenge: a byte plus kKey0 is below 1024,
  // and a byte value places the answer within the response's first 256 bytes.
  const auto picked = static_cast<std::uint16_t>(challenge[kPickerIndex] + kKey0);
  response[challenge[kKey1]] = static_cast<std::uint8_t>(~challenge[picked]);

  result =
      WriteBuffer(port, target, timeoutMs, kHandshakeWriteMode, kBufferHandshake, 0, kResponseSize, response);
  if (result != CommandResult::Done) return ExchangeFailed(ctx, 2, StatusCode(result));
  WaitMs(ctx, kHandshakeAnsweredMs);
  return 0;
}

// The probe's answer decides whether the exchange runs: a writer without the
// handshake refuses it as an invalid field, and under an Intel storage
// driver the exchange is never tried.
bool ExchangeWanted(Context& ctx) {
  ScsiPort& port = PortOf(ctx);
  port.ForgetSense();  // judge the probe by its own sense only
  const CommandResult result = WriteBuffer(port, CurrentTarget(ctx), ctx.run.carriedTimeoutMs,
                                           kHandshakeWriteMode, kBufferHandshakeProbe, 0, 0, nullptr);
  if (result == CommandResult::Done) return true;
  port.SummarizeSense();
  return !SenseDeclinesHandshake(port.SenseSummary()) && port.Traits().intelDriverKind == kNoIntelDriver;
}

}  // namespace

int UnlockUpdateMode(Context& ctx) {
  if (ctx.host.dataBuffer.data == nullptr || ctx.host.dataBuffer.size < kResponseOffset + kResponseSize) {
    return StatusCode(CommandResult::NotSent);
  }
  if (ExchangeWanted(ctx)) {
    const int status = Exchange(ctx);
    if (status != 0) return status;
  }

  const int status = EnterKernelMode(ctx, ctx.matchedDefinition.familyCode);
  if (status != 0) {
    WaitMs(ctx, kHandshakeSettleMs);
    return status;
  }
  WaitMs(ctx, kHandshakeSettleMs);
  if (Inquiry(PortOf(ctx), CurrentTarget(ctx), ctx.inquiry.data()) != CommandResult::Done) {
    PrintFormatted(ctx, "\nFailed to execute Inquiry Command.");
    return -1;
  }
  const InquiryView inquiry(ctx.inquiry);
  if (inquiry.Revision().Equals("0000") && inquiry.Model().StartsWith(kWriterKernelModel)) {
    ctx.run.kernelMode = true;
  }
  WaitMs(ctx, kHandshakeSettleMs);
  return 0;
}

}  // namespace odf
