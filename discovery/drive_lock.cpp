#include "discovery/drive_lock.h"

#include "core/context.h"
#include "scsi/transport.h"

namespace odf {

namespace {

char TargetLetter(const Context& ctx) {
  const std::int32_t target = ctx.run.currentTarget;
  if (target < 0 || target >= kTargetSlots) return '\0';
  return ctx.targets.entries[static_cast<std::size_t>(target)].driveLetter;
}

}  // namespace

DriveLock::DriveLock(Context& ctx) : DriveLock(ctx, TargetLetter(ctx)) {}

DriveLock::DriveLock(Context& ctx, char letter) : platform_(ctx.platform) {
  if (RouteTraits(ctx).route != TransportRoute::PassThrough || letter == '\0') return;
  const char path[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
  // A handle of its own, without access rights: it carries no command, only the lock.
  volume_ = platform_.CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
  if (volume_ == INVALID_HANDLE_VALUE) return;
  if (platform_.LockFileEx(volume_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY) == FALSE_) {
    taken_ = platform_.GetLastError() != ERROR_LOCK_VIOLATION;
  }
}

DriveLock::~DriveLock() {
  if (volume_ != INVALID_HANDLE_VALUE) platform_.CloseHandle(volume_);
}

}  // namespace odf
