#include "discovery/host.h"
#include "app/context.h"
namespace odf {
int CheckHostEnvironment(Context&) { return 0; }
void ReleaseHostEnvironment(Context&) {}
}  // namespace odf
