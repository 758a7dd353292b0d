// The kernel side of the fake optical drives: /dev/sr0, /dev/sr1, ... served
// by the simulated drives of sim/ on a virtual clock, as SG_IO and the few
// other ioctls a SCSI client sends. Used only by the LD_PRELOAD test fixture.
// Every /dev/sr<N> is ours: one without a configured drive does not exist,
// whatever the machine has. Descriptors copied with dup() are not followed.
//
// Environment:
//   ODFLSH_FAKE_DRIVES  drives separated by ';', each in odflsh-sim's --drive
//                       syntax (faults included). Drive letter D: is /dev/sr0,
//                       E: /dev/sr1 and so on. Two more keys belong to the
//                       kernel rather than the drive:
//                         eperm=OP[/MODE[/BUF]][@N]  SG_IO of the N-th matching
//                             command fails with EPERM, as the kernel refuses
//                             WRITE BUFFER to an unprivileged process (0: every one)
//                         open=eacces|eperm|ebusy|eio  opening the device fails
//                         pause=OP[/MODE[/BUF]][@N]  the N-th matching command
//                             (0: every one) waits, before the drive sees it,
//                             until the file ODFLSH_FAKE_RESUME exists; its
//                             trace line, ending "paused", is written first
//                         sg=0|eacces|eperm  the drive has no SCSI generic
//                             node (no "generic" link), or its node /dev/sg<N>
//                             refuses to open; by default /dev/sg<N> is the
//                             same drive as /dev/sr<N>
//   ODFLSH_FAKE_SYSFS   folder that stands for the drives' sysfs attribute
//                       /sys/block/sr<N>/events_poll_msecs (the file
//                       sr<N>.events_poll_msecs, "-1" when first read) and
//                       for /run/odflsh (its subfolder run). Without it both
//                       are missing, and the real /run/odflsh is never touched.
//   ODFLSH_FAKE_SYSFS_READONLY  when set, changing either fails with EACCES,
//                       as it does for a user who is not root
//   ODFLSH_FAKE_STATE   file that holds one line per drive, the line
//                       odflsh-sim prints for it: rewritten after every
//                       command and at exit, so that a process a signal ends
//                       (which runs no exit code) leaves its drives' last state
//   ODFLSH_FAKE_TRACE   file that receives every open and command, as they happen
//   ODFLSH_FAKE_RESUME  file whose creation lets paused commands go on
//   ODFLSH_FAKE_LOCKS   folder of the drives' lock files: flock(2) on a drive
//                       locks the file sr<N>.lock there, so processes that
//                       name the same folder contend for the same drives
//                       (without it every flock on a drive succeeds)
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/cli/sim_options.h"
#include "sim/cli/sim_report.h"
#include "sim/cli/sim_setup.h"

namespace odf::fakesg {

struct FakeDevice {
  int number = 0;                      // /dev/sr<number>
  sim::PlacedDrive placed;             // the drive and its label ("D:")
  bool noAddress = false;              // not a SCSI device: no SCSI_IOCTL_GET_IDLUN
  int openError = 0;                   // errno of every open, 0 when it opens
  std::vector<sim::FaultRule> refusals;  // SG_IO refused with EPERM
  std::vector<sim::FaultRule> pauses;    // SG_IO held until the resume file exists
  bool hasGeneric = true;              // served as /dev/sg<number> too
  int genericOpenError = 0;            // errno of every open of /dev/sg<number>
  std::string path() const { return "/dev/sr" + std::to_string(number); }
};

class FakeHost {
 public:
  // Reads the environment; on a mistake `error` says what is wrong.
  FakeHost();
  const std::string& error() const { return error_; }

  // The device number of a path this library stands for ("/dev/sr<N>"), or -1.
  static int DeviceNumber(const char* path);
  // The same for the SCSI generic nodes ("/dev/sg<N>").
  static int GenericNumber(const char* path);
  // A path of the kernel's that this library stands in for (the polling
  // attribute, /run/odflsh): 0 when it is not one, 1 with the path to use in
  // `to`, or -1 with `error`. `writing`: the caller means to change it.
  int Redirect(const char* path, bool writing, std::string& to, int& error);
  // readlink of /sys/class/block/sr<N>/device/generic: 0 when it is not
  // that path, the link's length in `to`, or -1 with `error`.
  int GenericLink(const char* path, std::string& to, int& error);
  FakeDevice* Find(int number);

  // An open of /dev/sr<number> (or of /dev/sg<number>, `generic`): 0 when it
  // may open, otherwise the errno.
  int Open(int number, bool generic = false);
  // The descriptor handed out for an open device, and its release.
  void Adopt(int fd, FakeDevice& device);
  // Closing the descriptor also drops its lock.
  void Release(int fd);
  // flock(2) on one of our descriptors: 0, or -1 with `error`.
  int Flock(int fd, const FakeDevice& device, int operation, int& error);
  FakeDevice* Descriptor(int fd);

  // An ioctl on one of our descriptors: the return value and, for -1, errno.
  int Ioctl(FakeDevice& device, unsigned long request, void* arg, int& error);

  void WriteState() const;

 private:
  int SgIo(FakeDevice& device, sg_io_hdr_t* hdr);
  void Trace(const std::string& line) const;
  void WaitForResume() const;

  std::string error_;
  std::unique_ptr<sim::SimPc> pc_;     // owns nothing we use; BuildSimPc places drives on it
  std::vector<FakeDevice> devices_;
  std::map<int, int> descriptors_;     // fd -> index in devices_
  std::map<int, int> lockFiles_;       // fd -> descriptor of its lock file
  std::uint64_t nowMs_ = 0;            // the virtual clock
  std::string statePath_;
  std::string tracePath_;
  std::string resumePath_;
  std::string lockFolder_;
  std::string sysfsFolder_;
  bool sysfsReadOnly_ = false;
};

}  // namespace odf::fakesg
