#include "uinput_platform.h"

#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client-core.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "keystate/modActionKeystate.h"
#include "posix_host.h"

namespace aks::uinput {
namespace {

constexpr char kDevice[] = "/dev/uinput";
constexpr char kName[] = "Action Keystate virtual keyboard";
constexpr int kLiveWaitMs = 60'000;
constexpr int kProbeEveryMs = 1'000;
constexpr int kSettleMs = 250;  // quiet on the LEDs once live
constexpr int kEchoWaitMs = 1'000;

struct LockKey {
  VirtualKey vk;
  int key;
  int led;
};
constexpr LockKey kUinputLocks[kLockCount] = {{VK_NUMLOCK, KEY_NUMLOCK, LED_NUML},
                                              {VK_SCROLL, KEY_SCROLLLOCK, LED_SCROLLL},
                                              {VK_CAPITAL, KEY_CAPSLOCK, LED_CAPSL}};

long long NowMs() { return posix::MonotonicNow() / 1'000'000; }

const LockKey* Find(int vk) {
  for (const LockKey& lock : kUinputLocks) {
    if (lock.vk == vk) return &lock;
  }
  return nullptr;
}

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
  for (const LockKey& lock : kUinputLocks) ok = ok && ::ioctl(fd, UI_SET_LEDBIT, lock.led) == 0;
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

// The virtual keyboard, and the LEDs as the seat last wrote them.
class VirtualKeyboard {
 public:
  explicit VirtualKeyboard(int fd) : fd_(fd) {}
  ~VirtualKeyboard() {
    if (fd_ >= 0) ::close(fd_);
  }

  int fd() const { return fd_; }

  // A press of a lock key flips its LED, which the seat then writes back.
  void Key(int key, bool press) {
    const input_event events[2] = {{{}, EV_KEY, static_cast<__u16>(key), press ? 1 : 0},
                                   {{}, EV_SYN, SYN_REPORT, 0}};
    (void)!::write(fd_, events, sizeof events);
    for (const LockKey& lock : kUinputLocks) {
      if (press && lock.key == key && lock.led != LED_SCROLLL) ++awaited_[lock.led];
    }
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
        if (events[i].type != EV_LED || events[i].code >= 32) continue;
        lit_ = events[i].value ? lit_ | 1u << events[i].code : lit_ & ~(1u << events[i].code);
        if (events[i].code < kLeds && awaited_[events[i].code] > 0) --awaited_[events[i].code];
        ++leds;
      }
    }
    return leds;
  }

  // Waits for LED writes until `deadline` (ms) at most; returns how many came.
  int ReadLedsBy(long long deadline) {
    pollfd wait{fd_, POLLIN, 0};
    ::poll(&wait, 1, static_cast<int>(deadline > NowMs() ? deadline - NowMs() : 0));
    return ReadLeds();
  }

  bool Lit(int led) const { return (lit_ >> led) & 1u; }

  // Waits until the seat has taken the keyboard up, probing with a Num Lock
  // tap and its undoing every second, then until its LEDs are quiet.
  bool WaitUntilLive() {
    const long long deadline = NowMs() + kLiveWaitMs;
    long long next_probe = NowMs();
    bool live = false;
    while (!live && NowMs() < deadline) {
      if (NowMs() >= next_probe) {
        for (int i = 0; i < 4; ++i) Key(KEY_NUMLOCK, i % 2 == 0);
        next_probe = NowMs() + kProbeEveryMs;
      }
      live = ReadLedsBy(next_probe) > 0;
    }
    for (long long quiet_until = NowMs() + kSettleMs; live && NowMs() < quiet_until;) {
      if (ReadLedsBy(quiet_until) > 0) quiet_until = NowMs() + kSettleMs;
    }
    for (int& count : awaited_) count = 0;  // probes the seat missed are owed nothing
    return live;
  }

 private:
  bool Awaiting() const {
    for (int count : awaited_) {
      if (count > 0) return true;
    }
    return false;
  }

  static constexpr int kLeds = LED_SCROLLL + 1;
  int fd_ = -1;
  unsigned lit_ = 0;         // bit n: LED n is lit
  int awaited_[kLeds] = {};  // LED writes owed to presses, per LED
};

// The compositor's connection: the session lives as long as it does.
class WaylandSession final : public posix::NativeWindow {
 public:
  explicit WaylandSession(wl_display* display) : display_(display) {}
  ~WaylandSession() override { ::wl_display_disconnect(display_); }
  WaylandSession(const WaylandSession&) = delete;
  WaylandSession& operator=(const WaylandSession&) = delete;

  void Create(const char*) override {}
  void Hide() override {}
  int fd() const override { return ::wl_display_get_fd(display_); }

  bool DispatchPending() override {
    while (::wl_display_prepare_read(display_) != 0) ::wl_display_dispatch_pending(display_);
    pollfd connection{fd(), POLLIN, 0};
    if (::poll(&connection, 1, 0) > 0) {
      if ((connection.revents & (POLLHUP | POLLERR)) != 0 ||
          ::wl_display_read_events(display_) != 0) {
        ::wl_display_cancel_read(display_);
        return false;
      }
    } else {
      ::wl_display_cancel_read(display_);
    }
    return ::wl_display_dispatch_pending(display_) >= 0;
  }

  bool DispatchQueued() override { return ::wl_display_get_error(display_) == 0; }

 private:
  wl_display* display_;
};

class UinputKeyboard final : public KeyboardServices {
 public:
  UinputKeyboard(VirtualKeyboard& device, posix::PosixHost& host) : device_(device), host_(host) {}

  std::int16_t GetKeyState(int vk) override {
    const LockKey* lock = Find(vk);
    device_.AwaitEchoes();
    return lock != nullptr && device_.Lit(lock->led) ? 1 : 0;
  }

  void keybd_event(VirtualKey vk, std::uint8_t, std::uint32_t flags, std::uintptr_t) override {
    if (const LockKey* lock = Find(vk)) device_.Key(lock->key, (flags & KEYEVENTF_KEYUP) == 0);
  }

  // The LED echoes are taken in here, at each step, never woken for.
  void PumpEvents() override {
    device_.ReadLeds();
    host_.PumpEvents();
  }

 private:
  VirtualKeyboard& device_;
  posix::PosixHost& host_;
};

class UinputPlatform final : public Platform {
 public:
  UinputPlatform(int device, wl_display* session)
      : session_(session ? std::make_unique<WaylandSession>(session) : nullptr),
        device_(device),
        host_(session_.get()),
        keyboard_(device_, host_) {}

  VirtualKeyboard& device() { return device_; }
  KeyboardServices& keyboard() override { return keyboard_; }
  HostRuntime& host() override { return host_; }

 private:
  std::unique_ptr<WaylandSession> session_;
  VirtualKeyboard device_;
  posix::PosixHost host_;
  UinputKeyboard keyboard_;
};

}  // namespace

std::unique_ptr<Platform> Open(const char* wayland_display, Why& why) {
  const int device = CreateDevice(why);
  if (device < 0) return nullptr;
  wl_display* session = nullptr;
  if (wayland_display != nullptr) {
    ::wl_log_set_handler_client([](const char*, va_list) {});  // we say it in our line
    session = ::wl_display_connect(wayland_display);
    if (session == nullptr) {
      const int error = errno;
      ::close(device);
      why << "cannot connect to the compositor \"" << wayland_display << "\": ";
      if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
        why << "XDG_RUNTIME_DIR is not set";
      } else {
        why.Error(error);
      }
      return nullptr;
    }
  }
  auto platform = std::make_unique<UinputPlatform>(device, session);
  if (!platform->device().WaitUntilLive()) {
    why << "the virtual keyboard was not taken up by the seat within 60 s";
    return nullptr;
  }
  return platform;
}

}  // namespace aks::uinput
