// odflsh.exe with another definition table: the Windows program as shipped,
// but for the drives of the families its built-in definition does not name,
// so their procedures run under Wine through the real Win32 layer. A test
// fixture, never shipped.
//
// It reads simdefinitions.txt from the working folder (where the program
// also finds its image files): one definition a line, as odflsh-sim's
// --definition takes it. Those definitions take the built-in table's place,
// as odflsh-sim's own do; all the rest is what odflsh.exe runs. Without a usable file it stops with exit
// code 3, which no run of the utility ends with, before it touches a drive.
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/run_update.h"
#include "core/context.h"
#include "core/definition.h"
#include "platform/host_platform.h"
#include "sim/fixtures/sim_definition.h"

namespace {

constexpr int kNoDefinitions = 3;
constexpr const char* kDefinitionFile = "simdefinitions.txt";

bool ReadDefinitions(std::vector<odf::UpdateDefinition>& definitions) {
  std::ifstream in(kDefinitionFile);
  if (!in) {
    std::fprintf(stderr, "odflsh-defined: cannot read %s\n", kDefinitionFile);
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    odf::UpdateDefinition definition{};
    std::string error;
    if (!odf::sim::ParseDefinition(line, definition, error)) {
      std::fprintf(stderr, "odflsh-defined: %s line %d: %s\n", kDefinitionFile, number, error.c_str());
      return false;
    }
    definitions.push_back(definition);
  }
  if (definitions.empty() || definitions.size() > static_cast<std::size_t>(odf::kDefinitionSlots)) {
    std::fprintf(stderr, "odflsh-defined: %s holds %zu definitions, not 1 to %d\n", kDefinitionFile,
                 definitions.size(), odf::kDefinitionSlots);
    return false;
  }
  return true;
}

}  // namespace

int main() {
  std::vector<odf::UpdateDefinition> definitions;
  if (!ReadDefinitions(definitions)) return kNoDefinitions;

  auto platform = odf::CreateHostPlatform();
  odf::RunSteps steps = odf::DefaultRunSteps();
  steps.loadDefinitions = odf::sim::DefinitionLoader(std::move(definitions));
  odf::Context ctx(*platform);
  return odf::RunUpdate(ctx, steps);
}
