#include "x11_platform.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keystate/modActionKeystate.h"
#include "posix_host.h"

namespace aks::x11 {
namespace {

struct LockKey {
  VirtualKey vk;
  KeySym keysym;
  const char* indicator;
};
constexpr LockKey kX11Locks[kLockCount] = {{VK_NUMLOCK, XK_Num_Lock, "Num Lock"},
                                           {VK_SCROLL, XK_Scroll_Lock, "Scroll Lock"},
                                           {VK_CAPITAL, XK_Caps_Lock, "Caps Lock"}};

// What the program knows of one lock on this display.
struct X11Lock {
  KeyCode keycode = 0;  // 0: not in the keymap, never touched
  Atom indicator = None;
  unsigned mask = 0;         // the indicator's bit in XkbGetIndicatorState, 0 if none
  bool set_by_hand = false;  // the keymap does not drive the indicator
  bool known = false;        // `on` holds the indicator as last read or set
  bool on = false;
};

// Keyboard state that doesn't follow from the keymap drives no indicator.
bool DrivenByKeyboard(const XkbIndicatorMapRec& map) {
  return (map.which_mods != 0 && map.mods.mask != 0) ||
         (map.which_groups != 0 && map.groups != 0) || map.ctrls != 0;
}

// Losing the server ends a program that has a window as its session ends:
// normally. A command without one has failed to finish.
int g_status_on_server_loss = 1;

int ReportIoError(Display*) {
  char line[128];
  const int n = std::snprintf(line, sizeof line, "%s: lost the connection to the X server\n",
                              program_invocation_short_name);
  if (n > 0) (void)!::write(STDERR_FILENO, line, static_cast<std::size_t>(n));
  ::_exit(g_status_on_server_loss);
}

// Protocol errors are reported once and otherwise left alone: a keyboard call
// that the server refuses simply leaves the lock as it was.
int ReportError(Display* display, XErrorEvent* error) {
  static bool reported = false;
  if (!reported) {
    reported = true;
    char text[96];
    ::XGetErrorText(display, error->error_code, text, sizeof text);
    std::fprintf(stderr, "%s: X error: %s (request %d)\n", program_invocation_short_name, text,
                 error->request_code);
  }
  return 0;
}

struct DisplayCloser {
  void operator()(Display* display) const { ::XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

class X11Keyboard final : public KeyboardServices {
 public:
  X11Keyboard(Display* display, posix::PosixHost& host) : display_(display), host_(host) {
    ResolveKeycodes();
    for (int i = 0; i < kLockCount; ++i) {
      X11Lock& lock = locks_[i];
      lock.indicator = ::XInternAtom(display, kX11Locks[i].indicator, False);
      int index = 0;
      Bool state = False, real = False;
      XkbIndicatorMapRec map{};
      if (::XkbGetNamedIndicator(display, lock.indicator, &index, &state, &map, &real) && real &&
          index >= 0 && index < XkbNumIndicators) {
        lock.mask = 1u << index;
        lock.set_by_hand = !DrivenByKeyboard(map);
        lock.known = true;
        lock.on = state;
      }
    }
  }

  std::int16_t GetKeyState(int vk) override {
    X11Lock* lock = Find(vk);
    if (lock == nullptr || lock->mask == 0) return 0;
    unsigned state = 0;
    ::XkbGetIndicatorState(display_, XkbUseCoreKbd, &state);
    lock->on = (state & lock->mask) != 0;
    lock->known = true;
    return lock->on ? 1 : 0;
  }

  void keybd_event(VirtualKey vk, std::uint8_t, std::uint32_t flags, std::uintptr_t) override {
    X11Lock* lock = Find(vk);
    if (lock == nullptr || lock->keycode == 0) return;
    const bool press = (flags & KEYEVENTF_KEYUP) == 0;
    ::XTestFakeKeyEvent(display_, lock->keycode, press, CurrentTime);
    if (press && lock->set_by_hand) {
      if (!lock->known) GetKeyState(vk);
      lock->on = !lock->on;
      ::XkbSetNamedIndicator(display_, lock->indicator, True, lock->on, False, nullptr);
    }
    ::XFlush(display_);
  }

  void PumpEvents() override { host_.PumpEvents(); }

  // Finds the lock keys in the keymap, at start and whenever it changes: a
  // keycode that no longer carries its lock keysym is never tapped.
  void ResolveKeycodes() {
    for (int i = 0; i < kLockCount; ++i) {
      locks_[i].keycode = ::XKeysymToKeycode(display_, kX11Locks[i].keysym);
    }
  }

 private:
  X11Lock* Find(int vk) {
    for (int i = 0; i < kLockCount; ++i) {
      if (kX11Locks[i].vk == vk) return &locks_[i];
    }
    return nullptr;
  }

  Display* display_;
  posix::PosixHost& host_;
  X11Lock locks_[kLockCount];
};

class X11Window final : public posix::NativeWindow {
 public:
  explicit X11Window(Display* display)
      : display_(display),
        wm_protocols_(::XInternAtom(display, "WM_PROTOCOLS", False)),
        wm_delete_window_(::XInternAtom(display, "WM_DELETE_WINDOW", False)) {}

  // The keyboard to tell when the keymap changes.
  void set_keyboard(X11Keyboard* keyboard) { keyboard_ = keyboard; }

  void Create(const char* caption) override {
    window_ = ::XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
    if (window_ == None) throw HostError("cannot create the X window");
    ::XStoreName(display_, window_, caption);
    ::XChangeProperty(display_, window_, ::XInternAtom(display_, "_NET_WM_NAME", False),
                      ::XInternAtom(display_, "UTF8_STRING", False), 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(caption),
                      static_cast<int>(std::strlen(caption)));
    char res_name[] = "actionkeystate";
    char res_class[] = "ActionKeystate";
    XClassHint class_hint{res_name, res_class};
    ::XSetClassHint(display_, window_, &class_hint);
    ::XSetWMProtocols(display_, window_, &wm_delete_window_, 1);
    ::XSelectInput(display_, window_, StructureNotifyMask);
    ::XFlush(display_);
    g_status_on_server_loss = 0;
  }

  void Hide() override {
    ::XUnmapWindow(display_, window_);
    ::XFlush(display_);
  }

  int fd() const override { return ConnectionNumber(display_); }

  bool DispatchPending() override {
    // Reads what has arrived, once; requests are flushed as they are made.
    while (::XEventsQueued(display_, QueuedAfterReading) > 0) HandleNext();
    return !closed_;
  }

  // Every request is flushed where it is made (taps, window set-up) or waits
  // for its reply, so nothing is left in the output buffer to send here.
  bool DispatchQueued() override {
    while (::XEventsQueued(display_, QueuedAlready) > 0) HandleNext();
    return !closed_;
  }

 private:
  void HandleNext() {
    XEvent event;
    ::XNextEvent(display_, &event);
    if (event.type == ClientMessage && event.xclient.window == window_ &&
        event.xclient.message_type == wm_protocols_ &&
        static_cast<Atom>(event.xclient.data.l[0]) == wm_delete_window_) {
      closed_ = true;
    } else if (event.type == DestroyNotify && event.xdestroywindow.window == window_) {
      closed_ = true;
    } else if (event.type == MappingNotify && event.xmapping.request != MappingPointer) {
      ::XRefreshKeyboardMapping(&event.xmapping);
      if (keyboard_ != nullptr) keyboard_->ResolveKeycodes();
    }
  }

  Display* display_;
  Atom wm_protocols_;
  Atom wm_delete_window_;
  Window window_ = None;
  X11Keyboard* keyboard_ = nullptr;
  bool closed_ = false;
};

class X11Platform final : public Platform {
 public:
  explicit X11Platform(DisplayPtr display)
      : display_(std::move(display)),
        window_(display_.get()),
        host_(&window_),
        keyboard_(display_.get(), host_) {
    window_.set_keyboard(&keyboard_);
  }

  KeyboardServices& keyboard() override { return keyboard_; }
  HostRuntime& host() override { return host_; }

 private:
  DisplayPtr display_;
  X11Window window_;
  posix::PosixHost host_;
  X11Keyboard keyboard_;
};

}  // namespace

std::unique_ptr<Platform> Open(std::string& why) {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') {
    why = "no DISPLAY";
    return nullptr;
  }
  DisplayPtr display(::XOpenDisplay(name));
  if (!display) {
    why = std::string("cannot open display \"") + name + "\"";
    return nullptr;
  }
  int opcode = 0, event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
  if (!::XkbQueryExtension(display.get(), &opcode, &event, &error, &major, &minor)) {
    why = std::string("display \"") + name + "\" has no XKB extension";
    return nullptr;
  }
  if (!::XTestQueryExtension(display.get(), &event, &error, &major, &minor)) {
    why = std::string("display \"") + name + "\" has no XTEST extension";
    return nullptr;
  }
  ::XSetIOErrorHandler(ReportIoError);
  ::XSetErrorHandler(ReportError);
  return std::make_unique<X11Platform>(std::move(display));
}

}  // namespace aks::x11
