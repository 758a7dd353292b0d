// The command ring of one target_core_user device, as mapped from its UIO
// device: the kernel appends command entries and moves cmd_head; we answer
// each entry in place and move cmd_tail past it. Pure memory work, so a test
// can lay a ring out in an ordinary buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace odf::tcmu {

// One data segment of a command, already turned from a ring offset into a
// pointer inside the mapping.
struct Segment {
  std::uint8_t* data = nullptr;
  std::size_t length = 0;
};

// A command as the handler sees it, copied out of its entry.
struct RingCommand {
  std::vector<std::uint8_t> cdb;
  std::vector<Segment> segments;  // data-out to read, or data-in to fill
  std::size_t length() const;
};

// What the handler answers; the sense is fixed format.
struct RingAnswer {
  std::uint8_t status = 0;
  std::vector<std::uint8_t> sense;
  // Bytes of data-in actually filled, reported where the kernel takes it.
  std::size_t readLength = 0;
};

// The CDB length that the opcode's group implies (6, 10, 12 or 16 bytes).
std::size_t CdbLength(std::uint8_t opcode);

class Ring {
 public:
  // `base` is the whole mapping, `size` its length.
  Ring(std::uint8_t* base, std::size_t size);

  // Whether the mailbox is one this code understands; otherwise why not.
  bool Valid(std::string& error) const;

  // Answers every entry between cmd_tail and cmd_head; returns how many
  // commands (not padding) were answered. Entries or offsets that point
  // outside the mapping end the command with CHECK CONDITION instead.
  int Serve(const std::function<RingAnswer(const RingCommand&)>& handler);

 private:
  bool Inside(std::uint64_t offset, std::uint64_t length) const;
  RingAnswer Take(const std::uint8_t* entry, std::uint32_t length,
                  const std::function<RingAnswer(const RingCommand&)>& handler) const;
  void Answer(std::uint8_t* entry, const RingAnswer& answer);

  std::uint8_t* base_;
  std::size_t size_;
};

}  // namespace odf::tcmu
