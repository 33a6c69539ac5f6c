#include "seat_leds.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace aks::uinput {
namespace {

constexpr const char* kLedNames[] = {"numlock", "capslock", "scrolllock"};

std::string ReadLink(const std::string& path) {
  char target[256];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

std::string Basename(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Lists the entries of `dir` whose names start with `prefix`.
std::vector<std::string> Entries(const std::string& dir, const char* prefix) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* entry = ::readdir(d)) {
      if (std::strncmp(entry->d_name, prefix, std::strlen(prefix)) == 0)
        names.push_back(entry->d_name);
    }
    ::closedir(d);
  }
  return names;
}

std::vector<std::string> AllKeyboards() {
  std::vector<std::string> inputs;
  for (const std::string& led : Entries("/sys/class/leds", "input")) {
    const std::size_t end = led.find("::numlock");
    if (end != std::string::npos && end + 9 == led.size()) inputs.push_back(led.substr(0, end));
  }
  return inputs;
}

// Reads one LED's brightness: 1 lit, 0 dark, -1 where there is none.
int Brightness(const std::string& input, const char* led) {
  const std::string path = "/sys/class/leds/" + input + "::" + led + "/brightness";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char value[8] = {};
  const ssize_t n = ::read(fd, value, sizeof value - 1);
  ::close(fd);
  return n > 0 ? value[0] != '0' : -1;
}

// Reads the lock LEDs of `inputs`, but for `skip`.
SeatLeds ReadLeds(const std::vector<std::string>& inputs, const char* skip) {
  SeatLeds leds;
  for (const std::string& input : inputs) {
    if (skip != nullptr && input == skip) continue;
    for (unsigned led = 0; led < 3; ++led) {
      const int lit = Brightness(input, kLedNames[led]);
      if (lit < 0) continue;
      leds.seen = true;
      if (lit == 1) leds.lit |= 1u << led;
    }
  }
  return leds;
}

}  // namespace

std::vector<std::string> HeldInputs(pid_t pid) {
  std::vector<std::string> inputs;
  if (pid <= 0) return inputs;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const std::string& fd : Entries(fds, "")) {
    const std::string node = ReadLink(fds + "/" + fd);
    if (node.rfind("/dev/input/event", 0) != 0) continue;
    const std::string input = Basename(ReadLink("/sys/class/input/" + Basename(node) + "/device"));
    if (!input.empty()) inputs.push_back(input);
  }
  return inputs;
}

SeatLeds ReadSeatLeds(pid_t compositor, const char* skip) {
  const SeatLeds held = ReadLeds(HeldInputs(compositor), skip);
  return held.seen ? held : ReadLeds(AllKeyboards(), skip);
}

}  // namespace aks::uinput
