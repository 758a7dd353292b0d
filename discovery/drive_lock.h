// The volume locks that keep two odflsh apart on one drive. Discovery holds
// a shared lock on a drive while it probes it, so several odflsh may look at
// a drive at once, but none sends a command to a drive another is updating.
// While a drive is updated this process holds an exclusive lock on it: a
// second odflsh started meanwhile finds the drive busy in its search and
// passes over it, and its run loop leaves the drive alone when the lock was
// taken after that search. Only the pass-through route has volumes to lock;
// on the ASPI route there is none.
#pragma once

#include "platform/win_types.h"

namespace odf {

struct Context;
class Platform;

enum class LockUse {
  Probe,   // shared: refused only while another odflsh updates the drive
  Update,  // exclusive: waits while others only probe, refused while one updates
};

class DriveLock {
 public:
  // The exclusive lock of the current target's volume, for its update.
  explicit DriveLock(Context& ctx);
  // The lock of the volume of this letter.
  DriveLock(Context& ctx, char letter, LockUse use);
  ~DriveLock();
  DriveLock(const DriveLock&) = delete;
  DriveLock& operator=(const DriveLock&) = delete;

  // False when another process holds the drive. A host that cannot lock at
  // all does not stop the update: the lock only keeps two odflsh apart.
  bool Taken() const { return taken_; }

 private:
  bool TakeExclusive(const char* path);
  bool UpdatedElsewhere(const char* path);
  void Release();

  Platform& platform_;
  win::HANDLE volume_ = win::INVALID_HANDLE_VALUE;
  bool taken_ = true;
};

}  // namespace odf
