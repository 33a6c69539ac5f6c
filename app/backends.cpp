#include "backends.h"

#include <cstdlib>

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

#if !AKS_HAVE_WIN32
// Sessions a desktop names in the environment, in order of preference.
struct Session {
  const char* variable;
  const char* name;
  PlatformOpener open;  // null where this build has no backend for it
};

constexpr Session kSessions[] = {
#if AKS_HAVE_X11
    {"DISPLAY", "X11", x11::Open},
#else
    {"DISPLAY", "X11", nullptr},
#endif
    {"WAYLAND_DISPLAY", "Wayland", nullptr},
};

// Where no session is named: the text console.
std::unique_ptr<Platform> OpenUnnamedSession(Why& why) {
#if AKS_HAVE_CONSOLE
  return console::Open(why);
#else
  why << "no DISPLAY, and this build has no console backend";
  return nullptr;
#endif
}
#endif

}  // namespace

std::unique_ptr<Platform> OpenPlatform(Why& why) {
#if AKS_HAVE_WIN32
  (void)why;
  return win32::Open(::GetModuleHandleW(nullptr), nullptr);
#else
  for (const Session& session : kSessions) {
    const char* value = std::getenv(session.variable);
    if (value == nullptr || *value == '\0') continue;
    if (session.open != nullptr) return session.open(why);
    why << session.name << " session (" << session.variable << "=" << value
        << "), but this build has no " << session.name << " backend";
    return nullptr;
  }
  return OpenUnnamedSession(why);
#endif
}

}  // namespace aks
