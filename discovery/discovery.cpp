#include "discovery/discovery.h"
#include "app/context.h"
namespace odf {
int DiscoverTargets(Context& ctx) { ctx.targets.targetCount = 0; return 0; }
}  // namespace odf
