// The SCSI commands the utility sends: five generic builders and the
// wrappers that fix vendor-specific modes and buffer ids.
#pragma once

#include <cstdint>

namespace odf {

struct Context;

int TestUnitReady(Context& ctx, int target);
int Inquiry(Context& ctx, int target, std::uint8_t* buffer);
int StartStopUnit(Context& ctx, int target, std::uint8_t immed, std::uint8_t powerCondition,
                  std::uint8_t loadEject, std::uint8_t start);
int ReadBuffer(Context& ctx, int target, std::uint8_t mode, std::uint8_t bufferId,
               std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer);
int WriteBuffer(Context& ctx, int target, std::uint8_t mode, std::uint8_t bufferId,
                std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer);
// Sends nothing: sense reaches lastSense only through the automatic capture.
int RequestSense(Context& ctx, int target, std::uint8_t* senseArea);

// Wrappers; all address the drive the procedure selected (transport.policy.target).
// ReadDriveInfo fills the drive-information area and nothing else.
int ReadDriveInfo(Context& ctx);
int StopUnit(Context& ctx);
int EnterUpdateMode(Context& ctx);
int WriteUpdateBlock(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data);
int StartFlash(Context& ctx);
int ReadVerifyBlock(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data);
int WriteKernelBlock(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data);
int WriteNormalBlock(Context& ctx, std::uint32_t offset, std::uint32_t length, std::uint8_t* data);

}  // namespace odf
