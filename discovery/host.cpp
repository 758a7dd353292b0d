// Host environment checks: which route the commands take, which disk drivers
// and IEEE1394 bridge are present, the shared buffers, and the clean-up.
#include "discovery/host.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "core/context.h"
#include "core/messages.h"
#include "platform/layouts.h"
#include "scsi/transport.h"

namespace odf {

namespace {

constexpr std::size_t kMiB = 0x100000;
constexpr std::size_t kHaInquirySize = sizeof(SRB_HAInquiry);  // 60

constexpr const char* kAcceleratorKey = "SOFTWARE\\INTEL\\Intel Application Accelerator";
constexpr const char* kUltraAtaKey = "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver";
constexpr const char* kBridgeKeyStem = "Enum\\SCSI\\KESTREL_DVD-RW__QRW-710_";
constexpr const char* kConfigManagerKey = "Config Manager\\Enum";
constexpr const char* kInstancePrefix = "SBP2&MIRO&MPCV-QRW";
constexpr std::size_t kInstancePrefixLength = 18;
// What commands carry until a step chooses another time-out.
constexpr std::int32_t kHostTimeoutMs = 1000;

// ---- buffers ---------------------------------------------------------------

bool ObtainBuffer(Context& ctx, SharedBuffer& buffer, std::size_t size) {
  win::HGLOBAL handle = ctx.platform.GlobalAlloc(win::GMEM_MOVEABLE | win::GMEM_ZEROINIT, size);
  if (handle == 0) return false;
  void* data = ctx.platform.GlobalLock(handle);
  if (data == nullptr) {
    ctx.platform.GlobalFree(handle);
    return false;
  }
  buffer.handle = handle;
  buffer.data = static_cast<std::uint8_t*>(data);
  buffer.size = size;
  return true;
}

void ReleaseBuffer(Context& ctx, SharedBuffer& buffer) {
  if (buffer.handle == 0) return;
  ctx.platform.GlobalUnlock(buffer.handle);
  ctx.platform.GlobalFree(buffer.handle);
  buffer = SharedBuffer{};
}

// Frees whatever was obtained and forgets it, so a second call does nothing.
void ReleaseBuffers(Context& ctx) {
  HostState& h = ctx.host;
  // The port must not keep a request block that is given back.
  if (AspiPort* aspi = AspiPortOf(ctx)) aspi->Detach();
  ReleaseBuffer(ctx, h.parameterBuffer);
  ReleaseBuffer(ctx, h.imageBuffer);
  ReleaseBuffer(ctx, h.requestBlockBuffer);
  ReleaseBuffer(ctx, h.dataBuffer);
  ReleaseBuffer(ctx, h.adapterTable);
}

// Obtains the buffers in order; on the first refusal gives back the ones
// already obtained, since the run cannot go on without all of them.
int ObtainBuffers(Context& ctx, std::initializer_list<std::pair<SharedBuffer*, std::size_t>> list) {
  for (const auto& [buffer, size] : list) {
    if (!ObtainBuffer(ctx, *buffer, size)) {
      ReleaseBuffers(ctx);
      return kSetupBufferRefused;
    }
  }
  return kSetupDone;
}

// ---- registry ----------------------------------------------------------------

constexpr win::LONG kOk = static_cast<win::LONG>(win::ERROR_SUCCESS);
constexpr win::LONG kNoMoreItems = static_cast<win::LONG>(win::ERROR_NO_MORE_ITEMS);

// A key name as returned into a fixed buffer, which need not be terminated.
template <std::size_t N>
std::string KeyName(const char (&name)[N]) {
  return std::string(name, std::find(name, name + N, '\0'));
}

void PrintRegistryError(Context& ctx, const char* format, win::LONG error) {
  PrintFormatted(ctx, format, static_cast<unsigned long>(static_cast<win::DWORD>(error)));
}

bool KeyExists(Context& ctx, const char* path) {
  win::HKEY key = 0;
  if (ctx.platform.RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, path, 0, win::KEY_READ, &key) != kOk) {
    return false;
  }
  ctx.platform.RegCloseKey(key);
  return true;
}

// Calls visit(name) for each subkey of an open key, from the last index down
// to 0, until it returns false. Without a subkey count the error line is
// printed and false returned. The walk also ends when a call reports that
// there are no more items.
template <typename Visit>
bool ForEachSubkeyDescending(Context& ctx, win::HKEY base, Visit visit) {
  win::DWORD subKeys = 0;
  const win::LONG rc = ctx.platform.RegQueryInfoKeyA(base, &subKeys);
  if (rc != kOk) {
    PrintRegistryError(ctx, "\r\nRegQueryInfoKey Error : %08lxh", rc);
    return false;
  }
  for (win::DWORD index = subKeys; index-- > 0;) {
    char name[256] = {};
    win::DWORD nameLength = sizeof name;
    const win::LONG enumerated = ctx.platform.RegEnumKeyExA(base, index, name, &nameLength);
    if (enumerated == kNoMoreItems) break;
    if (enumerated != kOk) continue;
    if (!visit(KeyName(name))) break;
  }
  return true;
}

// Whether the Windows 9x configuration manager currently has a device whose
// hardware key names this instance.
bool IsInstanceLive(Context& ctx, const std::string& instance) {
  Platform& p = ctx.platform;
  win::HKEY base = 0;
  if (p.RegOpenKeyExA(win::HKEY_DYN_DATA, kConfigManagerKey, 0, win::KEY_ALL_ACCESS, &base) != kOk) {
    return false;
  }
  bool live = false;
  ForEachSubkeyDescending(ctx, base, [&](const std::string& name) {
    const std::string path = std::string(kConfigManagerKey) + "\\" + name;
    win::HKEY device = 0;
    win::LONG rc = p.RegOpenKeyExA(win::HKEY_DYN_DATA, path.c_str(), 0, win::KEY_ALL_ACCESS, &device);
    if (rc == kNoMoreItems) return false;
    if (rc != kOk) {
      PrintRegistryError(ctx, "\r\nRegOpenKeyEx Error (Config Mahager): %08lxh", rc);
      return true;
    }
    char value[1024] = {};
    win::DWORD type = 0;
    win::DWORD valueLength = sizeof value - 1;
    rc = p.RegQueryValueExA(device, "HardWareKey", &type, reinterpret_cast<win::BYTE*>(value),
                            &valueLength);
    p.RegCloseKey(device);
    if (rc != kOk) {
      PrintRegistryError(ctx, "\r\nRegQueryValueEx Error : %08lxh", rc);
      return false;
    }
    if (valueLength > sizeof value - 1) valueLength = sizeof value - 1;
    // The hardware key separates its parts with backslashes where the
    // instance name under Enum\SCSI has ampersands.
    if (valueLength >= 4 && std::memcmp(value, "SBP2", 4) == 0) {
      value[4] = '&';
      if (valueLength > 24) value[24] = '&';
    }
    // An empty value would match every instance, so it names none.
    if (valueLength > 1) {
      std::size_t textLength = valueLength - 1;
      live = instance.size() >= textLength && std::memcmp(instance.data(), value, textLength) == 0;
    }
    return !live;
  });
  p.RegCloseKey(base);
  return live;
}

// Adds to the auto-insert counter the "AutoInsertNotification" byte of every
// live drive instance behind the IEEE1394 bridge.
void ScanAutoInsert(Context& ctx) {
  Platform& p = ctx.platform;
  // The key ends in the bridge adapter's number (one digit for 0 to 9).
  const std::string baseName = kBridgeKeyStem + std::to_string(PortOf(ctx).Traits().bridgeIndex);
  win::HKEY base = 0;
  if (p.RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, baseName.c_str(), 0, win::KEY_ALL_ACCESS, &base) != kOk) {
    return;
  }
  ForEachSubkeyDescending(ctx, base, [&](const std::string& instance) {
    if (instance.compare(0, kInstancePrefixLength, kInstancePrefix) != 0) return true;

    const std::string path = baseName + "\\" + instance;
    win::HKEY key = 0;
    win::LONG rc = p.RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, path.c_str(), 0, win::KEY_ALL_ACCESS, &key);
    if (rc != kOk) {
      PrintRegistryError(ctx, "\r\nRegOpenKeyEx Error : %08lxh", rc);
      return false;
    }
    if (!IsInstanceLive(ctx, instance)) {
      p.RegCloseKey(key);
      return true;
    }
    win::BYTE flag = 0;
    win::DWORD type = 0;
    win::DWORD flagLength = 1;
    rc = p.RegQueryValueExA(key, "AutoInsertNotification", &type, &flag, &flagLength);
    p.RegCloseKey(key);
    if (rc != kOk) {
      PrintRegistryError(ctx, "\r\nRegQueryValueEx Error : %08lxh", rc);
      return false;
    }
    // Only "nonzero" matters to the reader; saturate so that it cannot wrap to 0.
    unsigned sum = ctx.host.autoInsertCount + flag;
    ctx.host.autoInsertCount = static_cast<std::uint8_t>(sum > 0xFF ? 0xFF : sum);
    return true;
  });
  p.RegCloseKey(base);
}

// ---- routes ------------------------------------------------------------------

int SetupPassThrough(Context& ctx) {
  PassThroughPort& port = UsePassThrough(ctx);
  ctx.run.carriedTimeoutMs = kHostTimeoutMs;

  if (KeyExists(ctx, kAcceleratorKey)) {
    port.SetIntelDriver(kIntelAccelerator);
    ShowMessage(ctx, MessageCode::kIntelDriverDetected, ConsoleOnly);
  }
  if (KeyExists(ctx, kUltraAtaKey)) {
    port.SetIntelDriver(kIntelAtaDriver);
    ShowMessage(ctx, MessageCode::kIntelDriverDetected, ConsoleOnly);
  }
  HostState& h = ctx.host;
  return ObtainBuffers(ctx, {{&h.dataBuffer, 2 * kMiB}, {&h.imageBuffer, 8 * kMiB}, {&h.parameterBuffer, 512}});
}

bool IsBridgeIdentifier(const std::array<std::uint8_t, 16>& id) {
  static const std::uint8_t kZeros[8] = {};
  return IdentifierIs(id, "NTMAPHLP") || IdentifierIs(id, "ntmaphlp") || IdentifierIs(id, "        ") ||
         std::memcmp(id.data(), kZeros, 8) == 0;
}

// Asks each host adapter for its identifier and notes Intel ATA adapters and
// the IEEE1394 bridge.
void InquireAdapters(Context& ctx, AspiPort& port) {
  HostState& h = ctx.host;
  for (int i = 0; i < h.adapterCount; ++i) {
    auto* record = reinterpret_cast<SRB_HAInquiry*>(h.adapterTable.data + static_cast<std::size_t>(i) * kHaInquirySize);
    record->SRB_Cmd = SC_HA_INQUIRY;
    record->SRB_HaId = static_cast<std::uint8_t>(i);
    ctx.platform.CallSendASPI32Command(h.sendCommand, record);
    auto& id = h.identifiers[static_cast<std::size_t>(i)];
    std::memcpy(id.data(), record->HA_Identifier, id.size());

    if (IdentifierIs(id, "intelata")) {
      if (port.Traits().intelDriverKind == kNoIntelDriver) {
        ShowMessage(ctx, MessageCode::kIntelDriverDetected, ConsoleOnly);
      }
      port.SetIntelDriver(kIntelAtaDriver);
    } else if (IsBridgeIdentifier(id)) {
      port.SetBridge(i);
      ShowMessage(ctx, MessageCode::kIeee1394Detected, ConsoleOnly);
    }
  }
}

int SetupAspi(Context& ctx) {
  HostState& h = ctx.host;
  AspiPort& port = UseAspi(ctx);
  ctx.run.carriedTimeoutMs = kHostTimeoutMs;

  if (ObtainBuffers(ctx, {{&h.dataBuffer, 2 * kMiB},
                          {&h.requestBlockBuffer, 2 * kMiB},
                          {&h.imageBuffer, 2 * kMiB},
                          {&h.parameterBuffer, 2 * kMiB}}) != kSetupDone) {
    return kSetupBufferRefused;
  }

  h.aspiModule = ctx.platform.LoadLibraryA("WNASPI32.DLL");
  if (h.aspiModule == 0) return kSetupNoAspiLayer;
  h.getSupportInfo = ctx.platform.GetProcAddressOrdinal(h.aspiModule, 1);
  h.sendCommand = ctx.platform.GetProcAddressOrdinal(h.aspiModule, 2);
  // A layer without its entry points cannot be called at all.
  if (h.getSupportInfo == 0 || h.sendCommand == 0) return kSetupNoAspiLayer;
  port.Attach(h.sendCommand, h.requestBlockBuffer.data);

  const win::DWORD info = ctx.platform.CallGetASPI32SupportInfo(h.getSupportInfo);
  // The published "no adapters" status is 0xE8 (0xE4 is what this check has
  // always compared with); either way its adapter count is 0 and the setup
  // ends before any adapter is addressed.
  if (((info >> 8) & 0xFF) == SS_NO_ADAPTERS) return kSetupNoAdapters;
  const auto count = static_cast<std::uint8_t>(info & 0xFF);
  if (count == 0) return kSetupZeroAdapters;

  if (!ObtainBuffer(ctx, h.adapterTable, count * kHaInquirySize)) {
    ReleaseBuffers(ctx);
    return kSetupBufferRefused;
  }
  h.adapterCount = count;
  InquireAdapters(ctx, port);
  if (port.Traits().bridgeIndex >= 0) ScanAutoInsert(ctx);
  return kSetupDone;
}

bool IsAspiHost(const win::OSVERSIONINFOA& info) {
  return info.dwPlatformId == win::VER_PLATFORM_WIN32_WINDOWS &&
         (info.dwMinorVersion == 0 || info.dwMinorVersion == 10 || info.dwMinorVersion == 90);
}

}  // namespace

bool IdentifierIs(const std::array<std::uint8_t, 16>& id, const char* eight) {
  return std::memcmp(id.data(), eight, 8) == 0;
}

int CheckHostEnvironment(Context& ctx) {
  ctx.run.carriedTimeoutMs = kHostTimeoutMs;
  ctx.host.released = false;
  win::OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ctx.platform.GetVersionExA(&info);
  return IsAspiHost(info) ? SetupAspi(ctx) : SetupPassThrough(ctx);
}

void ReleaseHostEnvironment(Context& ctx) {
  HostState& h = ctx.host;
  const TransportRoute route = PortOf(ctx).Traits().route;
  if (!h.released && route == TransportRoute::PassThrough) {
    // The same control as at discovery, through the handles kept open since.
    for (int i = 0; i < h.mediaNotificationCount; ++i) {
      const MediaNotificationEntry& entry = h.mediaNotification[static_cast<std::size_t>(i)];
      if (entry.handle == win::INVALID_HANDLE_VALUE) continue;
      win::BYTE preventRemoval = 0;
      win::DWORD returned = 0;
      ctx.platform.DeviceIoControl(entry.handle, win::IOCTL_STORAGE_MCN_CONTROL, &preventRemoval,
                                   sizeof preventRemoval, nullptr, 0, &returned);
    }
  }
  // A command the ASPI layer has not finished may still write its status into
  // the request block and its data into a buffer: those stay allocated until
  // the process ends rather than be freed under the layer.
  if (route != TransportRoute::Aspi || !PortOf(ctx).RequestBlockInUse()) ReleaseBuffers(ctx);
  h.released = true;
}

}  // namespace odf
