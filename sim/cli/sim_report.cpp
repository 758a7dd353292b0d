#include "sim/cli/sim_report.h"

#include <cstdio>

namespace odf::sim {

std::string EscapeText(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += hex;
        } else {
          out += c;  // cp932 bytes pass unchanged
        }
    }
  }
  return out;
}

std::string FormatBox(const BoxRecord& box) {
  const UINT buttons = box.type & 0x0F;
  const UINT icon = box.type & 0xF0;
  const char* style = "Box";
  if (buttons == MB_YESNO) style = "AskYesNo";
  else if (buttons == MB_OKCANCEL) style = "AskOkCancel";
  else if (icon == MB_ICONHAND) style = "NoticeStop";
  else if (icon == MB_ICONASTERISK) style = "NoticeInfo";
  else if (icon == MB_ICONEXCLAMATION) style = "NoticeWarning";
  const char* answer = "?";
  switch (box.answer) {
    case IDOK: answer = "OK"; break;
    case 2: answer = "Cancel"; break;
    case IDYES: answer = "Yes"; break;
    case IDNO: answer = "No"; break;
    default: break;
  }
  return std::string("box ") + style + " \"" + EscapeText(box.text) + "\" -> " + answer + "\n";
}

std::string FormatCommand(const std::string& label, const CommandRecord& r) {
  char head[64];
  std::snprintf(head, sizeof head, "cmd %10llu ms %-5s", static_cast<unsigned long long>(r.atMs), label.c_str());
  std::string line = head;
  for (int i = 0; i < r.cdbLength && i < static_cast<int>(r.cdb.size()); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, " %02X", static_cast<unsigned>(r.cdb[static_cast<std::size_t>(i)]));
    line += byte;
  }
  static const char* const kDirections[] = {"none", "in", "out"};
  const char* direction = (r.direction >= 0 && r.direction <= 2) ? kDirections[r.direction] : "?";
  char tail[96];
  if (r.viaAspi) {
    std::snprintf(tail, sizeof tail, "  %s %u  aspi %s", direction, static_cast<unsigned>(r.length),
                  r.polled ? "polled" : "event");
  } else {
    std::snprintf(tail, sizeof tail, "  %s %u  timeout %u s%s", direction, static_cast<unsigned>(r.length),
                  static_cast<unsigned>(r.timeoutSeconds), r.buffered ? " buffered" : "");
  }
  return line + tail + "\n";
}

std::string FormatDriveReport(const PlacedDrive& placed) {
  return "drive " + placed.label + " " + placed.drive->Describe() + "\n";
}

}  // namespace odf::sim
