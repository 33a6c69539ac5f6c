#include "x11_platform.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
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

// What the program knows of one lock on this display, as of the last keymap.
struct X11Lock {
  KeyCode keycode = 0;  // 0: no key that is this lock and only that; never changed
  Atom indicator = None;
  unsigned mask = 0;         // the indicator's bit in XkbGetIndicatorState, 0 if none
  unsigned mods = 0;         // the modifiers a press of its key locks
  bool set_by_hand = false;  // the keymap does not drive the indicator
};

// Keyboard state that doesn't follow from the keymap drives no indicator.
bool DrivenByKeyboard(const XkbIndicatorMapRec& map) {
  return (map.which_mods != 0 && map.mods.mask != 0) ||
         (map.which_groups != 0 && map.groups != 0) || map.ctrls != 0;
}

// Whether a press of `keycode` does what the lock key should and nothing
// else: its first keysym is the lock's, and its action locks the modifiers
// that light the indicator. A Scroll Lock whose indicator nothing drives
// must change no modifier at all.
bool IsLockKey(XkbDescPtr xkb, KeyCode keycode, KeySym keysym, const XkbIndicatorMapRec& map,
               bool set_by_hand) {
  if (XkbKeyNumGroups(xkb, keycode) == 0 || XkbKeySymEntry(xkb, keycode, 0, 0) != keysym) {
    return false;
  }
  const XkbAction* action = XkbKeyActionEntry(xkb, keycode, 0, 0);
  const int type = action != nullptr ? action->type : XkbSA_NoAction;
  if (set_by_hand) {
    return keysym == XK_Scroll_Lock &&
           (type == XkbSA_NoAction || (type == XkbSA_LockMods && action->mods.mask == 0));
  }
  return type == XkbSA_LockMods && (action->mods.mask & map.mods.mask) != 0;
}

// Losing the server ends a program that has a window as its session ends:
// normally. A command without one has failed to finish.
int g_status_on_server_loss = 1;

int ReportIoError(Display*) {
  posix::EndWithLine(g_status_on_server_loss, "lost the connection to the X server");
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

// XOpenDisplay with standard error caught: what Xlib says of a refused
// connection ("Authorization required, ...") joins our one line instead of
// adding lines of its own.
Display* OpenDisplay(const char* name, Why& why) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) return ::XOpenDisplay(name);
  const int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  ::dup2(pipe[1], STDERR_FILENO);
  Display* display = ::XOpenDisplay(name);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(pipe[1]);
  char said[160];
  ssize_t n = ::read(pipe[0], said, sizeof said - 1);
  ::close(pipe[0]);
  if (display != nullptr) return display;

  why << "cannot open display \"" << name << "\"";
  while (n > 0 && std::isspace(static_cast<unsigned char>(said[n - 1]))) --n;
  if (n > 0) {
    said[n] = '\0';
    for (char* c = said; *c != '\0'; ++c) {
      if (*c == '\n' || *c == '\r') *c = ' ';
    }
    why << ": " << said;
  }
  return nullptr;
}

// Before the first request, so that a server lost at any point ends the
// program with our line, not Xlib's.
void InstallErrorHandlers() {
  ::XSetIOErrorHandler(ReportIoError);
  ::XSetErrorHandler(ReportError);
}

struct DisplayCloser {
  void operator()(Display* display) const { ::XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

class X11Window;

class X11Keyboard final : public KeyboardServices {
 public:
  // A keyboard opened only to read needs no more than the indicators' places.
  X11Keyboard(Display* display, posix::PosixHost& host, Use use) : display_(display), host_(host) {
    char* names[kLockCount];
    Atom atoms[kLockCount];
    for (int i = 0; i < kLockCount; ++i) names[i] = const_cast<char*>(kX11Locks[i].indicator);
    ::XInternAtoms(display, names, kLockCount, False, atoms);
    for (int i = 0; i < kLockCount; ++i) {
      locks_[i].indicator = atoms[i];
      if (use != Use::kRead) continue;
      int index = 0;
      Bool real = False;
      if (::XkbGetNamedIndicator(display, atoms[i], &index, nullptr, nullptr, &real) && real &&
          index >= 0 && index < XkbNumIndicators) {
        locks_[i].mask = 1u << index;
      }
    }
    if (use == Use::kRead) return;
    ReadKeymap();
    XkbStateRec state{};
    ::XkbGetState(display_, XkbUseCoreKbd, &state);
    locked_mods_ = state.locked_mods;
    ::XkbGetIndicatorState(display_, XkbUseCoreKbd, &indicators_);
  }

  std::int16_t GetKeyState(int vk) override {
    const X11Lock* lock = Find(vk);
    return lock != nullptr && IsLit(*lock) ? 1 : 0;
  }

  // A press flips the lock without a key event, so no window is ever sent a
  // key, and a keymap that changes meanwhile cannot make it another key: it
  // locks or unlocks the modifiers its key would, or, where the keymap does
  // not drive the indicator, flips that by hand. Either from the state as the
  // server last reported it, taken in just before (another client may have
  // changed it): no reply is waited for. The release does nothing.
  void keybd_event(VirtualKey vk, std::uint8_t, std::uint32_t flags, std::uintptr_t) override {
    const X11Lock* lock = Find(vk);
    if (lock == nullptr || lock->keycode == 0 || (flags & KEYEVENTF_KEYUP) != 0) return;
    indicators_read_ = false;
    TakeInEvents();
    if (lock->set_by_hand) {
      const bool lit = (indicators_ & lock->mask) != 0;
      ::XkbSetNamedIndicator(display_, lock->indicator, True, !lit, False, nullptr);
      indicators_ ^= lock->mask;
    } else {
      const bool locked = (locked_mods_ & lock->mods) != 0;
      ::XkbLockModifiers(display_, XkbUseCoreKbd, lock->mods, locked ? 0 : lock->mods);
      locked_mods_ = locked ? locked_mods_ & ~lock->mods : locked_mods_ | lock->mods;
    }
    ::XFlush(display_);
  }

  void PumpEvents() override {
    indicators_read_ = false;
    host_.PumpEvents();
  }

  // The window whose connection brings the events.
  void Attach(X11Window* window) { window_ = window; }

  // An XKB event: the state it reports, or a keymap that changed.
  void Handle(const XkbEvent& event) {
    if (event.any.xkb_type == XkbStateNotify) {
      locked_mods_ = event.state.locked_mods;
    } else if (event.any.xkb_type == XkbIndicatorStateNotify) {
      indicators_ = event.indicators.state;
    } else {
      ReadKeymap();
    }
  }

  // Decides, at start and whenever the keymap changes, which key to tap for
  // each lock and whether its indicator must be flipped by hand.
  void ReadKeymap() {
    XkbDescPtr xkb = ::XkbGetMap(display_, XkbKeySymsMask | XkbKeyActionsMask, XkbUseCoreKbd);
    for (int i = 0; i < kLockCount; ++i) {
      X11Lock& lock = locks_[i];
      lock = {0, lock.indicator, 0, 0, false};
      int index = 0;
      Bool real = False;
      XkbIndicatorMapRec map{};
      if (::XkbGetNamedIndicator(display_, lock.indicator, &index, nullptr, &map, &real) && real &&
          index >= 0 && index < XkbNumIndicators) {
        lock.mask = 1u << index;
        lock.set_by_hand = !DrivenByKeyboard(map);
      }
      for (int key = xkb ? xkb->min_key_code : 1; xkb && key <= xkb->max_key_code; ++key) {
        if (IsLockKey(xkb, static_cast<KeyCode>(key), kX11Locks[i].keysym, map, lock.set_by_hand)) {
          lock.keycode = static_cast<KeyCode>(key);
          const XkbAction* action = XkbKeyActionEntry(xkb, lock.keycode, 0, 0);
          lock.mods = action != nullptr && action->type == XkbSA_LockMods ? action->mods.mask : 0;
          break;
        }
      }
    }
    if (xkb != nullptr) ::XkbFreeKeyboard(xkb, 0, True);
  }

 private:
  const X11Lock* Find(int vk) const {
    for (int i = 0; i < kLockCount; ++i) {
      if (kX11Locks[i].vk == vk) return &locks_[i];
    }
    return nullptr;
  }

  // Reads the server's indicators once for reads in a row: again after a
  // flip and at each step.
  bool IsLit(const X11Lock& lock) {
    if (lock.mask == 0) return false;
    if (!indicators_read_) ::XkbGetIndicatorState(display_, XkbUseCoreKbd, &indicators_);
    indicators_read_ = true;
    return (indicators_ & lock.mask) != 0;
  }

  // Reads what the server has sent, without waiting, and handles it: the
  // window's events as its own, the state and keymap events here.
  void TakeInEvents();

  Display* display_;
  posix::PosixHost& host_;
  X11Window* window_ = nullptr;
  X11Lock locks_[kLockCount];
  unsigned locked_mods_ = 0;  // as the server last reported them
  unsigned indicators_ = 0;
  bool indicators_read_ = false;  // by a read since the last flip or step
};

class X11Window final : public posix::NativeWindow {
 public:
  X11Window(Display* display, X11Keyboard& keyboard, int xkb_event)
      : display_(display), keyboard_(keyboard), xkb_event_(xkb_event) {
    constexpr unsigned kKeymapChanges =
        XkbNewKeyboardNotifyMask | XkbMapNotifyMask | XkbIndicatorMapNotifyMask;
    ::XkbSelectEvents(display, XkbUseCoreKbd, kKeymapChanges, kKeymapChanges);
    // The state the flips start from, followed without a round trip.
    ::XkbSelectEventDetails(display, XkbUseCoreKbd, XkbStateNotify, XkbModifierLockMask,
                            XkbModifierLockMask);
    ::XkbSelectEventDetails(display, XkbUseCoreKbd, XkbIndicatorStateNotify, XkbAllIndicatorsMask,
                            XkbAllIndicatorsMask);
  }

  // Only the chase makes the window: keystate asks for none of its atoms.
  void Create(const char* caption) override {
    char* names[] = {const_cast<char*>("WM_PROTOCOLS"), const_cast<char*>("WM_DELETE_WINDOW"),
                     const_cast<char*>("_NET_WM_PID")};
    Atom atoms[3] = {};
    ::XInternAtoms(display_, names, 3, False, atoms);
    wm_protocols_ = atoms[0];
    wm_delete_window_ = atoms[1];
    net_wm_pid_ = atoms[2];
    window_ = ::XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
    if (window_ == None) posix::Fail("cannot create the X window");
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
    const long pid = ::getpid();
    ::XChangeProperty(display_, window_, net_wm_pid_, XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&pid), 1);
    ::XSelectInput(display_, window_, StructureNotifyMask);
    ClaimDisplay();
    g_status_on_server_loss = 0;
  }

  void Hide() override {
    ::XUnmapWindow(display_, window_);
    ::XFlush(display_);
  }

  // What the server sends is taken in at each step, never woken for: the
  // state events the program's own flips cause would wake it at every step.
  // A close from outside, or a lost server, is then seen within a step.
  int fd() const override { return -1; }

  // Reads what has arrived, once a step: not again where a flip of this step
  // has just taken it in. Requests are flushed as they are made.
  bool DispatchPending() override {
    if (!taken_in_) ::XEventsQueued(display_, QueuedAfterReading);
    taken_in_ = false;
    return DispatchQueued();
  }

  // Reads and handles what has arrived, for a flip about to be made.
  void TakeIn() {
    ::XEventsQueued(display_, QueuedAfterReading);
    DispatchQueued();
    taken_in_ = true;
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
    } else if (event.type == xkb_event_) {
      keyboard_.Handle(reinterpret_cast<const XkbEvent&>(event));
    } else if (event.type == MappingNotify && event.xmapping.request != MappingPointer) {
      keyboard_.ReadKeymap();
    }
  }

  // One chase per display: the window owns a selection named for it, as
  // window managers own WM_Sn. A second program ends, naming the first.
  void ClaimDisplay() {
    const Atom selection = ::XInternAtom(display_, "_ACTIONKEYSTATE_S0", False);
    Window owner = ::XGetSelectionOwner(display_, selection);
    if (owner == None) {
      ::XSetSelectionOwner(display_, selection, window_, CurrentTime);
      owner = ::XGetSelectionOwner(display_, selection);
    }
    if (owner == window_) return;
    unsigned long pid = 0;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, left = 0;
    unsigned char* data = nullptr;
    if (::XGetWindowProperty(display_, owner, net_wm_pid_, 0, 1, False, XA_CARDINAL, &type, &format,
                             &count, &left, &data) == Success &&
        data != nullptr) {
      if (count == 1 && format == 32) pid = *reinterpret_cast<unsigned long*>(data);
      ::XFree(data);
    }
    char line[96];
    std::snprintf(line, sizeof line, "already chasing on display \"%s\" (process %lu)",
                  DisplayString(display_), pid);
    posix::Fail(line);
  }

  Display* display_;
  X11Keyboard& keyboard_;
  int xkb_event_;
  Atom wm_protocols_ = None;
  Atom wm_delete_window_ = None;
  Atom net_wm_pid_ = None;  // the window's process, which a second program names
  Window window_ = None;
  bool closed_ = false;
  bool taken_in_ = false;  // this step's flip has read the connection
};

void X11Keyboard::TakeInEvents() {
  if (window_ != nullptr) window_->TakeIn();
}

class X11Platform final : public Platform {
 public:
  X11Platform(DisplayPtr display, int xkb_event, Use use)
      : display_(std::move(display)),
        host_(&window_),
        keyboard_(display_.get(), host_, use),
        window_(display_.get(), keyboard_, xkb_event) {
    keyboard_.Attach(&window_);
  }

  KeyboardServices& keyboard() override { return keyboard_; }
  HostRuntime& host() override { return host_; }

 private:
  DisplayPtr display_;
  posix::PosixHost host_;  // holds only the window's address until the loop runs
  X11Keyboard keyboard_;
  X11Window window_;
};

}  // namespace

std::unique_ptr<Platform> Open(Why& why, Use use, bool* xwayland) {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') {
    why << "no DISPLAY";
    return nullptr;
  }
  InstallErrorHandlers();
  DisplayPtr display(OpenDisplay(name, why));
  if (!display) return nullptr;
  int opcode = 0, xkb_event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
  if (!::XkbQueryExtension(display.get(), &opcode, &xkb_event, &error, &major, &minor)) {
    why << "display \"" << name << "\" has no XKB extension";
    return nullptr;
  }
  int event = 0;
  if (xwayland != nullptr &&
      ::XQueryExtension(display.get(), "XWAYLAND", &opcode, &event, &error)) {
    *xwayland = true;
    return nullptr;
  }
  return std::make_unique<X11Platform>(std::move(display), xkb_event, use);
}

}  // namespace aks::x11
