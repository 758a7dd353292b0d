// Numbers written as hexadecimal text in fixed-width fields: the image
// header's dates and hardware numbers, and the drives' dates. Decimal digits
// read as hexadecimal give packed BCD, which is how dates are compared.
#pragma once

#include <cstddef>
#include <cstdint>

namespace odf {

// Up to `width` hexadecimal digits from the start of a field, after leading
// blanks; stops at the first other byte. A field without digits reads as 0.
inline std::uint32_t HexField(const std::uint8_t* field, std::size_t width) {
  std::size_t i = 0;
  while (i < width && (field[i] == ' ' || field[i] == '\t')) ++i;
  std::uint32_t value = 0;
  for (; i < width; ++i) {
    const std::uint8_t c = field[i];
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10u;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10u;
    } else {
      break;
    }
    value = value * 16 + digit;
  }
  return value;
}

// A yy/mm/dd text (separators not checked) as 0x20YYMMDD.
inline std::uint32_t PackedShortDate(const std::uint8_t* text) {
  return 0x20000000u + (HexField(text, 2) << 16) + (HexField(text + 3, 2) << 8) +
         HexField(text + 6, 2);
}

// A revision text M.mm as the 16-bit version: the major digit in the high
// byte, the two minor digits as BCD in the low byte (1.04 gives 0x0104).
// Each character counts as its code minus '0', so other characters give a
// number without meaning, as drives and files that break the form deserve.
inline std::uint16_t RevisionNumber(const std::uint8_t* text) {
  const auto digit = [&](std::size_t i) { return text[i] - '0'; };
  return static_cast<std::uint16_t>(digit(0) * 256 + digit(2) * 16 + digit(3));
}

}  // namespace odf
