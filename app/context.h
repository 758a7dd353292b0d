// Everything one run owns: run state, definitions, transport, host buffers,
// targets and image state. main creates one; each test builds a fresh one
// around a fresh simulated PC.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "app/definition.h"
#include "discovery/discovery.h"
#include "discovery/host.h"
#include "image/image.h"
#include "platform/platform.h"
#include "scsi/timer.h"
#include "scsi/transport.h"
#include "update/update.h"

namespace odf {

// The steps the run loop calls. They default to the real ones; tests of the
// loop replace them with fakes.
struct RunSteps {
  std::function<int(Context&)> checkHost;
  std::function<int(Context&)> discover;
  std::function<int(Context&)> familyZero;
  std::function<int(Context&)> familyOne;
  std::function<int(Context&)> familyFour;
};

RunSteps DefaultRunSteps();

struct Context {
  explicit Context(Platform& p) : platform(p), steps(DefaultRunSteps()) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  Platform& platform;
  RunSteps steps;

  RunState run;
  DefinitionTable definitions;
  UpdateDefinition matchedDefinition{};
  std::uint8_t selectedIndex = 0;
  std::string consoleText;

  TransportState transport;
  TimerState timer;
  HostState host;
  TargetTable targets;

  // The 64-byte drive-information area (48-byte reply, rest zero) and the
  // last inquiry reply of the current drive.
  std::array<std::uint8_t, 64> driveInfo{};
  std::array<std::uint8_t, 96> inquiry{};

  ImageState image;
  RevisionState revision;
};

}  // namespace odf
