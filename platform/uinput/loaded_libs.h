// The libraries only the uinput backend uses (libwayland-client,
// libxkbcommon, libxkbcommon-x11, libxcb-xkb), loaded when it is chosen, so
// that an X11 or console session never maps them. Their functions are called
// through lib::, never directly.
#pragma once

#include <wayland-client-core.h>
#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include "platform.h"

// Each library's functions, as F(name).
#define AKS_WAYLAND_FUNCTIONS(F)                                                                \
  F(wl_display_connect)                                                                         \
  F(wl_display_disconnect)                                                                      \
  F(wl_display_get_fd) F(wl_display_flush) F(wl_display_prepare_read) F(wl_display_read_events) \
      F(wl_display_cancel_read) F(wl_display_dispatch_pending) F(wl_display_get_error)          \
          F(wl_log_set_handler_client) F(wl_proxy_marshal_flags) F(wl_proxy_add_listener)       \
              F(wl_proxy_destroy) F(wl_proxy_get_version)
#define AKS_XKBCOMMON_FUNCTIONS(F)                                                                \
  F(xkb_context_new)                                                                              \
  F(xkb_context_unref)                                                                            \
  F(xkb_keymap_new_from_buffer) F(xkb_keymap_unref) F(xkb_keymap_min_keycode)                     \
      F(xkb_keymap_max_keycode) F(xkb_keymap_key_get_syms_by_level) F(xkb_keymap_mod_get_index)   \
          F(xkb_state_new) F(xkb_state_unref) F(xkb_state_update_key) F(xkb_state_serialize_mods) \
              F(xkb_state_serialize_layout) F(xkb_state_led_name_is_active)
#define AKS_XKBCOMMON_X11_FUNCTIONS(F) \
  F(xkb_x11_setup_xkb_extension)       \
  F(xkb_x11_get_core_keyboard_device_id) F(xkb_x11_keymap_new_from_device)

namespace aks::uinput::lib {

#define AKS_DECLARE(name) extern decltype(&::name) name;
AKS_WAYLAND_FUNCTIONS(AKS_DECLARE)
AKS_XKBCOMMON_FUNCTIONS(AKS_DECLARE)
AKS_XKBCOMMON_X11_FUNCTIONS(AKS_DECLARE)
#undef AKS_DECLARE

// xcb_xkb_select_events, whose header C++ cannot read (a field named
// "explicit"); the constants it takes.
extern xcb_void_cookie_t (*xcb_xkb_select_events)(xcb_connection_t*, uint16_t device,
                                                  uint16_t affect_which, uint16_t clear,
                                                  uint16_t select_all, uint16_t affect_map,
                                                  uint16_t map, const void* details);
inline constexpr uint16_t kXkbNewKeyboardNotify = 1, kXkbMapNotify = 2;

// The protocol objects the backend makes.
extern const wl_interface* wl_registry_interface;
extern const wl_interface* wl_seat_interface;
extern const wl_interface* wl_keyboard_interface;
extern const wl_interface* wl_callback_interface;

// Loads them all, once; false, saying why, where one is missing.
bool LoadLibraries(Why& why);

}  // namespace aks::uinput::lib
