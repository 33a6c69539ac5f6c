#include "chase/host.h"

namespace aks {

HostError::HostError(const char* what, const char* detail) noexcept : message_{} {
  std::size_t n = 0;
  auto append = [&](const char* text) {
    while (text != nullptr && *text != '\0' && n + 1 < sizeof message_) message_[n++] = *text++;
  };
  append(what);
  if (detail != nullptr) {
    append(": ");
    append(detail);
  }
  message_[n] = '\0';
}

}  // namespace aks
