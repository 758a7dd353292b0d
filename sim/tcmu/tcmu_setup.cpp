#include "sim/tcmu/tcmu_setup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace odf::tcmu {

namespace {

constexpr char kCoreFolder[] = "/sys/kernel/config/target/core/user_0";
constexpr char kLoopbackTarget[] = "/sys/kernel/config/target/loopback/naa.5001405000000001";
constexpr char kNexus[] = "naa.5001405000000002";
// The medium is never read through the backstore: the drive answers every
// command itself, READ CAPACITY included; configfs insists on a size.
constexpr char kDeviceSize[] = "1048576";
constexpr auto kScanLimit = std::chrono::seconds(60);

std::string Why(const std::string& what) { return what + ": " + std::strerror(errno); }

bool MakeFolder(const std::string& path, std::string& error) {
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  error = Why("mkdir " + path);
  return false;
}

// configfs attributes take one write each; a short write is a refusal.
bool WriteAttribute(const std::string& path, const std::string& value, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  if (fd < 0) {
    error = Why("open " + path);
    return false;
  }
  const ssize_t written = ::write(fd, value.data(), value.size());
  const int saved = errno;
  ::close(fd);
  if (written != static_cast<ssize_t>(value.size())) {
    errno = written < 0 ? saved : EIO;
    error = Why("write '" + value + "' to " + path);
    return false;
  }
  return true;
}

std::string ReadLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// The UIO device whose name the kernel made from ours: "tcm-user/<hba>/<name>/<config>".
std::string FindUio(const std::string& name) {
  DIR* folder = ::opendir("/sys/class/uio");
  if (folder == nullptr) return "";
  std::string found;
  while (dirent* entry = ::readdir(folder)) {
    const std::string uio = entry->d_name;
    if (uio.rfind("uio", 0) != 0) continue;
    const std::string uioName = ReadLine("/sys/class/uio/" + uio + "/name");
    if (uioName.find("/" + name + "/") != std::string::npos) found = uio;
  }
  ::closedir(folder);
  return found;
}

int CountOpticalDevices() {
  DIR* folder = ::opendir("/sys/block");
  if (folder == nullptr) return 0;
  int count = 0;
  while (dirent* entry = ::readdir(folder)) {
    if (std::strncmp(entry->d_name, "sr", 2) == 0) ++count;
  }
  ::closedir(folder);
  return count;
}

}  // namespace

bool CreateUserDevice(int index, UserDevice& device, std::string& error) {
  device.name = "odflsh" + std::to_string(index);
  device.configPath = std::string(kCoreFolder) + "/" + device.name;
  if (!MakeFolder(kCoreFolder, error) || !MakeFolder(device.configPath, error)) return false;
  const std::string config = "dev_config=odflsh/" + std::to_string(index) + ",dev_size=" + kDeviceSize;
  if (!WriteAttribute(device.configPath + "/control", config, error) ||
      !WriteAttribute(device.configPath + "/enable", "1", error)) {
    return false;
  }
  const std::string uio = FindUio(device.name);
  if (uio.empty()) {
    error = "no UIO device appeared for " + device.configPath;
    return false;
  }
  const std::string sizeText = ReadLine("/sys/class/uio/" + uio + "/maps/map0/size");
  device.mapSize = static_cast<std::size_t>(std::strtoull(sizeText.c_str(), nullptr, 0));
  device.fd = ::open(("/dev/" + uio).c_str(), O_RDWR | O_CLOEXEC);
  if (device.fd < 0) {
    error = Why("open /dev/" + uio);
    return false;
  }
  void* map = ::mmap(nullptr, device.mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, device.fd, 0);
  if (map == MAP_FAILED) {
    error = Why("mmap /dev/" + uio + " (" + sizeText + " bytes)");
    return false;
  }
  device.map = static_cast<std::uint8_t*>(map);
  return true;
}

bool CreateLoopbackTarget(std::string& error) {
  const std::string target = kLoopbackTarget;
  if (!MakeFolder("/sys/kernel/config/target/loopback", error) || !MakeFolder(target, error) ||
      !MakeFolder(target + "/tpgt_1", error)) {
    return false;
  }
  // The nexus comes before any LUN: a LUN linked without it is never scanned.
  return WriteAttribute(target + "/tpgt_1/nexus", kNexus, error);
}

bool LinkLun(const UserDevice& device, int lun, std::string& error) {
  const std::string lunPath = std::string(kLoopbackTarget) + "/tpgt_1/lun/lun_" + std::to_string(lun);
  if (!MakeFolder(lunPath, error)) return false;
  const int before = CountOpticalDevices();
  if (::symlink(device.configPath.c_str(), (lunPath + "/" + device.name).c_str()) != 0) {
    error = Why("link " + device.configPath + " as " + lunPath);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + kScanLimit;
  while (CountOpticalDevices() <= before) {
    if (std::chrono::steady_clock::now() > deadline) {
      error = "no CD-ROM device appeared for " + lunPath + " (did the drive answer INQUIRY?)";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace odf::tcmu
