#include "uinput_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <wayland-client-protocol.h>  // the requests' numbers and the listeners' shapes
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "keystate/modActionKeystate.h"
#include "loaded_libs.h"
#include "posix_host.h"
#include "seat_leds.h"
#include "xkb_lock_keys.h"

namespace aks::uinput {
namespace {

constexpr char kDevice[] = "/dev/uinput";
constexpr char kName[] = "Action Keystate virtual keyboard";
constexpr int kLiveWaitMs = 60'000;
constexpr int kConsoleWriteMs = 30;  // the kernel's console handler writes a new keyboard's LEDs
constexpr int kHeldOpenMs = 2'000;   // opened and kept open, but the seat's LEDs are ours
constexpr int kSettleMs = 250;       // quiet on the LEDs once live
constexpr int kJoinedMs = 1'000;     // sway takes a joining keyboard's keys twice for a while
constexpr int kEchoWaitMs = 1'000;
constexpr int kAgreeWaitMs = 500;      // the seat's other keyboards catching up with a tap
constexpr int kKeymapWaitMs = 60'000;  // a desktop logging in under load: gnome-shell took 14 s
constexpr int kSyncWaitMs = 2'000;
constexpr unsigned kAllLit = 1u << LED_NUML | 1u << LED_CAPSL | 1u << LED_SCROLLL;

struct LockLed {
  VirtualKey vk;
  LockIndex lock;
  int led;
};
constexpr LockLed kUinputLocks[kLockCount] = {{VK_NUMLOCK, liNumLock, LED_NUML},
                                              {VK_SCROLL, liScrollLock, LED_SCROLLL},
                                              {VK_CAPITAL, liCapsLock, LED_CAPSL}};

long long NowMs() { return posix::MonotonicNow() / 1'000'000; }

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
int MsUntil(long long deadline) {
  const long long left = deadline - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

const LockLed* Find(int vk) {
  for (const LockLed& lock : kUinputLocks) {
    if (lock.vk == vk) return &lock;
  }
  return nullptr;
}

pid_t PeerProcess(int socket) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return ::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 ? peer.pid : 0;
}

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

struct ContextUnref {
  void operator()(xkb_context* context) const { lib::xkb_context_unref(context); }
};

// Where the keymap in force comes from, and what it makes of the lock keys.
// Its connection is the program's session: losing it ends the program.
class KeymapSession : public posix::NativeWindow {
 public:
  void Create(const char*) override {}
  void Hide() override {}

  // The compositor's process, whose keyboards show the seat's LEDs; 0 if unknown.
  virtual pid_t compositor() const = 0;
  // Waits (at most 2 s) until the server has answered everything sent so far,
  // and takes in what it sent before: a keymap it changed meanwhile. Returns
  // false where it did not answer in time.
  virtual bool Sync() = 0;
  // Asks the same without waiting: the answer wakes the program, and the
  // listener is told as it comes. Questions are answered in order: number n
  // (asked() once asked) is answered once answered() has reached it.
  virtual void Ask() = 0;
  unsigned asked() const { return asked_; }
  unsigned answered() const { return answered_; }
  void SetAnswerListener(void (*listener)(void*), void* data) {
    listener_ = listener;
    listener_data_ = data;
  }
  // Waits, until `deadline` (ms) at most, for the first keymap.
  virtual bool WaitForKeymap(long long deadline) = 0;

  bool has_keymap() const { return has_keymap_; }
  const xkb::LockKeys& keys() const { return keys_; }

 protected:
  // Questions up to number `last` are answered.
  void TakeAnswers(unsigned last) {
    answered_ = last;
    if (listener_ != nullptr) listener_(listener_data_);
  }

  unsigned asked_ = 0, answered_ = 0;
  void (*listener_)(void*) = nullptr;
  void* listener_data_ = nullptr;

  // Decides the lock keys anew from `keymap` (null: none could be read).
  void TakeKeymap(xkb_keymap* keymap) {
    keys_ = xkb::FindLockKeys(keymap);
    has_keymap_ = true;
    lib::xkb_keymap_unref(keymap);
  }
  xkb_context* context() {
    if (!context_) context_.reset(lib::xkb_context_new(XKB_CONTEXT_NO_DEFAULT_INCLUDES));
    return context_.get();
  }

 private:
  std::unique_ptr<xkb_context, ContextUnref> context_;
  xkb::LockKeys keys_;
  bool has_keymap_ = false;
};

// The compositor's connection. The seat's keyboard sends its keymap to every
// client, focused or not, and again whenever the user changes it.
class WaylandSession final : public KeymapSession {
 public:
  explicit WaylandSession(wl_display* display)
      : display_(display),
        registry_(
            Request<wl_registry>(display, WL_DISPLAY_GET_REGISTRY, lib::wl_registry_interface)) {
    Listen(registry_, &kRegistry, this);
  }
  ~WaylandSession() override {
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

  bool DispatchPending() override {
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

  bool DispatchQueued() override { return lib::wl_display_get_error(display_) == 0; }

  // A seat offers a keyboard only once it has one, which may be ours. A
  // desktop still starting up can leave a round trip unanswered for seconds:
  // only a lost connection ends the wait early.
  bool WaitForKeymap(long long deadline) override {
    while (!has_keymap() && NowMs() < deadline) {
      if (!Sync() && lib::wl_display_get_error(display_) != 0) return false;
      pollfd connection{socket(), POLLIN, 0};
      if (!has_keymap()) ::poll(&connection, 1, 50 < MsUntil(deadline) ? 50 : MsUntil(deadline));
    }
    return has_keymap();
  }

  void Ask() override {
    wl_callback* done = Request<wl_callback>(display_, WL_DISPLAY_SYNC, lib::wl_callback_interface);
    Listen(done, &kAnswered, this);
    lib::wl_display_flush(display_);
    ++asked_;
  }

  bool Sync() override {
    Ask();
    const unsigned question = asked_;
    const auto answered = [&] { return static_cast<int>(answered_ - question) >= 0; };
    for (const long long deadline = NowMs() + kSyncWaitMs; !answered() && NowMs() < deadline;) {
      pollfd connection{socket(), POLLIN, 0};
      ::poll(&connection, 1, MsUntil(deadline));
      if (!DispatchPending()) break;
    }
    return answered();
  }

 private:
  int socket() const { return lib::wl_display_get_fd(display_); }

  static void Answered(void* data, wl_callback* done, uint32_t) {
    Destroy(done);
    auto* self = static_cast<WaylandSession*>(data);
    self->TakeAnswers(self->answered_ + 1);
  }
  static void Global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                     uint32_t) {
    auto* self = static_cast<WaylandSession*>(data);
    if (self->seat_ != nullptr || std::strcmp(interface, lib::wl_seat_interface->name) != 0) return;
    self->seat_ = static_cast<wl_seat*>(Bind(registry, name, lib::wl_seat_interface, 1));
    Listen(self->seat_, &kSeat, self);
  }
  static void GlobalRemove(void*, wl_registry*, uint32_t) {}
  static void Capabilities(void* data, wl_seat* seat, uint32_t capabilities) {
    auto* self = static_cast<WaylandSession*>(data);
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

  wl_display* display_;
  wl_registry* registry_;
  wl_seat* seat_ = nullptr;
  wl_keyboard* keyboard_ = nullptr;
};

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

  bool WaitForKeymap(long long) override {
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

// Creates the virtual keyboard; returns its descriptor, or -1 and says why.
int CreateDevice(Why& why) {
  const int fd = ::open(kDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    why << "no access to " << kDevice << ": ";
    why.Error(errno) << " (see README: Wayland)";
    return -1;
  }
  // A full set of keys: udev and libinput take only such a device for a keyboard.
  bool ok = ::ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0 && ::ioctl(fd, UI_SET_EVBIT, EV_LED) == 0;
  for (int key = KEY_ESC; ok && key <= KEY_MICMUTE; ++key)
    ok = ::ioctl(fd, UI_SET_KEYBIT, key) == 0;
  for (const LockLed& lock : kUinputLocks) ok = ok && ::ioctl(fd, UI_SET_LEDBIT, lock.led) == 0;
  uinput_setup setup{};
  setup.id = {BUS_VIRTUAL, 0x0001, 0x0001, 1};
  std::strncpy(setup.name, kName, UINPUT_MAX_NAME_SIZE - 1);
  if (!ok || ::ioctl(fd, UI_DEV_SETUP, &setup) != 0 || ::ioctl(fd, UI_DEV_CREATE) != 0) {
    why << "cannot create a virtual keyboard with " << kDevice << ": ";
    why.Error(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

// The evdev node ("event5") of the input device `sysname` ("input7").
std::string EventNode(const char* sysname) {
  const std::string dir = std::string("/sys/devices/virtual/input/") + sysname;
  std::string node;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* entry = ::readdir(d)) {
      if (std::strncmp(entry->d_name, "event", 5) == 0) node = entry->d_name;
    }
    ::closedir(d);
  }
  return node;
}

// The virtual keyboard, and the LEDs as the seat last wrote them.
class VirtualKeyboard {
 public:
  explicit VirtualKeyboard(int fd) : fd_(fd) {
    if (::ioctl(fd, UI_GET_SYSNAME(sizeof sysname_ - 1), sysname_) < 0) sysname_[0] = '\0';
  }
  ~VirtualKeyboard() {
    if (fd_ >= 0) ::close(fd_);
  }
  VirtualKeyboard(const VirtualKeyboard&) = delete;
  VirtualKeyboard& operator=(const VirtualKeyboard&) = delete;

  // A press of a lock key flips `led`, which the seat then writes back.
  void Key(int key, bool press, int led) {
    const input_event events[2] = {{{}, EV_KEY, static_cast<__u16>(key), press ? 1 : 0},
                                   {{}, EV_SYN, SYN_REPORT, 0}};
    (void)!::write(fd_, events, sizeof events);
    if (press) ++awaited_[led];
  }

  // Before a read: waits (at most a second) for the LED writes that earlier
  // presses are still owed, so that a read after a change sees the change.
  void AwaitEchoes() {
    for (const long long end = NowMs() + kEchoWaitMs; Awaiting() && NowMs() < end;) {
      ReadLedsBy(end);
    }
    for (int& count : awaited_) count = 0;
  }

  // Takes in the LED writes that have arrived; returns how many there were.
  int ReadLeds() {
    input_event events[16];
    int leds = 0;
    ssize_t n;
    while ((n = ::read(fd_, events, sizeof events)) > 0) {
      for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
        if (events[i].type != EV_LED || events[i].code >= kLeds) continue;
        lit_ = events[i].value ? lit_ | 1u << events[i].code : lit_ & ~(1u << events[i].code);
        if (awaited_[events[i].code] > 0) --awaited_[events[i].code];
        ++leds;
      }
    }
    return leds;
  }

  bool Lit(int led) const { return (lit_ >> led) & 1u; }
  const char* sysname() const { return sysname_; }

  // Waits until the seat has taken the keyboard up, without a key: the
  // device first lights its own LEDs; the compositor then opens its node
  // (seen through `watch`, inotify on /dev/input) and writes the seat's
  // LEDs to it, which shows as a change. Then waits until the LEDs are quiet.
  bool WaitUntilLive(int watch) {
    const std::string node = EventNode(sysname_);
    for (const long long end = NowMs() + kConsoleWriteMs; NowMs() < end;) ReadLedsBy(end);
    SetOwnLeds(kAllLit);
    // Opens of the node not closed yet; without a watch, taken as open.
    int held = watch < 0 ? 1 : 0;
    long long opened_at = NowMs();
    bool live = false;
    for (const long long deadline = NowMs() + kLiveWaitMs; !live && NowMs() < deadline;) {
      pollfd wait[2] = {{fd_, POLLIN, 0}, {watch, POLLIN, 0}};
      const long long until = held > 0 ? opened_at + kHeldOpenMs : deadline;
      ::poll(wait, 2, MsUntil(until < deadline ? until : deadline));
      const int was_held = held;
      held += Opens(watch, node);
      if (held > 0 && was_held == 0) opened_at = NowMs();
      live = (ReadLeds() > 0 && held > 0) || (held > 0 && NowMs() >= opened_at + kHeldOpenMs);
    }
    if (live) Settle();
    return live;
  }

  // Waits for LED writes until `deadline` (ms) at most; returns how many came.
  int ReadLedsBy(long long deadline) {
    pollfd wait{fd_, POLLIN, 0};
    ::poll(&wait, 1, MsUntil(deadline));
    return ReadLeds();
  }

  // Waits until the LEDs have been quiet for `quiet_ms` (or, while another
  // program keeps changing them, for 3 s at most); what is still owed then
  // will not come.
  void Settle(int quiet_ms = kSettleMs) {
    const long long end = NowMs() + 3'000;
    for (long long quiet_until = NowMs() + quiet_ms; NowMs() < quiet_until && NowMs() < end;) {
      if (ReadLedsBy(quiet_until < end ? quiet_until : end) > 0) quiet_until = NowMs() + quiet_ms;
    }
    for (int& count : awaited_) count = 0;
  }

 private:
  // The kernel passes on only LED writes that change a device's LEDs: lit
  // LEDs of its own make the seat's first write show.
  void SetOwnLeds(unsigned lit) {
    input_event events[kLeds + 1] = {};
    for (int led = 0; led < kLeds; ++led) {
      events[led] = {{}, EV_LED, static_cast<__u16>(led), static_cast<__s32>((lit >> led) & 1u)};
    }
    events[kLeds] = {{}, EV_SYN, SYN_REPORT, 0};
    (void)!::write(fd_, events, sizeof events);
    ReadLeds();
    lit_ = lit;
  }

  // Opens minus closes of `node` that `watch` has reported since last asked.
  static int Opens(int watch, const std::string& node) {
    alignas(inotify_event) char buffer[4096];
    int opens = 0;
    ssize_t n;
    while ((n = ::read(watch, buffer, sizeof buffer)) > 0) {
      for (char* at = buffer; at < buffer + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len > 0 && node == event->name) {
          if ((event->mask & IN_OPEN) != 0) ++opens;
          if ((event->mask & IN_CLOSE) != 0) --opens;
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
    return opens;
  }

  bool Awaiting() const {
    for (int count : awaited_) {
      if (count > 0) return true;
    }
    return false;
  }

  static constexpr int kLeds = LED_SCROLLL + 1;
  int fd_ = -1;
  char sysname_[32] = {};
  unsigned lit_ = 0;         // bit n: LED n is lit
  int awaited_[kLeds] = {};  // LED writes owed to presses, per LED
};

// Reads the seat's locks from the keyboards' LEDs, and changes nothing.
class SeatReader final : public KeyboardServices {
 public:
  explicit SeatReader(pid_t compositor) : compositor_(compositor) {}

  std::int16_t GetKeyState(int vk) override {
    const LockLed* lock = Find(vk);
    return lock != nullptr && (ReadSeatLeds(compositor_, nullptr).lit >> lock->led) & 1u ? 1 : 0;
  }
  void keybd_event(VirtualKey, std::uint8_t, std::uint32_t, std::uintptr_t) override {}
  void PumpEvents() override {}

 private:
  pid_t compositor_;
};

// Taps only the keys the keymap in force makes plainly the locks.
class UinputKeyboard final : public KeyboardServices {
 public:
  UinputKeyboard(VirtualKeyboard& device, KeymapSession& session, posix::PosixHost& host)
      : device_(device), session_(session), host_(host) {
    session_.SetAnswerListener(
        [](void* self) { static_cast<UinputKeyboard*>(self)->SendAnswered(); }, this);
  }
  ~UinputKeyboard() override {
    Flush();
    session_.SetAnswerListener(nullptr, nullptr);
  }
  UinputKeyboard(const UinputKeyboard&) = delete;
  UinputKeyboard& operator=(const UinputKeyboard&) = delete;

  // What the seat's other keyboards show, once the compositor has answered
  // the last tap: under sway a new keyboard's own LEDs can disagree with its
  // group's for a while. Its own LEDs where it is the only one. The
  // compositor writes its keyboards one after another, so right after a tap
  // the others may not show it yet, though ours does: for a lock tapped since
  // it was last read, they are read again until they agree with ours (half a
  // second at most).
  std::int16_t GetKeyState(int vk) override {
    const LockLed* lock = Find(vk);
    Flush();
    device_.AwaitEchoes();
    if (lock == nullptr) return 0;
    const unsigned bit = 1u << lock->led;
    SeatLeds seat;
    for (const long long end = NowMs() + kAgreeWaitMs;;) {
      seat = ReadSeatLeds(session_.compositor(), device_.sysname());
      const bool agree = ((seat.lit & bit) != 0) == device_.Lit(lock->led);
      if ((tapped_ & bit) == 0 || !seat.seen || agree || NowMs() >= end) break;
      device_.ReadLedsBy(std::min(end, NowMs() + 10));
    }
    tapped_ &= ~bit;
    return (seat.seen ? (seat.lit & bit) != 0 : device_.Lit(lock->led)) ? 1 : 0;
  }

  // The compositor reads a key with the keymap it has when it gets to it,
  // which may be newer than the one the program has: one it is still loading
  // while taps queue up turns a queued Caps Lock into BackSpace. So a tap
  // waits until the compositor has answered a question asked after it, which
  // brings any new keymap first, and goes out, press and release, the moment
  // the answer comes, with the key the keymap has then. The wait blocks
  // nothing: a step that waited would let its own timer fall due again inside
  // it, and flip its lock twice. Taps that wait go out in the order they were
  // made, so the locks change in the wave's order even after a stall. Once
  // those waiting flip every lock an even number of times (whole rounds of
  // the wave piled up in a stall), they would leave the locks as they are:
  // none of them is sent, and the locks come out of the stall where the wave is.
  void keybd_event(VirtualKey vk, std::uint8_t, std::uint32_t flags, std::uintptr_t) override {
    const LockLed* lock = Find(vk);
    if (lock == nullptr || (flags & KEYEVENTF_KEYUP) != 0) return;  // (sent with its press)
    if (session_.keys().keycode[lock->lock] == 0) return;
    if (waiting_count_ == kMostWaiting) Flush();
    waiting_[waiting_count_++] = {lock, session_.asked() + 1};
    unsigned flipped = 0;
    for (std::size_t t = 0; t < waiting_count_; ++t) flipped ^= 1u << waiting_[t].lock->led;
    if (flipped == 0) {
      waiting_count_ = 0;
      return;
    }
    session_.Ask();
  }

  // The LED echoes are taken in here, at each step, never woken for.
  void PumpEvents() override {
    device_.ReadLeds();
    host_.PumpEvents();
  }

  // Sends every tap still waiting, once the compositor has answered all
  // asked; where it does not answer in time, none.
  void Flush() {
    if (waiting_count_ == 0) return;
    if (session_.Sync()) {
      SendAnswered(true);
    } else {
      waiting_count_ = 0;
    }
  }

  // A keyboard joining the seat may reset its locks (sway does): those that
  // the seat's keyboards showed lit before and ours shows dark now are put
  // back. Sway, for a while after a keyboard joins, takes each of its keys
  // twice: this waits that out, and looks again once the LEDs are quiet
  // (three times at most).
  void PutBack(const SeatLeds& before) {
    const auto reset = [&](const LockLed& lock) {
      return ((before.lit >> lock.led) & 1u) != 0 && GetKeyState(lock.vk) == 0;
    };
    if (!before.seen ||
        !(reset(kUinputLocks[0]) || reset(kUinputLocks[1]) || reset(kUinputLocks[2]))) {
      return;
    }
    device_.Settle(kJoinedMs);
    for (int round = 0; round < 3; ++round) {
      bool tapped = false;
      for (const LockLed& lock : kUinputLocks) {
        if (!reset(lock)) continue;
        keybd_event(lock.vk, kLockScanCode, KEYEVENTF_EXTENDEDKEY, 0);
        keybd_event(lock.vk, kLockScanCode, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
        tapped = true;
      }
      if (!tapped) return;
      Flush();
      device_.Settle();
    }
  }

 private:
  struct Tap {
    const LockLed* lock;
    unsigned question;  // asked with it
  };

  // Sends the taps whose question has been answered (`all`: every one), in
  // order, each on the key the keymap has for its lock now, if any.
  void SendAnswered(bool all = false) {
    std::size_t sent = 0;
    for (; sent < waiting_count_; ++sent) {
      const Tap& tap = waiting_[sent];
      if (!all && static_cast<int>(session_.answered() - tap.question) < 0) break;
      const xkb_keycode_t code = session_.keys().keycode[tap.lock->lock];
      if (code <= 8) continue;
      device_.Key(static_cast<int>(code - 8), true, tap.lock->led);
      device_.Key(static_cast<int>(code - 8), false, tap.lock->led);
      tapped_ |= 1u << tap.lock->led;
    }
    std::copy(waiting_ + sent, waiting_ + waiting_count_, waiting_);
    waiting_count_ -= sent;
  }

  VirtualKeyboard& device_;
  KeymapSession& session_;
  posix::PosixHost& host_;
  // A chase's rounds cancel within six taps; other callers wait for room.
  static constexpr std::size_t kMostWaiting = 8;
  Tap waiting_[kMostWaiting] = {};
  std::size_t waiting_count_ = 0;
  unsigned tapped_ = 0;  // bit n: LED n's lock tapped since it was last read
};

class UinputPlatform final : public Platform {
 public:
  UinputPlatform(std::unique_ptr<KeymapSession> session, int device)
      : session_(std::move(session)),
        device_(device),
        host_(session_.get()),
        keyboard_(device_, *session_, host_) {}

  VirtualKeyboard& device() { return device_; }
  KeymapSession& session() { return *session_; }
  UinputKeyboard& uinput_keyboard() { return keyboard_; }
  KeyboardServices& keyboard() override { return keyboard_; }
  HostRuntime& host() override { return host_; }

 private:
  std::unique_ptr<KeymapSession> session_;
  VirtualKeyboard device_;
  posix::PosixHost host_;
  UinputKeyboard keyboard_;
};

class ReaderPlatform final : public Platform {
 public:
  explicit ReaderPlatform(std::unique_ptr<KeymapSession> session)
      : session_(std::move(session)), keyboard_(session_ ? session_->compositor() : 0) {}

  KeyboardServices& keyboard() override { return keyboard_; }
  HostRuntime& host() override { return host_; }

 private:
  std::unique_ptr<KeymapSession> session_;
  SeatReader keyboard_;
  posix::PosixHost host_{nullptr};
};

std::unique_ptr<KeymapSession> ConnectWayland(const char* name, Why& why) {
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
  return std::make_unique<WaylandSession>(display);
}

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

}  // namespace

std::unique_ptr<Platform> Open(const Session& where, Use use, Why& why) {
  if (!lib::LoadLibraries(why)) return nullptr;
  std::unique_ptr<KeymapSession> session;
  if (where.wayland_display != nullptr) {
    session = ConnectWayland(where.wayland_display, why);
  } else if (where.xwayland_display != nullptr) {
    session = ConnectXwayland(where.xwayland_display, why);
  }
  if (!session && !why.empty()) return nullptr;
  if (use == Use::kRead) return std::make_unique<ReaderPlatform>(std::move(session));
  if (!session) {
    why << "no compositor named (WAYLAND_DISPLAY) whose keymap says which keys are the locks";
    return nullptr;
  }

  const SeatLeds before = ReadSeatLeds(session->compositor(), nullptr);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const bool watching = ::inotify_add_watch(watch, "/dev/input", IN_OPEN | IN_CLOSE) >= 0;
  const int device = CreateDevice(why);
  if (device < 0) {
    if (watch >= 0) ::close(watch);
    return nullptr;
  }
  // /dev/input appears with the first input device.
  if (!watching) ::inotify_add_watch(watch, "/dev/input", IN_OPEN | IN_CLOSE);
  auto platform = std::make_unique<UinputPlatform>(std::move(session), device);
  const bool live = platform->device().WaitUntilLive(watch);
  if (watch >= 0) ::close(watch);
  if (!live) {
    why << "the virtual keyboard was not taken up by the seat within 60 s";
    return nullptr;
  }
  if (!platform->session().WaitForKeymap(NowMs() + kKeymapWaitMs)) {
    why << "the compositor sent no keymap, so no key can be tapped safely";
    return nullptr;
  }
  platform->uinput_keyboard().PutBack(before);
  return platform;
}

}  // namespace aks::uinput
