#include "sim/wnaspi32/aspi_layer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "sim/cli/sim_options.h"
#include "sim/cli/sim_report.h"
#include "sim/cli/sim_setup.h"
#include "sim/pc/sim_pc_impl.h"

namespace odf::wnaspi32 {

namespace {

constexpr char kAdapterKey[] = "adapter=";
constexpr char kAbortKey[] = "abort=";
constexpr std::size_t kMaxAdapters = 16;   // the program keeps 16 adapter identifiers
constexpr std::size_t kIdentifierSize = 16;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

AspiLayer::AspiLayer() : pc_(std::make_unique<sim::SimPc>()) {}
AspiLayer::~AspiLayer() = default;

bool AspiLayer::Configure(const std::string& text, std::string& error) {
  std::vector<std::string> args = {"--route", "aspi"};
  std::vector<std::string> named;
  for (const std::string& line : Lines(text)) {
    if (line.rfind(kAdapterKey, 0) == 0) {
      // Blanks are part of an identifier ("        " marks a bridge adapter).
      named.push_back(line.substr(sizeof kAdapterKey - 1, kIdentifierSize));
      continue;
    }
    const std::string drive = Trimmed(line);
    if (drive.empty() || drive[0] == '#') continue;
    if (drive.rfind(kAbortKey, 0) == 0) {
      args.push_back("--host");
      args.push_back(drive);
      continue;
    }
    args.push_back("--drive");
    args.push_back(drive);
  }
  const sim::ParseOutcome parsed = sim::ParseSimOptions(args);
  if (!parsed.ok) {
    error = parsed.error;
    return false;
  }
  std::size_t count = std::max<std::size_t>(named.size(), 1);
  for (const auto& d : parsed.options.drives) {
    count = std::max(count, static_cast<std::size_t>(d.place.adapter) + 1);
  }
  if (count > kMaxAdapters) {
    error = "more than 16 host adapters";
    return false;
  }
  drives_ = sim::BuildSimPc(parsed.options, *pc_);
  abortAnswer_ = parsed.options.host.aspiAbort;
  adapters_ = named;
  adapters_.resize(count, sim::kPlainAdapter);
  return true;
}

std::uint32_t AspiLayer::SupportInfo() const {
  // What a layer without adapters answers (Wine's own among them).
  if (adapters_.empty()) return 0xE800;
  return (std::uint32_t{SS_COMP} << 8) | static_cast<std::uint32_t>(adapters_.size());
}

std::uint8_t AspiLayer::HaInquiry(SRB_HAInquiry& srb) const {
  if (srb.SRB_HaId >= adapters_.size()) {
    srb.SRB_Status = sim::kSsInvalidHa;
    return sim::kSsInvalidHa;
  }
  sim::FillAdapterInquiry(srb, adapters_.size(), adapters_[srb.SRB_HaId]);
  return SS_COMP;
}

sim::SimDrive* AspiLayer::DriveAt(int adapter, int target) const {
  for (const auto& d : drives_) {
    if (d.adapter == adapter && d.target == target) return d.drive.get();
  }
  return nullptr;
}

std::uint8_t AspiLayer::Check(const SRB_ExecSCSICmd& srb) const {
  if (srb.SRB_HaId >= adapters_.size()) return sim::kSsInvalidHa;
  if (DriveAt(srb.SRB_HaId, srb.SRB_Target) == nullptr || srb.SRB_Lun != 0) return sim::kSsNoDevice;
  if (srb.SRB_CDBLen == 0 || srb.SRB_CDBLen > 16) return sim::kSsInvalidSrb;
  if (srb.SRB_BufLen != 0 && srb.SRB_BufPointer == nullptr) return sim::kSsInvalidSrb;
  return SS_PENDING;
}

std::uint8_t AspiLayer::CheckAbort(const SRB_Abort& srb) const {
  if (srb.SRB_HaId >= adapters_.size()) return sim::kSsInvalidHa;
  switch (abortAnswer_) {
    case sim::AspiAbort::Refuse: return SS_ABORT_FAIL;
    case sim::AspiAbort::Ignore: return SS_COMP;
    case sim::AspiAbort::Honour: break;
  }
  return SS_PENDING;
}

Completion AspiLayer::Execute(const SRB_ExecSCSICmd& srb, std::uint64_t nowMs) {
  const sim::CommandRecord record = sim::RecordOfRequest(srb, nowMs);
  std::uint8_t* data = srb.SRB_BufLen != 0 ? srb.SRB_BufPointer : nullptr;
  sim::SimDrive& drive = *DriveAt(srb.SRB_HaId, srb.SRB_Target);
  const sim::DriveReply reply = drive.Receive(record, data);
  const Completion c = Outcome(srb, reply);
  if (c.delayMs != 0) delayed_.push_back({&drive, drive.log.size() - 1, c.delayMs});
  return c;
}

Completion AspiLayer::Outcome(const SRB_ExecSCSICmd& srb, const sim::DriveReply& reply) {
  Completion c;
  if (reply.timedOut) {
    // The layer gives up on a silent drive, so no caller waits for ever.
    c.status = SS_ERR;
    c.haStat = sim::kHaStatTimeout;
    c.delayMs = static_cast<std::uint32_t>(sim::kAspiGiveUpMs / kTimeScale);
    return c;
  }
  if (reply.transportFail) {
    c.status = SS_ERR;
    c.haStat = sim::kHaStatSelectionTimeout;
    return c;
  }
  c.status = reply.status == 0 ? SS_COMP : SS_ERR;
  c.targStat = reply.status;
  if (reply.status != 0) {
    c.sense = reply.sense;
    c.senseLength = std::min<std::uint8_t>(
        {srb.SRB_SenseLen, reply.returnedSenseLength, static_cast<std::uint8_t>(c.sense.size())});
  }
  if (reply.durationMs >= kDelayedFromMs) c.delayMs = reply.durationMs / kTimeScale;
  return c;
}

void AspiLayer::Complete(SRB_ExecSCSICmd& srb, const Completion& c) {
  srb.SRB_HaStat = c.haStat;
  srb.SRB_TargStat = c.targStat;
  const std::size_t senseLength = std::min<std::size_t>(c.senseLength, sizeof srb.SenseArea);
  std::memcpy(srb.SenseArea, c.sense.data(), senseLength);
  std::atomic_ref<std::uint8_t>(srb.SRB_Status).store(c.status, std::memory_order_release);
}

std::string AspiLayer::StateReport() const {
  std::string report;
  for (const auto& d : drives_) report += sim::FormatDriveReport(d);
  return report;
}

std::string AspiLayer::TraceReport() const {
  struct Entry {
    std::uint64_t atMs;
    std::string line;
  };
  std::vector<Entry> entries;
  for (const auto& d : drives_) {
    for (std::size_t i = 0; i < d.drive->log.size(); ++i) {
      std::string line = sim::FormatCommand(d.label, d.drive->log[i]);
      for (const auto& later : delayed_) {
        if (later.drive != d.drive.get() || later.logIndex != i) continue;
        line.insert(line.size() - 1, "  completed after " + std::to_string(later.delayMs) + " ms");
      }
      entries.push_back({d.drive->log[i].atMs, std::move(line)});
    }
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.atMs < b.atMs; });
  std::string report;
  for (const auto& e : entries) report += e.line;
  return report;
}

}  // namespace odf::wnaspi32
