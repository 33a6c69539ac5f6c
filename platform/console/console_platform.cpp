#include "console_platform.h"

#include <fcntl.h>
#include <linux/kd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "posix_host.h"

namespace aks::console {
namespace {

// The kernel's flag for each lock; not the LockIndex order.
unsigned char LockFlag(int vk) {
  switch (vk) {
    case VK_NUMLOCK:
      return LED_NUM;
    case VK_CAPITAL:
      return LED_CAP;
    case VK_SCROLL:
      return LED_SCR;
    default:
      return 0;
  }
}

// Opens a console whose lock flags can be read and written, or says why not.
int OpenConsole(const char* path, Why& why) {
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    (why << "no access to " << path << ": ").Error(errno);
    return -1;
  }
  char flags = 0;
  if (::ioctl(fd, KDGKBLED, &flags) != 0 ||
      ::ioctl(fd, KDSKBLED, static_cast<unsigned long>(static_cast<unsigned char>(flags))) != 0) {
    (why << path << " is not a usable virtual console: ").Error(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

class ConsoleKeyboard final : public KeyboardServices {
 public:
  ConsoleKeyboard(int fd, posix::PosixHost& host) : fd_(fd), host_(host) {}

  std::int16_t GetKeyState(int vk) override { return (ReadFlags() & LockFlag(vk)) != 0 ? 1 : 0; }

  void keybd_event(VirtualKey vk, std::uint8_t, std::uint32_t flags, std::uintptr_t) override {
    const unsigned char lock = LockFlag(vk);
    if (lock == 0 || (flags & KEYEVENTF_KEYUP) != 0) return;
    // The default flags in bits 4-6 go back as they came.
    ::ioctl(fd_, KDSKBLED, static_cast<unsigned long>(ReadFlags() ^ lock));
  }

  void PumpEvents() override { host_.PumpEvents(); }

 private:
  unsigned char ReadFlags() {
    char flags = 0;
    ::ioctl(fd_, KDGKBLED, &flags);
    return static_cast<unsigned char>(flags);
  }

  int fd_;
  posix::PosixHost& host_;
};

class ConsolePlatform final : public Platform {
 public:
  explicit ConsolePlatform(int fd) : fd_(fd), host_(nullptr), keyboard_(fd, host_) {}
  ~ConsolePlatform() override { ::close(fd_); }
  ConsolePlatform(const ConsolePlatform&) = delete;
  ConsolePlatform& operator=(const ConsolePlatform&) = delete;

  KeyboardServices& keyboard() override { return keyboard_; }
  HostRuntime& host() override { return host_; }

 private:
  int fd_;
  posix::PosixHost host_;
  ConsoleKeyboard keyboard_;
};

}  // namespace

std::unique_ptr<Platform> Open(Why& why, Use) {
  int fd = OpenConsole("/dev/tty0", why);
  if (fd < 0) {
    Why ignored;  // the first reason is the one worth telling
    fd = OpenConsole("/dev/tty", ignored);
  }
  if (fd < 0) return nullptr;
  return std::make_unique<ConsolePlatform>(fd);
}

}  // namespace aks::console
