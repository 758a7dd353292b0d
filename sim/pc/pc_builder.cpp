#include "sim/pc/pc_builder.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <utility>

namespace odf::sim {

namespace {

bool PlaceOnVolumes(std::vector<DrivePlace>& places, std::string& error) {
  std::set<char> used;
  for (const auto& p : places) {
    if (p.letter != 0 && !used.insert(p.letter).second) {
      error = std::string("drive letter ") + p.letter + " is given twice";
      return false;
    }
  }
  char next = 'D';
  for (auto& p : places) {
    if (p.letter != 0) continue;
    while (next <= 'Z' && used.count(next) != 0) ++next;
    if (next > 'Z') {
      error = "no drive letter left (D to Z)";
      return false;
    }
    p.letter = next;
    used.insert(next);
  }
  return true;
}

bool PlaceOnTargets(std::vector<DrivePlace>& places, std::string& error) {
  std::set<std::pair<int, int>> used;
  for (auto& p : places) {
    if (p.adapter < 0) p.adapter = 0;
    if (p.target >= 0 && !used.insert({p.adapter, p.target}).second) {
      error = "adapter " + std::to_string(p.adapter) + " target " + std::to_string(p.target) + " is given twice";
      return false;
    }
  }
  for (auto& p : places) {
    if (p.target >= 0) continue;
    int t = 0;
    while (t <= kMaxAspiTargetId && used.count({p.adapter, t}) != 0) ++t;
    if (t > kMaxAspiTargetId) {
      error = "no target id left on adapter " + std::to_string(p.adapter);
      return false;
    }
    p.target = t;
    used.insert({p.adapter, t});
  }
  return true;
}

constexpr const char* kAcceleratorKey = "SOFTWARE\\INTEL\\Intel Application Accelerator";
constexpr const char* kUltraAtaKey = "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver";

bool HoldsDrive(const std::vector<DrivePlace>& places, int adapter) {
  return std::any_of(places.begin(), places.end(), [adapter](const DrivePlace& p) { return p.adapter == adapter; });
}

// The identifier the host set-up gives adapter i, or nullptr when it gives none.
const char* HostAdapterName(const HostSetup& host, const std::vector<DrivePlace>& places, int i) {
  if (i == host.bridgeAdapter) return kBridgeAdapter;
  if (host.intelAta && (HoldsDrive(places, i) || (places.empty() && i == 0))) return kIntelAtaAdapter;
  return nullptr;
}

}  // namespace

bool CheckHostSetup(SimRoute route, const HostSetup& host, const std::vector<DrivePlace>& places,
                    std::string& error) {
  if (route != SimRoute::Aspi && (host.intelAta || host.bridgeAdapter >= 0)) {
    error = "the intelata adapter and the bridge adapter need the ASPI route";
    return false;
  }
  if (route != SimRoute::Aspi && host.aspiAbort != AspiAbort::Honour) {
    error = "abort= is an answer of the ASPI layer: it needs the ASPI route";
    return false;
  }
  if (host.intelAta && host.bridgeAdapter >= 0 && HoldsDrive(places, host.bridgeAdapter)) {
    error = "adapter " + std::to_string(host.bridgeAdapter) + " cannot be both the bridge and an intelata adapter";
    return false;
  }
  return true;
}

bool PlaceDrives(SimRoute route, std::vector<DrivePlace>& places, std::string& error) {
  return route == SimRoute::Aspi ? PlaceOnTargets(places, error) : PlaceOnVolumes(places, error);
}

PcBuilder& PcBuilder::Windows(DWORD platformId, DWORD major, DWORD minor) {
  windows_ = Version{platformId, major, minor};
  return *this;
}

PcBuilder& PcBuilder::Adapter(const std::string& identifier) {
  adapters_.push_back(identifier);
  return *this;
}

PcBuilder& PcBuilder::Adapters(const std::vector<std::string>& identifiers) {
  adapters_.insert(adapters_.end(), identifiers.begin(), identifiers.end());
  return *this;
}

PcBuilder& PcBuilder::WithoutAspiLayer() {
  aspiLayer_ = false;
  return *this;
}

PcBuilder& PcBuilder::Host(const HostSetup& host) {
  host_ = host;
  return *this;
}

PcBuilder& PcBuilder::Drive(std::shared_ptr<SimDrive> drive, const DrivePlace& place) {
  drives_.push_back({std::move(drive), place});
  return *this;
}

PcBuilder& PcBuilder::CodePage(UINT codePage) {
  codePage_ = codePage;
  return *this;
}

PcBuilder& PcBuilder::Answers(const std::vector<int>& answers) {
  answers_.insert(answers_.end(), answers.begin(), answers.end());
  return *this;
}

std::vector<PlacedDrive> PcBuilder::Build(SimPc& pc) const {
  std::vector<DrivePlace> places;
  for (const auto& d : drives_) places.push_back(d.place);
  std::string error;
  if (!PlaceDrives(route_, places, error) || !CheckHostSetup(route_, host_, places, error)) {
    throw std::invalid_argument(error);
  }

  const bool aspi = route_ == SimRoute::Aspi;
  if (windows_) {
    pc.SetWindowsVersion(windows_->platformId, windows_->major, windows_->minor);
  } else if (aspi) {
    pc.SetWindowsVersion(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
  } else {
    pc.SetWindowsVersion(VER_PLATFORM_WIN32_NT, 5, 1);
  }
  if (codePage_) pc.SetOemCodePage(*codePage_);
  if (aspi && aspiLayer_) pc.InstallAspi();
  pc.SetAspiAbort(host_.aspiAbort);
  for (const auto& id : adapters_) pc.AddAdapter(id);
  if (aspi) {
    int needed = std::max(adapters_.empty() ? 1 : 0, host_.bridgeAdapter + 1);
    for (const auto& p : places) needed = std::max(needed, p.adapter + 1);
    for (auto count = static_cast<int>(adapters_.size()); count < needed; ++count) {
      const char* name = HostAdapterName(host_, places, count);
      pc.AddAdapter(name != nullptr ? name : kPlainAdapter);
    }
  }
  if (host_.applicationAccelerator) pc.AddRegistryKey(HKEY_LOCAL_MACHINE, kAcceleratorKey);
  if (host_.ultraAtaDriver) pc.AddRegistryKey(HKEY_LOCAL_MACHINE, kUltraAtaKey);
  for (int answer : answers_) pc.QueueAnswer(answer);

  std::vector<PlacedDrive> placed;
  for (std::size_t i = 0; i < drives_.size(); ++i) {
    const DrivePlace& p = places[i];
    PlacedDrive d{drives_[i].drive, 0, 0, 0, ""};
    if (aspi) {
      pc.AttachAspiDrive(p.adapter, p.target, d.drive);
      d.adapter = p.adapter;
      d.target = p.target;
      d.label = std::to_string(p.adapter) + ":" + std::to_string(p.target);
    } else {
      pc.AddVolume(p.letter, d.drive, p.volume);
      d.letter = p.letter;
      d.label = std::string(1, p.letter) + ":";
    }
    placed.push_back(std::move(d));
  }
  return placed;
}

}  // namespace odf::sim
