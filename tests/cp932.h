// Strict cp932 -> UTF-8 through iconv, independent of the program's own
// conversion, so a test can state the expected Japanese text readably.
#pragma once

#include <iconv.h>

#include <optional>
#include <string>

namespace odf::testing {

// nullopt when the bytes are not valid cp932 throughout.
inline std::optional<std::string> FromCp932(const std::string& bytes) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string input = bytes;
  std::string out(bytes.size() * 3 + 1, '\0');
  char* in = input.data();
  char* dst = out.data();
  std::size_t inLeft = input.size(), outLeft = out.size();
  const std::size_t done = iconv(cd, &in, &inLeft, &dst, &outLeft);
  iconv_close(cd);
  if (done == static_cast<std::size_t>(-1) || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace odf::testing
