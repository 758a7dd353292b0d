#include "sim/frontend/sim_run.h"

#include "app/run_update.h"
#include "sim/fixtures/sim_definition.h"

namespace odf::sim {

int RunWithDefinitions(Context& ctx, const std::vector<UpdateDefinition>& definitions) {
  RunSteps steps = DefaultRunSteps();
  if (!definitions.empty()) steps.loadDefinitions = DefinitionLoader(definitions);
  return RunUpdate(ctx, steps);
}

}  // namespace odf::sim
