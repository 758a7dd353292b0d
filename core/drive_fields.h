// The fields of the drives' two identity replies, the standard INQUIRY data
// and the drive information (READ BUFFER of buffer 0xF1), and read-only views
// that name them. The procedures, discovery and the simulated drives all take
// their offsets from here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace odf {

// Where a fixed-width field sits in a reply.
struct ReplyField {
  std::size_t offset;
  std::size_t width;
};

// Standard INQUIRY data.
inline constexpr std::size_t kInquirySize = 96;
inline constexpr ReplyField kInquiryDeviceType{0, 1};
inline constexpr ReplyField kInquiryVendor{8, 8};
inline constexpr ReplyField kInquiryProduct{16, 16};
inline constexpr ReplyField kInquiryModel{8, 24};  // vendor and product as one run
inline constexpr ReplyField kInquiryRevision{32, 4};
// The revision as the readouts print it: with the byte that follows it.
inline constexpr ReplyField kInquiryRevisionPrinted{32, 5};
// yy/mm/dd in the first 8 bytes, or yyyy/mm/dd in all 10.
inline constexpr ReplyField kInquiryDate{37, 10};

// Drive information, the 48-byte reply to READ BUFFER of buffer 0xF1.
inline constexpr std::size_t kDriveInfoSize = 48;
inline constexpr ReplyField kDriveInfoHardware{16, 8};
inline constexpr ReplyField kDriveInfoHardwareNumber{20, 4};  // hexadecimal digits
inline constexpr ReplyField kDriveInfoSignature{24, 8};
inline constexpr ReplyField kDriveInfoNormalName{32, 8};

namespace detail {
// What a field outside a short reply reads as.
inline constexpr std::uint8_t kAbsentField[kInquirySize] = {};
}  // namespace detail

// The bytes of one field. A field that the reply does not hold whole reads as
// zero bytes, like the part of the drive-information area no reply filled, so
// nothing is ever read past the end of a short reply.
class FieldBytes {
 public:
  FieldBytes(std::span<const std::uint8_t> reply, ReplyField field) {
    const bool whole = field.offset <= reply.size() && field.width <= reply.size() - field.offset;
    data_ = whole ? reply.data() + field.offset : detail::kAbsentField;
    size_ = whole ? field.width : std::min(field.width, sizeof detail::kAbsentField);
  }

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::uint8_t operator[](std::size_t i) const { return i < size_ ? data_[i] : 0; }
  // For printing with a precision no wider than the field.
  const char* Chars() const { return reinterpret_cast<const char*>(data_); }

  // The field's first bytes equal `prefix`; a prefix wider than the field never does.
  bool StartsWith(std::span<const std::uint8_t> prefix) const {
    return prefix.size() <= size_ && std::memcmp(data_, prefix.data(), prefix.size()) == 0;
  }
  bool StartsWith(std::string_view prefix) const {
    return StartsWith(AsBytes(prefix));
  }
  // The whole field equals `bytes`, trailing blanks included.
  bool Equals(std::span<const std::uint8_t> bytes) const {
    return bytes.size() == size_ && StartsWith(bytes);
  }
  bool Equals(std::string_view text) const { return Equals(AsBytes(text)); }

 private:
  static std::span<const std::uint8_t> AsBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
  }

  const std::uint8_t* data_;
  std::size_t size_;
};

// Standard INQUIRY data of a drive.
class InquiryView {
 public:
  explicit InquiryView(std::span<const std::uint8_t> reply) : reply_(reply) {}

  std::uint8_t DeviceType() const { return Field(kInquiryDeviceType)[0]; }
  FieldBytes Vendor() const { return Field(kInquiryVendor); }
  FieldBytes Product() const { return Field(kInquiryProduct); }
  FieldBytes Model() const { return Field(kInquiryModel); }
  FieldBytes Revision() const { return Field(kInquiryRevision); }
  FieldBytes RevisionPrinted() const { return Field(kInquiryRevisionPrinted); }
  FieldBytes Date() const { return Field(kInquiryDate); }

  // Vendor, product and revision are all printable ASCII, as a drive reports
  // them. A reply cut short, or an area the drive never filled (a command the
  // host let pass as done), leaves zeros there: that is no identity at all.
  bool IdentityWhole() const { return Printable(Model()) && Printable(Revision()); }

 private:
  FieldBytes Field(ReplyField field) const { return FieldBytes(reply_, field); }
  static bool Printable(const FieldBytes& field) {
    for (std::size_t i = 0; i < field.size(); ++i) {
      if (field[i] < 0x20 || field[i] > 0x7E) return false;
    }
    return true;
  }

  std::span<const std::uint8_t> reply_;
};

// The drive information of a drive.
class DriveInfoView {
 public:
  explicit DriveInfoView(std::span<const std::uint8_t> reply) : reply_(reply) {}

  FieldBytes Hardware() const { return Field(kDriveInfoHardware); }
  FieldBytes HardwareNumber() const { return Field(kDriveInfoHardwareNumber); }
  FieldBytes Signature() const { return Field(kDriveInfoSignature); }
  FieldBytes NormalName() const { return Field(kDriveInfoNormalName); }
  // The normal part's model name is empty: the drive runs its kernel part only.
  bool KernelOnly() const { return NormalName()[0] == ' '; }

 private:
  FieldBytes Field(ReplyField field) const { return FieldBytes(reply_, field); }

  std::span<const std::uint8_t> reply_;
};

}  // namespace odf
