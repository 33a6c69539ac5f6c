#include <fcntl.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keymap_session.h"

namespace aks::uinput {
namespace {

bool IsXwaylandProcess(pid_t pid) {
  char path[32], name[16] = {};
  std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  (void)!::read(fd, name, sizeof name - 1);
  ::close(fd);
  return std::strcmp(name, "Xwayland\n") == 0;
}

pid_t ParentProcess(pid_t pid) {
  char path[32], stat[256] = {};
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  (void)!::read(fd, stat, sizeof stat - 1);
  ::close(fd);
  const char* after_name = std::strrchr(stat, ')');  // "pid (name) state ppid ..."
  int parent = 0;
  return after_name != nullptr && std::sscanf(after_name, ") %*c %d", &parent) == 1 ? parent : 0;
}

// Xwayland's keyboard, named by DISPLAY alone: its XKB map mirrors the
// compositor's, and is read again whenever it changes.
class XwaylandSession final : public KeymapSession {
 public:
  XwaylandSession(xcb_connection_t* connection, int32_t device, std::uint8_t xkb_event)
      : connection_(connection), device_(device), xkb_event_(xkb_event) {
    constexpr std::uint16_t kChanges = lib::kXkbNewKeyboardNotify | lib::kXkbMapNotify;
    lib::xcb_xkb_select_events(connection, static_cast<uint16_t>(device), kChanges, 0, kChanges, 0,
                               0, nullptr);
    ::xcb_flush(connection);
  }
  ~XwaylandSession() override { ::xcb_disconnect(connection_); }
  XwaylandSession(const XwaylandSession&) = delete;
  XwaylandSession& operator=(const XwaylandSession&) = delete;

  int fd() const override { return ::xcb_get_file_descriptor(connection_); }
  // A compositor that starts Xwayland on demand (sway, GNOME, KDE) listens on
  // the X socket itself; otherwise Xwayland is the compositor's child.
  pid_t compositor() const override {
    const pid_t peer = PeerProcess(fd());
    return IsXwaylandProcess(peer) ? ParentProcess(peer) : peer;
  }

  bool DispatchPending() override { return Handle(::xcb_poll_for_event); }
  bool DispatchQueued() override { return Handle(::xcb_poll_for_queued_event); }

  bool WaitForKeymap(long long, bool) override {
    if (!has_keymap()) ReadKeymap();
    return has_keymap();
  }

  bool Sync() override {
    std::free(
        ::xcb_get_input_focus_reply(connection_, ::xcb_get_input_focus(connection_), nullptr));
    return DispatchQueued();
  }
  // (a rarely used path: this one waits)
  void Ask() override {
    ++asked_;
    if (Sync()) TakeAnswers(asked_);
  }

 private:
  bool Handle(xcb_generic_event_t* (*next)(xcb_connection_t*)) {
    bool changed = false;
    while (xcb_generic_event_t* event = next(connection_)) {
      changed = changed || (event->response_type & 0x7f) == xkb_event_;
      std::free(event);
    }
    if (changed && has_keymap()) ReadKeymap();
    return ::xcb_connection_has_error(connection_) == 0;
  }
  void ReadKeymap() {
    TakeKeymap(lib::xkb_x11_keymap_new_from_device(context(), connection_, device_,
                                                   XKB_KEYMAP_COMPILE_NO_FLAGS));
  }

  xcb_connection_t* connection_;
  int32_t device_;
  std::uint8_t xkb_event_;
};

}  // namespace

std::unique_ptr<KeymapSession> ConnectXwayland(const char* name, Why& why) {
  xcb_connection_t* connection = ::xcb_connect(name, nullptr);
  std::uint8_t xkb_event = 0;
  if (::xcb_connection_has_error(connection) != 0 ||
      !lib::xkb_x11_setup_xkb_extension(
          connection, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
          XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &xkb_event, nullptr)) {
    ::xcb_disconnect(connection);
    why << "cannot read the keymap of display \"" << name << "\"";
    return nullptr;
  }
  const int32_t device = lib::xkb_x11_get_core_keyboard_device_id(connection);
  return std::make_unique<XwaylandSession>(connection, device, xkb_event);
}

}  // namespace aks::uinput
