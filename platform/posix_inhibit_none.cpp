// The inhibitor of a build made without libsystemd: it never holds the
// system, and says why, so the update goes on with the one-line notice.
#include <unistd.h>

#include "platform/posix_inhibit.h"

namespace odf::posix {

bool SleepInhibitor::Take(const std::string&, const std::string&, std::string& problem) {
  problem = "this odflsh was built without libsystemd, so it cannot ask logind";
  return false;
}

void SleepInhibitor::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace odf::posix
