#include "update/update.h"
#include "app/context.h"
namespace odf {
int FamilyFourUpdate(Context&) { return 1; }
int SelectDefinition(Context&) { return -1; }
int WaitDriveReady(Context&) { return -1; }
int ConfirmKernelIdentity(Context&) { return -1; }
int CheckKernelCurrent(Context&) { return -1; }
}  // namespace odf
