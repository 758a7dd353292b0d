// odflsh-sim: the utility's own run on a simulated PC. Standard output gets
// exactly what the utility writes to its console; everything this front end
// adds (boxes, trace, drive reports) goes to standard error.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "core/context.h"
#include "sim/cli/sim_options.h"
#include "sim/cli/sim_report.h"
#include "sim/cli/sim_setup.h"
#include "sim/fixtures/hex_image.h"
#include "sim/fixtures/image_maker.h"
#include "sim/fixtures/sim_definition.h"
#include "sim/frontend/sim_run.h"

namespace {

using odf::sim::BoxRecord;
using odf::sim::PlacedDrive;

// Prints the commands the drives received since the last call, in time order.
class Tracer {
 public:
  explicit Tracer(const std::vector<PlacedDrive>& drives) : drives_(drives), seen_(drives.size(), 0) {}

  void Flush() {
    struct Entry {
      std::uint64_t atMs;
      std::string line;
    };
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < drives_.size(); ++i) {
      const auto& log = drives_[i].drive->log;
      for (; seen_[i] < log.size(); ++seen_[i]) {
        entries.push_back({log[seen_[i]].atMs, odf::sim::FormatCommand(drives_[i].label, log[seen_[i]])});
      }
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.atMs < b.atMs; });
    for (const auto& e : entries) std::fputs(e.line.c_str(), stderr);
  }

 private:
  const std::vector<PlacedDrive>& drives_;
  std::vector<std::size_t> seen_;
};

// Without a terminal, a drive that fails on every pass would be retried for
// ever on automatic yes answers; after this many the answer becomes no.
constexpr int kAutomaticYesLimit = 50;

// A question the --answers list did not cover: ask on the terminal, or say yes.
int AnswerQuestion(const BoxRecord& box) {
  static int automaticAnswers = 0;
  const bool okCancel = (box.type & 0x0F) == odf::win::MB_OKCANCEL;
  const int yes = okCancel ? odf::win::IDOK : odf::win::IDYES;
  const int no = okCancel ? odf::win::IDCANCEL : odf::win::IDNO;
  if (isatty(STDIN_FILENO) == 0) {
    if (++automaticAnswers <= kAutomaticYesLimit) return yes;
    if (automaticAnswers == kAutomaticYesLimit + 1) {
      std::fprintf(stderr, "odflsh-sim: %d questions answered yes without a terminal; answering no from now on\n",
                   kAutomaticYesLimit);
    }
    return no;
  }
  std::string text;
  for (char c : box.text) {
    if (c != '\r') text += c;
  }
  for (;;) {
    std::fprintf(stderr, "\n[ODFLSH]%s\n%s ", text.c_str(), okCancel ? "[ok/cancel]" : "[y/n]");
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line)) return no;
    if (!line.empty() && (line[0] == 'y' || line[0] == 'Y' || line[0] == 'o' || line[0] == 'O')) return yes;
    if (!line.empty() && (line[0] == 'n' || line[0] == 'N' || line[0] == 'c' || line[0] == 'C')) return no;
  }
}

// --make-image: the files that fit the first definition of the table.
int MakeImages(const odf::sim::SimOptions& options) {
  const odf::UpdateDefinition first =
      options.definitions.empty() ? odf::sim::BuiltInDefinition() : options.definitions.front();
  std::vector<odf::sim::ImageFile> files;
  std::string error;
  const bool made = odf::sim::IsHexDefinition(first)
                        ? odf::sim::HexImageForDefinition(first, options.makeImage, files, error)
                        : odf::sim::ImagesForDefinition(first, options.imageFields, options.makeImage, files, error);
  if (!made) {
    std::fprintf(stderr, "odflsh-sim: --make-image: %s\n", error.c_str());
    return 2;
  }
  for (const auto& file : files) {
    if (!odf::sim::WriteImageFile(file.path, file.bytes)) {
      std::fprintf(stderr, "odflsh-sim: cannot write %s\n", file.path.c_str());
      return 1;
    }
    std::fprintf(stderr, "odflsh-sim: wrote %s\n", file.path.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const odf::sim::ParseOutcome parsed = odf::sim::ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.ok) {
    std::fprintf(stderr, "odflsh-sim: %s\nTry 'odflsh-sim --help'.\n", parsed.error.c_str());
    return 2;
  }
  const odf::sim::SimOptions& options = parsed.options;
  if (options.help) {
    std::fputs(odf::sim::SimUsage().c_str(), stdout);
    return 0;
  }
  if (!options.makeImage.empty() || !options.makePatch.empty()) {
    if (!options.makeImage.empty()) {
      if (const int made = MakeImages(options); made != 0) return made;
    }
    if (!options.makePatch.empty()) {
      if (!odf::sim::WritePatchFile(options.makePatch)) {
        std::fprintf(stderr, "odflsh-sim: cannot write %s\n", options.makePatch.c_str());
        return 1;
      }
      std::fprintf(stderr, "odflsh-sim: wrote %s\n", options.makePatch.c_str());
    }
    return 0;
  }

  odf::sim::SimPc pc;
  const std::vector<PlacedDrive> drives = odf::sim::BuildSimPc(options, pc);
  pc.SetHostDirectory(".");
  Tracer tracer(drives);
  const bool trace = options.trace;
  pc.consoleSink = [&](const std::string& bytes) {
    if (trace) tracer.Flush();
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
  };
  pc.boxSink = [&](const BoxRecord& box) {
    if (trace) tracer.Flush();
    std::fputs(odf::sim::FormatBox(box).c_str(), stderr);
  };
  pc.answerer = AnswerQuestion;

  // Definitions from the command line take the built-in table's place.
  int exitCode = 0;
  {
    odf::Context ctx(pc);
    exitCode = odf::sim::RunWithDefinitions(ctx, options.definitions);
  }
  std::fflush(stdout);
  if (trace) tracer.Flush();
  for (const auto& d : drives) std::fputs(odf::sim::FormatDriveReport(d).c_str(), stderr);
  return exitCode;
}
