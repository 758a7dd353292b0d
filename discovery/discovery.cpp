// Drive discovery: probe every addressable drive and keep those that an
// update definition serves.
#include "discovery/discovery.h"

#include <cstring>

#include "core/context.h"
#include "core/drive_fields.h"
#include "discovery/drive_lock.h"
#include "discovery/host.h"
#include "image/image.h"
#include "scsi/commands.h"
#include "scsi/transport.h"

namespace odf {

namespace {

constexpr std::uint8_t kWriteOnceDevice = 4;
constexpr std::uint8_t kCdDvdDevice = 5;

// Appends a target; false when the table is full (only reachable on a host
// with very many ASPI adapters).
bool AppendTarget(Context& ctx, const TargetDrive& drive) {
  TargetTable& table = ctx.targets;
  if (table.targetCount >= kTargetSlots) return false;
  table.entries[static_cast<std::size_t>(table.targetCount)] = drive;
  ++table.targetCount;
  return true;
}

// Opens a handle without access rights on a CD/DVD-class volume and sends the
// media-notification control through it; the handle stays open so that the
// clean-up can send the same control again.
void OpenNotificationHandle(Context& ctx, char letter) {
  HostState& h = ctx.host;
  if (h.mediaNotificationCount >= kMediaNotificationSlots) return;
  MediaNotificationEntry& entry = h.mediaNotification[static_cast<std::size_t>(h.mediaNotificationCount)];
  ++h.mediaNotificationCount;
  entry.driveLetter = letter;

  const char path[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
  entry.handle = ctx.platform.CreateFileA(path, 0, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                                          win::OPEN_EXISTING, 0);
  // A drive that refuses this handle is probed all the same.
  if (entry.handle == win::INVALID_HANDLE_VALUE) return;
  win::BYTE preventRemoval = 0;
  win::DWORD returned = 0;
  // Nothing depends on the answer.
  ctx.platform.DeviceIoControl(entry.handle, win::IOCTL_STORAGE_MCN_CONTROL, &preventRemoval,
                               sizeof preventRemoval, nullptr, 0, &returned);
}

void Tell(const Context& ctx, const ProbeObserver& observer, ProbedDrive& probed,
          const std::uint8_t* inquiry) {
  if (!observer) return;
  probed.inquiry = {inquiry, kInquirySize};
  probed.driveInfo = ctx.driveInfo;
  observer(probed);
}

void TellBusy(const ProbeObserver& observer, char letter) {
  if (!observer) return;
  ProbedDrive probed;
  probed.finding = ProbeFinding::Busy;
  probed.driveLetter = letter;
  observer(probed);
}

// The definition serving a drive, or -1. A drive whose reply left its
// revision (or vendor or product) out, or filled it with bytes no drive
// reports, cannot be told apart from another model or firmware: taking it
// for a target would switch it into its kernel with no way to confirm
// what it then runs.
int MatchWholeIdentity(Context& ctx, const std::uint8_t* inquiry, ProbedDrive& probed) {
  if (!InquiryView({inquiry, kInquirySize}).IdentityWhole()) {
    probed.finding = ProbeFinding::IncompleteIdentity;
    return -1;
  }
  return MatchDefinition(ctx, inquiry);
}

// The probe of one volume, under the shared lock its caller holds.
void ProbeVolume(Context& ctx, PassThroughPort& port, char letter, const ProbeObserver& observer) {
  HostState& h = ctx.host;
  if (!port.OpenVolume(letter)) return;
  const CommandTarget volume;  // the open volume
  if (ProbeInquiry(port, volume, h.dataBuffer.data) != CommandResult::Done) {
    port.CloseVolume();
    return;
  }
  const std::uint8_t* inquiry = h.dataBuffer.data;
  const std::uint8_t deviceType = InquiryView({inquiry, h.dataBuffer.size}).DeviceType();
  if (deviceType == kWriteOnceDevice || deviceType == kCdDvdDevice) OpenNotificationHandle(ctx, letter);
  if (ProbeDriveInfo(port, volume, ctx.driveInfo.data()) != CommandResult::Done) ctx.driveInfo.fill(0);

  ProbedDrive probed;
  probed.driveLetter = letter;
  if (MatchWholeIdentity(ctx, inquiry, probed) >= 0) {
    TargetDrive drive;
    drive.driveLetter = letter;
    if (AppendTarget(ctx, drive)) {
      ctx.run.currentTarget = ctx.targets.targetCount - 1;
      port.SetPolicyTarget(ctx.run.currentTarget);
      probed.targetIndex = ctx.run.currentTarget;
    }
  }
  port.CloseVolume();
  Tell(ctx, observer, probed, inquiry);
}

int DiscoverPassThrough(Context& ctx, PassThroughPort& port, const ProbeObserver& observer) {
  HostState& h = ctx.host;
  h.mediaNotificationCount = 0;
  h.mediaNotification.fill(MediaNotificationEntry{});

  // A, B and C are floppy and system drives; they are never probed.
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    // Held until the probe ends, so that no other odflsh starts updating
    // the drive between this one's INQUIRY and its drive-information read;
    // a drive another odflsh is updating gets no command from this one.
    const DriveLock shared(ctx, letter, LockUse::Probe);
    if (!shared.Taken()) {
      TellBusy(observer, letter);
      continue;
    }
    ProbeVolume(ctx, port, letter, observer);
  }
  return ctx.targets.targetCount;
}

void ProbeAspiTarget(Context& ctx, ScsiPort& port, int adapter, int targetId, const ProbeObserver& observer) {
  CommandTarget at;
  at.hostAdapter = adapter;
  at.targetId = targetId;
  if (ProbeInquiry(port, at, ctx.host.dataBuffer.data) != CommandResult::Done) return;
  if (ProbeDriveInfo(port, at, ctx.driveInfo.data()) != CommandResult::Done) ctx.driveInfo.fill(0);
  ProbedDrive probed;
  probed.hostAdapter = adapter;
  probed.targetId = targetId;
  if (MatchWholeIdentity(ctx, ctx.host.dataBuffer.data, probed) >= 0) {
    TargetDrive drive;
    drive.hostAdapter = adapter;
    drive.targetId = targetId;
    if (AppendTarget(ctx, drive)) probed.targetIndex = ctx.targets.targetCount - 1;
  }
  Tell(ctx, observer, probed, ctx.host.dataBuffer.data);
}

int DiscoverAspi(Context& ctx, AspiPort& port, const ProbeObserver& observer) {
  HostState& h = ctx.host;
  for (int adapter = 0; adapter < h.adapterCount; ++adapter) {
    const auto& id = h.identifiers[static_cast<std::size_t>(adapter)];
    int lastTarget = 6;
    if (IdentifierIs(id, "ESDI_506")) {
      lastTarget = 1;
    } else if (IdentifierIs(id, "intelata")) {
      port.SetIntelDriver(kIntelAtaDriver);
      lastTarget = 1;
    } else if (port.Traits().intelDriverKind != kNoIntelDriver) {
      // With the Intel ATA driver in charge, other adapters are left alone.
      continue;
    }
    for (int targetId = 0; targetId <= lastTarget; ++targetId) {
      ProbeAspiTarget(ctx, port, adapter, targetId, observer);
    }
  }
  return ctx.targets.targetCount;
}

}  // namespace

int DiscoverTargets(Context& ctx) { return DiscoverDrives(ctx, nullptr); }

int DiscoverDrives(Context& ctx, const ProbeObserver& observer) {
  ctx.targets.targetCount = 0;
  // Without the shared buffers (a setup that did not finish) there is
  // nowhere to put the replies.
  if (ctx.host.dataBuffer.data == nullptr) return 0;
  if (AspiPort* aspi = AspiPortOf(ctx)) return DiscoverAspi(ctx, *aspi, observer);
  if (PassThroughPort* passThrough = PassThroughPortOf(ctx)) return DiscoverPassThrough(ctx, *passThrough, observer);
  return 0;
}

}  // namespace odf
