#include "backends.h"

#if AKS_HAVE_X11
#include "x11_platform.h"
#endif

namespace aks {
namespace {

constexpr PlatformOpener kBackends[] = {
#if AKS_HAVE_X11
    x11::Open,
#endif
    nullptr,
};

}  // namespace

std::unique_ptr<Platform> OpenPlatform(std::string& why) {
  why.clear();
  for (PlatformOpener open : kBackends) {
    if (open == nullptr) break;
    std::string reason;
    if (auto platform = open(reason)) return platform;
    why += why.empty() ? reason : "; " + reason;
  }
  if (why.empty()) why = "this build has no keyboard backend";
  return nullptr;
}

}  // namespace aks
