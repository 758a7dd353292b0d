#include "update/update.h"
#include "app/context.h"
namespace odf {
void BuildModeBlock(Context&, std::uint8_t*, std::int32_t, bool) {}
int EnterKernelMode(Context&, std::int32_t) { return -1; }
int EnterNormalMode(Context&, std::int32_t) { return -1; }
int WriteKernelPart(Context&, int) { return -1; }
int TransferNormalPart(Context&, TransferVariant) { return -1; }
}  // namespace odf
