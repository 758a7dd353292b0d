// The shared buffers, the ASPI layer's entry points and the media-notification
// handles that the host checks obtain and the clean-up gives back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/win_types.h"

namespace odf {

struct SharedBuffer {
  win::HGLOBAL handle = 0;
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// One slot for every adapter the 8-bit adapter count can report, so a host
// with more than 16 adapters cannot run past the table.
inline constexpr int kIdentifierSlots = 256;
inline constexpr int kMediaNotificationSlots = 23;

struct MediaNotificationEntry {
  char driveLetter = 0;
  win::HANDLE handle = win::INVALID_HANDLE_VALUE;
};

struct HostState {
  SharedBuffer dataBuffer;          // 2 MiB
  SharedBuffer imageBuffer;         // 8 MiB pass-through, 2 MiB ASPI
  SharedBuffer parameterBuffer;     // 512 bytes pass-through, 2 MiB ASPI
  SharedBuffer requestBlockBuffer;  // ASPI only, 2 MiB
  // ASPI layer
  win::HMODULE aspiModule = 0;
  win::FARPROC getSupportInfo = 0;
  win::FARPROC sendCommand = 0;
  std::uint8_t adapterCount = 0;
  SharedBuffer adapterTable;        // adapterCount x 60-byte SRB_HAInquiry
  std::array<std::array<std::uint8_t, 16>, kIdentifierSlots> identifiers{};
  // Pass-through route: media-notification handles opened by discovery.
  std::array<MediaNotificationEntry, kMediaNotificationSlots> mediaNotification{};
  std::int8_t mediaNotificationCount = 0;
  std::uint8_t autoInsertCount = 0;
  bool released = false;
};

}  // namespace odf
