// The shared millisecond timer's readings.
#pragma once

#include "platform/win_types.h"

namespace odf {

struct TimerState {
  win::UINT period = 0;   // resolution granted by timeBeginPeriod, 0 when none
  win::DWORD start = 0;
  win::DWORD latest = 0;
  win::DWORD end = 0;
};

}  // namespace odf
