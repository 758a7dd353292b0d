// The platform of the machine the program runs on (Windows or Linux).
#pragma once

#include <memory>

#include "platform/platform.h"

namespace odf {

std::unique_ptr<Platform> CreateHostPlatform();

}  // namespace odf
