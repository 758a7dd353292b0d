// A drive whose answers come from a byte script, in front of a drive model
// that answers whatever the script leaves to it. Fuzzing feeds the script, so
// any reply a drive could give (data of any length, short ones too, any sense
// bytes, any status, no answer at all) reaches the utility, while the model
// keeps the update going between the scripted replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/drives/sim_drive.h"

namespace odf::sim {

// The script is read one command at a time. Commands that carry data to the
// drive are never answered GOOD behind the model's back (the model takes them
// instead), so what the model holds is what the host really delivered. Each command takes one control
// byte, and some kinds the bytes after it; once the script is used up the
// model answers every command as it would.
enum class ScriptedReply : std::uint8_t {
  Model = 0,       // the model answers
  Short = 1,       // the model's answer, its data phase cut to N bytes: [N]
  Data = 2,        // GOOD with data from the script: [length][bytes...]; length 0xFF: [0xFF][hi][lo]
  Sense = 3,       // CHECK CONDITION: [returned sense length][18 sense bytes]
  Status = 4,      // another SCSI status with no sense: [status]
  Timeout = 5,     // the drive never answers
  Transport = 6,   // the host side fails: [returned sense length]
  SenseFailsIoctl = 7,  // CHECK CONDITION, and the pass-through call fails too: as Sense
};
inline constexpr int kScriptedReplyKinds = 8;

class ReplyScriptDrive : public SimDrive {
 public:
  ReplyScriptDrive(std::shared_ptr<SimDrive> model, std::vector<std::uint8_t> script);

  std::string Describe() const override;
  const SimDrive& model() const { return *model_; }
  // Commands answered from the script (not by the model).
  int scriptedReplies() const { return scripted_; }

  // The data each data-in command that ended GOOD really delivered, in order.
  struct Delivered {
    std::uint8_t opcode;
    std::uint8_t bufferId;  // CDB byte 2 of a READ BUFFER
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<Delivered>& delivered() const { return delivered_; }

 protected:
  DriveReply Execute(const CommandRecord& record, std::uint8_t* data) override;

 private:
  std::uint8_t Next();
  bool Exhausted() const { return at_ >= script_.size(); }
  DriveReply ModelReply(const CommandRecord& record, std::uint8_t* data, std::size_t limit);
  DriveReply ScriptedData(const CommandRecord& record, std::uint8_t* data);
  DriveReply ScriptedSense();
  void Record(const CommandRecord& record, const std::uint8_t* data, const DriveReply& reply);

  std::shared_ptr<SimDrive> model_;
  std::vector<std::uint8_t> script_;
  std::size_t at_ = 0;
  int scripted_ = 0;
  std::vector<std::uint8_t> scratch_;
  std::vector<Delivered> delivered_;
};

}  // namespace odf::sim
