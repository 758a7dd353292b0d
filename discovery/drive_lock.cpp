#include "discovery/drive_lock.h"

#include "core/context.h"
#include "scsi/transport.h"

namespace odf {

namespace {

// A probe holds its shared lock for an INQUIRY and a drive-information read,
// each given up after 2 s; a lock still shared after this long belongs to a
// process that is stuck, and the drive is left to it.
constexpr DWORD kProbeWaitLimitMs = 10000;
constexpr DWORD kLockPollMs = 50;

char TargetLetter(const Context& ctx) {
  const std::int32_t target = ctx.run.currentTarget;
  if (target < 0 || target >= kTargetSlots) return '\0';
  return ctx.targets.entries[static_cast<std::size_t>(target)].driveLetter;
}

// A handle of its own, without access rights: it carries no command, only the lock.
HANDLE OpenForLock(Platform& platform, const char* path) {
  return platform.CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
}

// A refusal for any reason but another holder means the host cannot lock:
// that does not stop anything.
bool HeldElsewhere(Platform& platform) { return platform.GetLastError() == ERROR_LOCK_VIOLATION; }

}  // namespace

DriveLock::DriveLock(Context& ctx) : DriveLock(ctx, TargetLetter(ctx), LockUse::Update) {}

DriveLock::DriveLock(Context& ctx, char letter, LockUse use) : platform_(ctx.platform) {
  if (RouteTraits(ctx).route != TransportRoute::PassThrough || letter == '\0') return;
  const char path[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
  volume_ = OpenForLock(platform_, path);
  if (volume_ == INVALID_HANDLE_VALUE) return;
  if (use == LockUse::Update) {
    taken_ = TakeExclusive(path);
  } else if (platform_.LockFileEx(volume_, LOCKFILE_FAIL_IMMEDIATELY) == FALSE_) {
    // Shared locks never refuse each other: another odflsh is updating the drive.
    taken_ = !HeldElsewhere(platform_);
  }
  if (!taken_) Release();
}

// Another odflsh probing the drive holds it for a moment only, so the update
// waits for it; one updating it holds it for minutes, so the drive is left
// to it at once.
bool DriveLock::TakeExclusive(const char* path) {
  // Counted in pauses, not read from the clock: a lock granted at once
  // costs nothing but the request.
  for (DWORD waitedMs = 0;; waitedMs += kLockPollMs) {
    if (platform_.LockFileEx(volume_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY) != FALSE_) return true;
    if (!HeldElsewhere(platform_)) return true;
    if (UpdatedElsewhere(path) || waitedMs >= kProbeWaitLimitMs) return false;
    platform_.Sleep(kLockPollMs);
  }
}

// Whether an exclusive lock is what refused this one: a shared lock asked
// through a second handle is refused only by that.
bool DriveLock::UpdatedElsewhere(const char* path) {
  const HANDLE probe = OpenForLock(platform_, path);
  if (probe == INVALID_HANDLE_VALUE) return false;
  const bool refused = platform_.LockFileEx(probe, LOCKFILE_FAIL_IMMEDIATELY) == FALSE_ && HeldElsewhere(platform_);
  platform_.CloseHandle(probe);
  return refused;
}

void DriveLock::Release() {
  if (volume_ != INVALID_HANDLE_VALUE) platform_.CloseHandle(volume_);
  volume_ = INVALID_HANDLE_VALUE;
}

DriveLock::~DriveLock() { Release(); }

}  // namespace odf
