// The command line of odflsh-sim, and the simulated PC built from it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/definition.h"
#include "sim/image_maker.h"
#include "sim/qrw_drive.h"
#include "sim/sim_drive.h"
#include "sim/sim_pc.h"

namespace odf::sim {

enum class SimRoute { PassThrough, Aspi };

// One --drive option.
struct DriveOption {
  Qbc850Config config;
  char letter = 0;       // pass-through route; 0 until placed
  int adapter = -1;      // ASPI route; -1 until placed
  int target = -1;
  bool noAddress = false;
  std::vector<FaultRule> faults;
  std::optional<WriterConfig> writer;  // set for the family-one writers
};

struct SimOptions {
  SimRoute route = SimRoute::PassThrough;
  unsigned oemCodePage = 437;
  std::vector<int> answers;  // IDYES / IDNO, in order
  std::vector<DriveOption> drives;
  bool trace = false;
  bool help = false;
  std::string makeImage;     // non-empty: write this image file and stop
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

// fail=OP[/MODE[/BUF]][@N]:KEY/ASC/ASCQ | :timeout | :transport
bool ParseFaultRule(const std::string& text, FaultRule& rule, std::string& error);

struct PlacedDrive {
  std::shared_ptr<Qbc850Drive> drive;
  std::string label;         // "D:" or "0:1" (adapter:target)
};

// Sets up the PC's Windows version, code page, ASPI layer, volumes and
// adapters; returns the drives in the order of the options.
std::vector<PlacedDrive> BuildSimPc(const SimOptions& options, SimPc& pc);

// Report lines for standard error (each ends with a newline).
std::string EscapeText(const std::string& text);
std::string FormatBox(const BoxRecord& box);
std::string FormatCommand(const std::string& label, const CommandRecord& record);
std::string FormatDriveReport(const PlacedDrive& placed);

}  // namespace odf::sim
