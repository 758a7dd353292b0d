// Pieces the fuzz targets share: a broken promise stops the run loudly (so
// libFuzzer keeps the input), and a run of the utility on a small image.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/definition.h"
#include "sim/fixtures/sim_definition.h"
#include "sim/pc/sim_pc.h"

namespace odf::fuzz {

// A fault the sanitizers cannot see (wrong bytes, a wrong verdict) is still a
// fault: report it and abort, which libFuzzer records as a crash.
[[noreturn]] inline void Broken(const char* promise) {
  std::fprintf(stderr, "\n*** fuzz check failed: %s\n", promise);
  std::abort();
}

inline void Require(bool holds, const char* promise) {
  if (!holds) Broken(promise);
}

// The built-in definition's file, and its kernel form.
inline constexpr const char* kNormalFile = "S1003431.104";
inline constexpr const char* kKernelFile = "S1003430.104";

// Image sizes of the definition the run uses. The built-in one names a
// 1.8 MB image; a small one keeps each run short while the transfer still
// sends a full block and a short one.
inline constexpr std::uint32_t kSmallImageSize = 0x9000;

// The built-in definition naming an image of another size and scope, so a
// run takes the file a target gives it.
inline UpdateDefinition BuiltInWith(std::uint32_t imageSize, std::int32_t updateScope) {
  static const UpdateDefinition builtIn = sim::BuiltInDefinition();
  UpdateDefinition d = builtIn;
  d.imageSize = imageSize;
  d.updateScope = updateScope;
  return d;
}

// With ODFLSH_FUZZ_SHOW set, a run's console and boxes go to standard error:
// for reading what one input (a kept crash, say) made the utility do.
inline void ShowRun(const sim::SimPc& pc) {
  static const bool show = std::getenv("ODFLSH_FUZZ_SHOW") != nullptr;
  if (!show) return;
  std::fprintf(stderr, "---- console\n%s\n", pc.Console().c_str());
  for (const auto& box : pc.Boxes()) std::fprintf(stderr, "---- box -> %d\n%s\n", box.answer, box.text.c_str());
}

inline bool StartsWith(const std::vector<std::uint8_t>& whole, const std::vector<std::uint8_t>& part) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace odf::fuzz
