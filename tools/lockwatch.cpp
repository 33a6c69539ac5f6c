// lockwatch: follows the lock indicators of the X server named by DISPLAY,
// from a connection of its own.
//
//   lockwatch [--live] [--seconds N]
//
// --live redraws one line such as "Num ● Caps ○ Scroll ○" at every change.
// Otherwise each change is one line "<CLOCK_MONOTONIC ns> <Num> <Caps> <Scroll>",
// e.g. "81234567890 1 0 1". Runs for N seconds, or until interrupted.
#include <X11/Xlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "x11_probe.h"

namespace {

long long MonotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

void Print(const aks::tools::Lit& lit, bool live) {
  if (live) {
    auto light = [](bool on) { return on ? "\u25cf" : "\u25cb"; };
    std::printf("\r\033[KNum %s  Caps %s  Scroll %s", light(lit.num), light(lit.caps),
                light(lit.scroll));
  } else {
    std::printf("%lld %d %d %d\n", MonotonicNs(), lit.num, lit.caps, lit.scroll);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  bool live = false;
  double seconds = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--live") == 0) {
      live = true;
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: lockwatch [--live] [--seconds N]\n");
      return 2;
    }
  }
  aks::tools::XProbe probe;
  if (!probe.ok()) {
    std::fprintf(stderr, "lockwatch: cannot open display\n");
    return 1;
  }
  ::XSetIOErrorHandler([](Display*) -> int { ::_exit(0); });

  using Clock = std::chrono::steady_clock;
  const auto end = seconds > 0 ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(seconds))
                               : Clock::time_point::max();
  Print(probe.Read(), live);
  while (Clock::now() < end) {
    const auto left =
        end == Clock::time_point::max()
            ? std::chrono::milliseconds(60'000)
            : std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (auto lit = probe.NextChange(left)) Print(*lit, live);
  }
  if (live) std::printf("\n");
  return 0;
}
