// Reads a binary firmware file whole into the image buffer and checks the
// file's own date, vendor tag and part letter.
#include <cstring>
#include <string>

#include "core/context.h"
#include "core/messages.h"
#include "image/hex_text.h"
#include "image/image.h"
#include "image/image_digest.h"

namespace odf {

namespace {

constexpr char kVendorTag[] = "KES_ADV ";
constexpr std::size_t kKernelNameIndex = 7;

// The file name of the matched definition in the form asked for; false when
// there is none (no terminator, or too short to carry the kernel mark).
bool ImageFileName(const Context& ctx, ImagePart part, std::string& name) {
  const char* field = ctx.matchedDefinition.fileName;
  const void* end = std::memchr(field, '\0', sizeof ctx.matchedDefinition.fileName);
  if (end == nullptr) return false;
  name.assign(field, static_cast<const char*>(end));
  if (part == ImagePart::Kernel) {
    // The kernel file differs from the normal one in its eighth character.
    if (name.size() <= kKernelNameIndex) return false;
    name[kKernelNameIndex] = '0';
  }
  return !name.empty();
}

// Why a file of this size cannot be read into the buffer, or "" when it can.
std::string SizeTrouble(DWORD size, DWORD sizeHigh, const SharedBuffer& buffer) {
  const std::string bytes = std::to_string(size) + " bytes";
  if (sizeHigh != 0) return "it is 4 GiB or larger";
  if (size > buffer.size) {
    return "it is " + bytes + ", more than the image buffer holds (" + std::to_string(buffer.size) + " bytes)";
  }
  // An empty file the platform layer has already named.
  if (size < kHeaderSize && size != 0) {
    return "it is " + bytes + ", too few to hold the image header (" + std::to_string(kHeaderSize) + " bytes)";
  }
  return "";
}

// Reads the whole file into the image buffer; the number of bytes read, or
// -1. Files that do not fit the buffer, or that are too short to hold the
// header, are refused before anything is read, so no check looks at bytes
// that did not come from this file and no transfer divides by zero.
long ReadWholeFile(Context& ctx, const std::string& name) {
  Platform& os = ctx.platform;
  const HANDLE file = os.CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) return -1;

  long result = -1;
  DWORD sizeHigh = 0;
  const DWORD size = os.GetFileSize(file, &sizeHigh);
  const SharedBuffer& buffer = ctx.host.imageBuffer;
  const bool fits = size != INVALID_FILE_SIZE && sizeHigh == 0 && buffer.data != nullptr &&
                    size <= buffer.size && size >= kHeaderSize;
  if (fits) {
    DWORD read = 0;
    // A short read is a failure: a partial image must never reach a drive.
    if (os.ReadFile(file, buffer.data, size, &read) != FALSE_ && read == size) {
      result = static_cast<long>(read);
    }
  } else if (size != INVALID_FILE_SIZE && buffer.data != nullptr) {
    if (const std::string why = SizeTrouble(size, sizeHigh, buffer); !why.empty()) NoteImageRefused(ctx, name, why);
  }
  os.CloseHandle(file);
  return result;
}

// The file read whole and checked against the digest its publisher gave,
// if any: the number of bytes, or -1.
long ReadImageFile(Context& ctx, const std::string& name, const UpdateDefinition* definition) {
  KnownDigests known;
  if (LookUpDigests(ctx, name, definition, known) != 0) return -1;
  const long read = ReadWholeFile(ctx, name);
  if (read < 0) return -1;
  if (DigestWanted(ctx, known) &&
      CheckDigest(ctx, name, known, Sha256Of(ctx.host.imageBuffer.data, static_cast<std::size_t>(read))) != 0) {
    return -1;
  }
  return read;
}

}  // namespace

int CheckImageVendorTag(Context& ctx) {
  const std::uint8_t* image = ctx.host.imageBuffer.data;
  if (image == nullptr) return -1;
  return std::memcmp(image + kHeaderSignature, kVendorTag, 8) == 0 ? 0 : -1;
}

int LoadBinaryImage(Context& ctx, ImagePart part) {
  ImageState& st = ctx.image;
  st.imageDate = 0;
  if (part == ImagePart::Kernel) st.kernelSize = 0;

  std::string name;
  if (!ImageFileName(ctx, part, name)) return -1;
  // The definition's digest is of the normal image it names.
  const long read = ReadImageFile(ctx, name, part == ImagePart::Normal ? &ctx.matchedDefinition : nullptr);
  if (read < 0) return -1;

  const std::uint8_t* header = ctx.host.imageBuffer.data;
  if (part == ImagePart::Normal) st.imageSize = static_cast<std::uint32_t>(read);
  if (part == ImagePart::Kernel) st.kernelSize = static_cast<std::uint32_t>(read);

  ctx.run.newRevisionNumber = RevisionNumber(header + kHeaderRevision);

  if (part == ImagePart::Normal) {
    std::memcpy(st.imageVersionText.data(), header + kHeaderRevision, st.imageVersionText.size());
    std::memcpy(st.imageDateText.data(), header + kHeaderDate, st.imageDateText.size());
  }
  // The kernel part is released together with its normal image and is
  // judged by that image's date; its own date field says when the kernel was
  // last rebuilt, which may well be older. With no normal image loaded the
  // date text is empty and the kernel is refused as too old.
  st.imageDate =
      PackedShortDate(reinterpret_cast<const std::uint8_t*>(st.imageDateText.data()));

  const std::size_t index = ctx.selectedIndex < kDefinitionSlots ? ctx.selectedIndex : 0;
  if (st.imageDate < ctx.definitions.entries[index].minimumImageDate) {
    ShowMessage(ctx, MessageCode::kFirmwareFileTooOld, NoticeStop);
    return -1;
  }

  const std::uint8_t wanted = part == ImagePart::Kernel ? 'K' : 'N';
  if (CheckImageVendorTag(ctx) != 0 || header[kHeaderPartLetter] != wanted) {
    ShowMessage(ctx,
                part == ImagePart::Kernel ? MessageCode::kIllegalKernelFile
                                          : MessageCode::kIllegalFirmwareFile,
                NoticeStop);
    return -1;
  }
  // The definition names one file of one size; a normal image of any other
  // length (a truncated download, say) would be flashed whole, and nothing
  // on the drive side checks its body, so it is refused as not this drive's file.
  const std::uint32_t expected = ctx.matchedDefinition.imageSize;
  if (part == ImagePart::Normal && expected != 0 && static_cast<std::uint32_t>(read) != expected) {
    NoteImageRefused(ctx, name,
                     "it is " + std::to_string(read) + " bytes, not the " + std::to_string(expected) +
                         " bytes its definition gives");
    ShowMessage(ctx, MessageCode::kIllegalFirmwareFile, NoticeStop);
    return -1;
  }
  return 0;
}

}  // namespace odf
