// Inner state of the simulated PC, shared by the files that implement its
// parts (console and clock, registry, volumes, ASPI layer).
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/pc/sim_pc.h"

namespace odf::sim {

// ASPI status and host-adapter status values the layer reports.
inline constexpr std::uint8_t kSsInvalidCmd = 0x80;
inline constexpr std::uint8_t kSsInvalidHa = 0x81;
inline constexpr std::uint8_t kSsNoDevice = 0x82;
inline constexpr std::uint8_t kSsInvalidSrb = 0xE0;
inline constexpr std::uint8_t kHaStatTimeout = 0x09;
inline constexpr std::uint8_t kHaStatSelectionTimeout = 0x11;
// A command whose drive never answers is given up by the layer after this long.
inline constexpr std::uint64_t kAspiGiveUpMs = 600000;

// What an ASPI layer answers to an adapter inquiry, and the command record a
// request block makes; the simulated PC's layer and the WNASPI32.DLL test
// layer answer alike.
void FillAdapterInquiry(SRB_HAInquiry& srb, std::size_t adapterCount, const std::string& identifier);
CommandRecord RecordOfRequest(const SRB_ExecSCSICmd& srb, std::uint64_t atMs);

// Case-insensitive comparison as Windows does for registry and file names.
bool SameNameIgnoringCase(const std::string& a, const std::string& b);
bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix);

struct PassThroughFields;

struct RegistryNode {
  std::string name;
  std::vector<std::unique_ptr<RegistryNode>> children;  // in insertion order
  struct Value {
    std::string name;
    DWORD type = REG_BINARY;
    std::vector<std::uint8_t> data;
  };
  std::vector<Value> values;

  RegistryNode* Child(const std::string& childName) const;
  RegistryNode* AddChild(const std::string& childName);
  Value* FindValue(const std::string& valueName);
};

struct OpenKey {
  RegistryNode* node = nullptr;
  std::string path;  // relative to its root, as written when the key was created
};

struct RegistryFailure {
  std::string function;
  std::string pathPrefix;
  LONG error = 0;
};

// Memory handed out by GlobalAlloc: calloc'd, so that the untouched part of a
// large buffer costs nothing.
struct FreeDeleter {
  void operator()(std::uint8_t* p) const { std::free(p); }
};

struct Allocation {
  std::unique_ptr<std::uint8_t, FreeDeleter> bytes;
  std::size_t size = 0;
  int locks = 0;
};

struct RegisteredMemory {
  std::uint8_t* base = nullptr;
  std::size_t size = 0;
};

struct Volume {
  std::shared_ptr<SimDrive> drive;
  VolumeOptions options;
};

enum class HandleKind { Volume, File, Event };

struct HandleObject {
  HandleKind kind = HandleKind::File;
  // Volume
  char letter = 0;
  DWORD access = 0;
  // LockFileEx granted through this handle; a lock goes with its handle.
  bool locked = false;
  bool lockedExclusive = false;
  // File
  std::shared_ptr<const std::vector<std::uint8_t>> content;  // never null for a file
  std::size_t position = 0;
  // Event
  bool manualReset = false;
  bool signalled = false;
};

struct AspiTarget {
  int adapter = 0;
  int target = 0;
  std::shared_ptr<SimDrive> drive;
};

// An ASPI command handed to a drive and waiting for its completion time.
struct PendingCompletion {
  std::uint64_t atMs = 0;
  std::uint64_t sequence = 0;
  SRB_ExecSCSICmd* srb = nullptr;
  HANDLE event = 0;
  std::uint8_t srbStatus = SS_COMP;
  std::uint8_t haStat = 0;
  std::uint8_t targStat = 0;
  std::array<std::uint8_t, 18> sense{};
  std::uint8_t senseLength = 0;
};

struct SimPc::Impl {
  DWORD platformId = VER_PLATFORM_WIN32_NT;
  DWORD majorVersion = 5;
  DWORD minorVersion = 1;

  UINT minTimerPeriod = 1;
  int timerPeriodBalance = 0;
  std::uint32_t randState = 1;

  std::map<HKEY, RegistryNode> roots;
  std::map<HKEY, OpenKey> keys;
  HKEY nextKey = 0x1000;
  std::vector<RegistryFailure> registryFailures;

  std::map<HGLOBAL, Allocation> allocations;
  HGLOBAL nextAllocation = 0x10000;
  std::vector<RegisteredMemory> registered;

  std::vector<std::pair<std::string, std::shared_ptr<const std::vector<std::uint8_t>>>> files;
  std::map<char, Volume> volumes;
  std::map<HANDLE, HandleObject> handles;
  HANDLE nextHandle = 0x100;

  std::vector<std::string> adapters;
  std::vector<AspiTarget> aspiTargets;
  std::vector<PendingCompletion> pending;
  std::uint64_t nextSequence = 0;

  HANDLE NewHandle(HandleObject object);
  HandleObject* Find(HANDLE handle, HandleKind kind);
  // Locates `length` bytes at `address` inside a buffer this PC knows about
  // (allocated or registered). With `low32Only` only the low 32 bits of
  // the address are compared, as a 32-bit block written in a 64-bit process
  // carries them. Returns nullptr when no known buffer holds the whole run.
  std::uint8_t* Resolve(std::uint64_t address, std::size_t length, bool low32Only) const;
  // True when the address lies inside a buffer this PC knows about.
  bool Known(const void* address) const;

  // Registry (sim_registry.cpp).
  bool ResolveKey(HKEY key, OpenKey& out);
  LONG InjectedFailure(const char* function, const std::string& path) const;

  // Volumes (sim_volume.cpp).
  HANDLE OpenVolume(SimPc& pc, const std::string& path, DWORD access);
  BOOL PassThrough(SimPc& pc, SimDrive& drive, bool buffered, void* inBuffer, DWORD inSize,
                   void* outBuffer, DWORD outSize, DWORD* bytesReturned);
  BOOL FinishPassThrough(SimPc& pc, const DriveReply& reply, const PassThroughFields& f,
                         std::uint8_t* out, DWORD outSize, DWORD* bytesReturned);

  // ASPI layer (sim_aspi.cpp).
  DWORD HaInquiry(SRB_HAInquiry& srb);
  DWORD ExecScsiCommand(SimPc& pc, SRB_ExecSCSICmd& srb);
  DWORD AbortCommand(AspiAbort answer, SRB_Abort& srb);
  void Complete(const PendingCompletion& c);
  // Moves the clock to untilMs, completing
  // every command due by then in time order.
  void RunUntil(SimPc& pc, std::uint64_t untilMs);
  // A freed request block must never be written by a late completion.
  void ForgetCompletionsIn(const std::uint8_t* base, std::size_t size);
};

}  // namespace odf::sim
