// Interruptions held off while a drive cannot be left: from its switch into
// kernel or update mode until its new revision has been read. A process
// stopped in between leaves the drive holding part of an image and running
// no firmware, without a word; held, the interruption only ends the run once
// this drive is back.
#pragma once

namespace odf {

struct Context;
class Platform;

class InterruptionHold {
 public:
  explicit InterruptionHold(Context& ctx);
  ~InterruptionHold() { End(); }
  InterruptionHold(const InterruptionHold&) = delete;
  InterruptionHold& operator=(const InterruptionHold&) = delete;

  // Lets interruptions act again before the scope ends; once is enough.
  void End();

 private:
  Platform* platform_;
};

}  // namespace odf
