#include "image/sha256.h"

#include <algorithm>
#include <cstring>

namespace odf {

namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
    0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
    0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, 0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
    0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
    0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u,
};

constexpr std::size_t kBlockSize = 64;
constexpr std::size_t kLengthOffset = kBlockSize - 8;  // the message length in bits ends the last block

inline std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t BigEndian32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void Sha256::Compress(const std::uint8_t* block) {
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i) w[i] = BigEndian32(block + 4 * i);
  for (int i = 16; i < 64; ++i) {
    const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

void Sha256::Update(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  totalLength_ += length;
  if (pendingLength_ != 0) {
    const std::size_t take = std::min(length, kBlockSize - pendingLength_);
    std::memcpy(pending_.data() + pendingLength_, bytes, take);
    pendingLength_ += take;
    bytes += take;
    length -= take;
    if (pendingLength_ < kBlockSize) return;
    Compress(pending_.data());
    pendingLength_ = 0;
  }
  for (; length >= kBlockSize; bytes += kBlockSize, length -= kBlockSize) Compress(bytes);
  if (length != 0) std::memcpy(pending_.data(), bytes, length);
  pendingLength_ = length;
}

Sha256Digest Sha256::Finish() {
  const std::uint64_t bits = totalLength_ * 8;
  pending_[pendingLength_++] = 0x80;
  if (pendingLength_ > kLengthOffset) {
    std::memset(pending_.data() + pendingLength_, 0, kBlockSize - pendingLength_);
    Compress(pending_.data());
    pendingLength_ = 0;
  }
  std::memset(pending_.data() + pendingLength_, 0, kLengthOffset - pendingLength_);
  for (int i = 0; i < 8; ++i) pending_[kLengthOffset + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  Compress(pending_.data());
  Sha256Digest digest{};
  for (std::size_t i = 0; i < state_.size(); ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
  }
  return digest;
}

Sha256Digest Sha256Of(const void* data, std::size_t length) {
  Sha256 sha;
  sha.Update(data, length);
  return sha.Finish();
}

std::string Sha256Text(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * digest.size());
  for (const std::uint8_t b : digest) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

bool ParseSha256Text(std::string_view text, Sha256Digest& digest) {
  if (text.size() != 2 * digest.size()) return false;
  Sha256Digest parsed{};
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    const int high = DigitValue(text[2 * i]);
    const int low = DigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    parsed[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  digest = parsed;
  return true;
}

}  // namespace odf
