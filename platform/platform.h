// A backend's keyboard services and host runtime, opened together.
#pragma once

#include <memory>
#include <string>

#include "chase/host.h"
#include "keystate/keyboard.h"

namespace aks {

class Platform {
 public:
  virtual ~Platform() = default;
  virtual KeyboardServices& keyboard() = 0;
  virtual HostRuntime& host() = 0;

 protected:
  Platform() = default;
  Platform(const Platform&) = default;
  Platform& operator=(const Platform&) = default;
};

// Opens a backend quietly: on failure returns null and sets `why` to a short
// reason such as `cannot open display ":1"`.
using PlatformOpener = std::unique_ptr<Platform> (*)(std::string& why);

}  // namespace aks
