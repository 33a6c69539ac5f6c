#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client-protocol.h>  // the requests' numbers and the listeners' shapes

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "keymap_session.h"
#include "lock_leds.h"

namespace aks::uinput {
namespace {

constexpr int kSyncWaitMs = 2'000;
// A read asked of KWin waits longer: a busy KWin can take seconds to answer,
// and the keyboards' LEDs, the only other answer, can be dark.
constexpr int kReadWaits = 5;

// libwayland-client's request wrappers (inline in its header), through the
// loaded library.
template <typename T>
wl_proxy* Proxy(T* object) {
  return reinterpret_cast<wl_proxy*>(object);
}
template <typename T, typename Listener>
void Listen(T* object, const Listener* listener, void* data) {
  lib::wl_proxy_add_listener(
      Proxy(object), reinterpret_cast<void (**)(void)>(const_cast<Listener*>(listener)), data);
}
template <typename T>
void Destroy(T* object) {
  lib::wl_proxy_destroy(Proxy(object));
}
template <typename Made, typename T>
Made* Request(T* object, uint32_t opcode, const wl_interface* made) {
  return reinterpret_cast<Made*>(lib::wl_proxy_marshal_flags(
      Proxy(object), opcode, made, lib::wl_proxy_get_version(Proxy(object)), 0, nullptr));
}
void* Bind(wl_registry* registry, uint32_t name, const wl_interface* interface, uint32_t version) {
  return lib::wl_proxy_marshal_flags(Proxy(registry), WL_REGISTRY_BIND, interface, version, 0, name,
                                     interface->name, version, nullptr);
}
// KWin's org_kde_kwin_keystate, version 1: the request fetchStates and the
// event stateChanged(key, state).
const wl_interface* const kNoTypes[] = {nullptr, nullptr};
const wl_message kKeystateRequests[] = {{"fetchStates", "", nullptr}};
const wl_message kKeystateEvents[] = {
    {"stateChanged", "uu", const_cast<const wl_interface**>(kNoTypes)}};
const wl_interface kKeystateInterface = {"org_kde_kwin_keystate", 1, 1,
                                         kKeystateRequests,       1, kKeystateEvents};

// The compositor's connection. The seat's keyboard sends its keymap to every
// client, focused or not, and again whenever the user changes it.
class WaylandSession final : public KeymapSession {
 public:
  WaylandSession(wl_display* display, bool keymap)
      : display_(display),
        registry_(
            Request<wl_registry>(display, WL_DISPLAY_GET_REGISTRY, lib::wl_registry_interface)),
        keymap_(keymap) {
    Listen(registry_, &kRegistry, this);
  }
  ~WaylandSession() override {
    if (keystate_ != nullptr) Destroy(keystate_);
    if (keyboard_ != nullptr) Destroy(keyboard_);
    if (seat_ != nullptr) Destroy(seat_);
    Destroy(registry_);
    lib::wl_display_disconnect(display_);
  }
  WaylandSession(const WaylandSession&) = delete;
  WaylandSession& operator=(const WaylandSession&) = delete;

  // What the compositor sends is taken in at each step, and woken for only
  // while a question is out: a new keymap before the next tap, the end of
  // the session within a step, a tap sent as soon as it is answered.
  int fd() const override { return asked_ != answered_ ? socket() : -1; }
  pid_t compositor() const override { return PeerProcess(socket()); }

  // Answers are passed on once all that came with them is taken in: a
  // keymap the compositor sent right after an answer comes before the taps.
  bool DispatchPending() override {
    const unsigned had = answered_;
    const bool ok = DispatchAll();
    if (answered_ != had) TakeAnswers(answered_);
    return ok;
  }

  bool DispatchQueued() override { return lib::wl_display_get_error(display_) == 0; }

  // A seat offers a keyboard only once it has one, which may be ours. A
  // desktop still starting up can leave a round trip unanswered for seconds:
  // only a lost connection ends the wait early, and no round trip outlasts
  // `deadline` (a busy KWin takes 0.3 s to answer one: the early wait ends
  // on time, and the answer is read once the keyboard is taken up).
  // The keymap comes three round trips after connecting (the registry, the
  // seat, its keyboard): those follow each other at once; only a seat
  // without a keyboard yet is asked again every 50 ms.
  bool WaitForKeymap(long long deadline, bool early) override {
    while (!has_keymap() && NowMs() < deadline) {
      const void* had[2] = {seat_, keyboard_};
      const long long by = NowMs() + kSyncWaitMs;
      if (!SyncBy(by < deadline ? by : deadline) && lib::wl_display_get_error(display_) != 0)
        return false;
      if (has_keymap() || had[0] != seat_ || had[1] != keyboard_) continue;
      if (early && seat_told_) break;
      pollfd connection{socket(), POLLIN, 0};
      ::poll(&connection, 1, 50 < MsUntil(deadline) ? 50 : MsUntil(deadline));
    }
    return has_keymap();
  }

  // KWin reports the locks (org_kde_kwin_keystate), whatever the keyboards'
  // LEDs show, to a program whose desktop entry asks for them (the package
  // installs one for each program): others are not offered it.
  bool ReadLocks(unsigned& lit) override {
    // (the globals come before the first answer)
    if (keystate_ == nullptr && answered_ == 0 && !SyncTries(kReadWaits)) return false;
    if (keystate_ == nullptr) return false;
    locks_reported_ = locks_ = 0;
    lib::wl_proxy_marshal_flags(Proxy(keystate_), kFetchStates, nullptr,
                                lib::wl_proxy_get_version(Proxy(keystate_)), 0);
    if (!SyncTries(kReadWaits) || locks_reported_ == 0) return false;
    lit = locks_;
    return true;
  }

  void Ask() override {
    wl_callback* done = Request<wl_callback>(display_, WL_DISPLAY_SYNC, lib::wl_callback_interface);
    Listen(done, &kAnswered, this);
    lib::wl_display_flush(display_);
    ++asked_;
  }

  bool Sync() override { return SyncBy(NowMs() + kSyncWaitMs); }

 private:
  // Sync, waiting until `deadline` (ms) at most; an answer that comes later
  // is taken in with what follows it.
  bool SyncBy(long long deadline) {
    Ask();
    const unsigned question = asked_;
    const auto answered = [&] { return static_cast<int>(answered_ - question) >= 0; };
    while (!answered() && NowMs() < deadline) {
      pollfd connection{socket(), POLLIN, 0};
      ::poll(&connection, 1, MsUntil(deadline));
      if (!DispatchPending()) break;
    }
    return answered();
  }

  int socket() const { return lib::wl_display_get_fd(display_); }
  bool DispatchAll() {
    while (lib::wl_display_prepare_read(display_) != 0) {
      if (lib::wl_display_dispatch_pending(display_) < 0) return false;
    }
    pollfd connection{socket(), POLLIN, 0};
    if (::poll(&connection, 1, 0) > 0) {
      if ((connection.revents & (POLLHUP | POLLERR)) != 0 ||
          lib::wl_display_read_events(display_) != 0) {
        lib::wl_display_cancel_read(display_);
        return false;
      }
    } else {
      lib::wl_display_cancel_read(display_);
    }
    return lib::wl_display_dispatch_pending(display_) >= 0;
  }

  static void Answered(void* data, wl_callback* done, uint32_t) {
    Destroy(done);
    ++static_cast<WaylandSession*>(data)->answered_;  // (passed on by DispatchPending)
  }
  static void Global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                     uint32_t) {
    auto* self = static_cast<WaylandSession*>(data);
    if (self->keymap_ && self->seat_ == nullptr &&
        std::strcmp(interface, lib::wl_seat_interface->name) == 0) {
      self->seat_ = static_cast<wl_seat*>(Bind(registry, name, lib::wl_seat_interface, 1));
      Listen(self->seat_, &kSeat, self);
    } else if (self->keystate_ == nullptr && std::strcmp(interface, kKeystateInterface.name) == 0) {
      self->keystate_ = static_cast<wl_proxy*>(Bind(registry, name, &kKeystateInterface, 1));
      Listen(self->keystate_, &kKeystate, self);
    }
  }
  // stateChanged(key, state): key 0 Caps, 1 Num, 2 Scroll Lock; state 2 locked.
  static void StateChanged(void* data, wl_proxy*, uint32_t key, uint32_t state) {
    static constexpr int kLedOfKey[] = {LED_CAPSL, LED_NUML, LED_SCROLLL};
    auto* self = static_cast<WaylandSession*>(data);
    if (key >= 3) return;
    self->locks_reported_ |= 1u << kLedOfKey[key];
    if (state == 2) self->locks_ |= 1u << kLedOfKey[key];
  }
  static void GlobalRemove(void*, wl_registry*, uint32_t) {}
  static void Capabilities(void* data, wl_seat* seat, uint32_t capabilities) {
    auto* self = static_cast<WaylandSession*>(data);
    self->seat_told_ = true;
    if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) == 0 || self->keyboard_ != nullptr) return;
    self->keyboard_ = Request<wl_keyboard>(seat, WL_SEAT_GET_KEYBOARD, lib::wl_keyboard_interface);
    Listen(self->keyboard_, &kKeyboard, self);
  }
  static void Keymap(void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
    auto* self = static_cast<WaylandSession*>(data);
    xkb_keymap* keymap = nullptr;
    void* text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && text != MAP_FAILED) {
      keymap =
          lib::xkb_keymap_new_from_buffer(self->context(), static_cast<const char*>(text),
                                          ::strnlen(static_cast<const char*>(text), size),
                                          XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    }
    if (text != MAP_FAILED) ::munmap(text, size);
    ::close(fd);
    self->TakeKeymap(keymap);
  }
  static void Enter(void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {}
  static void Leave(void*, wl_keyboard*, uint32_t, wl_surface*) {}
  static void Key(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t) {}
  static void Modifiers(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}

  static constexpr wl_callback_listener kAnswered = {Answered};
  static constexpr wl_registry_listener kRegistry = {Global, GlobalRemove};
  static constexpr wl_seat_listener kSeat = {Capabilities, nullptr};
  static constexpr wl_keyboard_listener kKeyboard = {Keymap, Enter, Leave, Key, Modifiers, nullptr};
  struct KeystateListener {
    void (*state_changed)(void*, wl_proxy*, uint32_t, uint32_t);
  };
  static constexpr KeystateListener kKeystate = {StateChanged};
  static constexpr uint32_t kFetchStates = 0;

  wl_display* display_;
  wl_registry* registry_;
  bool keymap_;  // the seat's keymap is wanted (to tap), or only KWin's report (to read)
  wl_seat* seat_ = nullptr;
  wl_keyboard* keyboard_ = nullptr;
  bool seat_told_ = false;  // the seat has said what it has
  wl_proxy* keystate_ = nullptr;
  unsigned locks_ = 0, locks_reported_ = 0;
};

}  // namespace

std::unique_ptr<KeymapSession> ConnectWayland(const char* name, bool keymap, Why& why) {
  lib::wl_log_set_handler_client([](const char*, va_list) {});  // we say it in our line
  wl_display* display = lib::wl_display_connect(name);
  if (display == nullptr) {
    const int error = errno;
    why << "cannot connect to the compositor \"" << name << "\": ";
    if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
      why << "XDG_RUNTIME_DIR is not set";
    } else {
      why.Error(error);
    }
    return nullptr;
  }
  return std::make_unique<WaylandSession>(display, keymap);
}

}  // namespace aks::uinput
