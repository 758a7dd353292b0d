// Pieces the fuzz targets share: a broken promise stops the run loudly (so
// libFuzzer keeps the input), and a run of the utility on a small image.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/run_update.h"
#include "core/context.h"
#include "discovery/host.h"

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

// The run's own steps, but with the definition's image size and update scope
// replaced once the host checks are done (the definition is loaded before
// them), so a run takes the file the target gives it.
inline RunSteps StepsWithDefinition(std::uint32_t imageSize, std::int32_t updateScope) {
  RunSteps steps = DefaultRunSteps();
  steps.checkHost = [imageSize, updateScope](Context& ctx) {
    const int result = CheckHostEnvironment(ctx);
    ctx.definitions.entries[0].imageSize = imageSize;
    ctx.definitions.entries[0].updateScope = updateScope;
    return result;
  };
  return steps;
}

inline bool StartsWith(const std::vector<std::uint8_t>& whole, const std::vector<std::uint8_t>& part) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace odf::fuzz
