// The backends this build has, tried in order until one opens.
#pragma once

#include <memory>
#include <string>

#include "platform.h"

namespace aks {

// Opens the first backend that works. When none does, returns null and sets
// `why` to what was tried and why each failed, in one line.
std::unique_ptr<Platform> OpenPlatform(std::string& why);

}  // namespace aks
