// The target_core_user ring and the drive behind it, on a ring laid out in an
// ordinary buffer as the kernel lays it out in the UIO mapping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/drives/sim_drive.h"
#include "sim/tcmu/tcmu_abi.h"
#include "sim/tcmu/tcmu_drive.h"
#include "sim/tcmu/tcmu_ring.h"

namespace odf::tcmu {
namespace {

constexpr std::uint32_t kRingOffset = 128;
constexpr std::uint32_t kRingSize = 1024;
constexpr std::uint32_t kDataOffset = kRingOffset + kRingSize;

// A mapping as the kernel fills it: mailbox, command ring, data area. The
// kernel appends entries at cmd_head; the ring under test answers them.
class FakeMapping {
 public:
  explicit FakeMapping(std::uint16_t flags = ODF_TCMU_FLAG_CAP_READ_LEN) : bytes_(8192, 0) {
    mailbox()->version = ODF_TCMU_MAILBOX_VERSION;
    mailbox()->flags = flags;
    mailbox()->cmdr_off = kRingOffset;
    mailbox()->cmdr_size = kRingSize;
  }
  odf_tcmu_mailbox* mailbox() { return reinterpret_cast<odf_tcmu_mailbox*>(bytes_.data()); }
  std::uint8_t* base() { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }

  // Appends a command whose CDB and data lie at the given offsets; returns
  // the entry's offset in the ring.
  std::uint32_t Command(const std::vector<std::uint8_t>& cdb, std::uint64_t cdbOffset,
                        const std::vector<odf_tcmu_segment>& segments) {
    std::memcpy(base() + cdbOffset, cdb.data(), cdb.size());
    // The kernel makes every command entry big enough for the response too.
    const std::size_t asked = ODF_TCMU_SEGMENTS_OFFSET + segments.size() * sizeof(odf_tcmu_segment);
    const std::size_t least = ODF_TCMU_BODY_OFFSET + sizeof(odf_tcmu_response);
    const auto length = static_cast<std::uint32_t>((std::max(asked, least) + 7) & ~std::size_t{7});
    const std::uint32_t at = Append(ODF_TCMU_OP_CMD, length);
    std::uint8_t* entry = base() + kRingOffset + at;
    odf_tcmu_request request{};
    request.iov_cnt = static_cast<std::uint32_t>(segments.size());
    request.cdb_off = cdbOffset;
    std::memcpy(entry + ODF_TCMU_BODY_OFFSET, &request, sizeof request);
    // An empty vector's data() may be null, which memcpy must not get.
    if (!segments.empty()) {
      std::memcpy(entry + ODF_TCMU_SEGMENTS_OFFSET, segments.data(), segments.size() * sizeof(odf_tcmu_segment));
    }
    return at;
  }
  // Padding up to the ring's end, as the kernel writes when an entry would not fit.
  void PadToEnd() { Append(ODF_TCMU_OP_PAD, kRingSize - mailbox()->cmd_head); }

  odf_tcmu_response Response(std::uint32_t at) {
    odf_tcmu_response response;
    std::memcpy(&response, base() + kRingOffset + at + ODF_TCMU_BODY_OFFSET, sizeof response);
    return response;
  }
  std::uint8_t UserFlags(std::uint32_t at) {
    return base()[kRingOffset + at + offsetof(odf_tcmu_entry_header, uflags)];
  }

 private:
  std::uint32_t Append(std::uint32_t op, std::uint32_t length) {
    const std::uint32_t at = mailbox()->cmd_head;
    odf_tcmu_entry_header header{};
    header.len_op = length | op;
    std::memcpy(base() + kRingOffset + at, &header, sizeof header);
    mailbox()->cmd_head = (at + length) % kRingSize;
    return at;
  }
  std::vector<std::uint8_t> bytes_;
};

const std::vector<std::uint8_t> kInquiry = {0x12, 0x00, 0x00, 0x00, 0x60, 0x00};
const std::vector<std::uint8_t> kReadBuffer = {0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0, 0x30, 0};

TEST(TcmuRing, EachCommandIsCopiedOutBeforeItsAnswerOverwritesIt) {
  FakeMapping map;
  const std::uint32_t first = map.Command(kReadBuffer, kDataOffset, {{kDataOffset + 64, 16}, {kDataOffset + 256, 32}});
  const std::uint32_t second = map.Command(kInquiry, kDataOffset + 32, {});
  std::vector<RingCommand> seen;
  Ring ring(map.base(), map.size());
  const int served = ring.Serve([&](const RingCommand& command) {
    seen.push_back(command);
    RingAnswer answer;
    answer.status = 0x02;
    // Sense long enough to cover the request's CDB offset and segments.
    answer.sense.assign(18, 0xEE);
    answer.readLength = 40;
    return answer;
  });
  ASSERT_EQ(served, 2);
  EXPECT_EQ(seen[0].cdb, kReadBuffer);
  ASSERT_EQ(seen[0].segments.size(), 2u);
  EXPECT_EQ(seen[0].segments[0].data, map.base() + kDataOffset + 64);
  EXPECT_EQ(seen[0].segments[1].length, 32u);
  EXPECT_EQ(seen[0].length(), 48u);
  EXPECT_EQ(seen[1].cdb, kInquiry);  // a 6-byte CDB: its opcode's group says so
  EXPECT_EQ(map.mailbox()->cmd_tail, map.mailbox()->cmd_head);
  for (std::uint32_t at : {first, second}) {
    const odf_tcmu_response response = map.Response(at);
    EXPECT_EQ(response.scsi_status, 0x02);
    EXPECT_EQ(response.sense_buffer[17], 0xEE);
    EXPECT_EQ(response.sense_buffer[18], 0x00);
    EXPECT_EQ(response.read_len, 40u);
    EXPECT_TRUE(map.UserFlags(at) & ODF_TCMU_UFLAG_READ_LEN);
  }
}

TEST(TcmuRing, PaddingIsSkippedAndTheTailWrapsToTheRingStart) {
  FakeMapping map;
  // Fill the ring up to near its end, answered, so the next entries wrap.
  while (map.mailbox()->cmd_head + 2 * 112 < kRingSize) map.Command(kInquiry, kDataOffset, {});
  Ring ring(map.base(), map.size());
  int calls = 0;
  auto count = [&](const RingCommand&) {
    ++calls;
    return RingAnswer{};
  };
  ring.Serve(count);
  map.PadToEnd();
  const std::uint32_t wrapped = map.Command(kReadBuffer, kDataOffset, {});
  ASSERT_EQ(wrapped, 0u);
  calls = 0;
  EXPECT_EQ(ring.Serve(count), 1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(map.mailbox()->cmd_tail, map.mailbox()->cmd_head);
}

TEST(TcmuRing, OffsetsOutsideTheMappingAreRefusedNotFollowed) {
  struct Case {
    const char* name;
    std::uint64_t cdbOffset;
    std::vector<odf_tcmu_segment> segments;
  };
  const Case cases[] = {
      {"CDB past the end", 1u << 20, {}},
      {"segment past the end", kDataOffset, {{kDataOffset, 1u << 20}}},
      {"segment length that wraps", kDataOffset, {{kDataOffset, ~std::uint64_t{0}}}},
  };
  for (const Case& c : cases) {
    FakeMapping map;
    const std::uint32_t at = map.Command(kInquiry, kDataOffset, c.segments);
    // The offset is set after the CDB was written in bounds.
    std::memcpy(map.base() + kRingOffset + at + ODF_TCMU_BODY_OFFSET + offsetof(odf_tcmu_request, cdb_off),
                &c.cdbOffset, sizeof c.cdbOffset);
    bool handled = false;
    Ring(map.base(), map.size()).Serve([&](const RingCommand&) {
      handled = true;
      return RingAnswer{};
    });
    EXPECT_FALSE(handled) << c.name;
    const odf_tcmu_response response = map.Response(at);
    EXPECT_EQ(response.scsi_status, 0x02) << c.name;
    EXPECT_EQ(response.sense_buffer[2], 0x05) << c.name;
    EXPECT_EQ(map.mailbox()->cmd_tail, map.mailbox()->cmd_head) << c.name;
  }
}

TEST(TcmuRing, ReadLengthOnlyWhereTheKernelTakesIt) {
  FakeMapping map(0);
  const std::uint32_t at = map.Command(kInquiry, kDataOffset, {{kDataOffset + 64, 96}});
  Ring(map.base(), map.size()).Serve([](const RingCommand&) {
    RingAnswer answer;
    answer.readLength = 36;
    return answer;
  });
  EXPECT_FALSE(map.UserFlags(at) & ODF_TCMU_UFLAG_READ_LEN);
  EXPECT_EQ(map.Response(at).read_len, 0u);
}

TEST(TcmuRing, AnEntryTooShortForItsAnswerStopsTheRing) {
  // Its answer would overwrite the next entry; nothing is answered instead.
  FakeMapping map;
  map.Command(kInquiry, kDataOffset, {});
  std::uint32_t shortened = 64 | ODF_TCMU_OP_CMD;
  std::memcpy(map.base() + kRingOffset, &shortened, sizeof shortened);
  map.mailbox()->cmd_head = 64;
  int calls = 0;
  Ring(map.base(), map.size()).Serve([&](const RingCommand&) {
    ++calls;
    return RingAnswer{};
  });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(map.mailbox()->cmd_tail, 0u);
}

TEST(TcmuRing, AMailboxOfAnotherVersionIsNotServed) {
  FakeMapping map;
  map.mailbox()->version = 1;
  std::string error;
  EXPECT_FALSE(Ring(map.base(), map.size()).Valid(error));
  EXPECT_NE(error.find("version"), std::string::npos);
}

// The drive side: the data direction comes from the opcode, data-out is
// gathered from every segment, data-in scattered over them, and a drive's
// CHECK CONDITION comes back with its sense.
TEST(TcmuDrive, DataGoesTheWayTheOpcodeSays) {
  sim::Qbc850Drive drive;
  std::vector<std::uint8_t> area(256, 0xCC);
  RingCommand read;
  read.cdb = kReadBuffer;
  read.segments = {{area.data(), 20}, {area.data() + 100, 28}};
  const Served info = ServeCommand(drive, read, 0);
  EXPECT_EQ(info.answer.status, 0);
  EXPECT_EQ(info.answer.readLength, 48u);
  ASSERT_EQ(drive.log.size(), 1u);
  EXPECT_EQ(drive.log[0].direction, 1);
  EXPECT_EQ(drive.log[0].length, 48u);
  // Drive information bytes 16-23 ("QBC 0100") straddle the two segments.
  EXPECT_EQ(std::string(area.begin() + 16, area.begin() + 20), "QBC ");
  EXPECT_EQ(std::string(area.begin() + 100, area.begin() + 104), "0100");

  RingCommand unknown;
  unknown.cdb = {0x5A, 0x00, 0x2A, 0, 0, 0, 0, 0, 0x20, 0};  // MODE SENSE(10), which it lacks
  unknown.segments = {{area.data(), 32}};
  const Served refused = ServeCommand(drive, unknown, 1);
  EXPECT_EQ(refused.answer.status, 0x02);
  ASSERT_GE(refused.answer.sense.size(), 14u);
  EXPECT_EQ(refused.answer.sense[2] & 0x0F, 0x05);
  EXPECT_EQ(refused.answer.sense[12], 0x20);

  EXPECT_TRUE(DataOut(0x3B));
  EXPECT_FALSE(DataOut(0x3C));
  EXPECT_FALSE(DataOut(0x12));
}

}  // namespace
}  // namespace odf::tcmu
