#include "loaded_libs.h"

#include <dlfcn.h>

namespace aks::uinput::lib {

#define AKS_DEFINE(name) decltype(&::name) name = nullptr;
AKS_WAYLAND_FUNCTIONS(AKS_DEFINE)
AKS_XKBCOMMON_FUNCTIONS(AKS_DEFINE)
AKS_XKBCOMMON_X11_FUNCTIONS(AKS_DEFINE)
#undef AKS_DEFINE
xcb_void_cookie_t (*xcb_xkb_select_events)(xcb_connection_t*, uint16_t, uint16_t, uint16_t,
                                           uint16_t, uint16_t, uint16_t, const void*) = nullptr;
const wl_interface* wl_registry_interface = nullptr;
const wl_interface* wl_seat_interface = nullptr;
const wl_interface* wl_keyboard_interface = nullptr;
const wl_interface* wl_callback_interface = nullptr;

namespace {

// Sets `symbol` to `name` in `library`; false, saying why, where it is missing.
template <typename T>
bool Find(void* library, const char* file, const char* name, T& symbol, Why& why) {
  symbol = library != nullptr ? reinterpret_cast<T>(::dlsym(library, name)) : nullptr;
  if (symbol == nullptr) why << "cannot use " << file << " (" << name << ")";
  return symbol != nullptr;
}

}  // namespace

bool LoadLibraries(Why& why) {
  if (wl_display_connect != nullptr) return true;
  const auto open = [](const char* file) { return ::dlopen(file, RTLD_NOW | RTLD_LOCAL); };
  void* wayland = open("libwayland-client.so.0");
  void* xkbcommon = open("libxkbcommon.so.0");
  void* xkbcommon_x11 = open("libxkbcommon-x11.so.0");
  void* xcb_xkb = open("libxcb-xkb.so.1");
  bool ok = true;
#define AKS_FIND(library, file) \
  [&](auto& symbol, const char* name) { ok = ok && Find(library, file, name, symbol, why); }
  const auto in_wayland = AKS_FIND(wayland, "libwayland-client.so.0");
  const auto in_xkbcommon = AKS_FIND(xkbcommon, "libxkbcommon.so.0");
  const auto in_xkbcommon_x11 = AKS_FIND(xkbcommon_x11, "libxkbcommon-x11.so.0");
  const auto in_xcb_xkb = AKS_FIND(xcb_xkb, "libxcb-xkb.so.1");
#undef AKS_FIND
#define AKS_LOAD_WAYLAND(name) in_wayland(name, #name);
#define AKS_LOAD_XKBCOMMON(name) in_xkbcommon(name, #name);
#define AKS_LOAD_XKBCOMMON_X11(name) in_xkbcommon_x11(name, #name);
  AKS_WAYLAND_FUNCTIONS(AKS_LOAD_WAYLAND)
  AKS_XKBCOMMON_FUNCTIONS(AKS_LOAD_XKBCOMMON)
  AKS_XKBCOMMON_X11_FUNCTIONS(AKS_LOAD_XKBCOMMON_X11)
#undef AKS_LOAD_WAYLAND
#undef AKS_LOAD_XKBCOMMON
#undef AKS_LOAD_XKBCOMMON_X11
  in_xcb_xkb(xcb_xkb_select_events, "xcb_xkb_select_events");
  in_wayland(wl_registry_interface, "wl_registry_interface");
  in_wayland(wl_seat_interface, "wl_seat_interface");
  in_wayland(wl_keyboard_interface, "wl_keyboard_interface");
  in_wayland(wl_callback_interface, "wl_callback_interface");
  if (!ok) wl_display_connect = nullptr;  // tried again next time, and fails the same way
  return ok;
}

}  // namespace aks::uinput::lib
