// Interruptions held off while a drive cannot be left: while it runs only
// its kernel (from the switch into it, or from finding it there, until it
// answers with its normal firmware again) and during family zero's flash. A
// process stopped there leaves the drive holding part of an image and
// running no firmware, without a word; held, the interruption answers the
// next question No and ends the run once this drive is done with.
//
// The same scope is the drive's update window, from the switch into update
// mode to the read-back of the new revision: while it is open the platform
// keeps the machine from sleeping or shutting down (and, on Linux, keeps the
// kernel's own commands away from the drive).
#pragma once

namespace odf {

struct Context;

class InterruptionHold {
 public:
  explicit InterruptionHold(Context& ctx);
  ~InterruptionHold() { End(); }
  InterruptionHold(const InterruptionHold&) = delete;
  InterruptionHold& operator=(const InterruptionHold&) = delete;

  // This scope no longer holds interruptions (a drive in its kernel still
  // does) and its update window is closed; once is enough.
  void End();

 private:
  Context* ctx_;
};

// The switch into the kernel has been sent and not plainly refused: from
// here on the drive may run only its kernel.
void NoteKernelSwitch(Context& ctx);

// An identity of the current drive has just been read: a kernel revision
// says it runs its kernel, a whole identity with another revision that it
// runs its normal firmware; a reply not whole says nothing.
void NoteIdentity(Context& ctx);

// What the search for a definition found: a kernel identity, or drive
// information that shows an empty normal part. Needs the inquiry reply
// cleared before the search, so that a failed read says nothing.
void NoteFoundState(Context& ctx);

// The run loop's bracket around one drive: the drive starts unknown, and one
// that ends in its kernel is recorded as left there. Only inside it does a
// drive in its kernel hold interruptions, so that a listing, which reads
// drives the same way, never does.
void StartDriveWatch(Context& ctx);
void EndDriveWatch(Context& ctx);

// The end of the run: nothing is held any more.
void ReleaseInterruptions(Context& ctx);

}  // namespace odf
