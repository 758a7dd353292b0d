// SHA-256 of image files, as sha256sum prints it, so that a file can be
// checked against the digest its publisher gives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace odf {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Fed in pieces of any size, for files read in blocks.
class Sha256 {
 public:
  void Update(const void* data, std::size_t length);
  // The digest of everything fed; the object is spent afterwards.
  Sha256Digest Finish();

 private:
  void Compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_{0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                                      0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pendingLength_ = 0;
  std::uint64_t totalLength_ = 0;
};

Sha256Digest Sha256Of(const void* data, std::size_t length);

// 64 lower-case hexadecimal digits.
std::string Sha256Text(const Sha256Digest& digest);
// Exactly 64 hexadecimal digits, either case; false for anything else.
bool ParseSha256Text(std::string_view text, Sha256Digest& digest);

}  // namespace odf
