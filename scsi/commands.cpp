#include "scsi/commands.h"
#include "app/context.h"
namespace odf {
int TestUnitReady(Context&, int) { return -1; }
int Inquiry(Context&, int, std::uint8_t*) { return -1; }
int StartStopUnit(Context&, int, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t) { return -1; }
int ReadBuffer(Context&, int, std::uint8_t, std::uint8_t, std::uint32_t, std::uint32_t, std::uint8_t*) { return -1; }
int WriteBuffer(Context&, int, std::uint8_t, std::uint8_t, std::uint32_t, std::uint32_t, std::uint8_t*) { return -1; }
int RequestSense(Context&, int, std::uint8_t*) { return 0; }
int ReadDriveInfo(Context&) { return -1; }
int StopUnit(Context&) { return -1; }
int EnterUpdateMode(Context&) { return -1; }
int WriteUpdateBlock(Context&, std::uint32_t, std::uint32_t, std::uint8_t*) { return -1; }
int StartFlash(Context&) { return -1; }
int ReadVerifyBlock(Context&, std::uint32_t, std::uint32_t, std::uint8_t*) { return -1; }
int WriteKernelBlock(Context&, std::uint32_t, std::uint32_t, std::uint8_t*) { return -1; }
int WriteNormalBlock(Context&, std::uint32_t, std::uint32_t, std::uint8_t*) { return -1; }
}  // namespace odf
