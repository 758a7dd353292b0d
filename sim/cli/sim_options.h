// The command line of odflsh-sim.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/definition.h"
#include "sim/drives/qrd_drive.h"
#include "sim/drives/qrw_drive.h"
#include "sim/drives/sim_drive.h"
#include "sim/fixtures/image_maker.h"
#include "sim/pc/pc_builder.h"

namespace odf::sim {

enum class DriveModel { Qbc850, Qrd570 };

// One --drive option.
struct DriveOption {
  DriveModel model = DriveModel::Qbc850;
  Qbc850Config config;
  Qrd570Config qrd;
  DrivePlace place;      // letter on the pass-through route, adapter and target on ASPI
  std::vector<FaultRule> faults;
  std::optional<WriterConfig> writer;  // set for the family-one writers
};

struct SimOptions {
  SimRoute route = SimRoute::PassThrough;
  HostSetup host;
  unsigned oemCodePage = 437;
  std::vector<int> answers;  // IDYES / IDNO, in order
  std::vector<DriveOption> drives;
  bool trace = false;
  bool help = false;
  std::string makeImage;     // non-empty: write this image file and stop
  std::string makePatch;     // non-empty: write this patch file (HEX) and stop
  ImageFields imageFields;
  // --definition: when given, the table in place of the built-in one.
  std::vector<UpdateDefinition> definitions;
};

struct ParseOutcome {
  bool ok = false;
  std::string error;         // one line, without the program name
  SimOptions options;
};

// Parses the arguments after the program name. Drives without an explicit
// place get the next free letter from D (pass-through) or the next free
// target id on adapter 0 (ASPI).
ParseOutcome ParseSimOptions(const std::vector<std::string>& args);
std::string SimUsage();

// fail=OP[/MODE[/BUF]][@N]:KEY/ASC/ASCQ | :timeout | :transport | :short=N
bool ParseFaultRule(const std::string& text, FaultRule& rule, std::string& error);

}  // namespace odf::sim
