#include "sim/image_maker.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

namespace {

#ifdef _WIN32
std::FILE* OpenForWriting(const std::string& path) { return std::fopen(path.c_str(), "wb"); }
#else
// Only a regular file (new or existing) is written. The kind is checked on a
// non-blocking open, as a plain one would wait for a reader on a FIFO; it is
// emptied only once it is known to be a file.
std::FILE* OpenForWriting(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::ftruncate(fd, 0) != 0 ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* f = ::fdopen(fd, "wb");
  if (f == nullptr) ::close(fd);
  return f;
}
#endif

}  // namespace

bool WriteImageFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* f = OpenForWriting(path);
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return (std::fclose(f) == 0) && ok;
}

}  // namespace odf::sim
