// The simulated ASPI layer and the events that signal its completions. A
// command reaches its drive when it is submitted; its request block is
// completed later, on the virtual clock, as a real layer would do it from its
// own thread.
#include <algorithm>
#include <cstring>

#include "sim/pc/sim_pc.h"
#include "sim/pc/sim_pc_impl.h"

namespace odf::sim {

namespace {

constexpr HMODULE kAspiModule = 0x10000000u;
constexpr FARPROC kSupportInfoEntry = 0x10001010u;
constexpr FARPROC kSendCommandEntry = 0x10001020u;

void CopyPadded(std::uint8_t (&field)[16], const std::string& text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text.data(), std::min(text.size(), sizeof field));
}

}  // namespace

void FillAdapterInquiry(SRB_HAInquiry& srb, std::size_t adapterCount, const std::string& identifier) {
  srb.HA_Count = static_cast<std::uint8_t>(adapterCount);
  srb.HA_SCSI_ID = 7;
  CopyPadded(srb.HA_ManagerId, "ASPI for WIN32");
  CopyPadded(srb.HA_Identifier, identifier);
  std::memset(srb.HA_Unique, 0, sizeof srb.HA_Unique);
  srb.HA_Unique[3] = 8;  // targets per bus
  srb.HA_Unique[6] = 1;  // 64 KiB largest transfer
  srb.SRB_Status = SS_COMP;
}

CommandRecord RecordOfRequest(const SRB_ExecSCSICmd& srb, std::uint64_t atMs) {
  CommandRecord record;
  std::copy(srb.CDBByte, srb.CDBByte + srb.SRB_CDBLen, record.cdb.begin());
  record.cdbLength = srb.SRB_CDBLen;
  switch (srb.SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT)) {
    case SRB_DIR_IN: record.direction = 1; break;
    case SRB_DIR_OUT: record.direction = 2; break;
    default: record.direction = 0; break;
  }
  record.length = srb.SRB_BufLen;
  record.viaAspi = true;
  record.polled = (srb.SRB_Flags & SRB_EVENT_NOTIFY) == 0;
  record.atMs = atMs;
  return record;
}

int SimPc::AddAdapter(const std::string& identifier) {
  impl_->adapters.push_back(identifier.substr(0, 16));
  return static_cast<int>(impl_->adapters.size()) - 1;
}

void SimPc::AttachAspiDrive(int adapter, int target, std::shared_ptr<SimDrive> drive) {
  for (auto& t : impl_->aspiTargets) {
    if (t.adapter == adapter && t.target == target) {
      t.drive = std::move(drive);
      return;
    }
  }
  impl_->aspiTargets.push_back({adapter, target, std::move(drive)});
}

HMODULE SimPc::LoadLibraryA(const char* name) {
  const std::string n = name ? name : "";
  // Windows adds ".DLL" to a name without an extension.
  if (aspiInstalled_ && (SameNameIgnoringCase(n, "WNASPI32.DLL") ||
                         SameNameIgnoringCase(n, "WNASPI32"))) {
    return kAspiModule;
  }
  lastError_ = ERROR_MOD_NOT_FOUND;
  return 0;
}

FARPROC SimPc::GetProcAddressOrdinal(HMODULE module, WORD ordinal) {
  if (module != kAspiModule) {
    lastError_ = ERROR_INVALID_HANDLE;
    return 0;
  }
  if (ordinal == 1) return kSupportInfoEntry;
  if (ordinal == 2) return kSendCommandEntry;
  lastError_ = ERROR_PROC_NOT_FOUND;
  return 0;
}

DWORD SimPc::CallGetASPI32SupportInfo(FARPROC entry) {
  ++supportInfoCalls_;
  if (entry != kSupportInfoEntry) return 0;
  if (hasSupportInfoOverride_) return supportInfoOverride_;
  const auto count = static_cast<DWORD>(impl_->adapters.size());
  if (count == 0) return 0xE800;  // what Wine's layer answers on a PC without adapters
  return (DWORD{SS_COMP} << 8) | (count & 0xFF);
}

DWORD SimPc::CallSendASPI32Command(FARPROC entry, void* srb) {
  if (entry != kSendCommandEntry) return kSsInvalidCmd;
  if (srb == nullptr) return kSsInvalidSrb;
  auto* bytes = static_cast<std::uint8_t*>(srb);
  switch (bytes[0]) {
    case SC_HA_INQUIRY: return impl_->HaInquiry(*static_cast<SRB_HAInquiry*>(srb));
    case SC_EXEC_SCSI_CMD: return impl_->ExecScsiCommand(*this, *static_cast<SRB_ExecSCSICmd*>(srb));
    case SC_ABORT_SRB:
      ++abortRequests_;
      return impl_->AbortCommand(aspiAbort_, *static_cast<SRB_Abort*>(srb));
    default:
      bytes[1] = kSsInvalidCmd;
      return kSsInvalidCmd;
  }
}

DWORD SimPc::Impl::HaInquiry(SRB_HAInquiry& srb) {
  if (srb.SRB_HaId >= adapters.size()) {
    srb.SRB_Status = kSsInvalidHa;
    return kSsInvalidHa;
  }
  FillAdapterInquiry(srb, adapters.size(), adapters[srb.SRB_HaId]);
  return SS_COMP;
}

DWORD SimPc::Impl::ExecScsiCommand(SimPc& pc, SRB_ExecSCSICmd& srb) {
  auto finishNow = [&srb](std::uint8_t status) -> DWORD {
    srb.SRB_Status = status;
    return status;
  };
  if (srb.SRB_HaId >= adapters.size()) return finishNow(kSsInvalidHa);
  SimDrive* drive = nullptr;
  for (const auto& t : aspiTargets) {
    if (t.adapter == srb.SRB_HaId && t.target == srb.SRB_Target && t.drive) drive = t.drive.get();
  }
  if (drive == nullptr || srb.SRB_Lun != 0) return finishNow(kSsNoDevice);
  if (srb.SRB_CDBLen == 0 || srb.SRB_CDBLen > 16) return finishNow(kSsInvalidSrb);
  std::uint8_t* data = srb.SRB_BufLen != 0 ? srb.SRB_BufPointer : nullptr;
  if (srb.SRB_BufLen != 0 &&
      (data == nullptr || (Known(data) && Resolve(reinterpret_cast<std::uintptr_t>(data),
                                                  srb.SRB_BufLen, false) == nullptr))) {
    return finishNow(kSsInvalidSrb);
  }
  // A block submitted again was taken back by its owner: its old completion is void.
  ForgetCompletionsIn(reinterpret_cast<std::uint8_t*>(&srb), 1);

  const CommandRecord record = RecordOfRequest(srb, pc.now_);
  const DriveReply reply = drive->Receive(record, data);

  PendingCompletion c;
  c.sequence = nextSequence++;
  c.srb = &srb;
  if (!record.polled) c.event = reinterpret_cast<std::uintptr_t>(srb.SRB_PostProc);
  if (reply.timedOut) {
    // The layer gives up on a silent drive, so no caller waits for ever.
    c.atMs = pc.now_ + kAspiGiveUpMs;
    c.srbStatus = SS_ERR;
    c.haStat = kHaStatTimeout;
  } else if (reply.transportFail) {
    c.atMs = pc.now_;
    c.srbStatus = SS_ERR;
    c.haStat = kHaStatSelectionTimeout;
  } else {
    c.atMs = pc.now_ + reply.durationMs;
    c.srbStatus = reply.status == 0 ? SS_COMP : SS_ERR;
    c.targStat = reply.status;
    if (reply.status != 0) {
      c.senseLength = std::min<std::uint8_t>(
          {srb.SRB_SenseLen, reply.returnedSenseLength, static_cast<std::uint8_t>(c.sense.size())});
      c.sense = reply.sense;
    }
  }
  pending.push_back(c);
  srb.SRB_Status = SS_PENDING;
  return SS_PENDING;
}

// A command the layer has not completed ends at once with SS_ABORTED (its
// event signalled, as for any completion) and its block is let go; one
// already completed has nothing left to abort.
DWORD SimPc::Impl::AbortCommand(AspiAbort answer, SRB_Abort& srb) {
  auto finishNow = [&srb](std::uint8_t status) -> DWORD {
    srb.SRB_Status = status;
    return status;
  };
  if (srb.SRB_HaId >= adapters.size()) return finishNow(kSsInvalidHa);
  if (answer == AspiAbort::Refuse) return finishNow(SS_ABORT_FAIL);
  if (answer == AspiAbort::Ignore) return finishNow(SS_COMP);
  const auto found = std::find_if(pending.begin(), pending.end(), [&srb](const PendingCompletion& c) {
    return static_cast<void*>(c.srb) == srb.SRB_ToAbort;
  });
  if (found != pending.end()) {
    PendingCompletion aborted = *found;
    pending.erase(found);
    aborted.srbStatus = SS_ABORTED;
    aborted.haStat = 0;
    aborted.targStat = 0;
    aborted.senseLength = 0;
    Complete(aborted);
  }
  return finishNow(SS_COMP);
}

void SimPc::Impl::Complete(const PendingCompletion& c) {
  SRB_ExecSCSICmd& srb = *c.srb;
  srb.SRB_HaStat = c.haStat;
  srb.SRB_TargStat = c.targStat;
  if (c.senseLength > 0) std::memcpy(srb.SenseArea, c.sense.data(), c.senseLength);
  srb.SRB_Status = c.srbStatus;
  if (c.event != 0) {
    if (auto* ev = Find(c.event, HandleKind::Event)) ev->signalled = true;
  }
}

void SimPc::Impl::RunUntil(SimPc& pc, std::uint64_t untilMs) {
  for (;;) {
    auto next = std::min_element(pending.begin(), pending.end(),
                                 [](const PendingCompletion& a, const PendingCompletion& b) {
                                   return a.atMs != b.atMs ? a.atMs < b.atMs
                                                           : a.sequence < b.sequence;
                                 });
    if (next == pending.end() || next->atMs > untilMs) break;
    const PendingCompletion c = *next;
    pending.erase(next);
    pc.now_ = std::max(pc.now_, c.atMs);
    Complete(c);
  }
  pc.now_ = std::max(pc.now_, untilMs);
}

void SimPc::Impl::ForgetCompletionsIn(const std::uint8_t* base, std::size_t size) {
  const auto start = reinterpret_cast<std::uintptr_t>(base);
  pending.erase(std::remove_if(pending.begin(), pending.end(),
                               [&](const PendingCompletion& c) {
                                 const auto at = reinterpret_cast<std::uintptr_t>(c.srb);
                                 return at >= start && at - start < size;
                               }),
                pending.end());
}

// ---- events ------------------------------------------------------------------

HANDLE SimPc::CreateEventA(BOOL manualReset, BOOL initialState) {
  HandleObject ev;
  ev.kind = HandleKind::Event;
  ev.manualReset = manualReset != FALSE_;
  ev.signalled = initialState != FALSE_;
  return impl_->NewHandle(std::move(ev));
}

DWORD SimPc::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (impl_->Find(handle, HandleKind::Event) == nullptr) {
    lastError_ = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  impl_->RunUntil(*this, now_);  // what fell due already counts, with no time passing
  auto takeSignal = [this, handle]() {
    auto* ev = impl_->Find(handle, HandleKind::Event);
    if (!ev->signalled) return false;
    if (!ev->manualReset) ev->signalled = false;
    return true;
  };
  if (takeSignal()) return WAIT_OBJECT_0;
  const PendingCompletion* next = nullptr;
  for (const auto& c : impl_->pending) {
    if (c.event == handle && (next == nullptr || c.atMs < next->atMs)) next = &c;
  }
  if (next != nullptr && (milliseconds == INFINITE || next->atMs <= now_ + milliseconds)) {
    impl_->RunUntil(*this, next->atMs);
    if (takeSignal()) return WAIT_OBJECT_0;
  }
  if (milliseconds == INFINITE) {
    // Nothing will ever signal it; a real wait would hang the program.
    lastError_ = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  Advance(milliseconds);
  return takeSignal() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

}  // namespace odf::sim
