// Asks the current drive for its identity, prints its model, revision and
// firmware date, and derives what the checks and procedures compare.
#include "core/context.h"
#include "core/families.h"
#include "core/drive_fields.h"
#include "core/messages.h"
#include "image/hex_text.h"
#include "scsi/commands.h"
#include "scsi/transport.h"
#include "scsi/timer.h"
#include "update/interruption.h"
#include "update/update.h"

namespace odf {

namespace {

constexpr int kInquiryRetries = 6;

enum class Flag { KernelUpdate, Handshake, Latest };

struct ModelRow {
  Flag flag;
  const char* model;
  std::size_t width;
  std::uint16_t low, high;  // revisionNumber within [low, high]
  bool needsPoint;          // revision character 1 is '.'
  const char* signature;    // drive-information signature begins with it, or nullptr
};

// Within each flag the rows are tried in order; a row whose model matches
// but whose conditions fail passes on to the next.
constexpr ModelRow kModelTable[] = {
    {Flag::KernelUpdate, "KESTREL DVD-RW  QRW-710", 23, 0, 0x128, true, nullptr},
    {Flag::KernelUpdate, "KESTREL DVD-RW  QRW-730", 23, 0, 0x10F, true, nullptr},
    {Flag::KernelUpdate, "ARDN    AR-W90Q         ", 24, 0, 0x10F, true, nullptr},
    {Flag::KernelUpdate, "NOVA    DVD-RW NRW-0917Q", 24, 0, 0x10F, true, nullptr},
    {Flag::Handshake, "KESTREL DVD-RW  QRW-710", 23, 0x180, 0xFFFF, false, nullptr},
    {Flag::Handshake, "KESTREL DVD-RW  QRW-720", 23, 0x130, 0xFFFF, false, nullptr},
    {Flag::Handshake, "KESTREL DVD-RW  QRW-730", 23, 0x122, 0xFFFF, false, nullptr},
    {Flag::Latest, "KESTREL DVD-RW  QRW-710", 23, 0x201, 0xFFFF, false, nullptr},
    {Flag::Latest, "KESTREL DVD-RW  QRW-720", 23, 0x142, 0x3FF, false, nullptr},
    {Flag::Latest, "KESTREL DVD-RW  QRW-720", 23, 0x421, 0xFFFF, false, "MIRO"},
    {Flag::Latest, "KESTREL DVD-RW  QRW-730", 23, 0x134, 0xFFFF, false, nullptr},
};

bool RowApplies(const ModelRow& row, const Context& ctx, std::uint16_t n) {
  const InquiryView inq(ctx.inquiry);
  if (!inq.Model().StartsWith(std::string_view(row.model, row.width))) return false;
  if (n < row.low || n > row.high) return false;
  if (row.needsPoint && inq.Revision()[1] != '.') return false;
  if (row.signature != nullptr &&
      !DriveInfoView(ctx.driveInfo).Signature().StartsWith(row.signature)) {
    return false;
  }
  return true;
}

void ApplyModelTable(Context& ctx) {
  RevisionState& r = ctx.revision;
  for (const ModelRow& row : kModelTable) {
    if (!RowApplies(row, ctx, r.revisionNumber)) continue;
    switch (row.flag) {
      case Flag::KernelUpdate: r.kernelUpdateRequired = true; break;
      case Flag::Handshake: r.handshakeRequired = true; break;
      case Flag::Latest: r.alreadyLatest = true; break;
    }
  }
}

// INQUIRY with the waits and retries that drives restarting after an update
// need; the status of the INQUIRY that counts.
int InquireWithRetries(Context& ctx, RevisionPhase phase) {
  const bool answersEarly = TraitsOf(ctx.matchedDefinition.familyCode).answersBeforeRestarted;
  std::uint8_t* reply = ctx.inquiry.data();
  ScsiPort& port = PortOf(ctx);
  CommandResult result = Inquiry(port, CurrentTarget(ctx), reply);
  if (answersEarly && phase == RevisionPhase::New) {
    // This model answers once more before it has finished restarting.
    WaitMs(ctx, kInquiryRetryMs);
    result = Inquiry(port, CurrentTarget(ctx), reply);
  }
  const PortTraits traits = port.Traits();
  const bool retry = phase == RevisionPhase::New && traits.route == TransportRoute::Aspi &&
                     (traits.intelDriverKind != kNoIntelDriver || answersEarly);
  for (int i = 0; result != CommandResult::Done && retry && i < kInquiryRetries; ++i) {
    WaitMs(ctx, kInquiryRetryMs);
    result = Inquiry(port, CurrentTarget(ctx), reply);
  }
  return StatusCode(result);
}

void ReadCurrent(Context& ctx) {
  RevisionState& r = ctx.revision;
  const InquiryView inq(ctx.inquiry);
  const FieldBytes revision = inq.Revision();
  const FieldBytes date = inq.Date();
  const bool zeroRevision = revision.StartsWith("000");

  if (date[2] == '/' && date[5] == '/') {
    PrintFormatted(ctx, "\nCurrent Revision>> %.24s %.5s %.8s", inq.Model().Chars(),
                   inq.RevisionPrinted().Chars(), date.Chars());
    if (!zeroRevision) r.firmwareDate = PackedShortDate(date.data());
  } else {
    PrintFormatted(ctx, "\nCurrent Revision>> %.24s %.5s %.10s", inq.Model().Chars(),
                   inq.RevisionPrinted().Chars(), date.Chars());
    // yyyy/mm/dd: the year is four digits, already with its century.
    r.firmwareDate = (HexField(date.data(), 4) << 16) + (HexField(date.data() + 5, 2) << 8) +
                     HexField(date.data() + 8, 2);
  }

  if (revision.Equals("1.06") && inq.Model().Equals("KESTREL DVD-ROM QRD-570 ")) {
    r.g6PatchNeeded = true;
  }
  if (revision.Equals("0000") && inq.Model().StartsWith("KESTREL DVD-RW  QRW-")) {
    ctx.run.kernelMode = true;
  }
  r.revisionNumber = RevisionNumber(revision.data());
  ApplyModelTable(ctx);
}

void PrintNew(Context& ctx) {
  const InquiryView inq(ctx.inquiry);
  // DVD writers report the short date form after the update, others the long one.
  const char* format = inq.Product().StartsWith("DVD-RW") ? "\nNew Revision    >> %.24s %.5s %.8s"
                                                          : "\nNew Revision    >> %.24s %.5s %.10s";
  PrintFormatted(ctx, format, inq.Model().Chars(), inq.RevisionPrinted().Chars(),
                 inq.Date().Chars());
}

}  // namespace

int ReadRevision(Context& ctx, RevisionPhase phase) {
  // Nothing derived for an earlier drive or pass may survive into this one.
  ctx.revision = RevisionState{};

  // While the ASPI layer still holds a command the transport gave up on,
  // no INQUIRY can go out; failing it by name would blame one never sent.
  // The run ends on the lost command instead.
  if (PortOf(ctx).RequestBlockInUse()) return -1;
  const int status = InquireWithRetries(ctx, phase);
  if (status != 0) {
    ShowMessage(ctx, MessageCode::kInquiryFailed, ConsoleOnly);
    return status;
  }
  NoteIdentity(ctx);
  if (phase == RevisionPhase::Current) {
    ReadCurrent(ctx);
  } else {
    PrintNew(ctx);
  }

  const RevisionState& r = ctx.revision;
  if (r.kernelUpdateRequired && ctx.matchedDefinition.updateScope != 0) {
    ShowMessage(ctx, MessageCode::kKernelUpdateNeeded, ConsoleOnly);
    return -1;
  }
  if (r.alreadyLatest) {
    ShowMessage(ctx, MessageCode::kUtilityUpdateNeeded, ConsoleOnly);
    return ctx.run.expertOverride ? 0 : -1;
  }
  return 0;
}

}  // namespace odf
