// The LD_PRELOAD entry points. Calls on /dev/sr<N> and /dev/sg<N>, and on
// the descriptors handed out for those paths, go to the fake host, as do the
// kernel's files about the drives (the "generic" link, the polling attribute)
// and /run/odflsh; every other path and descriptor goes on to the C library
// untouched.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <mutex>

#include "sim/fakesg/fake_host.h"

namespace {

using odf::fakesg::FakeDevice;
using odf::fakesg::FakeHost;

constexpr unsigned kScsiCdromMajor = 11;
constexpr unsigned kCdromGroup = 24;
constexpr int kMisconfigured = 99;

// Never destroyed: descriptors may still be closed, and the state written,
// after static objects are gone.
std::recursive_mutex& Lock() {
  static auto* mutex = new std::recursive_mutex;
  return *mutex;
}

FakeHost& Host() {
  static FakeHost* host = [] {
    auto* h = new FakeHost;
    if (!h->error().empty()) {
      std::fprintf(stderr, "odflsh_fakesg: ODFLSH_FAKE_DRIVES: %s\n", h->error().c_str());
      std::_Exit(kMisconfigured);
    }
    return h;
  }();
  return *host;
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using OpenFunction = int (*)(const char*, int, ...);
using OpenAtFunction = int (*)(int, const char*, int, ...);

bool TakesMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

// A descriptor of /dev/null stands for the drive, so the number is real and
// unique, and reads and writes on it harm nothing.
int OpenFake(int number, int flags, bool generic) {
  std::lock_guard<std::recursive_mutex> lock(Lock());
  FakeHost& host = Host();
  if (const int error = host.Open(number, generic); error != 0) {
    errno = error;
    return -1;
  }
  static const auto realOpen = Next<OpenFunction>("open");
  const int fd = realOpen("/dev/null", O_RDWR | (flags & O_CLOEXEC));
  if (fd >= 0) host.Adopt(fd, *host.Find(number));
  return fd;
}

// A block device of the SCSI CD-ROM driver.
template <typename Stat>
int FillStat(const FakeDevice& device, Stat* info) {
  if (info == nullptr) {
    errno = EFAULT;
    return -1;
  }
  *info = Stat{};
  info->st_mode = S_IFBLK | 0660;
  info->st_rdev = makedev(kScsiCdromMajor, static_cast<unsigned>(device.number));
  info->st_gid = kCdromGroup;
  info->st_nlink = 1;
  info->st_blksize = 2048;
  return 0;
}

template <typename Stat>
int StatPath(int number, Stat* info) {
  std::lock_guard<std::recursive_mutex> lock(Lock());
  const FakeDevice* device = Host().Find(number);
  if (device == nullptr) {
    errno = ENOENT;
    return -1;
  }
  return FillStat(*device, info);
}

// The device behind one of our descriptors, or null for any other descriptor.
const FakeDevice* DeviceOf(int fd) {
  std::lock_guard<std::recursive_mutex> lock(Lock());
  return Host().Descriptor(fd);
}

bool Writes(int flags) { return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0; }

// The path the C library is to be given for `path`: itself, or the fake
// host's stand-in; false (with errno set) when the fake host refuses it.
bool RealPath(const char* path, bool writing, std::string& to) {
  // Only the kernel's paths reach the host: the host's own files (its state,
  // its trace) are opened while it is being made.
  if (path == nullptr || (std::strncmp(path, "/sys/", 5) != 0 && std::strncmp(path, "/run/", 5) != 0)) {
    if (path != nullptr) to = path;
    return true;
  }
  std::lock_guard<std::recursive_mutex> lock(Lock());
  int error = 0;
  const int redirected = Host().Redirect(path, writing, to, error);
  if (redirected < 0) errno = error;
  if (redirected == 0 && path != nullptr) to = path;
  return redirected >= 0;
}

// Opens a drive's node, or the path the fake host stands in for; -2 when
// the path is nobody's but the C library's.
int OpenOurs(const char* path, int flags, std::string& to) {
  if (const int number = FakeHost::DeviceNumber(path); number >= 0) return OpenFake(number, flags, false);
  if (const int number = FakeHost::GenericNumber(path); number >= 0) return OpenFake(number, flags, true);
  if (!RealPath(path, Writes(flags), to)) return -1;
  return -2;
}

int OpenPath(const char* name, const char* path, int flags, mode_t mode) {
  std::string to;
  const int fd = OpenOurs(path, flags, to);
  if (fd != -2) return fd;
  return Next<OpenFunction>(name)(path != nullptr ? to.c_str() : path, flags, mode);
}

int OpenPathAt(const char* name, int dirfd, const char* path, int flags, mode_t mode) {
  std::string to;
  const int fd = OpenOurs(path, flags, to);
  if (fd != -2) return fd;
  return Next<OpenAtFunction>(name)(dirfd, path != nullptr ? to.c_str() : path, flags, mode);
}

mode_t ModeArgument(int flags, va_list ap) {
  return TakesMode(flags) ? static_cast<mode_t>(va_arg(ap, unsigned)) : 0;
}

// The state is written when the process ends, after main has closed the drives.
__attribute__((constructor)) void ReadDrivesAtStart() { Host(); }
__attribute__((destructor)) void WriteStateAtExit() {
  std::lock_guard<std::recursive_mutex> lock(Lock());
  Host().WriteState();
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArgument(flags, ap);
  va_end(ap);
  return OpenPath("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArgument(flags, ap);
  va_end(ap);
  return OpenPath("open64", path, flags, mode);
}

// The forms a program built with _FORTIFY_SOURCE calls.
int __open_2(const char* path, int flags) { return OpenPath("__open_2", path, flags, 0); }
int __open64_2(const char* path, int flags) { return OpenPath("__open64_2", path, flags, 0); }

int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArgument(flags, ap);
  va_end(ap);
  return OpenPathAt("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArgument(flags, ap);
  va_end(ap);
  return OpenPathAt("openat64", dirfd, path, flags, mode);
}

ssize_t readlink(const char* path, char* buffer, size_t size) noexcept {
  {
    std::lock_guard<std::recursive_mutex> lock(Lock());
    std::string to;
    int error = 0;
    const int found = Host().GenericLink(path, to, error);
    if (found < 0) {
      errno = error;
      return -1;
    }
    if (found > 0) {
      const std::size_t length = std::min(to.size(), size);
      std::memcpy(buffer, to.data(), length);
      return static_cast<ssize_t>(length);
    }
  }
  static const auto real = Next<ssize_t (*)(const char*, char*, size_t)>("readlink");
  return real(path, buffer, size);
}

int mkdir(const char* path, mode_t mode) noexcept {
  std::string to;
  if (!RealPath(path, true, to)) return -1;
  static const auto real = Next<int (*)(const char*, mode_t)>("mkdir");
  return real(to.c_str(), mode);
}

int unlink(const char* path) noexcept {
  std::string to;
  if (!RealPath(path, true, to)) return -1;
  static const auto real = Next<int (*)(const char*)>("unlink");
  return real(to.c_str());
}

int rename(const char* from, const char* to) noexcept {
  std::string realFrom;
  std::string realTo;
  if (!RealPath(from, true, realFrom) || !RealPath(to, true, realTo)) return -1;
  static const auto real = Next<int (*)(const char*, const char*)>("rename");
  return real(realFrom.c_str(), realTo.c_str());
}

int close(int fd) {
  {
    std::lock_guard<std::recursive_mutex> lock(Lock());
    Host().Release(fd);
  }
  static const auto realClose = Next<int (*)(int)>("close");
  return realClose(fd);
}

int flock(int fd, int operation) noexcept {
  {
    std::lock_guard<std::recursive_mutex> lock(Lock());
    if (FakeDevice* device = Host().Descriptor(fd)) {
      int error = 0;
      const int result = Host().Flock(fd, *device, operation, error);
      if (result < 0) errno = error;
      return result;
    }
  }
  static const auto real = Next<int (*)(int, int)>("flock");
  return real(fd, operation);
}

int fstat(int fd, struct stat* info) noexcept {
  if (const FakeDevice* device = DeviceOf(fd)) return FillStat(*device, info);
  static const auto real = Next<int (*)(int, struct stat*)>("fstat");
  return real(fd, info);
}

int fstat64(int fd, struct stat64* info) noexcept {
  if (const FakeDevice* device = DeviceOf(fd)) return FillStat(*device, info);
  static const auto real = Next<int (*)(int, struct stat64*)>("fstat64");
  return real(fd, info);
}

int stat(const char* path, struct stat* info) noexcept {
  if (const int number = FakeHost::DeviceNumber(path); number >= 0) return StatPath(number, info);
  static const auto real = Next<int (*)(const char*, struct stat*)>("stat");
  return real(path, info);
}

int stat64(const char* path, struct stat64* info) noexcept {
  if (const int number = FakeHost::DeviceNumber(path); number >= 0) return StatPath(number, info);
  static const auto real = Next<int (*)(const char*, struct stat64*)>("stat64");
  return real(path, info);
}

int lstat(const char* path, struct stat* info) noexcept {
  if (const int number = FakeHost::DeviceNumber(path); number >= 0) return StatPath(number, info);
  static const auto real = Next<int (*)(const char*, struct stat*)>("lstat");
  return real(path, info);
}

int lstat64(const char* path, struct stat64* info) noexcept {
  if (const int number = FakeHost::DeviceNumber(path); number >= 0) return StatPath(number, info);
  static const auto real = Next<int (*)(const char*, struct stat64*)>("lstat64");
  return real(path, info);
}

// The user the program believes it runs as (ODFLSH_FAKE_EUID), so that the
// tests see the wording for root and for anyone else, whoever runs them.
uid_t geteuid() noexcept {
  if (const char* value = std::getenv("ODFLSH_FAKE_EUID"); value != nullptr && *value != '\0') {
    return static_cast<uid_t>(std::strtoul(value, nullptr, 10));
  }
  static const auto real = Next<uid_t (*)()>("geteuid");
  return real();
}

int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  {
    std::lock_guard<std::recursive_mutex> lock(Lock());
    if (FakeDevice* device = Host().Descriptor(fd)) {
      int error = 0;
      const int result = Host().Ioctl(*device, request, arg, error);
      if (result < 0) errno = error;
      return result;
    }
  }
  static const auto real = Next<int (*)(int, unsigned long, ...)>("ioctl");
  return real(fd, request, arg);
}

}  // extern "C"
