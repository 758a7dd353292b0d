#include "app/drive_list.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>

#include "app/escaped_text.h"
#include "core/context.h"
#include "core/drive_fields.h"
#include "core/families.h"
#include "core/messages.h"
#include "discovery/discovery.h"
#include "discovery/host.h"
#include "update/pass_steps.h"
#include "update/update.h"

namespace odf {

namespace {

// The reasons are read by scripts and support people: always in English.
constexpr UINT kEnglishCodePage = 437;

constexpr char kBusyReason[] = "another odflsh is updating it (it holds the drive's lock)";

// A drive's field as text, trailing blanks dropped. A byte a terminal could
// take for a control sequence, or that would make the field look like
// another (a vendor "KESTREL" ending in a zero byte is not "KESTREL "), is
// shown as \xNN, the backslash too so that the form reads one way. A field
// that is all zeros was never sent (a short reply) and is shown empty.
std::string Cleaned(const std::uint8_t* field, std::size_t width) {
  if (std::all_of(field, field + width, [](std::uint8_t c) { return c == 0; })) return "";
  std::string text = EscapedText({reinterpret_cast<const char*>(field), width});
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::string Cleaned(const FieldBytes& field) { return Cleaned(field.data(), field.size()); }

// The date in the form the revision readout prints: yy/mm/dd when bytes 2
// and 5 are slashes, otherwise ten characters (yyyy/mm/dd).
std::string DateText(const InquiryView& inquiry) {
  constexpr std::size_t kShortDate = 8;
  const FieldBytes date = inquiry.Date();
  const bool shortForm = date[2] == '/' && date[5] == '/';
  return Cleaned(date.data(), shortForm ? std::min(kShortDate, date.size()) : date.size());
}

// Which of the fields that make an identity the drive did not report whole.
std::string MissingFields(const InquiryView& inquiry) {
  const std::pair<const char*, FieldBytes> fields[] = {
      {"vendor", inquiry.Vendor()}, {"product", inquiry.Product()}, {"revision", inquiry.Revision()}};
  std::string missing;
  for (const auto& [name, field] : fields) {
    const bool printable = std::all_of(field.data(), field.data() + field.size(),
                                       [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E; });
    if (printable) continue;
    missing += (missing.empty() ? "" : ", ") + std::string(name);
  }
  return missing;
}

DriveListing Describe(const ProbedDrive& probed) {
  DriveListing listing;
  listing.driveLetter = probed.driveLetter;
  if (probed.finding == ProbeFinding::Busy) {
    listing.action = PlannedAction::Busy;
    listing.reason = kBusyReason;
    return listing;
  }
  const InquiryView inquiry(probed.inquiry);
  listing.vendor = Cleaned(inquiry.Vendor());
  listing.product = Cleaned(inquiry.Product());
  listing.revision = Cleaned(inquiry.Revision());
  listing.date = DateText(inquiry);
  // Either sign of a drive left in its kernel: the drive information shows
  // no normal part, or the identity carries the kernel's "000" revision.
  listing.kernelMode =
      DriveInfoView(probed.driveInfo).KernelOnly() || inquiry.Revision().StartsWith("000");
  listing.target = probed.targetIndex >= 0;
  // The same judgement as discovery's, said in words: such a drive is no target.
  if (probed.finding == ProbeFinding::IncompleteIdentity) {
    listing.action = PlannedAction::Refused;
    listing.reason = "incomplete identity (" + MissingFields(inquiry) +
                     " missing or not printable): a run leaves this drive alone";
  }
  return listing;
}

// A catalogue text on one line: its line breaks become single blanks.
std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) {
    const bool lineBreak = c == '\r' || c == '\n';
    if (lineBreak) {
      if (!line.empty() && line.back() != ' ') line.push_back(' ');
    } else {
      line.push_back(c);
    }
  }
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

// The first steps of the procedure for this target, the same functions a
// run calls, stopping where a run would ask the user or write. The message
// that stopped them says why.
void Preview(Context& ctx, DriveListing& listing) {
  const FamilyProcedure procedure = ProcedureFor(ctx.definitions.entries[0].familyCode);
  if (procedure != FamilyProcedure::Four && procedure != FamilyProcedure::One) {
    // Family zero compares firmware it reads back; a listing does not go that far.
    listing.action = PlannedAction::Refused;
    listing.reason = "not checked: the definition's family is not listed";
    return;
  }
  std::optional<MessageCode> stoppedBy;
  std::string stopText;
  const auto before = ctx.dialogue.showing;
  ctx.dialogue.showing = [&](MessageCode code, const std::string& text) {
    stoppedBy = code;
    stopText = text;
    if (before) before(code, text);
  };
  const bool selected = SelectDefinition(ctx) == 0;
  const bool wouldUpdate = selected && CheckDriveAndImage(ctx) == 0;
  ctx.dialogue.showing = before;

  if (wouldUpdate) {
    listing.action = PlannedAction::Update;
    listing.updateTo = std::string(ctx.image.imageVersionText.data(), 4);
  } else if (stoppedBy == MessageCode::kFirmwareAlreadyLatest) {
    listing.action = PlannedAction::Current;
  } else {
    listing.action = PlannedAction::Refused;
    listing.reason = stoppedBy ? OneLine(stopText) : "the drive could not be checked";
  }
}

std::string Letter(char driveLetter) {
  return driveLetter != 0 ? std::string{driveLetter, ':'} : std::string();
}

std::string WhatARunDoes(const DriveListing& d) {
  switch (d.action) {
    case PlannedAction::Update: return "update to " + d.updateTo;
    case PlannedAction::Current: return "already current";
    case PlannedAction::None: return "not a target";
    case PlannedAction::Refused: return "refused: " + d.reason;
    case PlannedAction::Busy: return "busy: " + d.reason;
  }
  return "";
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte > 0x7E) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonStringOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

// A busy drive was asked nothing, so what it would report is unknown, not empty.
bool Probed(const DriveListing& d) { return d.action != PlannedAction::Busy; }

std::string ModeText(const DriveListing& d) {
  if (!Probed(d)) return "";
  return d.kernelMode ? "kernel" : "normal";
}

std::string JsonReported(const DriveListing& d, const std::string& text) {
  return Probed(d) ? JsonString(text) : "null";
}

}  // namespace

const char* ActionName(PlannedAction action) {
  switch (action) {
    case PlannedAction::Update: return "update";
    case PlannedAction::Current: return "current";
    case PlannedAction::None: return "none";
    case PlannedAction::Refused: return "refused";
    case PlannedAction::Busy: return "busy";
  }
  return "none";
}

ListOutcome ListDrives(Context& ctx, const RunSteps& steps, std::vector<DriveListing>& drives) {
  drives.clear();
  const bool started = StartRun(ctx, steps);
  ctx.run.oemCodePage = kEnglishCodePage;
  if (!started) {
    ReleaseHostEnvironment(ctx);
    return ListOutcome::SetupFailed;
  }
  std::vector<int> targetOf;
  DiscoverDrives(ctx, [&](const ProbedDrive& probed) {
    drives.push_back(Describe(probed));
    targetOf.push_back(probed.targetIndex);
  });
  // A run asks per drive only when it found one target.
  ctx.run.updateAll = ctx.targets.targetCount > 1;
  for (std::size_t i = 0; i < drives.size(); ++i) {
    if (targetOf[i] < 0 || drives[i].action != PlannedAction::None) continue;
    ctx.run.currentTarget = targetOf[i];
    Preview(ctx, drives[i]);
  }
  ReleaseHostEnvironment(ctx);
  return ListOutcome::Listed;
}

std::string ListingText(const std::vector<DriveListing>& drives, const DeviceNamer& deviceOf) {
  constexpr std::size_t kColumns = 8;
  std::vector<std::array<std::string, kColumns>> rows;
  std::array<std::size_t, kColumns> width{};
  for (const DriveListing& d : drives) {
    rows.push_back({Letter(d.driveLetter), deviceOf(d.driveLetter), d.vendor, d.product, d.revision,
                    d.date, ModeText(d), WhatARunDoes(d)});
    for (std::size_t c = 0; c < kColumns; ++c) width[c] = std::max(width[c], rows.back()[c].size());
  }
  std::string text;
  for (const auto& row : rows) {
    for (std::size_t c = 0; c + 1 < kColumns; ++c) {
      text += row[c];
      text.append(width[c] - row[c].size() + 2, ' ');
    }
    text += row[kColumns - 1] + "\n";
  }
  return text;
}

std::string ListingJson(const std::vector<DriveListing>& drives, const DeviceNamer& deviceOf) {
  if (drives.empty()) return "[]\n";
  std::string json = "[\n";
  for (std::size_t i = 0; i < drives.size(); ++i) {
    const DriveListing& d = drives[i];
    json += "  {\"letter\": " + JsonStringOrNull(Letter(d.driveLetter)) +
            ", \"device\": " + JsonStringOrNull(deviceOf(d.driveLetter)) +
            ", \"vendor\": " + JsonReported(d, d.vendor) + ", \"product\": " + JsonReported(d, d.product) +
            ", \"revision\": " + JsonReported(d, d.revision) + ", \"date\": " + JsonReported(d, d.date) +
            ", \"mode\": " + JsonReported(d, ModeText(d)) +
            ", \"target\": " + (d.target ? "true" : "false") +
            ", \"action\": " + JsonString(ActionName(d.action)) +
            ", \"update_to\": " + JsonStringOrNull(d.updateTo) +
            ", \"reason\": " + JsonStringOrNull(d.reason) + "}";
    json += i + 1 < drives.size() ? ",\n" : "\n";
  }
  return json + "]\n";
}

}  // namespace odf
