// While a drive is being updated this process holds an exclusive lock on its
// volume, so that a second odflsh started meanwhile refuses the drive
// instead of sending it commands in the middle of a flash: its search for
// drives passes over it, and its run loop leaves it alone when the lock was
// taken after that search. Only the pass-through route has volumes to lock;
// on the ASPI route there is none.
#pragma once

#include "platform/win_types.h"

namespace odf {

struct Context;
class Platform;

class DriveLock {
 public:
  // Takes the lock of the current target's volume.
  explicit DriveLock(Context& ctx);
  // Takes the lock of the volume of this letter.
  DriveLock(Context& ctx, char letter);
  ~DriveLock();
  DriveLock(const DriveLock&) = delete;
  DriveLock& operator=(const DriveLock&) = delete;

  // False when another process holds the drive. A host that cannot lock at
  // all does not stop the update: the lock only keeps two odflsh apart.
  bool Taken() const { return taken_; }

 private:
  Platform& platform_;
  win::HANDLE volume_ = win::INVALID_HANDLE_VALUE;
  bool taken_ = true;
};

}  // namespace odf
