// The named fields of the inquiry data and the drive information, read over
// replies of every length a drive or a failed read can leave.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/drive_fields.h"

namespace odf {
namespace {

// Replies are laid out byte by byte here, as a drive sends them, so a field
// placed one byte off or one byte too wide shows. The bytes right after the
// revision and after the long date are markers no field may swallow.
std::vector<std::uint8_t> InquiryReply(std::size_t length) {
  std::vector<std::uint8_t> reply(96, ' ');
  const std::uint8_t head[8] = {5, 0x80, 5, 2, 91, 0, 0, 0};
  std::memcpy(reply.data(), head, sizeof head);
  const std::string text = "KESTREL BD-ROM  QBC-850 1.02X2008/01/15Z";  // from byte 8
  std::memcpy(reply.data() + 8, text.data(), text.size());
  reply.resize(length);  // exactly as long as the reply, so a read past it is caught
  return reply;
}

std::vector<std::uint8_t> DriveInfoReply(std::size_t length, const std::string& normalName) {
  std::vector<std::uint8_t> reply(48, 0);
  const std::string text = "QBC 0100KES_ADV " + normalName;  // from byte 16
  std::memcpy(reply.data() + 16, text.data(), text.size());
  reply.resize(length);
  return reply;
}

std::string Text(const FieldBytes& field) { return std::string(field.Chars(), field.size()); }

const std::string kZeros(16, '\0');

TEST(InquiryView, FieldsOverFullAndShortReplies) {
  using Get = std::function<FieldBytes(const InquiryView&)>;
  const Get vendor = &InquiryView::Vendor, product = &InquiryView::Product,
            model = &InquiryView::Model, revision = &InquiryView::Revision,
            printed = &InquiryView::RevisionPrinted, date = &InquiryView::Date;
  struct Case {
    const char* name;
    std::size_t length;
    Get field;
    std::string expected;  // a field the reply does not hold whole reads as zeros
  };
  const Case cases[] = {
      {"vendor", 96, vendor, "KESTREL "},
      {"product", 96, product, "BD-ROM  QBC-850 "},
      {"model", 96, model, "KESTREL BD-ROM  QBC-850 "},
      {"revision", 96, revision, "1.02"},
      {"revision as printed", 96, printed, "1.02X"},
      {"long date", 96, date, "2008/01/15"},
      {"date ends where the reply ends", 47, date, "2008/01/15"},
      {"date one byte short", 46, date, kZeros.substr(0, 10)},
      {"printed revision one byte short", 36, printed, kZeros.substr(0, 5)},
      {"revision in the same short reply", 36, revision, "1.02"},
      {"product one byte short", 31, product, kZeros},
      {"vendor in the same short reply", 31, vendor, "KESTREL "},
      {"empty reply", 0, model, kZeros + kZeros.substr(0, 8)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::uint8_t> reply = InquiryReply(c.length);
    const FieldBytes field = c.field(InquiryView(reply));
    EXPECT_EQ(Text(field), c.expected);
    // Bytes within the width are readable one by one; beyond it they read as 0.
    EXPECT_EQ(field[c.expected.size() - 1], static_cast<std::uint8_t>(c.expected.back()));
    EXPECT_EQ(field[c.expected.size()], 0);
  }
  EXPECT_EQ(InquiryView(InquiryReply(96)).DeviceType(), 5);
  EXPECT_EQ(InquiryView(InquiryReply(0)).DeviceType(), 0);
}

TEST(FieldBytes, StartsWithAndEqualsCompareWithinTheWidth) {
  struct Case {
    std::string signature;  // drive-information bytes 24..31
    std::string text;
    bool startsWith;
    bool equals;
  };
  const Case cases[] = {
      {"KES_ADV ", "KES_ADV ", true, true},
      {"KES_ADV ", "KES_ADV", true, false},        // the trailing blank is part of the field
      {"MIROLX  ", "MIRO", true, false},
      {"MIRO    ", "MIRO    X", false, false},    // wider than the field, whatever follows it
      {"GENERAL ", "GENERIC ", false, false},
      {std::string("KES_ADV\0", 8), "KES_ADV ", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signature + "|" + c.text);
    std::vector<std::uint8_t> info(48, 0);
    std::memcpy(info.data() + 24, c.signature.data(), 8);
    info[32] = 'X';
    const FieldBytes field = DriveInfoView(info).Signature();
    EXPECT_EQ(field.StartsWith(c.text), c.startsWith);
    EXPECT_EQ(field.Equals(c.text), c.equals);
    const std::vector<std::uint8_t> bytes(c.text.begin(), c.text.end());
    EXPECT_EQ(field.StartsWith(bytes), c.startsWith);
    EXPECT_EQ(field.Equals(bytes), c.equals);
  }
}

TEST(DriveInfoView, FieldsAndKernelOnly) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> reply;
    std::string hardware, number, signature, normalName;
    bool kernelOnly;
  };
  const std::string eightZeros = kZeros.substr(0, 8);
  const Case cases[] = {
      {"normal part running", DriveInfoReply(48, "QBC-850 "), "QBC 0100", "0100", "KES_ADV ",
       "QBC-850 ", false},
      {"kernel part only", DriveInfoReply(48, "        "), "QBC 0100", "0100", "KES_ADV ",
       "        ", true},
      // Only the first byte of the name tells.
      {"name with a leading blank", DriveInfoReply(48, " QBC850 "), "QBC 0100", "0100",
       "KES_ADV ", " QBC850 ", true},
      {"one-letter name", DriveInfoReply(48, "Q       "), "QBC 0100", "0100", "KES_ADV ",
       "Q       ", false},
      // Discovery clears the area when the read fails: no blank, so not kernel-only.
      {"cleared after a failed read", std::vector<std::uint8_t>(64, 0), eightZeros,
       kZeros.substr(0, 4), eightZeros, eightZeros, false},
      {"reply ending before the normal name", DriveInfoReply(39, "        "), "QBC 0100", "0100",
       "KES_ADV ", eightZeros, false},
      {"reply ending inside the hardware code", DriveInfoReply(22, ""), eightZeros,
       kZeros.substr(0, 4), eightZeros, eightZeros, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const DriveInfoView info(c.reply);
    EXPECT_EQ(Text(info.Hardware()), c.hardware);
    EXPECT_EQ(Text(info.HardwareNumber()), c.number);
    EXPECT_EQ(Text(info.Signature()), c.signature);
    EXPECT_EQ(Text(info.NormalName()), c.normalName);
    EXPECT_EQ(info.KernelOnly(), c.kernelOnly);
  }
}

}  // namespace
}  // namespace odf
