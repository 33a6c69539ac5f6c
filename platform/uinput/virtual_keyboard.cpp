#include "virtual_keyboard.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "lock_leds.h"
#include "seat_leds.h"

namespace aks::uinput {
namespace {

constexpr char kDevice[] = "/dev/uinput";
constexpr char kName[] = "Action Keystate virtual keyboard";
constexpr int kLiveWaitMs = 60'000;
constexpr int kConsoleWriteMs = 30;  // the kernel's console handler writes a new keyboard's LEDs
// Opened and kept open, but no LEDs written: Hyprland writes none to a keyboard
// that joins (and none shows where the seat's LEDs are all lit, as ours are).
constexpr int kHeldOpenMs = 500;
constexpr int kLookAgainMs = 20;
static_assert(LED_SCROLLL + 1 == 3, "the LEDs kept are Num, Caps and Scroll Lock's");

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

// Opens minus closes of `node` that `watch` has reported since last asked.
int Opens(int watch, const std::string& node) {
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

}  // namespace

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

VirtualKeyboard::VirtualKeyboard(int fd) : fd_(fd) {
  if (::ioctl(fd, UI_GET_SYSNAME(sizeof sysname_ - 1), sysname_) < 0) sysname_[0] = '\0';
}

VirtualKeyboard::~VirtualKeyboard() {
  if (fd_ >= 0) ::close(fd_);
}

void VirtualKeyboard::Key(int key, bool press, int led) {
  const input_event events[2] = {{{}, EV_KEY, static_cast<__u16>(key), press ? 1 : 0},
                                 {{}, EV_SYN, SYN_REPORT, 0}};
  (void)!::write(fd_, events, sizeof events);
  if (press) ++awaited_[led];
}

void VirtualKeyboard::AwaitEchoes(int wait_ms) {
  ReadLeds();  // (an echo given up on earlier may have come since)
  for (const long long end = NowMs() + wait_ms; Awaiting() && NowMs() < end;) {
    ReadLedsBy(end);
  }
  for (int& count : awaited_) count = 0;
}

int VirtualKeyboard::ReadLeds() {
  input_event events[16];
  int leds = 0;
  ssize_t n;
  while ((n = ::read(fd_, events, sizeof events)) > 0) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
      if (events[i].type != EV_LED || events[i].code >= kLeds) continue;
      lit_ = events[i].value ? lit_ | 1u << events[i].code : lit_ & ~(1u << events[i].code);
      if (own_echoes_ > 0) {
        --own_echoes_;
        continue;
      }
      if (awaited_[events[i].code] > 0) --awaited_[events[i].code];
      ++leds;
    }
  }
  seat_wrote_ = seat_wrote_ || leds > 0;
  return leds;
}

int VirtualKeyboard::ReadLedsBy(long long deadline) {
  pollfd wait{fd_, POLLIN, 0};
  ::poll(&wait, 1, MsUntil(deadline));
  return ReadLeds();
}

bool VirtualKeyboard::WaitUntilLive(int watch, pid_t compositor) {
  const std::string node = EventNode(sysname_);
  for (const long long end = NowMs() + kConsoleWriteMs; NowMs() < end;) ReadLedsBy(end);
  SetOwnLeds(kAllLit);
  // Where the compositor's open nodes can be seen (it holds a keyboard
  // already), its own open of ours; else any open of ours not closed yet
  // (logind's too), or, without a watch, none needed.
  const bool seen = !HeldInputs(compositor).empty();
  const auto held_by_compositor = [&] {
    const std::vector<std::string> held = HeldInputs(compositor);
    return std::find(held.begin(), held.end(), sysname_) != held.end();
  };
  int opens = watch < 0 ? 1 : 0;
  bool held = false;
  long long held_since = 0;
  bool live = false;
  for (const long long deadline = NowMs() + kLiveWaitMs; !live && NowMs() < deadline;) {
    pollfd wait[2] = {{fd_, POLLIN, 0}, {watch, POLLIN, 0}};
    long long until = deadline;
    if (held) {
      until = held_since + kHeldOpenMs;
    } else if (seen && opens > 0) {
      until = NowMs() + kLookAgainMs;  // (logind hands the compositor its node a moment later)
    }
    ::poll(wait, 2, MsUntil(until < deadline ? until : deadline));
    opens += Opens(watch, node);
    ReadLeds();
    const bool now_held = opens > 0 && (!seen || held_by_compositor());
    if (now_held && !held) held_since = NowMs();
    held = now_held;
    live = held && (seat_wrote_ || NowMs() >= held_since + kHeldOpenMs);
  }
  if (live) Settle();
  return live;
}

void VirtualKeyboard::Settle(int quiet_ms) {
  const long long end = NowMs() + 3'000;
  for (long long quiet_until = NowMs() + quiet_ms; NowMs() < quiet_until && NowMs() < end;) {
    if (ReadLedsBy(quiet_until < end ? quiet_until : end) > 0) quiet_until = NowMs() + quiet_ms;
  }
  for (int& count : awaited_) count = 0;
}

void VirtualKeyboard::SetOwnLeds(unsigned lit) {
  ReadLeds();
  // Each LED that changes comes back at once, before anything the seat
  // writes after it; the kernel passes on no LED write that changes nothing.
  own_echoes_ = __builtin_popcount((lit ^ lit_) & kAllLit);
  seat_wrote_ = false;
  input_event events[kLeds + 1] = {};
  for (int led = 0; led < kLeds; ++led) {
    events[led] = {{}, EV_LED, static_cast<__u16>(led), static_cast<__s32>((lit >> led) & 1u)};
  }
  events[kLeds] = {{}, EV_SYN, SYN_REPORT, 0};
  (void)!::write(fd_, events, sizeof events);
  ReadLeds();
}

bool VirtualKeyboard::Awaiting() const {
  for (int count : awaited_) {
    if (count > 0) return true;
  }
  return false;
}

}  // namespace aks::uinput
