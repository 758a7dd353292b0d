#include "update/update.h"
#include "app/context.h"
namespace odf {
int ReadRevision(Context&, RevisionPhase) { return -1; }
}  // namespace odf
