// One run of the utility: start-up, discovery, the loop over the targets.
#pragma once

namespace odf {

struct Context;

// Returns the process exit code.
int RunUpdate(Context& ctx);

}  // namespace odf
