#include "sim/tcmu/tcmu_ring.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

#include "sim/tcmu/tcmu_abi.h"

namespace odf::tcmu {

namespace {

// Entry fields are packed at any alignment: read and written as bytes.
template <typename T>
T Get(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

template <typename T>
void Put(std::uint8_t* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

// The mailbox's head and tail are shared with the kernel: read the head
// before the entries it covers, publish the tail after the answers.
std::uint32_t LoadHead(const odf_tcmu_mailbox* mailbox) {
  return std::atomic_ref<const std::uint32_t>(mailbox->cmd_head).load(std::memory_order_acquire);
}

void StoreTail(odf_tcmu_mailbox* mailbox, std::uint32_t tail) {
  std::atomic_ref<std::uint32_t>(mailbox->cmd_tail).store(tail, std::memory_order_release);
}

// Fixed-format sense: ILLEGAL REQUEST, INVALID FIELD IN CDB, for an entry
// whose offsets lie outside the mapping.
std::vector<std::uint8_t> BadEntrySense() {
  std::vector<std::uint8_t> sense(18, 0);
  sense[0] = 0x70;
  sense[2] = 0x05;
  sense[7] = 10;
  sense[12] = 0x24;
  return sense;
}

}  // namespace

std::size_t RingCommand::length() const {
  std::size_t total = 0;
  for (const Segment& s : segments) total += s.length;
  return total;
}

std::size_t CdbLength(std::uint8_t opcode) {
  switch (opcode >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 16;  // vendor groups: take what the kernel's CDB area holds
  }
}

Ring::Ring(std::uint8_t* base, std::size_t size) : base_(base), size_(size) {}

bool Ring::Inside(std::uint64_t offset, std::uint64_t length) const {
  return offset <= size_ && length <= size_ - offset;
}

bool Ring::Valid(std::string& error) const {
  if (size_ < sizeof(odf_tcmu_mailbox)) {
    error = "the mapping is smaller than the mailbox";
    return false;
  }
  const auto* mailbox = reinterpret_cast<const odf_tcmu_mailbox*>(base_);
  if (mailbox->version != ODF_TCMU_MAILBOX_VERSION) {
    error = "mailbox version " + std::to_string(mailbox->version) + ", expected " +
            std::to_string(ODF_TCMU_MAILBOX_VERSION);
    return false;
  }
  if (mailbox->cmdr_size == 0 || !Inside(mailbox->cmdr_off, mailbox->cmdr_size)) {
    error = "the command ring lies outside the mapping";
    return false;
  }
  return true;
}

int Ring::Serve(const std::function<RingAnswer(const RingCommand&)>& handler) {
  auto* mailbox = reinterpret_cast<odf_tcmu_mailbox*>(base_);
  std::uint8_t* ring = base_ + mailbox->cmdr_off;
  const std::uint32_t ringSize = mailbox->cmdr_size;
  const std::uint32_t head = LoadHead(mailbox);
  std::uint32_t tail = mailbox->cmd_tail;
  int served = 0;
  while (tail != head) {
    std::uint8_t* entry = ring + tail;
    const auto lenOp = Get<std::uint32_t>(entry + offsetof(odf_tcmu_entry_header, len_op));
    const std::uint32_t length = lenOp & ~std::uint32_t{ODF_TCMU_OP_MASK};
    // A zero length would never move the tail: take the ring as broken and stop.
    if (length == 0 || std::uint64_t{tail} + length > ringSize) break;
    if ((lenOp & ODF_TCMU_OP_MASK) == ODF_TCMU_OP_CMD) {
      // The kernel sizes every command entry for its response; one that is
      // not would have its answer overwrite the next entry.
      if (length < ODF_TCMU_BODY_OFFSET + sizeof(odf_tcmu_response)) break;
      Answer(entry, Take(entry, length, handler));
      ++served;
    }
    tail = (tail + length) % ringSize;
  }
  StoreTail(mailbox, tail);
  return served;
}

// The request and the answer share the entry's memory: everything the
// handler needs is copied out before a byte of the answer is written.
RingAnswer Ring::Take(const std::uint8_t* entry, std::uint32_t length,
                      const std::function<RingAnswer(const RingCommand&)>& handler) const {
  const std::uint8_t* request = entry + ODF_TCMU_BODY_OFFSET;
  const auto cdbOffset = Get<std::uint64_t>(request + offsetof(odf_tcmu_request, cdb_off));
  const auto segments = Get<std::uint32_t>(request + offsetof(odf_tcmu_request, iov_cnt));
  RingAnswer refused;
  refused.status = 0x02;
  refused.sense = BadEntrySense();
  if (!Inside(cdbOffset, 1) ||
      ODF_TCMU_SEGMENTS_OFFSET + std::uint64_t{segments} * sizeof(odf_tcmu_segment) > length) {
    return refused;
  }
  RingCommand command;
  const std::size_t cdbLength = std::min<std::size_t>(CdbLength(base_[cdbOffset]), size_ - cdbOffset);
  command.cdb.assign(base_ + cdbOffset, base_ + cdbOffset + cdbLength);
  for (std::uint32_t i = 0; i < segments; ++i) {
    const auto segment = Get<odf_tcmu_segment>(entry + ODF_TCMU_SEGMENTS_OFFSET + i * sizeof(odf_tcmu_segment));
    if (!Inside(segment.base, segment.length)) return refused;
    command.segments.push_back({base_ + segment.base, static_cast<std::size_t>(segment.length)});
  }
  return handler(command);
}

void Ring::Answer(std::uint8_t* entry, const RingAnswer& answer) {
  const auto* mailbox = reinterpret_cast<const odf_tcmu_mailbox*>(base_);
  odf_tcmu_response response{};
  response.scsi_status = answer.status;
  const std::size_t senseLength = std::min(answer.sense.size(), sizeof response.sense_buffer);
  // No sense (a good status) may come as an empty vector whose data() is null.
  if (senseLength != 0) std::memcpy(response.sense_buffer, answer.sense.data(), senseLength);
  // A short data-in phase is reported only where the kernel reads the length.
  if ((mailbox->flags & ODF_TCMU_FLAG_CAP_READ_LEN) != 0) {
    entry[offsetof(odf_tcmu_entry_header, uflags)] |= ODF_TCMU_UFLAG_READ_LEN;
    response.read_len = static_cast<std::uint32_t>(answer.readLength);
  }
  std::memcpy(entry + ODF_TCMU_BODY_OFFSET, &response, sizeof response);
}

}  // namespace odf::tcmu
