#include "sim/cli/sim_options.h"

#include <cctype>
#include <utility>

#include "core/drive_fields.h"
#include "core/scsi_codes.h"
#include "sim/drives/option_text.h"
#include "sim/fixtures/sim_definition.h"

namespace odf::sim {

namespace {

constexpr int kMaxAdapters = 16;   // the utility keeps 16 adapter identifiers

// Whole-string unsigned number in the given base, within [0, max].
bool ParseNumber(std::string text, int base, unsigned long max, unsigned long& value) {
  if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = text.substr(2);
  if (text.empty() || text.size() > 10) return false;
  unsigned long v = 0;
  for (char c : text) {
    const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : 99;
    if (digit >= base) return false;
    v = v * static_cast<unsigned long>(base) + static_cast<unsigned long>(digit);
    if (v > max) return false;
  }
  value = v;
  return true;
}

bool ParseInt(const std::string& text, int max, int& value) {
  unsigned long v = 0;
  if (!ParseNumber(text, 10, static_cast<unsigned long>(max), v)) return false;
  value = static_cast<int>(v);
  return true;
}

bool ParseByte(const std::string& text, std::uint8_t& value) {
  unsigned long v = 0;
  if (!ParseNumber(text, 16, 0xFF, v)) return false;
  value = static_cast<std::uint8_t>(v);
  return true;
}

// Fixed-width fields are blank-padded or cut to their width.
std::string Fit(const std::string& text, std::size_t width) {
  std::string s = text.substr(0, width);
  s.resize(width, ' ');
  return s;
}

bool ParseFlag(const std::string& text, bool& value) {
  const std::string v = Lower(text);
  if (v == "1" || v == "yes" || v == "true") { value = true; return true; }
  if (v == "0" || v == "no" || v == "false") { value = false; return true; }
  return false;
}

bool ParseOpcode(const std::string& text, std::uint8_t& opcode) {
  static const std::pair<const char*, std::uint8_t> kNames[] = {
      {"tur", kOpTestUnitReady}, {"inquiry", kOpInquiry}, {"startstop", kOpStartStopUnit},
      {"writebuf", kOpWriteBuffer}, {"readbuf", kOpReadBuffer}};
  for (const auto& [name, code] : kNames) {
    if (Lower(text) == name) { opcode = code; return true; }
  }
  return ParseByte(text, opcode);
}

bool ParseDriveKey(const std::string& key, const std::string& value, DriveOption& d, std::string& error) {
  Qbc850Config& c = d.config;
  bool flag = false;
  int number = 0;
  unsigned long hex = 0;
  if (key == "rev") { c.revision = Fit(value, kInquiryRevision.width); return true; }
  if (key == "date") {
    if (value.size() != 8 && value.size() != 10) { error = "date= takes yy/mm/dd or yyyy/mm/dd"; return false; }
    c.date = value;
    return true;
  }
  if (key == "hw") { c.hardware = Fit(value, kDriveInfoHardware.width); return true; }
  if (key == "sig") { c.signature = Fit(value, kDriveInfoSignature.width); return true; }
  if (key == "normal") { c.normalName = Fit(value, kDriveInfoNormalName.width); return true; }
  if (key == "letter") {
    if (value.size() != 1 || !std::isalpha(static_cast<unsigned char>(value[0]))) {
      error = "letter= takes one drive letter";
      return false;
    }
    d.place.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])));
    return true;
  }
  if (key == "adapter") {
    if (!ParseInt(value, kMaxAdapters - 1, number)) { error = "adapter= takes 0 to 15"; return false; }
    d.place.adapter = number;
    return true;
  }
  if (key == "target") {
    if (!ParseInt(value, kMaxAspiTargetId, number)) { error = "target= takes 0 to 7"; return false; }
    d.place.target = number;
    return true;
  }
  if (key == "noaddr" || key == "disc" || key == "kernel" || key == "keepold") {
    if (!ParseFlag(value, flag)) { error = key + "= takes 1 or 0"; return false; }
    if (key == "noaddr") d.place.volume.noAddress = flag;
    if (key == "disc") c.ready = flag ? ReadyState::DiscLoaded : ReadyState::NoMedium;
    if (key == "kernel") c.kernel = flag;
    if (key == "keepold") c.keepsOldFirmware = flag;
    return true;
  }
  if (key == "ready") {
    const std::string v = Lower(value);
    if (v == "becoming") c.ready = ReadyState::BecomingReady;
    else if (v == "notready") c.ready = ReadyState::NotReady0402;
    else if (v == "nomedium") c.ready = ReadyState::NoMedium;
    else if (v == "disc") c.ready = ReadyState::DiscLoaded;
    else { error = "ready= takes nomedium, disc, becoming or notready"; return false; }
    return true;
  }
  if (key == "checksum") {
    if (!ParseNumber(value, 16, 0xFFFFFFFFul, hex)) { error = "checksum= takes up to 8 hex digits"; return false; }
    c.checksum = static_cast<std::uint32_t>(hex);
    return true;
  }
  if (key == "ua") {
    if (!ParseInt(value, 100000, number)) { error = "ua= takes a count"; return false; }
    c.unitAttentions = number;
    return true;
  }
  if (key == "fail") {
    FaultRule rule;
    if (!ParseFaultRule(value, rule, error)) return false;
    d.faults.push_back(rule);
    return true;
  }
  error = "unknown drive key '" + key + "'";
  return false;
}

// Keys every model takes: where the drive sits and how it fails.
bool IsPlaceOrFaultKey(const std::string& key) {
  return key == "letter" || key == "adapter" || key == "target" || key == "noaddr" || key == "fail";
}

bool ParseDrive(const std::string& text, DriveOption& d, std::string& error) {
  const auto parts = Split(text, ',');
  const std::string model = Lower(parts[0]);
  WriterConfig writer;
  if (model == "qrd570") {
    d.model = DriveModel::Qrd570;
  } else if (FindWriterModel(model, d.config, writer)) {
    d.writer = writer;
  } else if (model != "qbc850") {
    error = "unknown drive model '" + parts[0] + "' (known: qbc850, qrw710, qrw720, qrw730, qrd570)";
    return false;
  }
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::size_t eq = parts[i].find('=');
    if (eq == std::string::npos) { error = "drive setting '" + parts[i] + "' needs KEY=VALUE"; return false; }
    const std::string key = Lower(parts[i].substr(0, eq));
    const std::string value = parts[i].substr(eq + 1);
    if (d.model == DriveModel::Qrd570 && !IsPlaceOrFaultKey(key)) {
      if (ParseQrdDriveKey(key, value, d.qrd, error)) continue;
      error = "--drive " + text + ": " + error;
      return false;
    }
    const WriterKey writerKey = d.writer ? ParseWriterKey(key, value, d.config, *d.writer, error)
                                         : WriterKey::Unknown;
    if (writerKey == WriterKey::Taken) continue;
    if (writerKey == WriterKey::Bad || !ParseDriveKey(key, value, d, error)) {
      error = "--drive " + text + ": " + error;
      return false;
    }
  }
  return true;
}

bool ParseAnswers(const std::string& text, std::vector<int>& answers, std::string& error) {
  for (const auto& word : Split(text, ',')) {
    const std::string w = Lower(word);
    if (w == "yes" || w == "y") answers.push_back(IDYES);
    else if (w == "no" || w == "n") answers.push_back(IDNO);
    else { error = "--answers takes yes and no separated by commas, not '" + word + "'"; return false; }
  }
  return true;
}

// --host KEY[,KEY...]: intelata, bridge=N, iaa, ultraata, abort=refuse|ignore.
bool ParseHost(const std::string& text, HostSetup& host, std::string& error) {
  for (const auto& word : Split(text, ',')) {
    const std::string key = Lower(word);
    int adapter = 0;
    if (key == "abort=refuse") {
      host.aspiAbort = AspiAbort::Refuse;
    } else if (key == "abort=ignore") {
      host.aspiAbort = AspiAbort::Ignore;
    } else if (key == "intelata") {
      host.intelAta = true;
    } else if (key == "iaa") {
      host.applicationAccelerator = true;
    } else if (key == "ultraata") {
      host.ultraAtaDriver = true;
    } else if (key.rfind("bridge=", 0) == 0 && ParseInt(key.substr(7), kMaxAdapters - 1, adapter)) {
      host.bridgeAdapter = adapter;
    } else {
      error = "--host takes intelata, bridge=N (0 to 15), iaa, ultraata and abort=refuse|ignore separated by "
              "commas, not '" + word + "'";
      return false;
    }
  }
  return true;
}

// Gives every drive without an explicit place the next free one of the route.
bool PlaceOptionDrives(SimOptions& o, std::string& error) {
  std::vector<DrivePlace> places;
  for (const auto& d : o.drives) places.push_back(d.place);
  if (!PlaceDrives(o.route, places, error)) return false;
  for (std::size_t i = 0; i < places.size(); ++i) o.drives[i].place = places[i];
  return true;
}

}  // namespace

bool ParseFaultRule(const std::string& text, FaultRule& rule, std::string& error) {
  error = "fail=" + text + ": expected OP[/MODE[/BUF]][@N]:KEY/ASC/ASCQ, :timeout, :transport or :short=N";
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  std::string what = text.substr(0, colon);
  const std::string outcome = Lower(text.substr(colon + 1));

  FaultRule r;
  r.occurrence = 1;
  const std::size_t at = what.find('@');
  if (at != std::string::npos) {
    if (!ParseInt(what.substr(at + 1), 1000000, r.occurrence)) return false;
    what = what.substr(0, at);
  }
  const auto command = Split(what, '/');
  if (command.size() > 3) return false;
  std::uint8_t byte = 0;
  if (!ParseOpcode(command[0], byte)) return false;
  r.opcode = byte;
  if (command.size() > 1) {
    if (!ParseByte(command[1], byte)) return false;
    r.mode = byte;
  }
  if (command.size() > 2) {
    if (!ParseByte(command[2], byte)) return false;
    r.bufferId = byte;
  }

  int replyLength = 0;
  if (outcome == "timeout") {
    r.action = FaultAction::Timeout;
  } else if (outcome == "transport") {
    r.action = FaultAction::TransportFail;
  } else if (outcome.rfind("short=", 0) == 0) {
    if (!ParseInt(outcome.substr(6), 65535, replyLength)) return false;
    r.action = FaultAction::ShortReply;
    r.replyLength = static_cast<std::uint32_t>(replyLength);
  } else {
    const auto sense = Split(outcome, '/');
    if (sense.size() != 3 || !ParseByte(sense[0], r.key) || !ParseByte(sense[1], r.asc) ||
        !ParseByte(sense[2], r.ascq)) {
      return false;
    }
    r.action = FaultAction::Sense;
  }
  rule = r;
  error.clear();
  return true;
}

namespace {

// One option of the command line: its name, whether it takes a value (as
// the next argument or after '='), and what it sets. A handler that refuses
// its value leaves the whole message in `error`.
struct OptionRule {
  const char* name;
  bool takesValue;
  bool (*handle)(const std::string& value, SimOptions& o, std::string& error);
};

bool SetRoute(const std::string& value, SimOptions& o, std::string& error) {
  if (value == "pt") o.route = SimRoute::PassThrough;
  else if (value == "aspi") o.route = SimRoute::Aspi;
  else { error = "--route takes pt or aspi, not '" + value + "'"; return false; }
  return true;
}

bool SetCodePage(const std::string& value, SimOptions& o, std::string& error) {
  int cp = 0;
  if (!ParseInt(value, 65535, cp)) { error = "--oemcp takes a code page number"; return false; }
  o.oemCodePage = static_cast<unsigned>(cp);
  return true;
}

bool AddDrive(const std::string& value, SimOptions& o, std::string& error) {
  DriveOption d;
  if (!ParseDrive(value, d, error)) return false;
  o.drives.push_back(std::move(d));
  return true;
}

bool AddDefinition(const std::string& value, SimOptions& o, std::string& error) {
  UpdateDefinition definition{};
  if (!ParseDefinition(value, definition, error)) { error = "--definition: " + error; return false; }
  if (o.definitions.size() == kDefinitionSlots) {
    error = "--definition: at most " + std::to_string(kDefinitionSlots) + " definitions";
    return false;
  }
  o.definitions.push_back(definition);
  return true;
}

bool SetImageRevision(const std::string& value, SimOptions& o, std::string& error) {
  if (value.size() != 4) { error = "--image-rev takes M.mm"; return false; }
  o.imageFields.revision = Fit(value, 5);
  return true;
}

bool SetImageDate(const std::string& value, SimOptions& o, std::string& error) {
  if (value.size() != 8) { error = "--image-date takes yy/mm/dd"; return false; }
  o.imageFields.date = value;
  return true;
}

// The files the run writes instead of running: an empty name is refused.
bool SetImageFile(const std::string& value, SimOptions& o, std::string& error) {
  if (value.empty()) { error = "--make-image needs a file name"; return false; }
  o.makeImage = value;
  return true;
}

bool SetPatchFile(const std::string& value, SimOptions& o, std::string& error) {
  if (value.empty()) { error = "--make-patch needs a file name"; return false; }
  o.makePatch = value;
  return true;
}

bool SetHelp(const std::string&, SimOptions& o, std::string&) {
  o.help = true;
  return true;
}

bool SetTrace(const std::string&, SimOptions& o, std::string&) {
  o.trace = true;
  return true;
}

bool SetHost(const std::string& value, SimOptions& o, std::string& error) {
  return ParseHost(value, o.host, error);
}

bool AddAnswers(const std::string& value, SimOptions& o, std::string& error) {
  return ParseAnswers(value, o.answers, error);
}

constexpr OptionRule kOptionRules[] = {
    {"--help", false, SetHelp},
    {"-h", false, SetHelp},
    {"--trace", false, SetTrace},
    {"--route", true, SetRoute},
    {"--host", true, SetHost},
    {"--oemcp", true, SetCodePage},
    {"--answers", true, AddAnswers},
    {"--drive", true, AddDrive},
    {"--definition", true, AddDefinition},
    {"--make-image", true, SetImageFile},
    {"--make-patch", true, SetPatchFile},
    {"--image-rev", true, SetImageRevision},
    {"--image-date", true, SetImageDate},
};

const OptionRule* FindOption(const std::string& name) {
  for (const OptionRule& rule : kOptionRules) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

}  // namespace

ParseOutcome ParseSimOptions(const std::vector<std::string>& args) {
  ParseOutcome out;
  SimOptions& o = out.options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    // Only a long option carries its value after '='.
    std::string name = args[i];
    std::string value;
    bool hasValue = false;
    const std::size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasValue = true;
    }
    const OptionRule* rule = FindOption(name);
    if (rule == nullptr) {
      out.error = "unknown option '" + args[i] + "'";
      return out;
    }
    if (!rule->takesValue && hasValue) {
      out.error = name + " takes no value";
      return out;
    }
    if (rule->takesValue && !hasValue) {
      if (i + 1 >= args.size()) {
        out.error = name + " needs a value";
        return out;
      }
      value = args[++i];
    }
    if (!rule->handle(value, o, out.error)) return out;
  }
  if (!PlaceOptionDrives(o, out.error)) return out;
  std::vector<DrivePlace> places;
  for (const auto& d : o.drives) places.push_back(d.place);
  if (!CheckHostSetup(o.route, o.host, places, out.error)) {
    out.error = "--host: " + out.error;
    return out;
  }
  out.ok = true;
  return out;
}

std::string SimUsage() {
  return
      "usage: odflsh-sim [options]\n"
      "Runs the firmware update utility on a simulated PC. Standard output carries\n"
      "exactly the utility's console; message boxes, the command trace and the final\n"
      "state of each drive go to standard error. The exit code is the utility's.\n"
      "Firmware files are read from the current directory.\n"
      "\n"
      "  --route pt|aspi        pass-through on Windows XP (default), or ASPI on Windows 98\n"
      "  --host KEY[,KEY...]    what the host checks find (repeatable):\n"
      "      intelata           ASPI: the drives' adapters are named intelata (Intel ATA driver)\n"
      "      bridge=N           ASPI: adapter N is the IEEE1394 bridge\n"
      "      abort=refuse|ignore  ASPI: the layer refuses a request to abort a command it has\n"
      "                         not finished (SS_ABORT_FAIL), or takes it and lets the command\n"
      "                         run on; by default it aborts the command and lets its block go\n"
      "      iaa                the Intel Application Accelerator's registry key\n"
      "      ultraata           the Intel Ultra ATA Storage Driver's registry key\n"
      "  --oemcp N              console code page (default 437; 932 for Japanese)\n"
      "  --answers LIST         yes/no answers for the question boxes, in order, e.g. yes,no;\n"
      "                         once used up: asked on the terminal, or yes without one\n"
      "                         (no after 50 such answers, so a run cannot loop for ever)\n"
      "  --drive MODEL[,KEY=VALUE...]\n"
      "                         adds a drive (repeatable); MODEL is qbc850 (BD-ROM QBC-850,\n"
      "                         the built-in definition's drive) or qrw710, qrw720, qrw730\n"
      "                         (family-one DVD writers: hw='QRW 0730' normal=QRW730N rev=1.20\n"
      "                         and so on). Keys:\n"
      "      rev=1.00 date=07/12/01 hw='QBC 0100' sig=KES_ADV normal=QBC-850\n"
      "                         identity (fixed-width fields are blank-padded or cut)\n"
      "      letter=D           drive letter (default: next free from D)\n"
      "      adapter=N target=N ASPI address (default: adapter 0, next free target)\n"
      "      noaddr=1           the volume reports no SCSI address\n"
      "      disc=1             a disc is loaded\n"
      "      ready=becoming|notready   not ready: 2/04/01 or 2/04/02\n"
      "      kernel=1           the drive starts in its kernel part\n"
      "      keepold=1          takes the image, but comes back from its restart running\n"
      "                         its old firmware, at its old revision\n"
      "      checksum=HEX       the checksum its kernel switch expects\n"
      "      ua=N               the next N commands report unit attention\n"
      "      fail=OP[/MODE[/BUF]][@N]:OUTCOME   (repeatable)\n"
      "                         the N-th matching command (default 1; 0 = every one) fails.\n"
      "                         OP: tur, inquiry, startstop, readbuf, writebuf or a hex\n"
      "                         opcode; MODE and BUF: hex CDB bytes 1 and 2.\n"
      "                         OUTCOME: KEY/ASC/ASCQ in hex (check condition), timeout\n"
      "                         (the drive never answers), transport (the host fails) or\n"
      "                         short=N (the host gets only the first N bytes it reads).\n"
      "                         e.g. fail=writebuf/7/f0@3:4/44/0  the third normal block\n"
      "    writers only:\n"
      "      handshake=1        demands the unlock handshake before its kernel switch\n"
      "                         (without it the writer refuses the handshake probe, 5/24/00)\n"
      "      kernelid=qbw|qrw   identity in its kernel: KESTREL BD-RW   QBW-610 0001, or\n"
      "                         its own with revision 0000 (default: qrw with handshake=1)\n"
      "      family=N           takes the mode-block model strings of this definition family\n"
      "                         only (default: qrw730 those of 0x1005 and 0x1041; the others\n"
      "                         a block without model string)\n"
      + QrdDriveUsage() +
      "  --definition FIELD=VALUE[,FIELD=VALUE...]\n"
      "                         the first replaces the built-in definition, each further one\n"
      "                         adds an entry (at most 8). FIELD: fileName, modelCode, vendor,\n"
      "                         product, versionText, cpuType, extension, imageSize, familyCode,\n"
      "                         downgradeWarning, minimumImageDate, checksum, updateScope,\n"
      "                         vendorTag, sha256. Numbers decimal or 0x-hex; texts\n"
      "                         blank-padded; sha256 the image file's SHA-256 (64 hex\n"
      "                         digits); fields not given are zero\n"
      "  --trace                print every command the drives receive (stderr)\n"
      "  --make-image FILE      write an image that fits the first definition (version 1.04\n"
      "                         dated 08/01/10) and, for updateScope 0, its kernel image\n"
      "                         beside it; print the names written (stderr) and exit\n"
      "  --image-rev=M.mm --image-date=yy/mm/dd   vary that image\n"
      "  --make-patch FILE      write a G6 patch file (Intel HEX, block 0x20000-0x20FFF), exit\n"
      "  --help                 this text\n";
}

}  // namespace odf::sim
