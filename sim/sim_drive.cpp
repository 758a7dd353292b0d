#include "sim/sim_drive.h"
namespace odf::sim {
}  // namespace odf::sim
