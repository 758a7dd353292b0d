#include "app/drive_list.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>

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

// A drive's field as text: trailing blanks (and the zeros of a short reply)
// dropped, and anything a terminal could take for a control sequence shown as '?'.
std::string Cleaned(const FieldBytes& field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const std::uint8_t c = field[i];
    text.push_back(c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : c == 0 ? ' ' : '?');
  }
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// The date in the form the revision readout prints: yy/mm/dd when bytes 2
// and 5 are slashes, otherwise ten characters (yyyy/mm/dd).
std::string DateText(const InquiryView& inquiry) {
  const FieldBytes date = inquiry.Date();
  std::string text = Cleaned(date);
  if (date[2] == '/' && date[5] == '/' && text.size() > 8) text.resize(8);
  return text;
}

DriveListing Describe(const ProbedDrive& probed) {
  const InquiryView inquiry(probed.inquiry);
  DriveListing listing;
  listing.driveLetter = probed.driveLetter;
  listing.vendor = Cleaned(inquiry.Vendor());
  listing.product = Cleaned(inquiry.Product());
  listing.revision = Cleaned(inquiry.Revision());
  listing.date = DateText(inquiry);
  // Either sign of a drive left in its kernel: the drive information shows
  // no normal part, or the identity carries the kernel's "000" revision.
  listing.kernelMode =
      DriveInfoView(probed.driveInfo).KernelOnly() || inquiry.Revision().StartsWith("000");
  listing.target = probed.targetIndex >= 0;
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

}  // namespace

const char* ActionName(PlannedAction action) {
  switch (action) {
    case PlannedAction::Update: return "update";
    case PlannedAction::Current: return "current";
    case PlannedAction::None: return "none";
    case PlannedAction::Refused: return "refused";
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
    if (targetOf[i] < 0) continue;
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
                    d.date, d.kernelMode ? "kernel" : "normal", WhatARunDoes(d)});
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
            ", \"vendor\": " + JsonString(d.vendor) + ", \"product\": " + JsonString(d.product) +
            ", \"revision\": " + JsonString(d.revision) + ", \"date\": " + JsonString(d.date) +
            ", \"mode\": " + JsonString(d.kernelMode ? "kernel" : "normal") +
            ", \"target\": " + (d.target ? "true" : "false") +
            ", \"action\": " + JsonString(ActionName(d.action)) +
            ", \"update_to\": " + JsonStringOrNull(d.updateTo) +
            ", \"reason\": " + JsonStringOrNull(d.reason) + "}";
    json += i + 1 < drives.size() ? ",\n" : "\n";
  }
  return json + "]\n";
}

}  // namespace odf
