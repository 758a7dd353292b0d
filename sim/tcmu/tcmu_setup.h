// The kernel's side of the simulated drives: a target_core_user device per
// drive, set up through configfs, and the loopback fabric (tcm_loop) that
// shows each one to the kernel's own SCSI initiator, where sr binds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace odf::tcmu {

// A user-backed device whose ring is mapped; the descriptor is its UIO device.
struct UserDevice {
  std::string name;         // the configfs device folder's name
  std::string configPath;   // its configfs folder
  int fd = -1;
  std::uint8_t* map = nullptr;
  std::size_t mapSize = 0;
};

// Makes and enables device `index` and maps its ring. False, with `error`.
bool CreateUserDevice(int index, UserDevice& device, std::string& error);

// Makes the loopback target and its I_T nexus once.
bool CreateLoopbackTarget(std::string& error);

// Links the device as LUN `lun` of the loopback target, which makes the
// kernel scan it, and waits until a new /dev/srN has appeared for it (the
// device's ring must already be served, or the scan's INQUIRY waits).
bool LinkLun(const UserDevice& device, int lun, std::string& error);

}  // namespace odf::tcmu
