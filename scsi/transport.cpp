#include "scsi/transport.h"
#include "app/context.h"
namespace odf {
int SendCommand(Context& ctx, ScsiRequest& r) { if (r.targetIndex >= ctx.targets.targetCount) return -1; return -1; }
int OpenTargetVolume(Context&, char) { return -1; }
void CloseTargetVolume(Context&) {}
int SummarizeSense(Context& ctx) { auto& s = ctx.transport.lastSense; ctx.transport.senseSummary = (std::uint32_t(s[2]) << 16) | (std::uint32_t(s[12]) << 8) | s[13]; return 0; }
int PollPendingCommand(Context&) { return 1; }
int ProbeInquiry(Context&) { return -1; }
int ProbeInquiry(Context&, int, int) { return -1; }
int ProbeDriveInfo(Context&) { return -1; }
int ProbeDriveInfo(Context&, int, int) { return -1; }
}  // namespace odf
