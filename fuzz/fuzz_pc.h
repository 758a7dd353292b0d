// The simulated PC for fuzzing: the same PC, but its memory blocks come from
// calloc. The host checks take some 12 MiB of zero-filled buffers per run and
// touch a few KiB of them; calloc hands out fresh zero pages that are never
// touched unless used, where zero-filling them all cost most of each run.
// A freed block is freed at once, so the sanitizer still sees any use of it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>

#include "sim/sim_pc.h"

namespace odf::fuzz {

class FuzzPc : public sim::SimPc {
 public:
  FuzzPc() = default;
  FuzzPc(const FuzzPc&) = delete;
  FuzzPc& operator=(const FuzzPc&) = delete;
  ~FuzzPc() override {
    for (auto& [handle, block] : blocks_) std::free(block.bytes);
  }

  HGLOBAL GlobalAlloc(UINT, std::size_t bytes) override {
    auto* memory = static_cast<std::uint8_t*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
    if (memory == nullptr) return 0;
    const HGLOBAL handle = next_;
    next_ += 0x10;
    blocks_.emplace(handle, Block{memory, bytes, 0});
    // Pass-through blocks carry these addresses; the PC resolves them.
    RegisterMemory(memory, bytes);
    return handle;
  }
  void* GlobalLock(HGLOBAL mem) override {
    const auto it = blocks_.find(mem);
    if (it == blocks_.end()) return nullptr;
    ++it->second.locks;
    return it->second.bytes;
  }
  BOOL GlobalUnlock(HGLOBAL mem) override {
    const auto it = blocks_.find(mem);
    if (it == blocks_.end()) return FALSE_;
    if (it->second.locks > 0) --it->second.locks;
    return it->second.locks > 0 ? TRUE_ : FALSE_;
  }
  HGLOBAL GlobalFree(HGLOBAL mem) override {
    const auto it = blocks_.find(mem);
    if (it == blocks_.end()) return mem;
    UnregisterMemory(it->second.bytes);
    std::free(it->second.bytes);
    blocks_.erase(it);
    return 0;
  }

 private:
  struct Block {
    std::uint8_t* bytes;
    std::size_t size;
    int locks;
  };
  std::map<HGLOBAL, Block> blocks_;
  HGLOBAL next_ = 0x7000;
};

}  // namespace odf::fuzz
