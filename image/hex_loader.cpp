// Builds a firmware image from an Intel HEX record file, and overlays one
// fixed block of it from the patch file. Records are parsed into the data
// buffer and copied into the image buffer only when the whole file, up to its
// end record, was read and found sound, so a refused file never leaves a
// half-built image behind. A damaged file must never reach a drive: every
// record's length and checksum are checked, and a file that stops before its
// end record is refused.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/context.h"
#include "core/messages.h"
#include "image/image.h"
#include "image/image_digest.h"

namespace odf {

namespace {

constexpr char kPatchFileName[] = "G6PATCH.HEX";
constexpr std::size_t kPatchOffset = 0x20000;
constexpr std::size_t kPatchLength = 0x1000;

enum FileCause : int {
  kCauseGeneric = 1,
  kCauseNotFound = 2,
  kCauseBadPath = 3,
  kCauseTooManyOpen = 4,
  kCauseAccessDenied = 5,
  kCauseInvalidFile = 6,
  kCauseRemovedDirectory = 7,
  kCauseDirectoryFull = 8,
  kCauseBadSeek = 9,
  kCauseHardwareIo = 10,
  kCauseSharing = 11,
  kCauseLock = 12,
  kCauseDiskFull = 13,
  kCauseEndOfFile = 14,
};

int FileCauseOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return kCauseNotFound;
    case ERROR_PATH_NOT_FOUND: return kCauseBadPath;
    case ERROR_TOO_MANY_OPEN_FILES: return kCauseTooManyOpen;
    case ERROR_ACCESS_DENIED: return kCauseAccessDenied;
    case ERROR_INVALID_HANDLE: return kCauseInvalidFile;
    case ERROR_CURRENT_DIRECTORY: return kCauseRemovedDirectory;
    case ERROR_CANNOT_MAKE: return kCauseDirectoryFull;
    case ERROR_SEEK:
    case ERROR_NEGATIVE_SEEK: return kCauseBadSeek;
    case ERROR_WRITE_PROTECT:
    case ERROR_NOT_READY:
    case ERROR_CRC:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_READ_FAULT:
    case ERROR_IO_DEVICE: return kCauseHardwareIo;
    case ERROR_SHARING_VIOLATION: return kCauseSharing;
    case ERROR_LOCK_VIOLATION: return kCauseLock;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL: return kCauseDiskFull;
    case ERROR_HANDLE_EOF: return kCauseEndOfFile;
    default: return kCauseGeneric;
  }
}

// Hands out the lines of a file, without their line ends. The file is read
// in large blocks into one buffer that is reused for the whole file (and
// grows only for a line longer than it), so no line is copied or allocated.
// Block reads rather than one read of the whole file: a fresh buffer of the
// file's size costs a page fault per 4 KiB, which took longer than parsing.
// Each block goes into `digest` too, when there is one, as it is read.
class LineFeeder {
 public:
  LineFeeder(Platform& os, HANDLE file, Sha256* digest) : os_(os), file_(file), digest_(digest) {}

  // The next line; false at the end of the file or when reading failed
  // (then cause() is the file-error cause).
  bool Next(const char*& line, std::size_t& length) {
    for (;;) {
      const char* start = buffer_.get() + begin_;
      const std::size_t pending = end_ - begin_;
      const auto* newline =
          static_cast<const char*>(pending != 0 ? std::memchr(start, '\n', pending) : nullptr);
      if (newline != nullptr || (atEnd_ && pending != 0)) {
        // The last line of a file may lack its line end.
        const char* lineEnd = newline != nullptr ? newline : start + pending;
        begin_ += static_cast<std::size_t>(lineEnd - start) + (newline != nullptr ? 1 : 0);
        if (lineEnd > start && lineEnd[-1] == '\r') --lineEnd;
        line = start;
        length = static_cast<std::size_t>(lineEnd - start);
        return true;
      }
      if (atEnd_ || !Refill()) return false;
    }
  }

  // Reads what is left of the file, for the digest; false when reading failed.
  bool ReadToEnd() {
    while (!atEnd_) {
      begin_ = end_;
      if (!Refill()) return false;
    }
    return true;
  }

  int cause() const { return cause_; }

 private:
  static constexpr std::size_t kBlockSize = 64 * 1024;

  // Moves the unfinished line to the front and reads the next block after it.
  bool Refill() {
    const std::size_t pending = end_ - begin_;
    if (pending != 0 && begin_ != 0) std::memmove(buffer_.get(), buffer_.get() + begin_, pending);
    begin_ = 0;
    end_ = pending;
    if (end_ == capacity_ && !Grow()) return false;
    DWORD read = 0;
    const DWORD room = static_cast<DWORD>(std::min<std::size_t>(capacity_ - end_, 0x40000000));
    if (os_.ReadFile(file_, buffer_.get() + end_, room, &read) == FALSE_) {
      cause_ = FileCauseOf(os_.GetLastError());
      return false;
    }
    atEnd_ = read == 0;
    if (digest_ != nullptr) digest_->Update(buffer_.get() + end_, read);
    end_ += read;
    return true;
  }

  bool Grow() {
    const std::size_t capacity = capacity_ == 0 ? kBlockSize : capacity_ * 2;
    std::unique_ptr<char[]> bigger(new (std::nothrow) char[capacity]);
    if (!bigger) {
      cause_ = kCauseGeneric;
      return false;
    }
    if (end_ != 0) std::memcpy(bigger.get(), buffer_.get(), end_);
    buffer_ = std::move(bigger);
    capacity_ = capacity;
    return true;
  }

  Platform& os_;
  HANDLE file_;
  Sha256* digest_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;  // the next line starts here
  std::size_t end_ = 0;    // bytes read so far end here
  bool atEnd_ = false;
  int cause_ = 0;
};

// Digit values; 0x10 marks a character that is not a hexadecimal digit, so
// one OR over a record's characters tells whether any was not a digit.
constexpr std::uint8_t kNotHex = 0x10;
constexpr std::array<std::uint8_t, 256> kHexValue = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(kNotHex);
  for (int c = 0; c < 10; ++c) table['0' + c] = static_cast<std::uint8_t>(c);
  for (int c = 0; c < 6; ++c) {
    table['a' + c] = static_cast<std::uint8_t>(10 + c);
    table['A' + c] = static_cast<std::uint8_t>(10 + c);
  }
  return table;
}();

inline std::uint8_t Digit(char c) { return kHexValue[static_cast<unsigned char>(c)]; }

#if defined(__SSE2__)
// 32 digits into 16 bytes at once, their sum added to the two 64-bit lanes of
// `sums`; false when any character is not a digit. Bytes of 0x80 and above
// compare as negative and so fail both ranges.
inline bool DecodeBlock16(const char* digits, std::uint8_t* out, __m128i& sums) {
  const auto nibbles = [](__m128i chars, __m128i& valid) {
    const __m128i folded = _mm_or_si128(chars, _mm_set1_epi8(0x20));  // 'A'-'F' as 'a'-'f'
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(chars, _mm_set1_epi8('0' - 1)),
                                        _mm_cmplt_epi8(chars, _mm_set1_epi8('9' + 1)));
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                         _mm_cmplt_epi8(folded, _mm_set1_epi8('f' + 1)));
    valid = _mm_and_si128(valid, _mm_or_si128(digit, letter));
    // A digit's value is its low four bits, plus 9 for a letter.
    return _mm_add_epi8(_mm_and_si128(chars, _mm_set1_epi8(0x0F)),
                        _mm_and_si128(letter, _mm_set1_epi8(9)));
  };
  // Each 16-bit lane holds a high nibble in its low byte and a low nibble in
  // its high byte; make it the byte value, then pack the lanes.
  const auto pairs = [](__m128i n) {
    return _mm_or_si128(_mm_and_si128(_mm_slli_epi16(n, 4), _mm_set1_epi16(0x00F0)),
                        _mm_srli_epi16(n, 8));
  };
  __m128i valid = _mm_set1_epi8(-1);
  const auto* in = reinterpret_cast<const __m128i*>(digits);
  const __m128i first = nibbles(_mm_loadu_si128(in), valid);
  const __m128i second = nibbles(_mm_loadu_si128(in + 1), valid);
  const __m128i bytes = _mm_packus_epi16(pairs(first), pairs(second));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
  sums = _mm_add_epi64(sums, _mm_sad_epu8(bytes, _mm_setzero_si128()));
  return _mm_movemask_epi8(valid) == 0xFFFF;
}
#endif

// `count` bytes from pairs of digits, their sum added to `sum` (the checksum
// comes out of the same pass); false when any character is not a digit.
inline bool DecodeBytes(const char* digits, std::size_t count, std::uint8_t* out, unsigned& sum) {
  std::size_t i = 0;
#if defined(__SSE2__)
  // Records mostly carry 16 or 32 bytes: take them 16 at a time.
  if (count >= 16) {
    __m128i sums = _mm_setzero_si128();
    for (; i + 16 <= count; i += 16) {
      if (!DecodeBlock16(digits + 2 * i, out + i, sums)) return false;
    }
    sum += static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
#endif
  unsigned bad = 0;
  for (; i < count; ++i) {
    const std::uint8_t high = Digit(digits[2 * i]);
    const std::uint8_t low = Digit(digits[2 * i + 1]);
    bad |= high | low;
    out[i] = static_cast<std::uint8_t>((high << 4) | (low & 0x0F));
    sum += out[i];
  }
  return (bad & kNotHex) == 0;
}

// The eight digits of a record header (byte count, address, type) into four
// bytes, all eight characters at once in one 64-bit word; false when any is
// not a digit. Every record passes here, so it is worth the bit tricks.
inline bool DecodeHeader(const char* digits, std::uint8_t* out) {
  if constexpr (std::endian::native != std::endian::little) {
    unsigned unused = 0;
    return DecodeBytes(digits, 4, out, unused);
  } else {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHigh = 0x80 * kOnes;
    std::uint64_t x;
    std::memcpy(&x, digits, 8);
    // Per byte, for bytes below 0x80: bit 7 of (b + 0x80 - c) is set when b >= c.
    const auto atLeast = [](std::uint64_t v, std::uint8_t c) {
      return (v + (0x80u - c) * kOnes) & kHigh;
    };
    const std::uint64_t folded = x | (0x20 * kOnes);  // 'A'-'F' as 'a'-'f'
    const std::uint64_t digit = atLeast(x, '0') & ~atLeast(x, '9' + 1);
    const std::uint64_t letter = atLeast(folded, 'a') & ~atLeast(folded, 'f' + 1);
    if ((x & kHigh) != 0 || ((digit | letter) & kHigh) != kHigh) return false;
    // A digit's value is its low four bits, plus 9 for a letter; then each
    // pair of nibbles (high one first in memory) becomes a byte.
    const std::uint64_t nibbles = (x & (0x0F * kOnes)) + (letter >> 7) * 9;
    constexpr std::uint64_t kLowNibbles = 0x000F000F000F000Fu;
    std::uint64_t v = ((nibbles & kLowNibbles) << 4) | ((nibbles >> 8) & kLowNibbles);
    v = (v | (v >> 8)) & 0x0000FFFF0000FFFFu;
    v = (v | (v >> 16)) & 0xFFFFFFFFu;
    const std::uint32_t bytes = static_cast<std::uint32_t>(v);
    std::memcpy(out, &bytes, 4);
    return true;
  }
}

enum class Outcome {
  Next,  // go on with the next line
  Stop,  // end record: the file is complete
  NoStartCharacter,
  ShortLine,
  TextAfterRecord,
  NotHexDigit,
  ChecksumMismatch,
  UnknownType,
  WrongByteCount,
  OutsideImage,
  MixedBases,
  NoEndRecord,
};

constexpr std::size_t kHeaderDigits = 9;    // ':' then byte count, address and type
constexpr std::size_t kChecksumDigits = 2;

enum RecordType : std::uint8_t {
  kData = 0x00,
  kEndOfFile = 0x01,
  kSegmentAddress = 0x02,
  kStartSegmentAddress = 0x03,
  kLinearAddress = 0x04,
  kStartLinearAddress = 0x05,
};

// The byte count each record type other than data must carry.
constexpr std::uint8_t kFixedByteCount[] = {0, 0, 2, 4, 2, 4};

// Takes records one line at a time into the staging area. A record is taken
// only when its line holds exactly what its byte count announces, every
// character of it is a digit, its checksum matches, and a data record lies
// wholly below `areaEnd`; anything else refuses the file.
struct RecordReader {
  std::uint8_t* staging;
  std::size_t areaEnd;
  // The readers of the tools that write these files differ where both kinds
  // of address are set: objcopy adds the segment and the linear base,
  // srec_cat takes the one set last. Data is placed only where they agree.
  std::uint32_t segmentBase = 0;
  std::uint32_t linearBase = 0;
  bool linearLast = false;
  std::uint32_t base = 0;  // the base both readings give, while they agree
  bool basesDisagree = false;
  std::uint32_t faultValue = 0;    // the offset, type or checksum a fault concerns
  std::uint32_t faultDetail = 0;   // and what was expected in its place
  std::uint8_t scratch[256] = {};  // the bytes of records that are not placed

  Outcome Take(const char* line, std::size_t length) {
    if (length == 0 || line[0] != ':') return Outcome::NoStartCharacter;
    if (length < kHeaderDigits) return Outcome::ShortLine;
    std::uint8_t header[4];
    if (!DecodeHeader(line + 1, header)) return Outcome::NotHexDigit;
    const std::size_t count = header[0];
    const std::size_t recordLength = kHeaderDigits + 2 * count + kChecksumDigits;
    if (length < recordLength) return Outcome::ShortLine;
    if (length > recordLength) return Outcome::TextAfterRecord;
    const std::uint8_t type = header[3];
    // At most 0xFFFFFFFF; the end is reckoned in 64 bits, as a record there
    // would wrap a 32-bit size_t back into the area.
    const std::uint32_t offset = base + (header[1] << 8 | header[2]);
    // Data is decoded straight to its place. Any other record, and data
    // with no place, is decoded aside: its checksum is checked first, as a
    // damaged digit may be what put it outside the image.
    const bool placed = type == kData && std::uint64_t{offset} + count <= areaEnd;
    std::uint8_t* bytes = placed ? staging + offset : scratch;
    unsigned sum = 0u + header[0] + header[1] + header[2] + header[3];
    std::uint8_t checksum = 0;
    if (!DecodeBytes(line + kHeaderDigits, count, bytes, sum) ||
        !DecodeBytes(line + recordLength - kChecksumDigits, 1, &checksum, sum)) {
      return Outcome::NotHexDigit;
    }
    if ((sum & 0xFF) != 0) {
      faultValue = checksum;
      faultDetail = (checksum - sum) & 0xFF;
      return Outcome::ChecksumMismatch;
    }
    if (type != kData) return TakeOther(type, count, bytes);
    if (basesDisagree) return Outcome::MixedBases;
    if (!placed) {
      faultValue = offset;
      faultDetail = static_cast<std::uint32_t>(areaEnd);
      return Outcome::OutsideImage;
    }
    return Outcome::Next;
  }

  // A record other than data, its bytes already decoded and summed.
  Outcome TakeOther(std::uint8_t type, std::size_t count, const std::uint8_t* bytes) {
    faultValue = type;
    if (type > kStartLinearAddress) return Outcome::UnknownType;
    if (count != kFixedByteCount[type]) {
      faultDetail = kFixedByteCount[type];
      return Outcome::WrongByteCount;
    }
    const auto word = [bytes] { return static_cast<std::uint32_t>(bytes[0] << 8 | bytes[1]); };
    switch (type) {
      case kEndOfFile:
        return Outcome::Stop;
      case kSegmentAddress:
        segmentBase = word() * 16;
        linearLast = false;
        SetBase();
        return Outcome::Next;
      case kLinearAddress:
        linearBase = word() << 16;
        linearLast = true;
        SetBase();
        return Outcome::Next;
      default:
        return Outcome::Next;  // start addresses: an image has no use for them
    }
  }

  // The two readings agree while the base not set last is zero.
  void SetBase() {
    base = linearLast ? linearBase : segmentBase;
    basesDisagree = (linearLast ? segmentBase : linearBase) != 0;
  }
};

struct ReaderResult {
  Outcome outcome = Outcome::Stop;
  unsigned long line = 0;    // 1-based line of a fault
  std::uint32_t value = 0;   // the offset, type or checksum a fault concerns
  std::uint32_t detail = 0;  // and what was expected in its place
  int fileCause = 0;         // a read error's file-error cause
};

// Reads records up to the end record; the lines after it are not looked at.
// Every record before it is read, wherever it lands, so the image is what the
// records say at their addresses and not what the first so many bytes were.
ReaderResult ParseRecords(LineFeeder& lines, const SharedBuffer& staging, std::size_t areaEnd) {
  RecordReader reader{staging.data, areaEnd};
  ReaderResult r;
  const char* line = nullptr;
  std::size_t length = 0;
  while (lines.Next(line, length)) {
    ++r.line;
    const Outcome outcome = reader.Take(line, length);
    if (outcome != Outcome::Next) {
      r.outcome = outcome;
      r.value = reader.faultValue;
      r.detail = reader.faultDetail;
      return r;
    }
  }
  // A file cut short, even at a line end, is still missing its end record:
  // reported at the line where that record should have been.
  r.fileCause = lines.cause();
  r.outcome = Outcome::NoEndRecord;
  ++r.line;
  return r;
}

void ReportFault(Context& ctx, const char* name, const ReaderResult& r) {
  const unsigned long line = r.line;
  const auto value = static_cast<unsigned long>(r.value);
  const auto detail = static_cast<unsigned long>(r.detail);
  switch (r.outcome) {
    case Outcome::Next:
    case Outcome::Stop:
      break;
    case Outcome::NoStartCharacter:
      ShowMessage(ctx, MessageCode::kHexStartMissing, ConsoleOnly);
      break;
    case Outcome::ShortLine:
      PrintFormatted(ctx, "\r\n%s line %lu: the line ends inside its record.", name, line);
      break;
    case Outcome::TextAfterRecord:
      PrintFormatted(ctx, "\r\n%s line %lu: text follows the record's checksum.", name, line);
      break;
    case Outcome::NotHexDigit:
      PrintFormatted(ctx, "\r\n%s line %lu: a hexadecimal digit is expected.", name, line);
      break;
    case Outcome::ChecksumMismatch:
      PrintFormatted(ctx, "\r\n%s line %lu: checksum %02lx does not match the record, which needs %02lx.",
                     name, line, value, detail);
      break;
    case Outcome::UnknownType:
      PrintFormatted(ctx, "\r\n%s line %lu: record type %02lx is not known.", name, line, value);
      break;
    case Outcome::WrongByteCount:
      PrintFormatted(ctx, "\r\n%s line %lu: a type %02lx record must hold %lu bytes.", name, line, value,
                     detail);
      break;
    case Outcome::OutsideImage:
      PrintFormatted(ctx, "\r\n%s line %lu: data at offset %lx lies outside the load area (%lx bytes).",
                     name, line, value, detail);
      break;
    case Outcome::MixedBases:
      PrintFormatted(ctx, "\r\n%s line %lu: data under both a segment and a linear address has no agreed place.",
                     name, line);
      break;
    case Outcome::NoEndRecord:
      PrintFormatted(ctx, "\r\n%s line %lu: the file ends without its end record.", name, line);
      break;
  }
}

// What one load fills, reads and copies.
struct LoadPlan {
  const char* fileName;
  const UpdateDefinition* definition;  // the one that names the file and may give its digest
  std::size_t fillEnd;    // staging offsets 0 .. fillEnd-1 start as 0xFF; data must land there
  std::size_t copyBegin;  // staging offsets copied to the same image offsets
  std::size_t copyEnd;
};

// The common record reader: fills the staging area, parses the file into it
// and, when every line was sound, copies the planned range into the image.
int LoadRecords(Context& ctx, const LoadPlan& plan) {
  const SharedBuffer& staging = ctx.host.dataBuffer;
  const SharedBuffer& image = ctx.host.imageBuffer;
  // A definition whose image does not fit the buffers would have the fill or
  // the copy run past them.
  if (staging.data == nullptr || image.data == nullptr || plan.fillEnd > staging.size ||
      plan.copyEnd > image.size) {
    const auto needed = static_cast<unsigned long>(std::max(plan.fillEnd, plan.copyEnd));
    PrintFormatted(ctx, "\r\nThe load needs %lx bytes, more than its buffers hold.", needed);
    NoteImageRefused(ctx, plan.fileName,
                     "the load needs " + std::to_string(needed) + " bytes, more than the buffers hold");
    return -1;
  }
  KnownDigests known;
  if (LookUpDigests(ctx, plan.fileName, plan.definition, known) != 0) return -1;
  std::memset(staging.data, 0xFF, plan.fillEnd);

  Platform& os = ctx.platform;
  const HANDLE file = os.CreateFileA(plan.fileName, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) {
    ReportFileException(ctx, FileCauseOf(os.GetLastError()));
    return -1;
  }
  std::optional<Sha256> digest;
  if (DigestWanted(ctx, known)) digest.emplace();
  LineFeeder lines(os, file, digest ? &*digest : nullptr);
  ReaderResult r = ParseRecords(lines, staging, plan.fillEnd);
  // The digest is of the whole file, the lines after the end record too.
  if (r.outcome == Outcome::Stop && digest && !lines.ReadToEnd()) r.fileCause = lines.cause();
  os.CloseHandle(file);
  if (r.fileCause != 0) {
    ReportFileException(ctx, r.fileCause);
    return -1;
  }
  if (r.outcome != Outcome::Stop) {
    ReportFault(ctx, plan.fileName, r);
    return -1;
  }
  if (digest && CheckDigest(ctx, plan.fileName, known, digest->Finish()) != 0) return -1;
  std::memcpy(image.data + plan.copyBegin, staging.data + plan.copyBegin,
              plan.copyEnd - plan.copyBegin);
  return 0;
}

}  // namespace

int LoadHexImage(Context& ctx) {
  const UpdateDefinition& def = ctx.matchedDefinition;
  if (std::memchr(def.fileName, '\0', sizeof def.fileName) == nullptr) return -1;
  const LoadPlan plan{def.fileName, &def, def.imageSize, 0, def.imageSize};
  if (LoadRecords(ctx, plan) != 0) return -1;
  ShowMessage(ctx, MessageCode::kFirmwareFileLoaded, ConsoleOnly);
  return 0;
}

int LoadHexPatch(Context& ctx) {
  const std::uint32_t imageSize = ctx.matchedDefinition.imageSize;
  // The block is replaced whole, so the fill covers it even when the image
  // ends before it: no byte of an earlier use of the buffer may reach it.
  // Records may lie anywhere in the image or the block; only the block is
  // taken from them.
  const std::size_t blockEnd = kPatchOffset + kPatchLength;
  const LoadPlan plan{kPatchFileName, nullptr, std::max<std::size_t>(imageSize, blockEnd), kPatchOffset,
                      blockEnd};
  if (LoadRecords(ctx, plan) != 0) return -1;
  ShowMessage(ctx, MessageCode::kPatchLoaded, ConsoleOnly);
  return 0;
}

}  // namespace odf
