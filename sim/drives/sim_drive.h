// Simulated drives. A drive model is a state machine with plain data: its
// identity, its mode, what it received and what it will answer. Every command
// it receives goes into a log; faults are injected by rule.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace odf::sim {

// How a command reached the drive, as the simulated PC decoded it.
struct CommandRecord {
  std::array<std::uint8_t, 16> cdb{};
  int cdbLength = 0;
  int direction = 0;              // 0 none, 1 in (drive to host), 2 out (host to drive)
  std::uint32_t length = 0;       // data phase length
  bool viaAspi = false;
  // Pass-through: TimeOutValue in seconds, and whether the buffered block was used.
  std::uint32_t timeoutSeconds = 0;
  bool buffered = false;
  // ASPI: polled (no event) or event mode.
  bool polled = false;
  std::uint64_t atMs = 0;         // virtual time of arrival
};

enum class FaultAction {
  Sense,          // CHECK CONDITION with the given key/ASC/ASCQ
  Timeout,        // the drive never answers: the transport's time-out ends the command
  TransportFail,  // the host side fails (DeviceIoControl FALSE / ASPI adapter error)
  ShortReply,     // GOOD, but the host gets only the first replyLength bytes it
                  // asked for (commands that read data; others run as usual)
};

// Which command (by opcode, and for READ/WRITE BUFFER mode and buffer id) and
// which occurrence of it fails, and how. occurrence is 1-based; 0 means every one.
struct FaultRule {
  std::optional<std::uint8_t> opcode;
  std::optional<std::uint8_t> mode;      // CDB byte 1
  std::optional<std::uint8_t> bufferId;  // CDB byte 2
  int occurrence = 1;
  // Also every later matching command: with no opcode, a drive that is gone
  // from that command on.
  bool andLater = false;
  FaultAction action = FaultAction::Sense;
  // The drive carries the command out before the fault hides its answer, as a
  // drive that restarts under the command does.
  bool executed = false;
  std::uint8_t key = 0, asc = 0, ascq = 0;
  std::uint32_t replyLength = 0;  // ShortReply
  // Pass-through details: with Sense, also make DeviceIoControl return FALSE;
  // with TransportFail, the returned SenseInfoLength (0 by default).
  bool ioctlFails = false;
  std::uint8_t returnedSenseLength = 0;
  int seen = 0;   // matching commands seen so far
};

// What the drive answers to one command.
struct DriveReply {
  std::uint8_t status = 0;                  // 0 GOOD, 2 CHECK CONDITION
  std::array<std::uint8_t, 18> sense{};     // fixed-format sense when status is 2
  std::uint32_t durationMs = 1;             // virtual time the command takes
  std::uint32_t dataTransferred = 0;        // bytes of the data phase actually moved
  bool timedOut = false;                    // the drive does not answer at all
  bool transportFail = false;
  bool ioctlFails = false;
  std::uint8_t returnedSenseLength = 18;
};

DriveReply CheckCondition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);

class SimDrive {
 public:
  virtual ~SimDrive() = default;

  // Entry point used by the simulated PC: logs the command, applies the
  // fault rules, then lets the model execute it.
  DriveReply Receive(const CommandRecord& record, std::uint8_t* data);

  void AddFault(const FaultRule& rule) { faults.push_back(rule); }

  std::uint8_t peripheralType = 5;
  std::vector<CommandRecord> log;
  std::vector<FaultRule> faults;

  // Identity line for reports: vendor+product, revision, date, mode.
  virtual std::string Describe() const = 0;

 protected:
  virtual DriveReply Execute(const CommandRecord& record, std::uint8_t* data) = 0;

 private:
  DriveReply Faulted(const FaultRule& rule, const CommandRecord& record, std::uint8_t* data);
};

// ---------------------------------------------------------------------------
// The BD-ROM of the built-in definition ("KESTREL " "BD-ROM  QBC-850 ").

enum class ReadyState { NoMedium, DiscLoaded, BecomingReady, NotReady0402 };

struct Qbc850Config {
  std::string vendor = "KESTREL ";
  std::string product = "BD-ROM  QBC-850 ";
  std::string revision = "1.00";
  std::string date = "07/12/01";          // yy/mm/dd or yyyy/mm/dd
  std::string hardware = "QBC 0100";      // drive information bytes 16-23
  std::string signature = "KES_ADV ";     // bytes 24-31
  std::string normalName = "QBC-850 ";    // bytes 32-39
  bool kernel = false;                    // starts in its kernel part
  ReadyState ready = ReadyState::NoMedium;
  int unitAttentions = 0;                 // next N commands (not INQUIRY) report key 6
  std::uint32_t checksum = 0xC23AD8B9u;   // what its kernel switch expects
  std::uint32_t reflashMs = 20000;        // virtual time of the re-flash at mode 5
  // Takes the image at the normal-mode switch, but comes back from the
  // restart running the firmware it had (its revision, date and name).
  bool keepsOldFirmware = false;
  // What INQUIRY reports while the drive runs its kernel part.
  std::string kernelModel = "KESTREL BD-RW   QBW-610 ";
  std::string kernelRevision = "0001";
};

class Qbc850Drive : public SimDrive {
 public:
  explicit Qbc850Drive(Qbc850Config config = {});

  std::string Describe() const override;

  const Qbc850Config& config() const { return config_; }
  bool inKernel() const { return kernel_; }
  int flashCount() const { return flashCount_; }
  // The image blocks received for the normal part (buffer 0xF0) and kernel part (0xFE).
  const std::vector<std::uint8_t>& normalImage() const { return normalImage_; }
  const std::vector<std::uint8_t>& kernelImage() const { return kernelImage_; }
  // What was last flashed (the normal image at the last successful mode 5).
  const std::vector<std::uint8_t>& flashedImage() const { return flashed_; }
  std::array<std::uint8_t, 256> lastModeBlock{};

  // Setters used by tests to change the drive between steps.
  void SetReady(ReadyState s) { config_.ready = s; }
  void SetUnitAttentions(int n) { config_.unitAttentions = n; }

 protected:
  DriveReply Execute(const CommandRecord& record, std::uint8_t* data) override;
  // READ BUFFER and WRITE BUFFER, once a pending unit attention is out of the
  // way; a model with more buffers takes its own and hands the rest on.
  virtual DriveReply ReadBuffer(const CommandRecord& record, std::uint8_t* data);
  virtual DriveReply WriteBuffer(const CommandRecord& record, const std::uint8_t* data);
  // Whether a 256-byte mode block is the one this model takes for the switch
  // into its kernel (normalMode false) or back.
  virtual bool AcceptsModeBlock(const std::uint8_t* block, bool normalMode) const;

 private:
  DriveReply TestUnitReady() const;
  DriveReply Inquiry(const CommandRecord& record, std::uint8_t* data) const;
  DriveReply EnterKernel(const std::uint8_t* block);
  DriveReply LeaveKernel(const std::uint8_t* block);

  Qbc850Config config_;
  bool kernel_ = false;
  int flashCount_ = 0;
  std::vector<std::uint8_t> normalImage_;
  std::vector<std::uint8_t> kernelImage_;
  std::vector<std::uint8_t> flashed_;
};

// CRC-32 (IEEE) of a byte run, used in reports and tests.
std::uint32_t Crc32(const std::vector<std::uint8_t>& bytes);

}  // namespace odf::sim
