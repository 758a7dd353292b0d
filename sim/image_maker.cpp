#include "sim/image_maker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/image_state.h"

namespace odf::sim {

namespace {
void Put(std::vector<std::uint8_t>& image, std::size_t offset, const std::string& text,
         std::size_t width) {
  for (std::size_t i = 0; i < width && offset + i < image.size(); ++i) {
    image[offset + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
  }
}
}  // namespace

std::vector<std::uint8_t> MakeImage(const ImageFields& f) {
  std::vector<std::uint8_t> image(f.size);
  // A body that differs from block to block, so a misplaced block shows.
  std::uint32_t x = f.seed * 2654435761u + 12345u;
  for (auto& b : image) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  Put(image, kHeaderModelName, f.modelName, 24);
  Put(image, kHeaderRevision, f.revision, 5);
  Put(image, kHeaderHardware, f.hardware, 8);
  Put(image, kHeaderSignature, f.signature, 8);
  Put(image, kHeaderNormalName, f.normalName, 8);
  if (image.size() > kHeaderPartLetter) {
    image[kHeaderPartLetter] = static_cast<std::uint8_t>(f.partLetter);
  }
  Put(image, kHeaderDate, f.date, 8);
  Put(image, kHeaderKernelRevision, f.kernelRevision, 4);
  return image;
}

bool WriteImageFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return (std::fclose(f) == 0) && ok;
}

}  // namespace odf::sim
