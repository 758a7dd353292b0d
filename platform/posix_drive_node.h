// Where a Linux optical drive is reached and what the kernel does to it on
// its own: the SCSI generic node its commands go through (the sr device adds
// the kernel's TEST UNIT READY and GET EVENT STATUS NOTIFICATION at every
// open and close), and the kernel's media polling, suspended while the drive
// re-flashes. The folders are parameters, so every rule can be checked on a
// folder that stands for /sys and /run.
#pragma once

#include <string>
#include <vector>

namespace odf::posix {

struct HostPaths {
  std::string sysfs = "/sys";
  std::string dev = "/dev";
  // The records of suspended polling, kept where a reboot clears them, as
  // a reboot also gives the kernel back its default.
  std::string records = "/run/odflsh";
};

// "sr0" for "/dev/sr0"; "" for a path that names no sr device.
std::string KernelName(const std::string& device);

// The drive's SCSI generic node ("/dev/sg3"), looked up now (a drive that
// came back from its restart may have another), or "" when it has none.
std::string GenericNodeOf(const std::string& kernelName, const HostPaths& paths);

// The polling value a record file holds and the process that wrote it.
struct PollingRecord {
  int pollMs = 0;
  long pid = 0;
};

// Parses a record's text; false for a damaged one.
bool ParsePollingRecord(const std::string& text, PollingRecord& record);
std::string PollingRecordText(const PollingRecord& record);

// Whether the process that wrote a record still runs (an odflsh).
using ProcessAlive = bool (*)(long pid);
bool OdflshRunning(long pid);

// The kernel's media polling of one drive (events_poll_msecs: -1 for the
// kernel's default, 0 for none, or an interval), suspended for the update
// window and given back afterwards. A record under `paths.records` keeps
// the value found, so that the next run can give it back when this process
// is killed before it could.
class MediaPolling {
 public:
  explicit MediaPolling(HostPaths paths, ProcessAlive alive = OdflshRunning, long ownPid = 0);
  ~MediaPolling() { Restore(); }
  MediaPolling(const MediaPolling&) = delete;
  MediaPolling& operator=(const MediaPolling&) = delete;

  // Sets the drive's polling to 0. False, with `problem` for one line, when
  // it cannot (not root, a kernel without the file): the update goes on.
  bool Suspend(const std::string& kernelName, std::string& problem);
  // Gives back the value found, on the drive suspended last; "" or a problem.
  std::string Restore();
  bool Suspended() const { return !kernelName_.empty(); }

  // The records of runs that ended without giving the value back: each one
  // whose process is gone is removed, and its value written back where the
  // drive's polling is still 0. One line of text per value given back or
  // record that could not be used.
  std::vector<std::string> RestoreLeftBehind();

 private:
  std::string ValuePath(const std::string& kernelName) const;
  std::string RecordPath(const std::string& kernelName) const;
  bool WriteRecord(const std::string& kernelName, int pollMs, std::string& problem) const;

  HostPaths paths_;
  ProcessAlive alive_;
  long ownPid_;
  std::string kernelName_;  // the drive suspended now, "" when none
  int foundMs_ = 0;
};

}  // namespace odf::posix
