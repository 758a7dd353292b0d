// Bytes that came from outside (an argument, a drive's identity) shown on a
// terminal: printable ASCII as it is, every other byte and the backslash as
// \xNN, so that nothing can act as a control sequence and the text reads one
// way only.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace odf {

inline std::string EscapedText(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte <= 0x7E && c != '\\') {
      text.push_back(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      text += escaped;
    }
  }
  return text;
}

}  // namespace odf
