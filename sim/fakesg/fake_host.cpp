#include "sim/fakesg/fake_host.h"

#include <scsi/scsi.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "sim/option_text.h"

namespace odf::fakesg {

namespace {

using sim::Lower;
using sim::Split;

constexpr char kDevicePrefix[] = "/dev/sr";
constexpr int kMaxDevices = 23;               // D: to Z:
constexpr int kSgVersion = 30536;             // the sg driver's version number, 3.5.36
constexpr unsigned kDefaultTimeoutMs = 60000; // the kernel's default for an SG_IO time-out of 0
constexpr unsigned kMaxTransfer = 32u << 20;  // above the queue's limit the kernel answers EIO
constexpr unsigned short kDidTimeOut = 0x03;
constexpr unsigned short kDidError = 0x07;
constexpr unsigned short kDriverSense = 0x08;

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

// The kernel's own keys of one drive are taken out; the rest is odflsh-sim's --drive.
struct KernelKeys {
  int openError = 0;
  std::vector<sim::FaultRule> refusals;
};

bool TakeKernelKeys(const std::string& spec, std::string& driveSpec, KernelKeys& keys,
                    std::string& error) {
  driveSpec.clear();
  for (const std::string& part : Split(spec, ',')) {
    const std::size_t eq = part.find('=');
    const std::string key = Lower(part.substr(0, eq));
    const std::string value = eq != std::string::npos ? part.substr(eq + 1) : "";
    if (key == "open") {
      if (!ParseOpenError(value, keys.openError)) {
        error = "open=" + value + ": expected eacces, eperm, ebusy, eio or enxio";
        return false;
      }
    } else if (key == "eperm") {
      sim::FaultRule rule;
      std::string ignored;
      if (!sim::ParseFaultRule(value + ":0/0/0", rule, ignored)) {
        error = "eperm=" + value + ": expected OP[/MODE[/BUF]][@N]";
        return false;
      }
      keys.refusals.push_back(rule);
    } else {
      driveSpec += (driveSpec.empty() ? "" : ",") + part;
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

}  // namespace

FakeHost::FakeHost() : pc_(std::make_unique<sim::SimPc>()) {
  statePath_ = Env("ODFLSH_FAKE_STATE");
  tracePath_ = Env("ODFLSH_FAKE_TRACE");
  std::vector<std::string> args = {"--route", "pt"};
  std::vector<KernelKeys> keys;
  for (const std::string& spec : Split(Env("ODFLSH_FAKE_DRIVES"), ';')) {
    if (spec.empty()) continue;
    std::string driveSpec;
    keys.emplace_back();
    if (!TakeKernelKeys(spec, driveSpec, keys.back(), error_)) return;
    args.push_back("--drive");
    args.push_back(driveSpec);
  }
  const sim::ParseOutcome parsed = sim::ParseSimOptions(args);
  if (!parsed.ok) {
    error_ = parsed.error;
    return;
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
    devices_.push_back(std::move(device));
  }
}

int FakeHost::DeviceNumber(const char* path) {
  const std::size_t prefix = sizeof kDevicePrefix - 1;
  if (path == nullptr || std::strncmp(path, kDevicePrefix, prefix) != 0) return -1;
  const char* digits = path + prefix;
  const std::size_t count = std::strlen(digits);
  if (count == 0 || count > 3 || (count > 1 && digits[0] == '0')) return -1;
  int number = 0;
  for (const char* d = digits; *d != '\0'; ++d) {
    if (*d < '0' || *d > '9') return -1;
    number = number * 10 + (*d - '0');
  }
  return number;
}

FakeDevice* FakeHost::Find(int number) {
  for (auto& device : devices_) {
    if (device.number == number) return &device;
  }
  return nullptr;
}

int FakeHost::Open(int number) {
  FakeDevice* device = Find(number);
  const std::string path = kDevicePrefix + std::to_string(number);
  const int error = device == nullptr ? ENOENT : device->openError;
  const std::string outcome = error != 0 ? std::string(" refused: ") + std::strerror(error) : "";
  Trace("open " + path + outcome + "\n");
  return error;
}

void FakeHost::Adopt(int fd, FakeDevice& device) {
  descriptors_[fd] = static_cast<int>(&device - devices_.data());
}

void FakeHost::Release(int fd) { descriptors_.erase(fd); }

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

bool FakeHost::Refuses(FakeDevice& device, const sim::CommandRecord& record) {
  bool refused = false;
  for (auto& rule : device.refusals) {
    if (!Matches(rule, record)) continue;
    ++rule.seen;
    if (rule.occurrence == 0 || rule.seen == rule.occurrence) refused = true;
  }
  return refused;
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
  if (Refuses(device, record)) {
    line.insert(line.size() - 1, "  refused: EPERM");
    Trace(line);
    return EPERM;
  }
  Trace(line);
  auto* data = direction != 0 ? static_cast<std::uint8_t*>(hdr->dxferp) : nullptr;
  const sim::DriveReply reply = device.placed.drive->Receive(record, data);

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

void FakeHost::WriteState() const {
  if (statePath_.empty()) return;
  std::FILE* file = std::fopen(statePath_.c_str(), "w");
  if (file == nullptr) return;
  for (const auto& device : devices_) {
    std::fputs(sim::FormatDriveReport(device.placed).c_str(), file);
  }
  std::fclose(file);
}

}  // namespace odf::fakesg
