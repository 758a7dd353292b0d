// hex_load INPUT.hex SIZE OUTPUT.bin: builds an image of SIZE bytes from an
// Intel HEX file with the product's own loader, on the native platform layer
// and with the product's buffer sizes, and writes it out. Exit 0 on success,
// 1 when the loader refuses the file, 2 on a usage or output error. The
// loader's console lines go to standard error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/context.h"
#include "image/image.h"
#include "platform/posix_platform.h"

namespace {

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kDataBufferSize = 2 * kMiB;
constexpr std::size_t kImageBufferSize = 8 * kMiB;

bool Obtain(odf::Context& ctx, odf::SharedBuffer& buffer, std::size_t size) {
  buffer.handle = ctx.platform.GlobalAlloc(odf::win::GMEM_MOVEABLE | odf::win::GMEM_ZEROINIT, size);
  if (buffer.handle == 0) return false;
  buffer.data = static_cast<std::uint8_t*>(ctx.platform.GlobalLock(buffer.handle));
  buffer.size = size;
  return buffer.data != nullptr;
}

bool WriteImage(const char* path, const std::uint8_t* data, std::size_t size) {
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(data, 1, size, out) == size;
  return std::fclose(out) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: hex_load INPUT.hex SIZE OUTPUT.bin\n");
    return 2;
  }
  char* sizeEnd = nullptr;
  errno = 0;
  const unsigned long size = std::strtoul(argv[2], &sizeEnd, 0);
  if (errno != 0 || sizeEnd == argv[2] || *sizeEnd != '\0' || size > 0xFFFFFFFFul) {
    std::fprintf(stderr, "hex_load: bad SIZE '%s'\n", argv[2]);
    return 2;
  }

  odf::posix::ConsoleSetup console;
  console.in = stdin;
  console.out = stderr;
  const std::unique_ptr<odf::Platform> platform = odf::posix::CreatePosixPlatform(console);
  odf::Context ctx(*platform);
  if (!Obtain(ctx, ctx.host.dataBuffer, kDataBufferSize) ||
      !Obtain(ctx, ctx.host.imageBuffer, kImageBufferSize)) {
    std::fprintf(stderr, "hex_load: out of memory\n");
    return 2;
  }
  odf::UpdateDefinition& def = ctx.matchedDefinition;
  if (std::strlen(argv[1]) >= sizeof def.fileName) {
    std::fprintf(stderr, "hex_load: input path longer than %zu characters\n",
                 sizeof def.fileName - 1);
    return 2;
  }
  std::strcpy(def.fileName, argv[1]);
  def.imageSize = static_cast<std::uint32_t>(size);

  if (odf::LoadHexImage(ctx) != 0) {
    std::fprintf(stderr, "\nhex_load: %s was refused\n", argv[1]);
    return 1;
  }
  if (!WriteImage(argv[3], ctx.host.imageBuffer.data, size)) {
    std::fprintf(stderr, "hex_load: cannot write %s: %s\n", argv[3], std::strerror(errno));
    return 2;
  }
  return 0;
}
