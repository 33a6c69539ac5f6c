// A backend's keyboard services and host runtime, opened together.
#pragma once

#include <cstddef>
#include <memory>

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

// Why a backend could not be opened: one short line, built in place, such as
// `cannot open display ":1"`. Text past its capacity is cut off.
class Why {
 public:
  Why& operator<<(const char* text) {
    while (text != nullptr && *text != '\0' && size_ + 1 < sizeof text_) text_[size_++] = *text++;
    text_[size_] = '\0';
    return *this;
  }
  const char* c_str() const { return text_; }
  bool empty() const { return size_ == 0; }
  void clear() { text_[size_ = 0] = '\0'; }

 private:
  char text_[240] = {};
  std::size_t size_ = 0;
};

// Opens a backend quietly: on failure returns null and says why.
using PlatformOpener = std::unique_ptr<Platform> (*)(Why& why);

}  // namespace aks
