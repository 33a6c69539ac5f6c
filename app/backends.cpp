#include "backends.h"

#include <cstdlib>
#include <cstring>

#if AKS_HAVE_UINPUT
#include "uinput_platform.h"
#endif
#if AKS_HAVE_X11
#include "x11_platform.h"
#endif
#if AKS_HAVE_CONSOLE
#include "console_platform.h"
#endif
#if AKS_HAVE_WIN32
#include "win32_platform.h"
#else
#include "posix_host.h"
#endif

namespace aks {
namespace {

#if !AKS_HAVE_WIN32
const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

#if AKS_HAVE_UINPUT
// The compositor named by WAYLAND_DISPLAY, else the Xwayland server named by
// DISPLAY, gives the keymap and keeps the program alive.
std::unique_ptr<Platform> OpenUinput(Why& why, Use use) {
  const char* wayland = Env("WAYLAND_DISPLAY");
  return uinput::Open({wayland, wayland ? nullptr : Env("DISPLAY")}, use, why);
}
#endif

struct Backend {
  const char* name;
  PlatformOpener open;
  const char* lock;  // lock file for one chase per keyboard, or null
  const char* where;
};

// Every backend this build has; the session decides which one runs.
constexpr Backend kBackends[] = {
#if AKS_HAVE_UINPUT
    // A new keyboard alone changes the seat's state (sway resets its locks).
    {"uinput", OpenUinput, "actionkeystate-uinput.lock", "on a virtual keyboard in this session"},
#endif
#if AKS_HAVE_X11
    {"x11", [](Why& why, Use use) { return x11::Open(why, use); }, nullptr, nullptr},
#endif
#if AKS_HAVE_CONSOLE
    {"console", console::Open, "actionkeystate-console.lock", "on the console"},
#endif
    {nullptr, nullptr, nullptr, nullptr},
};

// The backend for this session, and how to name the session if it fails.
const char* ChooseBackend(Why& context) {
  if (const char* forced = Env("ACTIONKEYSTATE_BACKEND")) {
    context << "ACTIONKEYSTATE_BACKEND=" << forced << ", but ";
    return forced;
  }
  if (Env("WAYLAND_DISPLAY") != nullptr) {
    context << "Wayland session, but ";
    return "uinput";
  }
  if (const char* display = Env("DISPLAY")) {
    // X clients under Wayland tap only Xwayland's own keyboard. Xwayland is
    // known by the session's type, or, once open, by its XWAYLAND extension
    // (Xwayland 23 and later; before it nothing tells it from Xorg).
    const char* type = Env("XDG_SESSION_TYPE");
    if (type != nullptr && std::strcmp(type, "wayland") == 0) {
      context << "Xwayland display \"" << display << "\", but ";
      return "uinput";
    }
    return "x11";
  }
  return "console";
}
#endif

}  // namespace

std::unique_ptr<Platform> OpenPlatform(Why& why, Use use, bool chase) {
#if AKS_HAVE_WIN32
  (void)why;
  (void)use;
  (void)chase;
  return win32::Open(::GetModuleHandleW(nullptr), nullptr);
#else
  why.clear();
  const char* name = ChooseBackend(why);
#if AKS_HAVE_X11
  if (std::strcmp(name, "x11") == 0 && Env("ACTIONKEYSTATE_BACKEND") == nullptr) {
    // In a session of type x11 the display is the X server itself: no need to ask.
    const char* type = Env("XDG_SESSION_TYPE");
    const bool x11_session = type != nullptr && std::strcmp(type, "x11") == 0;
    bool xwayland = false;
    std::unique_ptr<Platform> platform = x11::Open(why, use, x11_session ? nullptr : &xwayland);
    if (!xwayland) return platform;
    why << "Xwayland display \"" << Env("DISPLAY") << "\", but ";
    name = "uinput";
  }
#endif
  for (const Backend* backend = kBackends; backend->name != nullptr; ++backend) {
    if (std::strcmp(backend->name, name) != 0) continue;
    if (chase && backend->lock != nullptr) posix::HoldInstanceLock(backend->lock, backend->where);
    return backend->open(why, use);
  }
  why << "this build has no " << name << " backend (it has:";
  for (const Backend* backend = kBackends; backend->name != nullptr; ++backend) {
    why << " " << backend->name;
  }
  why << ")";
  return nullptr;
#endif
}

}  // namespace aks
