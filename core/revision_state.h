// What the revision readout derived from the drive's answers.
#pragma once

#include <cstdint>

namespace odf {

struct RevisionState {
  std::uint32_t firmwareDate = 0;
  std::uint16_t revisionNumber = 0;
  std::int32_t g6PatchNeeded = 0;
  std::int32_t handshakeRequired = 0;
  std::int32_t kernelUpdateRequired = 0;
  std::int32_t alreadyLatest = 0;
};

}  // namespace odf
