// The two ports: SCSI pass-through through a drive's volume, and the ASPI
// layer through its request block. Each keeps only its own route's state.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "core/scsi_port.h"
#include "platform/layouts.h"
#include "platform/platform.h"
#include "platform/win_types.h"

namespace odf {

struct Context;

class PassThroughPort final : public ScsiPort {
 public:
  explicit PassThroughPort(Platform& platform, std::int32_t intelDriverKind = kNoIntelDriver)
      : platform_(platform), intelDriverKind_(intelDriverKind) {}

  PortTraits Traits() const override { return {TransportRoute::PassThrough, intelDriverKind_, bridgeIndex_}; }
  CommandResult Send(const ScsiRequest& request) override;
  CommandResult Probe(const ScsiRequest& request) override;

  // Opens a drive's volume and reads its SCSI address. A volume without one
  // (a drive behind the IEEE1394 bridge) opens all the same and marks the
  // policy's target as the bridge.
  bool OpenVolume(char letter);
  void CloseVolume();

  void SetIntelDriver(std::int32_t kind) { intelDriverKind_ = kind; }
  // The block layout of the system the program runs on (tests try both).
  void SetLayout(const PassThroughLayout& layout) { layout_ = &layout; }
  std::array<std::uint8_t, 3> Address() const { return {pathId_, targetId_, lun_}; }
  win::DWORD LastError() const { return lastError_; }

 private:
  struct Call;
  CommandResult RunDirect(const Call& call);
  CommandResult RunBuffered(const ScsiRequest& request);
  void FillHeader(std::uint8_t* block, const Call& call) const;
  void CaptureSense(const std::uint8_t* block);

  Platform& platform_;
  std::int32_t intelDriverKind_;
  std::int32_t bridgeIndex_ = -1;
  const PassThroughLayout* layout_ = &NativePassThroughLayout();
  win::HANDLE volume_ = win::INVALID_HANDLE_VALUE;
  std::uint8_t pathId_ = 0, targetId_ = 0, lun_ = 0;
  win::DWORD lastError_ = 0;
  std::array<std::uint8_t, 128> directBlock_{};
  std::array<std::uint8_t, 128 + 32> bufferedBlock_{};
};

class AspiPort final : public ScsiPort {
 public:
  explicit AspiPort(Platform& platform) : platform_(platform) {}

  PortTraits Traits() const override { return {TransportRoute::Aspi, intelDriverKind_, bridgeIndex_}; }
  CommandResult Send(const ScsiRequest& request) override;
  CommandResult Probe(const ScsiRequest& request) override;
  PendingState PollPending() override;
  bool CommandPending() const override { return pendingEvent_ != 0; }
  bool RequestBlockInUse() override { return RequestBlockBusy(0); }
  bool GiveUpHeldCommand() override;

  // The layer's command entry and the memory for its one request block, as
  // the host checks found them; Detach before that memory is released.
  void Attach(win::FARPROC sendCommand, void* requestBlock);
  void Detach();
  void SetIntelDriver(std::int32_t kind) { intelDriverKind_ = kind; }
  void SetBridge(std::int32_t adapter) { bridgeIndex_ = adapter; }
  win::HANDLE PendingEvent() const { return pendingEvent_; }

 private:
  struct Call;
  enum class EventOutcome { Completed, LeftPending, WaitRanOut, NoEvent };
  bool RequestBlockBusy(win::DWORD waitMs);
  bool Abort(SRB_ExecSCSICmd& srb);
  SRB_ExecSCSICmd* PrepareRequestBlock(const Call& call);
  EventOutcome SubmitWithEvent(SRB_ExecSCSICmd& srb, win::DWORD waitMs, bool leavePending);
  bool UsesPolledMode(const ScsiRequest& request) const;
  CommandResult WaitPolled(SRB_ExecSCSICmd& srb, std::int32_t timeoutMs);
  CommandResult Complete(const SRB_ExecSCSICmd& srb, const ScsiRequest& request);

  Platform& platform_;
  std::int32_t intelDriverKind_ = kNoIntelDriver;
  std::int32_t bridgeIndex_ = -1;
  win::FARPROC sendCommand_ = 0;
  SRB_ExecSCSICmd* requestBlock_ = nullptr;
  win::HANDLE pendingEvent_ = 0;  // 0: nothing pending
  // The port gave up on a command and the layer did not let it go when
  // asked to abort it: the layer still owns the request block.
  bool heldByLayer_ = false;
  // The request that asks the layer to abort a command.
  SRB_Abort abortBlock_{};
};

// The run's port; a run the host checks have not set up yet talks
// pass-through, the route of every NT host.
ScsiPort& PortOf(Context& ctx);
// The rules of the run's route (pass-through before the host checks).
PortTraits RouteTraits(const Context& ctx);
// The host checks choose the route: each replaces the run's port.
PassThroughPort& UsePassThrough(Context& ctx);
AspiPort& UseAspi(Context& ctx);
// The run's port as that route's port, or nullptr when it is another one.
PassThroughPort* PassThroughPortOf(Context& ctx);
AspiPort* AspiPortOf(Context& ctx);

}  // namespace odf
