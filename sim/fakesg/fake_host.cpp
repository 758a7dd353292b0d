#include "sim/fakesg/fake_host.h"

#include <fcntl.h>
#include <scsi/scsi.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "sim/drives/option_text.h"

namespace odf::fakesg {

namespace {

using sim::Lower;
using sim::Split;

constexpr char kDevicePrefix[] = "/dev/sr";
constexpr char kGenericPrefix[] = "/dev/sg";
constexpr char kPollingPrefix[] = "/sys/block/sr";
constexpr char kPollingName[] = "/events_poll_msecs";
constexpr char kGenericLinkPrefix[] = "/sys/class/block/sr";
constexpr char kGenericLinkName[] = "/device/generic";
constexpr char kRecordFolder[] = "/run/odflsh";
constexpr int kMaxDevices = 23;               // D: to Z:
constexpr int kSgVersion = 30536;             // the sg driver's version number, 3.5.36
constexpr unsigned kDefaultTimeoutMs = 60000; // the kernel's default for an SG_IO time-out of 0
constexpr unsigned kMaxTransfer = 32u << 20;  // above the queue's limit the kernel answers EIO
constexpr unsigned short kDidTimeOut = 0x03;
constexpr unsigned short kDidError = 0x07;
constexpr unsigned short kDriverSense = 0x08;
// A paused command gives up waiting after this long, so a test that never
// resumes it fails on its own limits instead of hanging.
constexpr auto kLongestPause = std::chrono::seconds(300);

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool ParseOpenError(const std::string& value, int& error) {
  static const std::pair<const char*, int> kErrors[] = {
      {"eacces", EACCES}, {"eperm", EPERM}, {"ebusy", EBUSY}, {"eio", EIO}, {"enxio", ENXIO}};
  for (const auto& [name, code] : kErrors) {
    if (Lower(value) == name) {
      error = code;
      return true;
    }
  }
  return false;
}

// "<digits>" at the start of `text` as a device number, -1 when there are
// none (or a leading zero), with what follows them in `rest`.
int NumberAt(const char* text, const char** rest) {
  int number = 0;
  int count = 0;
  const char* d = text;
  for (; *d >= '0' && *d <= '9' && count <= 3; ++d, ++count) number = number * 10 + (*d - '0');
  if (count == 0 || count > 3 || (count > 1 && text[0] == '0')) return -1;
  *rest = d;
  return number;
}

// "<prefix><N><suffix>" exactly: N, or -1.
int NumberBetween(const char* path, const char* prefix, const char* suffix) {
  if (path == nullptr || std::strncmp(path, prefix, std::strlen(prefix)) != 0) return -1;
  const char* rest = nullptr;
  const int number = NumberAt(path + std::strlen(prefix), &rest);
  return number >= 0 && std::strcmp(rest, suffix) == 0 ? number : -1;
}

// The kernel's own keys of one drive are taken out; the rest is odflsh-sim's --drive.
struct KernelKeys {
  bool hasGeneric = true;
  int genericOpenError = 0;
  int openError = 0;
  std::vector<sim::FaultRule> refusals;
  std::vector<sim::FaultRule> pauses;
};

// OP[/MODE[/BUF]][@N], the command part of odflsh-sim's fault rules.
bool ParseCommandRule(const std::string& value, sim::FaultRule& rule) {
  std::string ignored;
  return sim::ParseFaultRule(value + ":0/0/0", rule, ignored);
}

bool TakeKernelKeys(const std::string& settings, std::string& driveSettings, KernelKeys& keys,
                    std::string& error) {
  driveSettings.clear();
  for (const std::string& part : Split(settings, ',')) {
    const std::size_t eq = part.find('=');
    const std::string key = Lower(part.substr(0, eq));
    const std::string value = eq != std::string::npos ? part.substr(eq + 1) : "";
    if (key == "sg") {
      keys.hasGeneric = Lower(value) != "0";
      if (keys.hasGeneric && Lower(value) != "1" && !ParseOpenError(value, keys.genericOpenError)) {
        error = "sg=" + value + ": expected 0, 1, eacces, eperm, ebusy, eio or enxio";
        return false;
      }
    } else if (key == "open") {
      if (!ParseOpenError(value, keys.openError)) {
        error = "open=" + value + ": expected eacces, eperm, ebusy, eio or enxio";
        return false;
      }
    } else if (key == "eperm" || key == "pause") {
      sim::FaultRule rule;
      if (!ParseCommandRule(value, rule)) {
        error = key + "=" + value + ": expected OP[/MODE[/BUF]][@N]";
        return false;
      }
      (key == "eperm" ? keys.refusals : keys.pauses).push_back(rule);
    } else {
      driveSettings += (driveSettings.empty() ? "" : ",") + part;
    }
  }
  return true;
}

bool Matches(const sim::FaultRule& rule, const sim::CommandRecord& record) {
  const std::uint8_t opcode = record.cdb[0];
  if (rule.opcode && *rule.opcode != opcode) return false;
  if (opcode == 0x3B || opcode == 0x3C) {
    if (rule.mode && *rule.mode != record.cdb[1]) return false;
    if (rule.bufferId && *rule.bufferId != record.cdb[2]) return false;
  }
  return true;
}

// Counts the command against each rule; true when one of them picks it.
bool Picks(std::vector<sim::FaultRule>& rules, const sim::CommandRecord& record) {
  bool picked = false;
  for (auto& rule : rules) {
    if (!Matches(rule, record)) continue;
    ++rule.seen;
    if (rule.occurrence == 0 || rule.seen == rule.occurrence) picked = true;
  }
  return picked;
}

}  // namespace

FakeHost::FakeHost() : pc_(std::make_unique<sim::SimPc>()) {
  statePath_ = Env("ODFLSH_FAKE_STATE");
  tracePath_ = Env("ODFLSH_FAKE_TRACE");
  resumePath_ = Env("ODFLSH_FAKE_RESUME");
  lockFolder_ = Env("ODFLSH_FAKE_LOCKS");
  sysfsFolder_ = Env("ODFLSH_FAKE_SYSFS");
  sysfsReadOnly_ = !Env("ODFLSH_FAKE_SYSFS_READONLY").empty();
  std::vector<std::string> args = {"--route", "pt"};
  std::vector<KernelKeys> keys;
  for (const std::string& settings : Split(Env("ODFLSH_FAKE_DRIVES"), ';')) {
    if (settings.empty()) continue;
    std::string driveSettings;
    keys.emplace_back();
    if (!TakeKernelKeys(settings, driveSettings, keys.back(), error_)) return;
    args.push_back("--drive");
    args.push_back(driveSettings);
  }
  const sim::ParseOutcome parsed = sim::ParseSimOptions(args);
  if (!parsed.ok) {
    error_ = parsed.error;
    return;
  }
  for (const KernelKeys& k : keys) {
    if (!k.pauses.empty() && resumePath_.empty()) {
      error_ = "pause= needs ODFLSH_FAKE_RESUME, the file that lets the command go on";
      return;
    }
  }
  const std::vector<sim::PlacedDrive> placed = sim::BuildSimPc(parsed.options, *pc_);
  for (std::size_t i = 0; i < placed.size(); ++i) {
    const sim::DriveOption& option = parsed.options.drives[i];
    const char letter = placed[i].letter;
    const int number = letter - 'D';
    if (number < 0 || number >= kMaxDevices) {
      error_ = std::string("drive letter ") + letter + ": the drives start at D: (/dev/sr0)";
      return;
    }
    FakeDevice device;
    device.number = number;
    device.placed = placed[i];
    device.noAddress = option.place.volume.noAddress;
    device.openError = keys[i].openError;
    device.refusals = keys[i].refusals;
    device.pauses = keys[i].pauses;
    device.hasGeneric = keys[i].hasGeneric;
    device.genericOpenError = keys[i].genericOpenError;
    devices_.push_back(std::move(device));
  }
  WriteState();  // a process ended before its first command leaves the state too
}

int FakeHost::DeviceNumber(const char* path) { return NumberBetween(path, kDevicePrefix, ""); }

int FakeHost::GenericNumber(const char* path) { return NumberBetween(path, kGenericPrefix, ""); }

int FakeHost::Redirect(const char* path, bool writing, std::string& to, int& error) {
  if (path == nullptr) return 0;
  const bool record = std::strncmp(path, kRecordFolder, sizeof kRecordFolder - 1) == 0 &&
                      (path[sizeof kRecordFolder - 1] == '\0' || path[sizeof kRecordFolder - 1] == '/');
  const int number = NumberBetween(path, kPollingPrefix, kPollingName);
  if (!record && number < 0) return 0;
  error = 0;
  if (sysfsFolder_.empty() || (number >= 0 && Find(number) == nullptr)) {
    error = ENOENT;
  } else if (writing && sysfsReadOnly_) {
    error = EACCES;  // as for a user who is not root
  }
  if (error != 0) return -1;
  if (record) {
    to = sysfsFolder_ + "/run" + (path + sizeof kRecordFolder - 1);
    return 1;
  }
  to = sysfsFolder_ + "/sr" + std::to_string(number) + ".events_poll_msecs";
  // A fresh device polls at the kernel's default.
  const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t written = ::write(fd, "-1\n", 3);
    ::close(fd);
  }
  return 1;
}

int FakeHost::GenericLink(const char* path, std::string& to, int& error) {
  const int number = NumberBetween(path, kGenericLinkPrefix, kGenericLinkName);
  if (number < 0) return 0;
  const FakeDevice* device = Find(number);
  if (device == nullptr || !device->hasGeneric) {
    error = ENOENT;
    return -1;
  }
  to = "../../../../../class/scsi_generic/sg" + std::to_string(number);
  return 1;
}

FakeDevice* FakeHost::Find(int number) {
  for (auto& device : devices_) {
    if (device.number == number) return &device;
  }
  return nullptr;
}

int FakeHost::Open(int number, bool generic) {
  FakeDevice* device = Find(number);
  const std::string path = (generic ? kGenericPrefix : kDevicePrefix) + std::to_string(number);
  int error = device == nullptr ? ENOENT : device->openError;
  if (generic && device != nullptr && error == 0) {
    error = !device->hasGeneric ? ENOENT : device->genericOpenError;
  }
  const std::string outcome = error != 0 ? std::string(" refused: ") + std::strerror(error) : "";
  Trace("open " + path + outcome + "\n");
  return error;
}

void FakeHost::Adopt(int fd, FakeDevice& device) {
  descriptors_[fd] = static_cast<int>(&device - devices_.data());
}

void FakeHost::Release(int fd) {
  descriptors_.erase(fd);
  if (auto lock = lockFiles_.find(fd); lock != lockFiles_.end()) {
    ::close(lock->second);
    lockFiles_.erase(lock);
  }
}

int FakeHost::Flock(int fd, const FakeDevice& device, int operation, int& error) {
  error = 0;
  if (lockFolder_.empty()) return 0;
  auto lock = lockFiles_.find(fd);
  if (lock == lockFiles_.end()) {
    const std::string path = lockFolder_ + "/sr" + std::to_string(device.number) + ".lock";
    const int lockFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0) {
      error = errno;
      return -1;
    }
    lock = lockFiles_.emplace(fd, lockFd).first;
  }
  if (::flock(lock->second, operation) == 0) return 0;
  error = errno;
  return -1;
}

FakeDevice* FakeHost::Descriptor(int fd) {
  auto it = descriptors_.find(fd);
  return it != descriptors_.end() ? &devices_[static_cast<std::size_t>(it->second)] : nullptr;
}

int FakeHost::Ioctl(FakeDevice& device, unsigned long request, void* arg, int& error) {
  auto* word = static_cast<int*>(arg);
  error = 0;
  switch (request) {
    case SG_IO:
      error = SgIo(device, static_cast<sg_io_hdr_t*>(arg));
      return error == 0 ? 0 : -1;
    case SCSI_IOCTL_GET_IDLUN:
      // Each drive sits alone on its own host, as SATA ports do.
      if (device.noAddress) break;
      if (word == nullptr) {
        error = EFAULT;
        return -1;
      }
      word[0] = device.number << 24;
      word[1] = device.number;
      return 0;
    case SCSI_IOCTL_GET_BUS_NUMBER:
      if (device.noAddress) break;
      if (word == nullptr) {
        error = EFAULT;
        return -1;
      }
      *word = device.number;
      return 0;
    case SG_GET_VERSION_NUM:
      if (word == nullptr) {
        error = EFAULT;
        return -1;
      }
      *word = kSgVersion;
      return 0;
    default: break;
  }
  char line[96];
  std::snprintf(line, sizeof line, "ioctl %s 0x%lx not handled\n", device.path().c_str(), request);
  Trace(line);
  error = ENOTTY;
  return -1;
}

// Decodes the request as the kernel's SG_IO does, hands the command to the
// drive, and reports the outcome in the request's status fields.
int FakeHost::SgIo(FakeDevice& device, sg_io_hdr_t* hdr) {
  if (hdr == nullptr) return EFAULT;
  if (hdr->interface_id != 'S') return EINVAL;
  if (hdr->cmd_len == 0 || hdr->cmd_len > 16 || hdr->cmdp == nullptr) return EINVAL;
  if (hdr->iovec_count != 0) return EINVAL;  // scatter lists: no client here uses them
  if (hdr->dxfer_len > kMaxTransfer) return EIO;
  int direction = 0;
  if (hdr->dxfer_len != 0) {
    switch (hdr->dxfer_direction) {
      case SG_DXFER_TO_DEV: direction = 2; break;
      case SG_DXFER_FROM_DEV:
      case SG_DXFER_TO_FROM_DEV: direction = 1; break;
      default: return EINVAL;
    }
    if (hdr->dxferp == nullptr) return EFAULT;
  }
  const unsigned limitMs = hdr->timeout != 0 ? hdr->timeout : kDefaultTimeoutMs;

  sim::CommandRecord record;
  std::memcpy(record.cdb.data(), hdr->cmdp, hdr->cmd_len);
  record.cdbLength = hdr->cmd_len;
  record.direction = direction;
  record.length = direction != 0 ? hdr->dxfer_len : 0;
  record.timeoutSeconds = limitMs / 1000;
  record.atMs = nowMs_;
  std::string line = sim::FormatCommand(device.placed.label, record);
  if (Picks(device.refusals, record)) {
    line.insert(line.size() - 1, "  refused: EPERM");
    Trace(line);
    return EPERM;
  }
  const bool paused = Picks(device.pauses, record);
  if (paused) line.insert(line.size() - 1, "  paused");
  Trace(line);
  if (paused) WaitForResume();
  auto* data = direction != 0 ? static_cast<std::uint8_t*>(hdr->dxferp) : nullptr;
  const sim::DriveReply reply = device.placed.drive->Receive(record, data);
  WriteState();

  hdr->status = 0;
  hdr->masked_status = 0;
  hdr->msg_status = 0;
  hdr->host_status = 0;
  hdr->driver_status = 0;
  hdr->sb_len_wr = 0;
  hdr->resid = static_cast<int>(record.length);
  hdr->info = SG_INFO_CHECK;
  if (reply.timedOut || reply.durationMs > limitMs) {
    // The error handler gives up at the time-out, whatever the drive does later.
    nowMs_ += limitMs;
    hdr->duration = limitMs;
    hdr->host_status = kDidTimeOut;
    return 0;
  }
  nowMs_ += reply.durationMs;
  hdr->duration = reply.durationMs;
  if (reply.transportFail) {
    hdr->host_status = kDidError;
    return 0;
  }
  if (reply.status != 0) {
    hdr->status = reply.status;
    hdr->masked_status = static_cast<unsigned char>(reply.status >> 1);
    const std::size_t senseLength =
        std::min<std::size_t>({hdr->mx_sb_len, reply.returnedSenseLength, reply.sense.size()});
    if (senseLength != 0 && hdr->sbp != nullptr) {
      std::memcpy(hdr->sbp, reply.sense.data(), senseLength);
      hdr->sb_len_wr = static_cast<unsigned char>(senseLength);
      hdr->driver_status = kDriverSense;
    }
  }
  // A drive answer that Windows pairs with a failed call is a host error here.
  if (reply.ioctlFails) hdr->host_status = kDidError;
  hdr->resid = static_cast<int>(record.length - std::min(reply.dataTransferred, record.length));
  const bool clean = hdr->status == 0 && hdr->host_status == 0 && hdr->driver_status == 0;
  hdr->info = clean ? SG_INFO_OK : SG_INFO_CHECK;
  return 0;
}

void FakeHost::Trace(const std::string& line) const {
  if (tracePath_.empty()) return;
  if (std::FILE* file = std::fopen(tracePath_.c_str(), "a")) {
    std::fputs(line.c_str(), file);
    std::fclose(file);
  }
}

void FakeHost::WaitForResume() const {
  const auto deadline = std::chrono::steady_clock::now() + kLongestPause;
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::FILE* file = std::fopen(resumePath_.c_str(), "r")) {
      std::fclose(file);
      return;
    }
    // Polled: the process may take signals meanwhile, as it would in the kernel.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Written whole under another name, then renamed over the old one, so that
// a reader (or a process ended half-way) never sees a part of it.
void FakeHost::WriteState() const {
  if (statePath_.empty()) return;
  const std::string staging = statePath_ + ".new";
  std::FILE* file = std::fopen(staging.c_str(), "w");
  if (file == nullptr) return;
  for (const auto& device : devices_) {
    std::fputs(sim::FormatDriveReport(device.placed).c_str(), file);
  }
  if (std::fclose(file) == 0) std::rename(staging.c_str(), statePath_.c_str());
}

}  // namespace odf::fakesg
