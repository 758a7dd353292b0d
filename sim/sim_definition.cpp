#include "sim/sim_definition.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>
#include <utility>

#include "core/context.h"
#include "core/image_state.h"
#include "sim/qrw_drive.h"
#include "sim/sim_pc.h"

namespace odf::sim {

namespace {

constexpr std::uint32_t kImageBufferSize = 0x800000;  // the largest image buffer the utility allocates
constexpr std::uint32_t kFamilyOneKernelSize = 0x10000;   // two blocks
constexpr std::uint32_t kOtherKernelSize = 0x11200;       // three blocks
constexpr std::size_t kKernelNameIndex = 7;
constexpr std::uint32_t kKernelSeedOffset = 6;

enum class Kind { FileName, Text, Number };

struct FieldRule {
  const char* name;
  Kind kind;
  std::size_t width;   // Text: bytes filled; FileName: room with the terminator
  std::uint32_t max;   // Number
};

constexpr FieldRule kFields[] = {
    {"fileName", Kind::FileName, sizeof UpdateDefinition{}.fileName, 0},
    {"modelCode", Kind::Text, sizeof UpdateDefinition{}.modelCode, 0},
    {"vendor", Kind::Text, sizeof UpdateDefinition{}.vendor, 0},
    {"product", Kind::Text, sizeof UpdateDefinition{}.product, 0},
    {"versionText", Kind::Text, sizeof UpdateDefinition{}.versionText, 0},
    {"cpuType", Kind::Text, sizeof UpdateDefinition{}.cpuType, 0},
    {"extension", Kind::Text, 3, 0},  // of a 4-byte slot
    {"imageSize", Kind::Number, 0, 0xFFFFFFFFu},
    {"familyCode", Kind::Number, 0, 0xFFFF},
    {"downgradeWarning", Kind::Number, 0, 0x7FFFFFFF},
    {"minimumImageDate", Kind::Number, 0, 0xFFFFFFFFu},
    {"checksum", Kind::Number, 0, 0xFFFFFFFFu},
    {"updateScope", Kind::Number, 0, 0x7FFFFFFF},
    {"vendorTag", Kind::Text, 8, 0},  // of a 16-byte slot
};

std::uint8_t* TextField(UpdateDefinition& d, std::string_view name) {
  if (name == "modelCode") return d.modelCode;
  if (name == "vendor") return d.vendor;
  if (name == "product") return d.product;
  if (name == "versionText") return d.versionText;
  if (name == "cpuType") return d.cpuType;
  if (name == "extension") return d.extension;
  return d.vendorTag;
}

void SetNumber(UpdateDefinition& d, std::string_view name, std::uint32_t value) {
  const auto signedValue = static_cast<std::int32_t>(value);  // within range by the field's maximum
  if (name == "imageSize") d.imageSize = value;
  if (name == "familyCode") d.familyCode = signedValue;
  if (name == "downgradeWarning") d.downgradeWarning = signedValue;
  if (name == "minimumImageDate") d.minimumImageDate = value;
  if (name == "checksum") d.checksum = value;
  if (name == "updateScope") d.updateScope = signedValue;
}

std::string FieldNames() {
  std::string names;
  for (const auto& f : kFields) names += std::string(names.empty() ? "" : ", ") + f.name;
  return names;
}

bool SetField(UpdateDefinition& d, const FieldRule& rule, const std::string& value, std::string& error) {
  switch (rule.kind) {
    case Kind::FileName:
      if (value.size() >= rule.width) {
        error = std::string(rule.name) + " takes at most " + std::to_string(rule.width - 1) + " characters";
        return false;
      }
      std::memset(d.fileName, 0, sizeof d.fileName);
      std::memcpy(d.fileName, value.data(), value.size());
      return true;
    case Kind::Text:
      if (value.size() > rule.width) {
        error = std::string(rule.name) + " takes at most " + std::to_string(rule.width) + " characters, not '" +
                value + "'";
        return false;
      }
      std::memset(TextField(d, rule.name), ' ', rule.width);
      std::memcpy(TextField(d, rule.name), value.data(), value.size());
      return true;
    case Kind::Number: {
      std::uint32_t number = 0;
      if (!ParseDefinitionNumber(value, rule.max, number)) {
        char max[16];
        std::snprintf(max, sizeof max, "0x%X", static_cast<unsigned>(rule.max));
        error = std::string(rule.name) + " takes a decimal or 0x-hex number up to " + max + ", not '" + value + "'";
        return false;
      }
      SetNumber(d, rule.name, number);
      return true;
    }
  }
  return false;
}

// The packed date 0x20YYMMDD of a yy/mm/dd text, each pair read as hexadecimal.
std::uint32_t PackedDate(const std::string& text) {
  unsigned y = 0, m = 0, day = 0;
  if (std::sscanf(text.c_str(), "%2x/%2x/%2x", &y, &m, &day) != 3) return 0;
  return 0x20000000u | (y << 16) | (m << 8) | day;
}

std::string Text(const std::uint8_t* bytes, std::size_t width) {
  return std::string(reinterpret_cast<const char*>(bytes), width);
}

std::string KernelPath(const std::string& path, const std::string& fileName) {
  std::string name = fileName;
  name[kKernelNameIndex] = '0';
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
}

}  // namespace

bool ParseDefinitionNumber(const std::string& text, std::uint32_t max, std::uint32_t& value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty()) return false;
  std::uint64_t v = 0;
  for (char c : digits) {
    int digit = 99;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit >= (hex ? 16 : 10)) return false;
    v = v * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    if (v > max) return false;
  }
  value = static_cast<std::uint32_t>(v);
  return true;
}

bool ParseDefinition(const std::string& text, UpdateDefinition& definition, std::string& error) {
  UpdateDefinition d{};
  std::set<std::string> given;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(',', start);
    const std::string item = text.substr(start, end - start);
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) {
      error = "'" + item + "' needs FIELD=VALUE";
      return false;
    }
    const std::string name = item.substr(0, eq);
    const auto rule = std::find_if(std::begin(kFields), std::end(kFields),
                                   [&](const FieldRule& f) { return name == f.name; });
    if (rule == std::end(kFields)) {
      error = "unknown field '" + name + "' (fields: " + FieldNames() + ")";
      return false;
    }
    if (!given.insert(name).second) {
      error = "field '" + name + "' is given twice";
      return false;
    }
    if (!SetField(d, *rule, item.substr(eq + 1), error)) return false;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  definition = d;
  return true;
}

void InstallDefinitions(Context& ctx, const std::vector<UpdateDefinition>& definitions) {
  ctx.definitions.entries = {};
  const std::size_t count = std::min(definitions.size(), ctx.definitions.entries.size());
  std::copy_n(definitions.begin(), count, ctx.definitions.entries.begin());
  ctx.definitions.definitionCount = static_cast<int>(count);
}

std::function<int(Context&)> DefinitionLoader(std::vector<UpdateDefinition> definitions) {
  return [definitions = std::move(definitions)](Context& ctx) {
    InstallDefinitions(ctx, definitions);
    return 0;
  };
}

UpdateDefinition BuiltInDefinition() {
  SimPc pc;
  Context ctx(pc);
  LoadBuiltInDefinition(ctx);
  return ctx.definitions.entries[0];
}

bool ImagesForDefinition(const UpdateDefinition& d, const ImageFields& fields, const std::string& path,
                         std::vector<ImageFile>& files, std::string& error) {
  if (d.imageSize < kHeaderSize || d.imageSize > kImageBufferSize) {
    error = "the definition's imageSize must lie between 0x154 and 0x800000 for an image to fit it";
    return false;
  }
  const std::string identity = Text(d.vendor, sizeof d.vendor) + Text(d.product, sizeof d.product);
  const Qbc850Config drive = DefaultConfigFor(identity);
  const bool familyOne = (d.familyCode & 0xFF00) == 0x1000;

  ImageFields normal = fields;
  normal.modelName = identity;
  normal.hardware = drive.hardware;
  normal.signature = "KES_ADV ";
  // A family-one drive is matched by its normal part's name, so the image names the definition's tag.
  normal.normalName = familyOne ? Text(d.vendorTag, 8) : drive.normalName;
  normal.partLetter = 'N';
  normal.size = d.imageSize;
  const std::uint32_t minimum = d.minimumImageDate;
  if (fields.date == ImageFields{}.date && PackedDate(fields.date) < minimum && (minimum >> 24) == 0x20) {
    char date[16];
    std::snprintf(date, sizeof date, "%02x/%02x/%02x", (minimum >> 16) & 0xFF, (minimum >> 8) & 0xFF, minimum & 0xFF);
    normal.date = date;
  }
  files = {{path, MakeImage(normal)}};
  if (d.updateScope != 0) return true;

  const std::string fileName(d.fileName, strnlen(d.fileName, sizeof d.fileName));
  if (fileName.size() <= kKernelNameIndex) {
    error = "the definition's fileName is too short to name a kernel image (it needs 8 characters)";
    return false;
  }
  ImageFields kernel = normal;
  kernel.partLetter = 'K';
  kernel.size = familyOne ? kFamilyOneKernelSize : kOtherKernelSize;
  kernel.seed = fields.seed + kKernelSeedOffset;
  files.push_back({KernelPath(path, fileName), MakeImage(kernel)});
  return true;
}

}  // namespace odf::sim
