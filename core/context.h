// Everything one run owns: run state, definitions, transport, host buffers,
// targets and image state. main creates one; each test builds a fresh one
// around a fresh simulated PC.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/definition.h"
#include "core/firmware_area.h"
#include "core/host_state.h"
#include "core/image_state.h"
#include "core/message_codes.h"
#include "core/revision_state.h"
#include "core/target_table.h"
#include "core/timer_state.h"
#include "core/scsi_port.h"
#include "platform/platform.h"

namespace odf {

// Where a front end joins the dialogue: the Linux program's listing learns
// why a drive would be refused, and its --yes answers questions for a script.
// A run with none of them set is the plain dialogue.
struct DialogueHooks {
  // Told of each catalogue message, with its text, before it is shown.
  std::function<void(MessageCode, const std::string&)> showing;
  // Answers a question without a box: IDYES or IDNO, or 0 to ask as usual.
  std::function<int(MessageCode)> answer;
  // Told a line the console does not carry, for standard error: an image's
  // SHA-256 when no digest is known to check it against, and why an image
  // cannot be loaded. Without the hook they are not shown.
  std::function<void(const std::string&)> note;
  // Told of a question answered No because an interruption is held.
  std::function<void(MessageCode)> declined;
};

struct Context {
  explicit Context(Platform& p) : platform(p) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  Platform& platform;

  RunState run;
  DefinitionTable definitions;
  UpdateDefinition matchedDefinition{};
  std::uint8_t selectedIndex = 0;
  std::string consoleText;
  DialogueHooks dialogue;

  // The route the host checks chose; see PortOf.
  std::unique_ptr<ScsiPort> port;
  TimerState timer;
  HostState host;
  TargetTable targets;

  // The 64-byte drive-information area (48-byte reply, rest zero) and the
  // last inquiry reply of the current drive.
  std::array<std::uint8_t, 64> driveInfo{};
  std::array<std::uint8_t, 96> inquiry{};

  ImageState image;
  RevisionState revision;
  FirmwareIdentity firmware;  // family zero: what the drive's firmware area carries
};

// The drive the procedures work on, as their commands address it.
inline CommandTarget CurrentTarget(const Context& ctx) { return TargetAt(ctx.targets, ctx.run.currentTarget); }

}  // namespace odf
