// Builds a firmware image from an Intel HEX record file, and overlays one
// fixed block of it from the patch file. Records are parsed into the data
// buffer and copied into the image buffer only when the whole file was read,
// so a refused file never leaves a half-built image behind.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/context.h"
#include "core/messages.h"
#include "image/image.h"

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
class LineFeeder {
 public:
  LineFeeder(Platform& os, HANDLE file) : os_(os), file_(file) {}

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
// 32 digits into 16 bytes at once; false when any character is not a digit.
// Bytes of 0x80 and above compare as negative and so fail both ranges.
inline bool DecodeBlock16(const char* digits, std::uint8_t* out) {
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
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                   _mm_packus_epi16(pairs(first), pairs(second)));
  return _mm_movemask_epi8(valid) == 0xFFFF;
}
#endif

// `count` bytes from pairs of digits; false when any character is not a digit.
inline bool DecodeBytes(const char* digits, std::size_t count, std::uint8_t* out) {
  std::size_t i = 0;
#if defined(__SSE2__)
  // Records mostly carry 16 or 32 bytes: take them 16 at a time.
  for (; i + 16 <= count; i += 16) {
    if (!DecodeBlock16(digits + 2 * i, out + i)) return false;
  }
#endif
  unsigned bad = 0;
  for (; i < count; ++i) {
    const std::uint8_t high = Digit(digits[2 * i]);
    const std::uint8_t low = Digit(digits[2 * i + 1]);
    bad |= high | low;
    out[i] = static_cast<std::uint8_t>((high << 4) | (low & 0x0F));
  }
  return (bad & kNotHex) == 0;
}

// The eight digits of a record header (byte count, address, type) into four
// bytes, all eight characters at once in one 64-bit word; false when any is
// not a digit. Every record passes here, so it is worth the bit tricks.
inline bool DecodeHeader(const char* digits, std::uint8_t* out) {
  if constexpr (std::endian::native != std::endian::little) {
    return DecodeBytes(digits, 4, out);
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

// Four digits as a 16-bit number; false when one is not a digit.
inline bool DecodeWord(const char* digits, std::uint32_t& value) {
  std::uint8_t bytes[2];
  if (!DecodeBytes(digits, 2, bytes)) return false;
  value = static_cast<std::uint32_t>(bytes[0] << 8 | bytes[1]);
  return true;
}

enum class Outcome {
  Next,  // go on with the next line
  Stop,  // end record: the file is complete
  NoStartCharacter,
  ShortLine,
  NotHexDigit,
  OutsideStaging,
  LinearAddress,
};

constexpr std::size_t kHeaderDigits = 9;    // ':' then byte count, address and type
constexpr std::size_t kAddressDigits = 13;  // and the four digits of an address record

enum RecordType : std::uint8_t {
  kData = 0x00,
  kEndOfFile = 0x01,
  kSegmentAddress = 0x02,
  kLinearAddress = 0x04,
};

// Takes records one line at a time into the staging area. Every character a
// value comes from is checked to be a digit within its line, and every byte
// must land inside the staging area, or the record is refused.
struct RecordReader {
  std::uint8_t* staging;
  std::size_t stagingSize;
  std::uint32_t base = 0;
  std::uint64_t total = 0;
  std::uint32_t faultValue = 0;  // the offset or address a fault concerns

  Outcome Take(const char* line, std::size_t length) {
    if (length == 0 || line[0] != ':') return Outcome::NoStartCharacter;
    if (length < kHeaderDigits) return Outcome::ShortLine;
    std::uint8_t header[4];
    if (!DecodeHeader(line + 1, header)) return Outcome::NotHexDigit;
    const std::size_t count = header[0];
    const std::uint32_t address = static_cast<std::uint32_t>(header[1] << 8 | header[2]);
    switch (header[3]) {
      case kData:
        return TakeData(line, length, std::size_t{base} + address, count);
      case kEndOfFile:
        return Outcome::Stop;
      case kSegmentAddress:
      case kLinearAddress: {
        std::uint32_t value = 0;
        if (length < kAddressDigits) return Outcome::ShortLine;
        if (!DecodeWord(line + kHeaderDigits, value)) return Outcome::NotHexDigit;
        if (header[3] == kSegmentAddress) {
          base = value * 16;
        } else if (value != 0) {
          // Ignoring it would put every following record at the wrong
          // offset; a zero one changes nothing and stays ignored.
          faultValue = value;
          return Outcome::LinearAddress;
        }
        return Outcome::Next;
      }
      default:
        return Outcome::Next;  // other types carry nothing this image needs
    }
  }

  Outcome TakeData(const char* line, std::size_t length, std::size_t offset, std::size_t count) {
    if (length < kHeaderDigits + 2 * count) return Outcome::ShortLine;
    if (offset + count > stagingSize) {
      faultValue = static_cast<std::uint32_t>(offset);
      return Outcome::OutsideStaging;
    }
    if (!DecodeBytes(line + kHeaderDigits, count, staging + offset)) return Outcome::NotHexDigit;
    total += count;
    return Outcome::Next;
  }
};

struct ReaderResult {
  Outcome outcome = Outcome::Stop;
  unsigned long line = 0;   // 1-based line of a fault
  std::uint32_t value = 0;  // the offset or address a fault concerns
  int fileCause = 0;        // a read error's file-error cause
};

// Reads records until the end record, the end of the file, or `limit` data
// bytes; the lines after that are not looked at.
ReaderResult ParseRecords(LineFeeder& lines, const SharedBuffer& staging, std::uint64_t limit) {
  RecordReader reader{staging.data, staging.size};
  ReaderResult r;
  const char* line = nullptr;
  std::size_t length = 0;
  while (lines.Next(line, length)) {
    ++r.line;
    const Outcome outcome = reader.Take(line, length);
    if (outcome != Outcome::Next) {
      r.outcome = outcome;
      r.value = reader.faultValue;
      return r;
    }
    if (reader.total >= limit) return r;
  }
  r.fileCause = lines.cause();
  return r;
}

void ReportFault(Context& ctx, const char* name, const ReaderResult& r) {
  const unsigned long line = r.line;
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
    case Outcome::NotHexDigit:
      PrintFormatted(ctx, "\r\n%s line %lu: a hexadecimal digit is expected.", name, line);
      break;
    case Outcome::OutsideStaging:
      PrintFormatted(ctx, "\r\n%s line %lu: data at offset %lx lies outside the load area.", name,
                     line, static_cast<unsigned long>(r.value));
      break;
    case Outcome::LinearAddress:
      PrintFormatted(ctx, "\r\n%s line %lu: extended linear address %04lx is not supported.",
                     name, line, static_cast<unsigned long>(r.value));
      break;
  }
}

// What one load fills, reads and copies.
struct LoadPlan {
  const char* fileName;
  std::size_t fillEnd;    // staging offsets 0 .. fillEnd-1 start as 0xFF
  std::size_t copyBegin;  // staging offsets copied to the same image offsets
  std::size_t copyEnd;
  std::uint64_t limit;    // reading stops once this many data bytes were read
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
    PrintFormatted(ctx, "\r\nThe load needs %lx bytes, more than its buffers hold.",
                   static_cast<unsigned long>(std::max(plan.fillEnd, plan.copyEnd)));
    return -1;
  }
  std::memset(staging.data, 0xFF, plan.fillEnd);

  Platform& os = ctx.platform;
  const HANDLE file = os.CreateFileA(plan.fileName, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) {
    ReportFileException(ctx, FileCauseOf(os.GetLastError()));
    return -1;
  }
  LineFeeder lines(os, file);
  const ReaderResult r = ParseRecords(lines, staging, plan.limit);
  os.CloseHandle(file);
  if (r.fileCause != 0) {
    ReportFileException(ctx, r.fileCause);
    return -1;
  }
  if (r.outcome != Outcome::Stop) {
    ReportFault(ctx, plan.fileName, r);
    return -1;
  }
  std::memcpy(image.data + plan.copyBegin, staging.data + plan.copyBegin,
              plan.copyEnd - plan.copyBegin);
  return 0;
}

}  // namespace

int LoadHexImage(Context& ctx) {
  const UpdateDefinition& def = ctx.matchedDefinition;
  if (std::memchr(def.fileName, '\0', sizeof def.fileName) == nullptr) return -1;
  const LoadPlan plan{def.fileName, def.imageSize, 0, def.imageSize, def.imageSize};
  if (LoadRecords(ctx, plan) != 0) return -1;
  ShowMessage(ctx, MessageCode::kFirmwareFileLoaded, ConsoleOnly);
  return 0;
}

int LoadHexPatch(Context& ctx) {
  const std::uint32_t imageSize = ctx.matchedDefinition.imageSize;
  // The block is replaced whole, so the fill covers it even when the image
  // ends before it: no byte of an earlier use of the buffer may reach it.
  const std::size_t blockEnd = kPatchOffset + kPatchLength;
  const LoadPlan plan{kPatchFileName, std::max<std::size_t>(imageSize, blockEnd), kPatchOffset,
                      blockEnd, imageSize};
  if (LoadRecords(ctx, plan) != 0) return -1;
  ShowMessage(ctx, MessageCode::kPatchLoaded, ConsoleOnly);
  return 0;
}

}  // namespace odf
