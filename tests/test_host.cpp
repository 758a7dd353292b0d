// Host environment checks: route choice, driver and bridge detection, the
// auto-insert scan over the Windows 9x registry, and the shared buffers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "discovery/discovery.h"
#include "discovery/host.h"
#include "sim/drives/sim_drive.h"
#include "sim_fixture.h"

namespace odf::testing {
namespace {

constexpr const char* kIntelText = "\r\nDetect the Intel's IDE driver.";
constexpr const char* kBridgeText = "\r\nDetect the IEEE1394 interface.";

int CountOf(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

std::vector<std::uint8_t> Sz(const std::string& text) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

using HostTest = SimFixture;

TEST_F(HostTest, RouteFollowsPlatformAndMinorVersion) {
  struct Case {
    const char* name;
    win::DWORD platform, major, minor;
    TransportRoute route;
  };
  const Case cases[] = {
      {"Windows 95", 1, 4, 0, TransportRoute::Aspi},
      {"Windows 98", 1, 4, 10, TransportRoute::Aspi},
      {"Windows Me", 1, 4, 90, TransportRoute::Aspi},
      {"9x family, unknown minor", 1, 4, 3, TransportRoute::PassThrough},
      {"9x family, minor 91", 1, 4, 91, TransportRoute::PassThrough},
      {"NT 4.0", 2, 4, 0, TransportRoute::PassThrough},
      {"NT with a 9x minor", 2, 4, 10, TransportRoute::PassThrough},
      {"2000", 2, 5, 0, TransportRoute::PassThrough},
      {"XP", 2, 5, 1, TransportRoute::PassThrough},
      {"Vista", 2, 6, 0, TransportRoute::PassThrough},
      {"Win32s", 0, 3, 10, TransportRoute::PassThrough},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc host;
    Context run(host);
    // The ASPI layer is there; only the version decides.
    sim::PcBuilder(sim::SimRoute::Aspi).Windows(c.platform, c.major, c.minor).Adapter("AHA-2940").Build(host);
    // The other route's port, with another time-out carried: the checks replace both.
    if (c.route == TransportRoute::Aspi) {
      UsePassThrough(run);
    } else {
      UseAspi(run);
    }
    run.run.carriedTimeoutMs = 60000;

    EXPECT_EQ(CheckHostEnvironment(run), kSetupDone);
    EXPECT_EQ(RouteTraits(run).route, c.route);
    EXPECT_EQ(run.run.carriedTimeoutMs, 1000);
    EXPECT_EQ(RouteTraits(run).bridgeIndex, -1);
    const bool aspi = c.route == TransportRoute::Aspi;
    EXPECT_EQ(run.host.dataBuffer.size, 0x200000u);
    EXPECT_EQ(run.host.imageBuffer.size, aspi ? 0x200000u : 0x800000u);
    EXPECT_EQ(run.host.parameterBuffer.size, aspi ? 0x200000u : 512u);
    EXPECT_EQ(run.host.requestBlockBuffer.data != nullptr, aspi);
    EXPECT_EQ(run.host.adapterCount, aspi ? 1 : 0);
    ReleaseHostEnvironment(run);
    EXPECT_EQ(host.LiveAllocations(), 0);
  }
}

TEST_F(HostTest, IntelRegistryKeysSetDriverKind) {
  struct Case {
    const char* name;
    bool accelerator, ultraAta;
    int kind, messages;
  };
  const Case cases[] = {
      {"neither", false, false, 0, 0},
      {"accelerator only", true, false, 2, 1},
      {"ultra ATA only", false, true, 1, 1},
      {"both: the storage driver wins", true, true, 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc host;
    Context run(host);
    // A near miss under the same parent must not count.
    host.AddRegistryKey(win::HKEY_LOCAL_MACHINE, "SOFTWARE\\INTEL\\Intel Application");
    if (c.accelerator) host.AddRegistryKey(win::HKEY_LOCAL_MACHINE, "SOFTWARE\\INTEL\\Intel Application Accelerator");
    if (c.ultraAta) host.AddRegistryKey(win::HKEY_LOCAL_MACHINE, "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver");
    testing::SetIntelDriver(run, 2);

    EXPECT_EQ(CheckHostEnvironment(run), kSetupDone);
    EXPECT_EQ(RouteTraits(run).intelDriverKind, c.kind);
    EXPECT_EQ(host.Console(), [&] {
      std::string expected;
      for (int i = 0; i < c.messages; ++i) expected += kIntelText;
      return expected;
    }());
    EXPECT_EQ(host.OpenRegistryKeys(), 0);
    ReleaseHostEnvironment(run);
  }
}

TEST_F(HostTest, AdapterIdentifiersSelectIntelDriverAndBridge) {
  const std::string zeros;  // 16 zero bytes once padded
  struct Case {
    const char* name;
    std::vector<std::string> identifiers;
    int bridgeIndex, intelMessages, bridgeMessages, kind;
  };
  const Case cases[] = {
      {"plain SCSI adapters", {"AHA-2940", "ESDI_506"}, -1, 0, 0, 0},
      {"two intelata adapters: one message", {"intelata", "AHA-2940", "intelata"}, -1, 1, 0, 1},
      {"NTMAPHLP", {"AHA-2940", "NTMAPHLP"}, 1, 0, 1, 0},
      {"lower-case ntmaphlp", {"AHA-2940", "ntmaphlp"}, 1, 0, 1, 0},
      {"eight blanks", {"AHA-2940", "        "}, 1, 0, 1, 0},
      {"eight zero bytes", {"AHA-2940", zeros}, 1, 0, 1, 0},
      {"only the first eight bytes count", {"AHA-2940", "NTMAPHLP 1394 v2"}, 1, 0, 1, 0},
      {"seven letters are not the bridge", {"AHA-2940", "NTMAPHL"}, -1, 0, 0, 0},
      {"several bridges: the last wins", {"NTMAPHLP", "AHA-2940", "ntmaphlp"}, 2, 0, 2, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc host;
    Context run(host);
    sim::PcBuilder(sim::SimRoute::Aspi).Adapters(c.identifiers).Build(host);

    EXPECT_EQ(CheckHostEnvironment(run), kSetupDone);
    EXPECT_EQ(run.host.adapterCount, c.identifiers.size());
    EXPECT_EQ(RouteTraits(run).bridgeIndex, c.bridgeIndex);
    EXPECT_EQ(RouteTraits(run).intelDriverKind, c.kind);
    EXPECT_EQ(CountOf(host.Console(), kIntelText), c.intelMessages);
    EXPECT_EQ(CountOf(host.Console(), kBridgeText), c.bridgeMessages);
    for (std::size_t i = 0; i < c.identifiers.size(); ++i) {
      std::array<std::uint8_t, 16> expected{};
      std::memcpy(expected.data(), c.identifiers[i].data(), c.identifiers[i].size());
      EXPECT_EQ(run.host.identifiers[i], expected) << "adapter " << i;
    }
    ReleaseHostEnvironment(run);
  }
}

TEST_F(HostTest, MoreThanSixteenAdaptersAreAllRecorded) {
  std::vector<std::string> ids(40, "AHA-2940");
  ids[17] = "NTMAPHLP";
  ids[39] = "ESDI_506";
  sim::PcBuilder(sim::SimRoute::Aspi).Adapters(ids).Build(pc);

  ASSERT_EQ(CheckHostEnvironment(ctx), kSetupDone);
  EXPECT_EQ(ctx.host.adapterCount, 40);
  EXPECT_EQ(RouteTraits(ctx).bridgeIndex, 17);
  EXPECT_EQ(std::memcmp(ctx.host.identifiers[39].data(), "ESDI_506", 8), 0);
  // Neighbouring state is untouched by the adapters beyond the sixteenth.
  EXPECT_EQ(ctx.host.mediaNotificationCount, 0);
  EXPECT_EQ(ctx.host.mediaNotification[0].handle, win::INVALID_HANDLE_VALUE);
  ReleaseHostEnvironment(ctx);
  EXPECT_EQ(pc.LiveAllocations(), 0);
}

// ---- auto-insert scan ----------------------------------------------------

constexpr const char* kBase3 = "Enum\\SCSI\\KESTREL_DVD-RW__QRW-710_3";
constexpr const char* kInstance1 = "SBP2&MIRO&MPCV-QRW&REV_1&0080_1";
constexpr const char* kHardware1 = "SBP2\\MIRO&MPCV-QRW&REV_1\\0080_1";
constexpr const char* kInstance2 = "SBP2&MIRO&MPCV-QRW&REV_1&0080_2";
constexpr const char* kHardware2 = "SBP2\\MIRO&MPCV-QRW&REV_1\\0080_2";

struct Instance {
  std::string subkey;        // under the base key
  std::uint8_t autoInsert;   // its AutoInsertNotification byte
  std::string device;        // Config Manager\Enum subkey, "" for none
  std::string hardwareKey;   // that device's HardWareKey
};

struct Failure {
  std::string function, prefix;
  win::LONG error = 0;
};

struct ScanCase {
  const char* name;
  int bridge;                 // adapter number of the IEEE1394 bridge
  std::string baseKey;        // where the drive instances are registered
  std::vector<Instance> instances;
  std::vector<Failure> failures;
  int count;
  std::string errorText;      // console text after the bridge message
};

TEST_F(HostTest, AutoInsertScanCountsLiveInstances) {
  const std::string base3 = kBase3;
  const Instance live1{kInstance1, 1, "C29A1000", kHardware1};
  const Instance live2{kInstance2, 1, "C29A2000", kHardware2};
  const ScanCase cases[] = {
      {"live instance adds its byte", 3, base3, {live1}, {}, 1, ""},
      {"byte 0 adds nothing", 3, base3, {{kInstance1, 0, "C29A1000", kHardware1}}, {}, 0, ""},
      {"two live instances", 3, base3, {live1, live2}, {}, 2, ""},
      // 128 + 128 must not wrap to 0, which would read as "no instance".
      {"the counter stops at 255", 3, base3,
       {{kInstance1, 128, "C29A1000", kHardware1}, {kInstance2, 128, "C29A2000", kHardware2}}, {}, 255, ""},
      {"instance not live", 3, base3, {{kInstance1, 1, "C29A1000", kHardware2}}, {}, 0, ""},
      {"no Config Manager device", 3, base3, {{kInstance1, 1, "", ""}}, {}, 0, ""},
      {"empty hardware key names nothing", 3, base3, {{kInstance1, 1, "C29A1000", ""}}, {}, 0, ""},
      {"other model under the base key", 3, base3,
       {{"SBP2&MIRO&MPCV-QRX&REV_1&0080_1", 1, "C29A1000", "SBP2\\MIRO&MPCV-QRX&REV_1\\0080_1"}}, {}, 0, ""},
      {"key of another adapter number", 3, "Enum\\SCSI\\KESTREL_DVD-RW__QRW-710_0", {live1}, {}, 0, ""},
      {"bridge on adapter 0", 0, "Enum\\SCSI\\KESTREL_DVD-RW__QRW-710_0", {live1}, {}, 1, ""},
      {"bridge beyond 9 keeps its whole number", 12, "Enum\\SCSI\\KESTREL_DVD-RW__QRW-710_12", {live1}, {}, 1,
       ""},
      {"base key info fails", 3, base3, {live1}, {{"RegQueryInfoKeyA", base3, 5}}, 0,
       "\r\nRegQueryInfoKey Error : 00000005h"},
      {"instance key does not open", 3, base3, {live1}, {{"RegOpenKeyExA", base3 + "\\SBP2", 2}}, 0,
       "\r\nRegOpenKeyEx Error : 00000002h"},
      {"value read fails after a counted instance", 3, base3, {live1, live2},
       {{"RegQueryValueExA", base3 + "\\" + kInstance1, 0x3F2}}, 1,
       "\r\nRegQueryValueEx Error : 000003f2h"},
      {"Config Manager info fails", 3, base3, {live1}, {{"RegQueryInfoKeyA", "Config Manager\\Enum", 0x3F2}}, 0,
       "\r\nRegQueryInfoKey Error : 000003f2h"},
      {"Config Manager device does not open: next one", 3, base3,
       {live1, {"SBP2&OTHER", 0, "C29A9000", "SBP2\\OTHER"}},
       {{"RegOpenKeyExA", "Config Manager\\Enum\\C29A9000", 2}}, 1,
       "\r\nRegOpenKeyEx Error (Config Mahager): 00000002h"},
      {"hardware key unreadable", 3, base3, {live1},
       {{"RegQueryValueExA", "Config Manager\\Enum\\C29A1000", 2}}, 0, "\r\nRegQueryValueEx Error : 00000002h"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc host;
    Context run(host);
    std::vector<std::string> adapters(static_cast<std::size_t>(c.bridge), "AHA-2940");
    adapters.push_back("NTMAPHLP");
    sim::PcBuilder(sim::SimRoute::Aspi).Adapters(adapters).Build(host);
    host.AddRegistryKey(win::HKEY_LOCAL_MACHINE, c.baseKey);
    host.AddRegistryKey(win::HKEY_DYN_DATA, "Config Manager\\Enum");
    for (const auto& in : c.instances) {
      host.SetRegistryValue(win::HKEY_LOCAL_MACHINE, c.baseKey + "\\" + in.subkey, "AutoInsertNotification",
                            {in.autoInsert});
      if (!in.device.empty()) {
        host.SetRegistryValue(win::HKEY_DYN_DATA, "Config Manager\\Enum\\" + in.device, "HardWareKey",
                              Sz(in.hardwareKey));
      }
    }
    for (const auto& f : c.failures) host.FailRegistryCall(f.function, f.prefix, f.error);

    EXPECT_EQ(CheckHostEnvironment(run), kSetupDone);
    EXPECT_EQ(RouteTraits(run).bridgeIndex, c.bridge);
    EXPECT_EQ(run.host.autoInsertCount, c.count);
    EXPECT_EQ(host.Console(), std::string(kBridgeText) + c.errorText);
    EXPECT_EQ(host.OpenRegistryKeys(), 0);
    ReleaseHostEnvironment(run);
  }
}

TEST_F(HostTest, NoScanWithoutBridge) {
  sim::PcBuilder(sim::SimRoute::Aspi).Adapters({"AHA-2940", "AHA-2940", "AHA-2940", "AHA-2940"}).Build(pc);
  pc.SetRegistryValue(win::HKEY_LOCAL_MACHINE, std::string(kBase3) + "\\" + kInstance1, "AutoInsertNotification",
                      {1});
  pc.SetRegistryValue(win::HKEY_DYN_DATA, "Config Manager\\Enum\\C29A1000", "HardWareKey", Sz(kHardware1));
  ASSERT_EQ(CheckHostEnvironment(ctx), kSetupDone);
  EXPECT_EQ(ctx.host.autoInsertCount, 0);
  EXPECT_EQ(pc.Console(), "");
  ReleaseHostEnvironment(ctx);
}

// ---- buffers -----------------------------------------------------------------

TEST_F(HostTest, RefusedBufferEndsSetupAndGivesBackTheOthers) {
  struct Case {
    const char* name;
    bool aspi;
    int refused;  // which GlobalAlloc call is refused
  };
  const Case cases[] = {
      {"pass-through data buffer", false, 1},  {"pass-through image buffer", false, 2},
      {"pass-through parameter buffer", false, 3}, {"ASPI data buffer", true, 1},
      {"ASPI request block buffer", true, 2},  {"ASPI image buffer", true, 3},
      {"ASPI parameter buffer", true, 4},      {"ASPI adapter table", true, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::OneDrivePc bench(sim::Qbc850Config{}, sim::PcBuilder(RouteOf(c.aspi)));
    sim::SimPc& host = bench.pc;
    Context& run = bench.ctx;
    host.RefuseAllocation(c.refused);

    EXPECT_EQ(CheckHostEnvironment(run), kSetupBufferRefused);
    EXPECT_EQ(host.AllocationCalls(), c.refused);
    EXPECT_EQ(host.LiveAllocations(), 0);
    for (const SharedBuffer* b : {&run.host.dataBuffer, &run.host.imageBuffer, &run.host.parameterBuffer,
                                  &run.host.requestBlockBuffer, &run.host.adapterTable}) {
      EXPECT_EQ(b->data, nullptr);
      EXPECT_EQ(b->handle, 0u);
    }
    // Should anything still go on, it finds no drive rather than writing
    // into a missing buffer.
    EXPECT_EQ(DiscoverTargets(run), 0);
    ReleaseHostEnvironment(run);
    ReleaseHostEnvironment(run);
    EXPECT_EQ(host.LiveAllocations(), 0);
  }
}

TEST_F(HostTest, ReleaseFreesEveryBufferOnceAndIsRepeatable) {
  struct Case {
    const char* name;
    bool aspi;
    int live;  // allocations held after a full setup
  };
  const Case cases[] = {{"pass-through", false, 3}, {"ASPI with one adapter", true, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc host;
    Context run(host);
    if (c.aspi) {
      sim::PcBuilder(sim::SimRoute::Aspi)
          .Windows(win::VER_PLATFORM_WIN32_WINDOWS, 4, 90)
          .Adapter("AHA-2940")
          .Build(host);
    }
    ASSERT_EQ(CheckHostEnvironment(run), kSetupDone);
    EXPECT_EQ(host.LiveAllocations(), c.live);
    // Zero-filled, as the loaders rely on for the bytes a file does not cover.
    EXPECT_EQ(run.host.imageBuffer.data[run.host.imageBuffer.size - 1], 0);
    ReleaseHostEnvironment(run);
    EXPECT_EQ(host.LiveAllocations(), 0);
    ReleaseHostEnvironment(run);
    EXPECT_EQ(host.LiveAllocations(), 0);
  }
}

TEST_F(HostTest, ReleaseBeforeAnySetupDoesNothing) {
  ReleaseHostEnvironment(ctx);
  EXPECT_EQ(pc.LiveAllocations(), 0);
  EXPECT_TRUE(pc.McnLog().empty());
}

}  // namespace
}  // namespace odf::testing
