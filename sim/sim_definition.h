// Other definitions for odflsh-sim: the text of a --definition option as an
// UpdateDefinition, the table it builds put in place of the built-in one, and
// the image files (--make-image) that fit a definition.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/definition.h"
#include "sim/image_maker.h"

namespace odf {
struct Context;
}

namespace odf::sim {

// A whole decimal or 0x-hexadecimal number, at most `max`.
bool ParseDefinitionNumber(const std::string& text, std::uint32_t max, std::uint32_t& value);

// FIELD=VALUE[,FIELD=VALUE...], each FIELD a field name of UpdateDefinition.
// Text fields are blank-padded to their width (fileName is zero-terminated
// text); fields not given stay zero. False with a one-line reason on an
// unknown or repeated field, a text too long or a number that does not parse.
bool ParseDefinition(const std::string& text, UpdateDefinition& definition, std::string& error);

// Puts `definitions` (at most kDefinitionSlots) in place of the run's table.
void InstallDefinitions(Context& ctx, const std::vector<UpdateDefinition>& definitions);

// The run loop's definition step (RunSteps::loadDefinitions) that loads
// `definitions` in place of the built-in table.
std::function<int(Context&)> DefinitionLoader(std::vector<UpdateDefinition> definitions);

// The utility's built-in definition, as it loads it.
UpdateDefinition BuiltInDefinition();

struct ImageFile {
  std::string path;
  std::vector<std::uint8_t> bytes;
};

// The files that fit `definition` for a drive of its identity in the
// simulator's default configuration: the normal image at `path` (model,
// size, hardware revision and signature from the definition and the drive's
// defaults; a family-0x10xx image names the definition's vendor tag as its
// normal part), and, for a definition that covers the kernel part too, the
// kernel image beside it under the name the kernel loader looks for.
// `fields` gives the revision and the date; a date left at its default is
// moved up to the definition's minimumImageDate when that is later.
// False with a one-line reason when the definition cannot have such files.
bool ImagesForDefinition(const UpdateDefinition& definition, const ImageFields& fields, const std::string& path,
                         std::vector<ImageFile>& files, std::string& error);

}  // namespace odf::sim
