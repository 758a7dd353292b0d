// Small text helpers shared by the option readers of odflsh-sim and the
// simulated device nodes, which take the same drive settings.
#pragma once

#include <cctype>
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

}  // namespace odf::sim
