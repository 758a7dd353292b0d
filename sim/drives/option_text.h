// Small text helpers for the drive settings: each drive model reads its own
// keys with them, and so do the option reader of odflsh-sim, the definition
// reader and the simulated device nodes, which take the same settings.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace odf::sim {

inline std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Every piece between separators, empty ones included.
inline std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// A whole decimal or 0x-hexadecimal number, at most `max`.
inline bool ParseDecimalOrHex(const std::string& text, std::uint32_t max, std::uint32_t& value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty()) return false;
  std::uint64_t v = 0;
  for (char c : digits) {
    int digit = 99;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit >= (hex ? 16 : 10)) return false;
    v = v * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    if (v > max) return false;
  }
  value = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace odf::sim
