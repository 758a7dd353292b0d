// The family-zero drive "KESTREL " "DVD-ROM QRD-570 ": an older DVD-ROM whose
// firmware area can be read back, which takes a new image in its update mode
// and flashes it on command, taking a while on the virtual clock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/drives/sim_drive.h"

namespace odf::sim {

// Where the firmware area carries the drive's model code and CPU type.
enum class FirmwareLayout {
  Text1000,   // text model code at 0x1000, CPU type after it
  Text1010,   // text at 0x1010 (the second place of the first probe)
  Text1C000,  // text at 0x1C010
  IdentA,     // binary model code identA at 0x1F000, CPU type after it
  IdentB,
  IdentC,
  None,       // nothing the identification recognises
};

struct Qrd570Config {
  std::string vendor = "KESTREL ";
  std::string product = "DVD-ROM QRD-570 ";
  std::string revision = "1.05";
  std::string date = "03/06/12";           // yy/mm/dd or yyyy/mm/dd
  std::string modelCode = "KESTREL QRD-570 ";  // 16 bytes, blank-padded
  // 16 bytes, blank-padded; unset: "MN103S" with a text model code, and
  // cpuIdent with a binary one.
  std::optional<std::string> cpuType;
  FirmwareLayout layout = FirmwareLayout::Text1000;
  std::uint32_t areaSize = 0x20000;        // the firmware area before any flash
  std::uint32_t flashMs = 8000;            // virtual time the flash takes
  std::uint32_t seed = 5;                  // the old firmware's body pattern
};

class Qrd570Drive : public SimDrive {
 public:
  explicit Qrd570Drive(Qrd570Config config = {});

  std::string Describe() const override;

  const Qrd570Config& config() const { return config_; }
  bool inUpdateMode() const { return updateMode_; }
  int flashCount() const { return flashCount_; }
  // What READ BUFFER of buffer 0x80 reads: the old firmware, or after a
  // flash the image it received (0xFF past the image, up to areaSize).
  const std::vector<std::uint8_t>& firmwareArea() const { return area_; }
  // The marker and the 12 bytes after it from the last closing block.
  const std::array<std::uint8_t, 16>& closingTail() const { return closingTail_; }
  std::string marker() const;
  // Image bytes received since update mode was entered (0xFF where no block wrote).
  const std::vector<std::uint8_t>& received() const { return received_; }

  // Used by tests to change the firmware area between steps.
  void SetFirmwareArea(std::vector<std::uint8_t> area) { area_ = std::move(area); }

 protected:
  DriveReply Execute(const CommandRecord& record, std::uint8_t* data) override;

 private:
  DriveReply Inquiry(const CommandRecord& record, std::uint8_t* data) const;
  DriveReply ReadBuffer(const CommandRecord& record, std::uint8_t* data) const;
  DriveReply WriteBuffer(const CommandRecord& record, const std::uint8_t* data);
  DriveReply TakeBlock(const CommandRecord& record, const std::uint8_t* data);
  DriveReply Flash();

  Qrd570Config config_;
  std::vector<std::uint8_t> area_;
  std::vector<std::uint8_t> received_;
  std::optional<std::uint32_t> imageEnd_;  // set by the closing block
  std::array<std::uint8_t, 16> closingTail_{};
  bool updateMode_ = false;
  int flashCount_ = 0;
};

// The firmware area a drive of this configuration starts with.
std::vector<std::uint8_t> InitialFirmwareArea(const Qrd570Config& config);

// --drive qrd570 keys: rev, date, modelcode, cputype, ident. False, with the
// reason, for an unknown key or a bad value.
bool ParseQrdDriveKey(const std::string& key, const std::string& value, Qrd570Config& config,
                      std::string& error);
// The lines of the odflsh-sim usage text that describe the model.
std::string QrdDriveUsage();

}  // namespace odf::sim
