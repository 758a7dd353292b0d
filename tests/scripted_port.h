// A port with no PC behind it: it keeps each command it is given and answers
// from a script, so a procedure's decisions can be tested on their own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "core/context.h"
#include "core/scsi_port.h"

namespace odf::testing {

class ScriptedPort final : public ScsiPort {
 public:
  struct Answer {
    CommandResult result = CommandResult::Done;
    // Kept as the port's sense when given; a failure without sense leaves
    // whatever an earlier command left, as a host failure does.
    std::optional<SenseBytes> sense;
    std::vector<std::uint8_t> reply;  // copied into a read's area
  };
  struct Sent {
    std::vector<std::uint8_t> cdb;
    std::int32_t timeoutMs = 0;
    std::int32_t target = -1;
    bool leavePending = false;
    std::vector<std::uint8_t> data;  // what a write carried
  };

  explicit ScriptedPort(PortTraits traits = {}) : traits_(traits) {}

  PortTraits Traits() const override { return traits_; }
  CommandResult Send(const ScsiRequest& request) override { return Reply(request); }
  CommandResult Probe(const ScsiRequest& request) override { return Reply(request); }

  // Answers in order; a command past the end of the script is done.
  std::deque<Answer> script;
  std::vector<Sent> sent;

 private:
  CommandResult Reply(const ScsiRequest& request) {
    Sent record;
    record.cdb.assign(request.cdb.begin(), request.cdb.begin() + request.cdbLength);
    record.timeoutMs = request.timeoutMs;
    record.target = request.target.index;
    record.leavePending = request.leavePending;
    if (request.direction == DataDirection::Out && request.data != nullptr) {
      record.data.assign(request.data, request.data + request.dataLength);
    }
    sent.push_back(record);
    Answer answer;
    if (!script.empty()) {
      answer = script.front();
      script.pop_front();
    }
    if (request.direction == DataDirection::In && request.data != nullptr) {
      std::memset(request.data, 0, static_cast<std::size_t>(request.dataLength));
      const std::size_t count = std::min(answer.reply.size(), static_cast<std::size_t>(request.dataLength));
      if (count != 0) std::memcpy(request.data, answer.reply.data(), count);
    }
    senseFresh_ = answer.sense.has_value();
    if (answer.sense) KeepSense(*answer.sense);
    return answer.result;
  }

  PortTraits traits_;
};

// Gives the run a scripted port in place of the one the host checks chose.
inline ScriptedPort& UseScriptedPort(Context& ctx, PortTraits traits = {}) {
  auto port = std::make_unique<ScriptedPort>(traits);
  ScriptedPort& scripted = *port;
  ctx.port = std::move(port);
  return scripted;
}

// Fixed-format sense with the given key, ASC and ASCQ.
inline SenseBytes SenseOf(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  SenseBytes sense{};
  sense[0] = 0x70;
  sense[2] = key;
  sense[7] = 10;
  sense[12] = asc;
  sense[13] = ascq;
  return sense;
}

}  // namespace odf::testing
