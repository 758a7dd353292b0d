#include "platform/posix_inhibit.h"

#include <unistd.h>

namespace odf::posix {

bool SleepInhibitor::Take(const std::string&, const std::string&, std::string& problem) {
  problem = "this build has no D-Bus client";
  return false;
}

void SleepInhibitor::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace odf::posix
