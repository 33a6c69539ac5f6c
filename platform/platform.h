// A backend's keyboard services and host runtime, opened together.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstring>
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
  // Appends the system's text for `error` (an errno), in lower case after
  // the colon that comes before it: "permission denied".
  Why& Error(int error) {
    const std::size_t start = size_;
    *this << std::strerror(error);
    if (size_ > start)
      text_[start] = static_cast<char>(std::tolower(static_cast<unsigned char>(text_[start])));
    return *this;
  }
  const char* c_str() const { return text_; }
  bool empty() const { return size_ == 0; }
  void clear() { text_[size_ = 0] = '\0'; }

 private:
  char text_[240] = {};
  std::size_t size_ = 0;
};

// What the keyboard is opened for. A read changes nothing, not even by the
// opening: a backend may then leave out all it needs only to change the locks.
// A chase changes every lock from its start: what opening the keyboard did to
// the locks need not be put back first.
enum class Use { kRead, kChange, kChase };

// Opens a backend quietly: on failure returns null and says why.
using PlatformOpener = std::unique_ptr<Platform> (*)(Why& why, Use use);

}  // namespace aks
