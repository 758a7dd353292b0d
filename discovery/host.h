// Host environment: route choice, driver detection, shared buffers, and the
// clean-up that releases them at every end of the run.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/win_types.h"
#include "core/host_state.h"

namespace odf {

struct Context;

// Setup results.
inline constexpr int kSetupDone = 0;
inline constexpr int kSetupBufferRefused = -1;
inline constexpr int kSetupNoAspiLayer = 1;
inline constexpr int kSetupNoAdapters = 2;
inline constexpr int kSetupZeroAdapters = 3;

// Whether an ASPI host adapter's identifier begins with these 8 characters.
bool IdentifierIs(const std::array<std::uint8_t, 16>& id, const char* eight);

// Chooses the route and runs its setup; returns the setup's result.
int CheckHostEnvironment(Context& ctx);
void ReleaseHostEnvironment(Context& ctx);

}  // namespace odf
