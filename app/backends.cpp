#include "backends.h"

#if AKS_HAVE_X11
#include "x11_platform.h"
#endif
#if AKS_HAVE_CONSOLE
#include "console_platform.h"
#endif
#if AKS_HAVE_WIN32
#include "win32_platform.h"
#endif

namespace aks {
namespace {

#if AKS_HAVE_WIN32
std::unique_ptr<Platform> OpenWin32(std::string&) {
  return win32::Open(::GetModuleHandleW(nullptr), nullptr);
}
#endif

constexpr PlatformOpener kBackends[] = {
#if AKS_HAVE_WIN32
    OpenWin32,
#endif
#if AKS_HAVE_X11
    x11::Open,  // a graphical session
#endif
#if AKS_HAVE_CONSOLE
    console::Open,  // a text console
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
