#include "image/image.h"
#include "app/context.h"
namespace odf {
int MatchDefinition(Context&, const std::uint8_t*) { return -1; }
std::int32_t EditionCodeFor(const std::uint8_t*) { return -1; }
}  // namespace odf
