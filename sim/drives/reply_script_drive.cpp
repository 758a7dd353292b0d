#include "sim/drives/reply_script_drive.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace odf::sim {

namespace {

// Bits 3-7 of a control byte, when set, give the command's duration in
// half-seconds, so replies also arrive late, past the transport's waits.
constexpr std::uint32_t kDurationStepMs = 500;

}  // namespace

ReplyScriptDrive::ReplyScriptDrive(std::shared_ptr<SimDrive> model, std::vector<std::uint8_t> script)
    : model_(std::move(model)), script_(std::move(script)) {
  peripheralType = model_->peripheralType;
}

std::string ReplyScriptDrive::Describe() const { return "scripted " + model_->Describe(); }

std::uint8_t ReplyScriptDrive::Next() { return Exhausted() ? 0 : script_[at_++]; }

void ReplyScriptDrive::Record(const CommandRecord& record, const std::uint8_t* data, const DriveReply& reply) {
  if (record.direction != 1 || data == nullptr || reply.status != 0 || reply.timedOut || reply.transportFail) return;
  const std::size_t n = std::min<std::size_t>(reply.dataTransferred, record.length);
  delivered_.push_back({record.cdb[0], record.cdb[2], std::vector<std::uint8_t>(data, data + n)});
}

DriveReply ReplyScriptDrive::Execute(const CommandRecord& record, std::uint8_t* data) {
  if (Exhausted()) {
    const DriveReply reply = model_->Receive(record, data);
    Record(record, data, reply);
    return reply;
  }
  const std::uint8_t control = Next();
  DriveReply reply;
  switch (static_cast<ScriptedReply>(control % kScriptedReplyKinds)) {
    case ScriptedReply::Model:
      reply = model_->Receive(record, data);
      break;
    case ScriptedReply::Short:
      reply = ModelReply(record, data, Next());
      break;
    case ScriptedReply::Data:
      reply = ScriptedData(record, data);
      break;
    case ScriptedReply::Sense:
      reply = ScriptedSense();
      break;
    case ScriptedReply::Status:
      reply.status = Next();
      reply.returnedSenseLength = 0;
      break;
    case ScriptedReply::Timeout:
      reply.timedOut = true;
      break;
    case ScriptedReply::Transport:
      reply.transportFail = true;
      reply.returnedSenseLength = Next();
      break;
    case ScriptedReply::SenseFailsIoctl:
      reply = ScriptedSense();
      reply.ioctlFails = true;
      break;
  }
  // A command that carries data to the drive (an image block, a mode block)
  // is only ever reported done by the model that took it: a script may make
  // it fail, never make the drive claim bytes it does not hold.
  if (record.direction == 2 && reply.status == 0 && !reply.timedOut && !reply.transportFail &&
      control % kScriptedReplyKinds != static_cast<int>(ScriptedReply::Model) &&
      control % kScriptedReplyKinds != static_cast<int>(ScriptedReply::Short)) {
    reply = model_->Receive(record, data);
  }
  if (control % kScriptedReplyKinds != 0) ++scripted_;
  if ((control >> 3) != 0) reply.durationMs = (control >> 3) * kDurationStepMs;
  Record(record, data, reply);
  return reply;
}

// The model's answer with at most `limit` bytes of its data phase. A data-in
// reply goes to a scratch buffer first, so the bytes past the cut are the
// host's own, as when a drive stops sending early.
DriveReply ReplyScriptDrive::ModelReply(const CommandRecord& record, std::uint8_t* data, std::size_t limit) {
  if (record.direction != 1 || data == nullptr) {
    DriveReply reply = model_->Receive(record, data);
    reply.dataTransferred = std::min<std::uint32_t>(reply.dataTransferred, static_cast<std::uint32_t>(limit));
    return reply;
  }
  scratch_.assign(record.length, 0);
  DriveReply reply = model_->Receive(record, scratch_.data());
  const std::size_t moved = std::min<std::size_t>({limit, reply.dataTransferred, record.length});
  std::memcpy(data, scratch_.data(), moved);
  reply.dataTransferred = static_cast<std::uint32_t>(moved);
  return reply;
}

// GOOD, with the data phase taken from the script: as many bytes as it says
// and still holds, never more than the host asked for.
DriveReply ReplyScriptDrive::ScriptedData(const CommandRecord& record, std::uint8_t* data) {
  std::size_t length = Next();
  if (length == 0xFF) {
    length = std::size_t{Next()} << 8;
    length |= Next();
  }
  DriveReply reply;
  length = std::min<std::size_t>(length, record.length);
  if (record.direction == 1 && data != nullptr) {
    length = std::min(length, script_.size() - at_);
    std::memcpy(data, script_.data() + at_, length);
    at_ += length;
  }
  reply.dataTransferred = static_cast<std::uint32_t>(length);
  return reply;
}

DriveReply ReplyScriptDrive::ScriptedSense() {
  DriveReply reply;
  reply.status = 2;
  reply.returnedSenseLength = Next();
  for (auto& b : reply.sense) b = Next();
  return reply;
}

}  // namespace odf::sim
