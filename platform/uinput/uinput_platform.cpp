#include "uinput_platform.h"

#include <sys/inotify.h>
#include <unistd.h>

#include "keymap_session.h"
#include "lock_leds.h"
#include "posix_host.h"
#include "seat_leds.h"
#include "uinput_keyboard.h"
#include "virtual_keyboard.h"

namespace aks::uinput {
namespace {

constexpr int kKeymapWaitMs = 60'000;  // a desktop logging in under load: gnome-shell took 14 s
constexpr int kEarlyKeymapMs = 100;

// Reads the seat's locks, and changes nothing: as the compositor reports
// them where it does (KWin), else from its keyboards' LEDs. Once a run, so
// that a report's three locks are of one moment.
class SeatReader final : public KeyboardServices {
 public:
  explicit SeatReader(KeymapSession* session) : session_(session) {}

  std::int16_t GetKeyState(int vk) override {
    const LockLed* lock = FindLock(vk);
    if (lock == nullptr) return 0;
    if (!read_ && !(session_ != nullptr && session_->ReadLocks(lit_))) {
      lit_ = ReadSeatLeds(session_ != nullptr ? session_->compositor() : 0, nullptr).lit;
    }
    read_ = true;
    return (lit_ >> lock->led) & 1u ? 1 : 0;
  }
  void keybd_event(VirtualKey, std::uint8_t, std::uint32_t, std::uintptr_t) override {}
  void PumpEvents() override {}

 private:
  KeymapSession* session_;
  bool read_ = false;
  unsigned lit_ = 0;
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
      : session_(std::move(session)), keyboard_(session_.get()) {}

  KeyboardServices& keyboard() override { return keyboard_; }
  HostRuntime& host() override { return host_; }

 private:
  std::unique_ptr<KeymapSession> session_;
  SeatReader keyboard_;
  posix::PosixHost host_{nullptr};
};

}  // namespace

std::unique_ptr<Platform> Open(const Session& where, Use use, Why& why) {
  if (!lib::LoadLibraries(why)) return nullptr;
  std::unique_ptr<KeymapSession> session;
  if (where.wayland_display != nullptr) {
    session = ConnectWayland(where.wayland_display, use != Use::kRead, why);
  } else if (where.xwayland_display != nullptr) {
    session = ConnectXwayland(where.xwayland_display, why);
  }
  if (!session && !why.empty()) return nullptr;
  if (use == Use::kRead) return std::make_unique<ReaderPlatform>(std::move(session));
  if (!session) {
    why << "no compositor named (WAYLAND_DISPLAY) whose keymap says which keys are the locks";
    return nullptr;
  }

  // A keyboard joining the seat may reset its locks (sway): a change puts
  // back what was lit before it.
  const SeatLeds before =
      use == Use::kChange ? ReadSeatLeds(session->compositor(), nullptr) : SeatLeds{};
  // The keymap, where the seat already has a keyboard, while nothing waits on it.
  session->WaitForKeymap(NowMs() + kEarlyKeymapMs, /*early=*/true);
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
  const bool live = platform->device().WaitUntilLive(watch, platform->session().compositor());
  if (watch >= 0) ::close(watch);
  if (!live) {
    why << "the virtual keyboard was not taken up by the seat within 60 s";
    return nullptr;
  }
  const long long deadline = NowMs() + kKeymapWaitMs;
  if (!platform->session().WaitForKeymap(deadline, /*early=*/false)) {
    why << "the compositor sent no keymap, so no key can be tapped safely";
    return nullptr;
  }
  // Held without a light written, the keyboard may belong to a compositor
  // that has stalled (KWin, while its session starts, for 10 s and more):
  // nothing is read or tapped until it answers again.
  KeymapSession& keymaps = platform->session();
  bool answers = platform->device().seat_wrote();
  while (!answers && NowMs() < deadline && keymaps.DispatchQueued()) answers = keymaps.Sync();
  if (!answers) {
    why << "the compositor took the virtual keyboard up but stopped answering";
    return nullptr;
  }
  if (use == Use::kChange) platform->uinput_keyboard().PutBack(before);
  return platform;
}

}  // namespace aks::uinput
