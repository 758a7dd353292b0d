// What the revision readout derived from the drive's answers.
#pragma once

#include <cstdint>

namespace odf {

struct RevisionState {
  std::uint32_t firmwareDate = 0;
  std::uint16_t revisionNumber = 0;
  bool g6PatchNeeded = false;
  bool handshakeRequired = false;
  bool kernelUpdateRequired = false;
  bool alreadyLatest = false;
};

}  // namespace odf
