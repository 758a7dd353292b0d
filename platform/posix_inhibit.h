// Keeps the machine from sleeping or shutting down while a drive re-flashes:
// a "block" inhibitor lock of systemd-logind, held as the descriptor logind
// hands out and released by closing it.
#pragma once
#include <string>
namespace odf::posix {
class SleepInhibitor {
 public:
  SleepInhibitor() = default;
  ~SleepInhibitor() { Release(); }
  SleepInhibitor(const SleepInhibitor&) = delete;
  SleepInhibitor& operator=(const SleepInhibitor&) = delete;
  // Takes the lock for sleep, shutdown, idle and the power, suspend,
  // hibernate and lid keys. False when it cannot, with `problem` saying why
  // in words for one line (no logind, no system bus, refused...).
  bool Take(const std::string& who, const std::string& why, std::string& problem);
  void Release();
  bool Held() const { return fd_ >= 0; }
 private:
  int fd_ = -1;
};
}  // namespace odf::posix
