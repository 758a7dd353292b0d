// A drive that answers every command with a scripted reply. It fills a
// data-in phase with a known pattern (even when the reply is a failure, so a
// copy-back that should not happen shows) and keeps the bytes of the last
// data-out phase, so a test sees where the data went.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/drives/sim_drive.h"

namespace odf::testing {

class ScriptedDrive : public sim::SimDrive {
 public:
  static std::uint8_t Pattern(std::size_t i) { return static_cast<std::uint8_t>(0x30 + i * 7); }

  sim::DriveReply reply;
  std::vector<std::uint8_t> received;
  std::string Describe() const override { return "scripted"; }

 protected:
  sim::DriveReply Execute(const sim::CommandRecord& record, std::uint8_t* data) override {
    if (record.direction == 1 && data != nullptr) {
      for (std::uint32_t i = 0; i < record.length; ++i) data[i] = Pattern(i);
    }
    if (record.direction == 2 && data != nullptr) received.assign(data, data + record.length);
    sim::DriveReply r = reply;
    r.dataTransferred = record.length;
    return r;
  }
};

}  // namespace odf::testing
