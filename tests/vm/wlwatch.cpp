// wlwatch: a Wayland client that takes the keyboard focus with a small
// window and prints the seat's locked modifiers at every change, as
// "<CLOCK_MONOTONIC ms> <locked mask>" (Num Lock 0x10, Caps Lock 0x2 in the
// usual keymaps). Prints "focus" once it has the keyboard, and
// "key <ms> <keysym>" for every key it is sent, named by the keymap it was
// given (group 1, level 1); "leave <ms>" when it loses the focus;
// "keymap <ms> <keysym>" for every keymap it is given, with what the Caps
// Lock key (evdev 58) is in it. Runs until killed.
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstring>

#include "xdg-shell-client-protocol.h"

namespace {

struct Client {
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  wl_seat* seat = nullptr;
  xdg_wm_base* wm_base = nullptr;
  wl_surface* surface = nullptr;
  wl_buffer* buffer = nullptr;
  bool configured = false;
};

long long NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1'000'000;
}

void Global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
  auto* client = static_cast<Client*>(data);
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    client->compositor =
        static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    client->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && client->seat == nullptr) {
    client->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 5));
  } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
    client->wm_base =
        static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
  }
}
void GlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistry = {Global, GlobalRemove};

void Ping(void*, xdg_wm_base* wm_base, uint32_t serial) { xdg_wm_base_pong(wm_base, serial); }
const xdg_wm_base_listener kWmBase = {Ping};

void Configure(void* data, xdg_surface* surface, uint32_t serial) {
  auto* client = static_cast<Client*>(data);
  xdg_surface_ack_configure(surface, serial);
  wl_surface_attach(client->surface, client->buffer, 0, 0);
  wl_surface_commit(client->surface);
  client->configured = true;
}
const xdg_surface_listener kXdgSurface = {Configure};

xkb_keymap* g_keymap = nullptr;

// The first keysym of `key` (an evdev code) in the keymap given, by name.
void KeyName(uint32_t key, char (&name)[64]) {
  const xkb_keysym_t* syms = nullptr;
  std::strcpy(name, "NoSymbol");
  if (g_keymap && xkb_keymap_key_get_syms_by_level(g_keymap, key + 8, 0, 0, &syms) > 0) {
    xkb_keysym_get_name(syms[0], name, sizeof name);
  }
}

void Keymap(void*, wl_keyboard*, uint32_t, int32_t fd, uint32_t size) {
  static xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  void* text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (text != MAP_FAILED) {
    xkb_keymap_unref(g_keymap);
    g_keymap = xkb_keymap_new_from_buffer(context, static_cast<const char*>(text),
                                          ::strnlen(static_cast<const char*>(text), size),
                                          XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    ::munmap(text, size);
  }
  ::close(fd);
  char caps[64];
  KeyName(58, caps);
  std::printf("keymap %lld %s\n", NowMs(), caps);
  std::fflush(stdout);
}
void Enter(void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {
  std::printf("focus\n");
  std::fflush(stdout);
}
void Leave(void*, wl_keyboard*, uint32_t, wl_surface*) {
  std::printf("leave %lld\n", NowMs());
  std::fflush(stdout);
}
void Key(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t state) {
  if (state != WL_KEYBOARD_KEY_STATE_PRESSED) return;
  char name[64];
  KeyName(key, name);
  std::printf("key %lld %s\n", NowMs(), name);
  std::fflush(stdout);
}
void Modifiers(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t locked, uint32_t) {
  static long long last = -1;
  if (locked == last) return;
  last = locked;
  std::printf("%lld %u\n", NowMs(), locked);
  std::fflush(stdout);
}
void RepeatInfo(void*, wl_keyboard*, int32_t, int32_t) {}
const wl_keyboard_listener kKeyboard = {Keymap, Enter, Leave, Key, Modifiers, RepeatInfo};

// A seat has a keyboard only once a keyboard device exists (sway).
void Capabilities(void* data, wl_seat* seat, uint32_t capabilities) {
  auto* keyboard = static_cast<wl_keyboard**>(data);
  if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0 && *keyboard == nullptr) {
    *keyboard = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(*keyboard, &kKeyboard, nullptr);
  }
}
void SeatName(void*, wl_seat*, const char*) {}
const wl_seat_listener kSeat = {Capabilities, SeatName};

wl_buffer* MakeBuffer(wl_shm* shm, int width, int height) {
  const int stride = width * 4, size = stride * height;
  const int fd = ::memfd_create("wlwatch", MFD_CLOEXEC);
  if (fd < 0 || ::ftruncate(fd, size) != 0) return nullptr;
  void* pixels = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  std::memset(pixels, 0x80, static_cast<std::size_t>(size));
  wl_shm_pool* pool = wl_shm_create_pool(shm, fd, size);
  wl_buffer* buffer =
      wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  ::close(fd);
  return buffer;
}

}  // namespace

int main() {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "wlwatch: cannot connect\n");
    return 1;
  }
  Client client;
  wl_registry_add_listener(wl_display_get_registry(display), &kRegistry, &client);
  wl_display_roundtrip(display);
  if (!client.compositor || !client.shm || !client.seat || !client.wm_base) {
    std::fprintf(stderr, "wlwatch: missing globals\n");
    return 1;
  }
  xdg_wm_base_add_listener(client.wm_base, &kWmBase, &client);
  wl_keyboard* keyboard = nullptr;
  wl_seat_add_listener(client.seat, &kSeat, &keyboard);
  client.buffer = MakeBuffer(client.shm, 64, 64);
  client.surface = wl_compositor_create_surface(client.compositor);
  xdg_surface* xdg = xdg_wm_base_get_xdg_surface(client.wm_base, client.surface);
  xdg_surface_add_listener(xdg, &kXdgSurface, &client);
  xdg_toplevel_set_title(xdg_surface_get_toplevel(xdg), "wlwatch");
  wl_surface_commit(client.surface);
  while (wl_display_dispatch(display) >= 0) {
  }
  return 0;
}
