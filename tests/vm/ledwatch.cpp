// ledwatch: a second uinput keyboard of the seat, which prints the lock LEDs
// the seat writes to it, as "<CLOCK_MONOTONIC ms> <mask>" (bit 0 Num Lock,
// bit 1 Caps Lock, bit 2 Scroll Lock), at every change. Runs until killed.
// "ledwatch escape" also taps Escape once, 2 s after it is made (GNOME starts
// in its overview, which keeps the keyboard from a new window until then).
// "ledwatch own [PROCESS]" makes no keyboard: it prints "<ms> watching", then,
// the same way, the lights of the first "Action Keystate virtual keyboard" to
// join after that, as the kernel holds them, every 5 ms (it never opens the
// keyboard itself: the program counts who opens it), until the keyboard goes;
// and "<ms> opened" once the oldest process named PROCESS holds its node open.
#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

long long NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1'000'000;
}

// "<CLOCK_MONOTONIC ms> WHAT" on a line of its own, at once.
void Say(const std::string& what) {
  std::printf("%lld %s\n", NowMs(), what.c_str());
  std::fflush(stdout);
}

// The names in folder DIR that begin with PREFIX.
std::vector<std::string> Entries(const std::string& dir, const char* prefix = "") {
  std::vector<std::string> names;
  if (DIR* listing = ::opendir(dir.c_str())) {
    while (const dirent* entry = ::readdir(listing)) {
      if (std::strncmp(entry->d_name, prefix, std::strlen(prefix)) == 0)
        names.push_back(entry->d_name);
    }
    ::closedir(listing);
  }
  return names;
}

std::string Line(const std::string& path) {
  std::string line;
  std::ifstream file(path);
  std::getline(file, line);
  return line;
}

// The oldest process named NAME, or 0 (the lowest pid: in the VM's short
// life pids only grow).
long OldestNamed(const std::string& name) {
  long oldest = 0;
  for (const std::string& entry : Entries("/proc")) {
    const long pid = std::atol(entry.c_str());
    if (pid > 0 && (oldest == 0 || pid < oldest) && Line("/proc/" + entry + "/comm") == name) {
      oldest = pid;
    }
  }
  return oldest;
}

bool Holds(long pid, const std::string& node) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
  for (const std::string& fd : Entries(fds)) {
    char target[64];
    const ssize_t n = ::readlink((fds + fd).c_str(), target, sizeof target);
    if (n > 0 && node.compare(0, std::string::npos, target, n) == 0) return true;
  }
  return false;
}

int WatchOwn(const char* process) {
  const std::vector<std::string> before = Entries("/sys/class/input", "input");
  Say("watching");
  const timespec pause{0, 5'000'000};
  std::string input;
  while (input.empty()) {
    for (const std::string& name : Entries("/sys/class/input", "input")) {
      if (std::find(before.begin(), before.end(), name) == before.end() &&
          Line("/sys/class/input/" + name + "/name") == "Action Keystate virtual keyboard") {
        input = name;
      }
    }
    ::nanosleep(&pause, nullptr);
  }
  Say("joined " + input);
  int lights[3];
  int i = 0;
  for (const char* led : {"numlock", "capslock", "scrolllock"}) {
    const std::string path = "/sys/class/leds/" + input + "::" + led + "/brightness";
    for (int tries = 0; (lights[i] = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0; ++tries) {
      if (tries == 2000) return 1;  // (the LED handler adds them a moment later)
      ::nanosleep(&pause, nullptr);
    }
    ++i;
  }
  // Who holds the node is looked for after each open of it, for 3 s (the
  // node and the compositor as soon as they are there).
  std::string node;
  long compositor = 0;
  bool held = process == nullptr;
  long long look_until = NowMs() + 3'000;
  const int opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  for (unsigned printed = ~0u;; ::nanosleep(&pause, nullptr)) {
    if (!held) {
      const std::vector<std::string> nodes =
          node.empty() ? Entries("/sys/class/input/" + input, "event") : std::vector<std::string>{};
      if (!nodes.empty() &&
          ::inotify_add_watch(opens, ("/dev/input/" + nodes[0]).c_str(), IN_OPEN) >= 0) {
        node = "/dev/input/" + nodes[0];
        look_until = NowMs() + 3'000;
      }
      alignas(inotify_event) char events[4096];
      if (::read(opens, events, sizeof events) > 0) look_until = NowMs() + 3'000;
      if (compositor == 0) compositor = OldestNamed(process);
      if (NowMs() < look_until && compositor > 0 && !node.empty() && Holds(compositor, node)) {
        Say("opened");
        held = true;
      }
    }
    unsigned leds = 0;
    for (i = 0; i < 3; ++i) {
      char text[2];  // (sysfs makes the text anew at each read from its start)
      if (::pread(lights[i], text, 1, 0) != 1) return 0;  // (the keyboard has gone)
      if (text[0] != '0') leds |= 1u << i;
    }
    if (leds != printed) Say(std::to_string(printed = leds));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "own") == 0) return WatchOwn(argc > 2 ? argv[2] : nullptr);
  const int fd = ::open("/dev/uinput", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::perror("ledwatch: /dev/uinput");
    return 1;
  }
  ::ioctl(fd, UI_SET_EVBIT, EV_KEY);
  ::ioctl(fd, UI_SET_EVBIT, EV_LED);
  for (int key = KEY_ESC; key <= KEY_MICMUTE; ++key) ::ioctl(fd, UI_SET_KEYBIT, key);
  for (int led : {LED_NUML, LED_CAPSL, LED_SCROLLL}) ::ioctl(fd, UI_SET_LEDBIT, led);
  uinput_setup setup{};
  setup.id = {BUS_VIRTUAL, 0x0001, 0x0002, 1};
  std::strcpy(setup.name, "ledwatch keyboard");
  if (::ioctl(fd, UI_DEV_SETUP, &setup) != 0 || ::ioctl(fd, UI_DEV_CREATE) != 0) {
    std::perror("ledwatch: create");
    return 1;
  }
  if (argc > 1 && std::strcmp(argv[1], "escape") == 0) {
    ::sleep(2);
    for (int value : {1, 0}) {
      const input_event tap[] = {{{}, EV_KEY, KEY_ESC, value}, {{}, EV_SYN, SYN_REPORT, 0}};
      if (::write(fd, tap, sizeof tap) != sizeof tap) std::perror("ledwatch: escape");
    }
  }
  unsigned leds = 0, printed = ~0u;
  input_event event;
  while (::read(fd, &event, sizeof event) == sizeof event) {
    if (event.type == EV_LED && event.code < 3) {
      leds = event.value ? leds | 1u << event.code : leds & ~(1u << event.code);
    }
    if (leds == printed) continue;
    Say(std::to_string(printed = leds));
  }
  return 0;
}
