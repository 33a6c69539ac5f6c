// ledwatch: a second uinput keyboard of the seat, which prints the lock LEDs
// the seat writes to it, as "<CLOCK_MONOTONIC ms> <mask>" (bit 0 Num Lock,
// bit 1 Caps Lock, bit 2 Scroll Lock), at every change. Runs until killed.
// "ledwatch escape" also taps Escape once, 2 s after it is made (GNOME starts
// in its overview, which keeps the keyboard from a new window until then).
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

int main(int argc, char** argv) {
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
    printed = leds;
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    std::printf("%lld %u\n", ts.tv_sec * 1000LL + ts.tv_nsec / 1'000'000, leds);
    std::fflush(stdout);
  }
  return 0;
}
