#include "update/interruption.h"

#include "core/context.h"

namespace odf {

InterruptionHold::InterruptionHold(Context& ctx) : platform_(&ctx.platform) {
  platform_->SetConsoleCtrlHandler(TRUE_);
}

void InterruptionHold::End() {
  if (platform_ == nullptr) return;
  platform_->SetConsoleCtrlHandler(FALSE_);
  platform_ = nullptr;
}

}  // namespace odf
