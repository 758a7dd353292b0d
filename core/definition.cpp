#include "core/definition.h"

#include <cstdio>
#include <cstring>

#include "core/context.h"

namespace odf {

namespace {
template <std::size_t N>
void SetField(std::uint8_t (&field)[N], const char* text, std::size_t width) {
  std::memcpy(field, text, width);
}
}  // namespace

int LoadBuiltInDefinition(Context& ctx) {
  ctx.matchedDefinition = UpdateDefinition{};
  for (auto& entry : ctx.definitions.entries) {
    // The vendor tag slot survives the clear.
    std::uint8_t tag[sizeof entry.vendorTag];
    std::memcpy(tag, entry.vendorTag, sizeof tag);
    entry = UpdateDefinition{};
    std::memcpy(entry.vendorTag, tag, sizeof tag);
  }
  ctx.run.newRevisionNumber = 0x0104;

  UpdateDefinition& d = ctx.definitions.entries[0];
  std::snprintf(d.fileName, sizeof d.fileName, "S1003431.%03x",
                static_cast<unsigned>(ctx.run.newRevisionNumber));
  SetField(d.vendorTag, "KES_ADV ", 8);
  SetField(d.vendor, "KESTREL ", 8);
  SetField(d.product, "BD-ROM  QBC-850 ", 16);
  d.updateScope = 1;
  SetField(d.extension, "BIN", 3);
  d.imageSize = 1880576;
  d.familyCode = 0x4003;
  d.downgradeWarning = 0;
  d.minimumImageDate = 0x20080110;
  d.checksum = 0xC23AD8B9u;

  ctx.definitions.definitionCount = 1;
  return 1;
}

void ResetRunState(Context& ctx) {
  ctx.run.forceUpdate = false;
  ctx.run.expertOverride = false;
  ctx.run.signatureOverride = false;
  ctx.run.handshakeSelect = false;
}

}  // namespace odf
