#include "app/run_update.h"
#include "app/context.h"
#include "app/messages.h"
namespace odf {
RunSteps DefaultRunSteps() {
  return RunSteps{CheckHostEnvironment, DiscoverTargets, FamilyZeroUpdate, FamilyOneUpdate, FamilyFourUpdate};
}
int RunUpdate(Context& ctx) {
  PrintFormatted(ctx, "\n/// ODD Firmware Update Utility Ver%1d.%02d%c\n", 2, 27, 'A');
  ctx.run.oemCodePage = ctx.platform.GetOEMCP();
  ResetRunState(ctx);
  LoadBuiltInDefinition(ctx);
  ctx.steps.checkHost(ctx);
  if (ctx.steps.discover(ctx) == 0) { ShowMessage(ctx, 28, NoticeInfo); ReleaseHostEnvironment(ctx); return 1; }
  return 0;
}
}  // namespace odf
