// The utility takes no arguments: the built-in definition, the host and the
// drives decide everything.
#include "core/context.h"
#include "app/run_update.h"
#include "platform/host_platform.h"

int main() {
  auto platform = odf::CreateHostPlatform();
  odf::Context ctx(*platform);
  return odf::RunUpdate(ctx);
}
