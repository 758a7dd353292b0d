// Benchmarks on the simulated PC: the cost of one pass-through command and of
// a whole family-four update of the built-in image size, and the heap
// allocations per command. The transport itself allocates nothing (its
// buffers come from the host checks); what the counter shows is the
// simulated operating system's handle table, one entry per volume open.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "core/context.h"
#include "scsi/commands.h"
#include "scsi/transport.h"
#include "sim/fixtures/image_maker.h"
#include "sim/frontend/sim_run.h"
#include "sim/pc/pc_builder.h"
#include "sim/pc/sim_pc.h"

namespace {

std::atomic<long> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// A drive that answers every command at once and keeps no log, so the
// measurement is the transport and the simulated operating system alone.
class QuietDrive : public odf::sim::SimDrive {
 public:
  std::string Describe() const override { return "quiet"; }

 protected:
  odf::sim::DriveReply Execute(const odf::sim::CommandRecord& record, std::uint8_t*) override {
    odf::sim::DriveReply reply;
    reply.dataTransferred = record.length;
    return reply;
  }
};

void BM_PassThroughWriteBlock(benchmark::State& state) {
  odf::sim::SimPc pc;
  odf::Context ctx(pc);
  auto drive = std::make_shared<QuietDrive>();
  const auto placed = odf::sim::PcBuilder().Drive(drive).Build(pc);
  ctx.targets.entries[0].driveLetter = placed[0].letter;
  ctx.targets.targetCount = 1;
  std::vector<std::uint8_t> block(0x8000, 0x5A);
  pc.RegisterMemory(block.data(), block.size());
  odf::ScsiPort& port = odf::PortOf(ctx);  // made once, outside the count
  const odf::CommandTarget target = odf::TargetAt(ctx.targets, 0);
  long allocs = 0;
  for (auto _ : state) {
    drive->log.clear();
    const long before = allocations.load();
    benchmark::DoNotOptimize(odf::WriteNormalBlock(port, target, 0, 0x8000, block.data()));
    allocs += allocations.load() - before;
  }
  state.counters["allocs/command"] =
      benchmark::Counter(static_cast<double>(allocs) / static_cast<double>(state.iterations()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 0x8000);
}
BENCHMARK(BM_PassThroughWriteBlock);

void BM_WholeUpdate(benchmark::State& state) {
  const std::vector<std::uint8_t> image = odf::sim::MakeImage();
  for (auto _ : state) {
    odf::sim::SimPc pc;
    odf::sim::PcBuilder().Drive(std::make_shared<odf::sim::Qbc850Drive>()).Answers({odf::win::IDYES}).Build(pc);
    pc.AddFile("S1003431.104", image);
    odf::Context ctx(pc);
    if (odf::sim::RunWithDefinitions(ctx, {}) != 0) state.SkipWithError("update failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(image.size()));
}
BENCHMARK(BM_WholeUpdate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
