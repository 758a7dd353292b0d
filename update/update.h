// The update procedures, the transfer and mode switches, and the revision readout.
#pragma once

#include <cstdint>

#include "core/revision_state.h"
#include "core/scsi_port.h"

namespace odf {

struct Context;

enum class RevisionPhase : int { Current = 0, New = 1 };
enum class TransferVariant : int { FamilyFour = 4, FamilyOne = 1 };

// Procedures: 0 updated, -1 end of run, any other value not updated.
int FamilyFourUpdate(Context& ctx);
int FamilyOneUpdate(Context& ctx);
int FamilyZeroUpdate(Context& ctx);

// How the transport is to treat a drive, from its target index, its
// definition's family and its edition.
DrivePolicy DrivePolicyFor(std::int32_t target, std::int32_t familyCode, std::int32_t editionCode);
// Hands the transport the policy for the current target, the matched
// definition and the edition; run again whenever one of them changes.
void SetDrivePolicy(Context& ctx);

// Steps shared by the procedures.
int SelectDefinition(Context& ctx);
// Records the table entry `index` as the run's matchedDefinition and selectedIndex.
void CopyMatchedDefinition(Context& ctx, int index);
int WaitDriveReady(Context& ctx);
int ConfirmKernelIdentity(Context& ctx);
int CheckKernelCurrent(Context& ctx);

int ReadRevision(Context& ctx, RevisionPhase phase);

// The challenge and response some writers demand before they take the switch
// into their kernel, then that switch. 0 when the drive took the switch; the
// failing command's status; -1 when the identity read after the switch failed.
int UnlockUpdateMode(Context& ctx);

// Transfer and mode switches.
void BuildModeBlock(Context& ctx, std::uint8_t* block, std::int32_t familyCode, bool normalMode);
int EnterKernelMode(Context& ctx, std::int32_t familyCode);
int EnterNormalMode(Context& ctx, std::int32_t familyCode);
int WriteKernelPart(Context& ctx, int blockCount);
int TransferNormalPart(Context& ctx, TransferVariant variant);
// An Intel storage driver under the ASPI layer: it hides the drive's
// progress during the last block and its restart, so the procedures say
// more themselves and wait longer.
bool AspiWithIntelDriver(const Context& ctx);
// The time-out EnterNormalMode gives its command, by family, route and bridge.
std::int32_t NormalModeTimeoutMs(const Context& ctx, std::int32_t familyCode);

}  // namespace odf
