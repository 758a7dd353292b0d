// The listing of the Linux program's --list: every optical drive the run's
// discovery reaches, with what a run would do to it, found by the run's own
// steps up to the point where a run would ask or write.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/run_update.h"

namespace odf {

struct Context;

// Busy: another odflsh is updating the drive; it was sent nothing.
enum class PlannedAction { Update, Current, None, Refused, Busy };

struct DriveListing {
  char driveLetter = 0;
  // Identity as the drive reports it, trailing blanks trimmed, bytes outside
  // printable ASCII (and the backslash) written \xNN; all empty for a busy drive.
  std::string vendor;
  std::string product;
  std::string revision;
  std::string date;
  bool kernelMode = false;  // the drive runs only its kernel (boot) part
  bool target = false;      // a definition serves it
  PlannedAction action = PlannedAction::None;
  std::string updateTo;     // the image's version, for Update
  std::string reason;       // why a run would refuse, for Refused; whose drive, for Busy
};

enum class ListOutcome { Listed, SetupFailed };

// Runs start-up, discovery and, for each target, the checks a run makes
// before its first question. Nothing is written, no question is asked and
// the console text of those steps goes nowhere but the platform.
ListOutcome ListDrives(Context& ctx, const RunSteps& steps, std::vector<DriveListing>& drives);

// The device a drive letter stands for ("/dev/sr0"), as the platform maps it.
using DeviceNamer = std::function<std::string(char driveLetter)>;

// One line per drive, columns aligned; nothing for no drive.
std::string ListingText(const std::vector<DriveListing>& drives, const DeviceNamer& deviceOf);
// One JSON array, one object per drive.
std::string ListingJson(const std::vector<DriveListing>& drives, const DeviceNamer& deviceOf);

const char* ActionName(PlannedAction action);

}  // namespace odf
