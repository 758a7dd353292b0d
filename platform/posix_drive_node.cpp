#include "platform/posix_drive_node.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace odf::posix {

namespace {

constexpr char kSrPrefix[] = "/dev/sr";
constexpr int kDriveNodes = 23;  // sr0 to sr22, as the drive letters D: to Z:
constexpr std::size_t kSmallFile = 256;

std::string Why(const std::string& what, const std::string& path, int error) {
  return what + " " + path + " (" + std::strerror(error) + ")";
}

// A small file read whole (sysfs attributes, records); false with errno.
bool ReadSmall(const std::string& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::array<char, kSmallFile> buffer{};
  ssize_t got = 0;
  do {
    got = ::read(fd, buffer.data(), buffer.size());
  } while (got < 0 && errno == EINTR);
  const int error = errno;
  ::close(fd);
  if (got < 0) {
    errno = error;
    return false;
  }
  text.assign(buffer.data(), static_cast<std::size_t>(got));
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// A sysfs attribute takes its value in one write (truncated as a shell's
// "echo 0 >" does, which sysfs ignores).
bool WriteAttribute(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, text);
  const int error = errno;
  ::close(fd);
  errno = error;
  return written;
}

// A whole decimal number, optionally signed and followed by a newline.
bool ParseNumber(const std::string& text, long& value) {
  std::string digits = text;
  while (!digits.empty() && (digits.back() == '\n' || digits.back() == ' ')) digits.pop_back();
  if (digits.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(digits.c_str(), &end, 10);
  return errno == 0 && end != nullptr && *end == '\0';
}

bool ReadPolling(const std::string& path, int& pollMs) {
  std::string text;
  long value = 0;
  if (!ReadSmall(path, text)) return false;
  if (!ParseNumber(text, value) || value < -1 || value > INT32_MAX) {
    errno = EINVAL;
    return false;
  }
  pollMs = static_cast<int>(value);
  return true;
}

std::string PollingText(int pollMs) {
  return pollMs < 0 ? "the kernel's default" : std::to_string(pollMs) + " ms";
}

}  // namespace

std::string KernelName(const std::string& device) {
  const std::size_t prefix = sizeof kSrPrefix - 1;
  if (device.compare(0, prefix, kSrPrefix) != 0 || device.size() == prefix) return "";
  for (std::size_t i = prefix; i < device.size(); ++i) {
    if (device[i] < '0' || device[i] > '9') return "";
  }
  return device.substr(sizeof "/dev/" - 1);
}

std::string GenericNodeOf(const std::string& kernelName, const HostPaths& paths) {
  if (kernelName.empty()) return "";
  // The sg driver links each SCSI device it serves to its node: "generic"
  // points at scsi_generic/sgN.
  const std::string link = paths.sysfs + "/class/block/" + kernelName + "/device/generic";
  std::array<char, 512> target{};
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size() - 1);
  if (length <= 0) return "";
  const std::string path(target.data(), static_cast<std::size_t>(length));
  const std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.size() < 3 || name.compare(0, 2, "sg") != 0 ||
      name.find_first_not_of("0123456789", 2) != std::string::npos) {
    return "";
  }
  return paths.dev + "/" + name;
}

bool ParsePollingRecord(const std::string& text, PollingRecord& record) {
  bool havePoll = false;
  bool havePid = false;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    long value = 0;
    if (!ParseNumber(line.substr(eq + 1), value)) return false;
    const std::string key = line.substr(0, eq);
    if (key == "events_poll_msecs" && value >= -1 && value <= INT32_MAX) {
      record.pollMs = static_cast<int>(value);
      havePoll = true;
    } else if (key == "pid" && value > 0) {
      record.pid = value;
      havePid = true;
    }
  }
  return havePoll && havePid;
}

std::string PollingRecordText(const PollingRecord& record) {
  return "events_poll_msecs=" + std::to_string(record.pollMs) + "\npid=" + std::to_string(record.pid) + "\n";
}

bool OdflshRunning(long pid) {
  if (pid <= 0) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  // A number the system gave to another program since is no odflsh.
  std::string comm;
  if (!ReadSmall("/proc/" + std::to_string(pid) + "/comm", comm)) return true;
  return comm.compare(0, 6, "odflsh") == 0;
}

MediaPolling::MediaPolling(HostPaths paths, ProcessAlive alive, long ownPid)
    : paths_(std::move(paths)), alive_(alive), ownPid_(ownPid != 0 ? ownPid : static_cast<long>(::getpid())) {}

std::string MediaPolling::ValuePath(const std::string& kernelName) const {
  return paths_.sysfs + "/block/" + kernelName + "/events_poll_msecs";
}

std::string MediaPolling::RecordPath(const std::string& kernelName) const {
  return paths_.records + "/" + kernelName + ".poll";
}

// Through a temporary file, so that a record is either whole or absent.
bool MediaPolling::WriteRecord(const std::string& kernelName, int pollMs, std::string& problem) const {
  if (::mkdir(paths_.records.c_str(), 0755) != 0 && errno != EEXIST) {
    problem = Why("cannot create", paths_.records, errno);
    return false;
  }
  const std::string path = RecordPath(kernelName);
  const std::string temporary = path + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    problem = Why("cannot write", temporary, errno);
    return false;
  }
  const bool written = WriteAll(fd, PollingRecordText({pollMs, ownPid_})) && ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    problem = Why("cannot write", path, written ? errno : error);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool MediaPolling::Suspend(const std::string& kernelName, std::string& problem) {
  problem.clear();
  Restore();
  const std::string valuePath = ValuePath(kernelName);
  int found = 0;
  if (!ReadPolling(valuePath, found)) {
    problem = Why("cannot read", valuePath, errno);
    return false;
  }
  // Left at 0 by a run that was killed: the value to give back is its record's.
  std::string text;
  PollingRecord earlier;
  if (ReadSmall(RecordPath(kernelName), text) && ParsePollingRecord(text, earlier) && earlier.pid != ownPid_) {
    if (alive_(earlier.pid)) {
      problem = "another odflsh (process " + std::to_string(earlier.pid) + ") has suspended it";
      return false;
    }
    if (found == 0) found = earlier.pollMs;
  }
  std::string recordProblem;
  const bool recorded = WriteRecord(kernelName, found, recordProblem);
  if (!WriteAttribute(valuePath, "0\n")) {
    problem = Why("cannot write", valuePath, errno);
    if (recorded) ::unlink(RecordPath(kernelName).c_str());
    return false;
  }
  kernelName_ = kernelName;
  foundMs_ = found;
  // Suspended all the same: only a run killed now would leave it so.
  if (!recorded) problem = recordProblem + ", so a run killed now would leave it suspended";
  return true;
}

std::string MediaPolling::Restore() {
  if (kernelName_.empty()) return "";
  const std::string name = std::exchange(kernelName_, "");
  const std::string valuePath = ValuePath(name);
  if (!WriteAttribute(valuePath, std::to_string(foundMs_) + "\n")) {
    // The record stays, for the next run to give the value back.
    return Why("cannot write", valuePath, errno);
  }
  ::unlink(RecordPath(name).c_str());
  return "";
}

std::vector<std::string> MediaPolling::RestoreLeftBehind() {
  std::vector<std::string> lines;
  for (int n = 0; n < kDriveNodes; ++n) {
    const std::string name = "sr" + std::to_string(n);
    const std::string recordPath = RecordPath(name);
    std::string text;
    if (!ReadSmall(recordPath, text)) continue;
    PollingRecord record;
    if (!ParsePollingRecord(text, record)) {
      if (::unlink(recordPath.c_str()) == 0) lines.push_back("removed " + recordPath + ", which is damaged.");
      continue;
    }
    if (record.pid == ownPid_ || alive_(record.pid)) continue;
    int now = 0;
    // A drive gone since, or polling set again since, is left as it is.
    if (ReadPolling(ValuePath(name), now) && now == 0 && record.pollMs != 0) {
      if (!WriteAttribute(ValuePath(name), std::to_string(record.pollMs) + "\n")) {
        lines.push_back("the media polling of /dev/" + name + " was left suspended by an odflsh run that " +
                        "ended early, and cannot be given back: " + Why("cannot write", ValuePath(name), errno) +
                        ".");
        continue;
      }
      lines.push_back("gave back the media polling of /dev/" + name + " (" + PollingText(record.pollMs) +
                      "), which an odflsh run that ended early had left suspended.");
    }
    ::unlink(recordPath.c_str());
  }
  return lines;
}

}  // namespace odf::posix
