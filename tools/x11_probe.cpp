#include "x11_probe.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <poll.h>

#include <cstring>

namespace aks::tools {

std::string Lit::str() const {
  std::string out;
  if (num) out += "Num";
  if (caps) out += std::string(out.empty() ? "" : ",") + "Caps";
  if (scroll) out += std::string(out.empty() ? "" : ",") + "Scroll";
  return "{" + out + "}";
}

XProbe::XProbe(const char* display_name) {
  display_ = ::XOpenDisplay(display_name);
  if (display_ == nullptr) return;
  int opcode = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
  ::XkbQueryExtension(display_, &opcode, &xkb_event_, &error, &major, &minor);
  const char* names[3] = {"Num Lock", "Caps Lock", "Scroll Lock"};
  for (int i = 0; i < 3; ++i) {
    int index = -1;
    ::XkbGetNamedIndicator(display_, ::XInternAtom(display_, names[i], False), &index, nullptr,
                           nullptr, nullptr);
    masks_[i] = index >= 0 ? 1u << index : 0;
  }
  ::XkbSelectEventDetails(display_, XkbUseCoreKbd, XkbIndicatorStateNotify, XkbAllIndicatorsMask,
                          XkbAllIndicatorsMask);
  int event = 0;
  if (::XQueryExtension(display_, "XInputExtension", &xi_opcode_, &event, &error)) {
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
    ::XISelectEvents(display_, DefaultRootWindow(display_), &mask, 1);
  }
  ::XSync(display_, False);
  current_ = Read();
}

XProbe::~XProbe() {
  if (display_ == nullptr) return;
  for (auto& [keycode, keysyms] : remapped_) {
    ::XChangeKeyboardMapping(display_, keycode, static_cast<int>(keysyms.size()), keysyms.data(),
                             1);
  }
  if (original_modifiers_ != nullptr) {
    ::XSetModifierMapping(display_, original_modifiers_);
    ::XFreeModifiermap(original_modifiers_);
  }
  ::XCloseDisplay(display_);
}

void XProbe::RemapKey(int keycode, const std::vector<unsigned long>& levels) {
  int per_keycode = 0;
  KeySym* old = ::XGetKeyboardMapping(display_, static_cast<KeyCode>(keycode), 1, &per_keycode);
  remapped_.emplace_back(keycode, std::vector<unsigned long>(old, old + per_keycode));
  ::XFree(old);
  std::vector<KeySym> keysyms(levels.begin(), levels.end());
  keysyms.resize(static_cast<std::size_t>(per_keycode), NoSymbol);
  ::XChangeKeyboardMapping(display_, keycode, per_keycode, keysyms.data(), 1);
  ::XSync(display_, False);
}

void XProbe::RemapKey(int keycode, unsigned long to) {
  int per_keycode = 0;
  ::XFree(::XGetKeyboardMapping(display_, static_cast<KeyCode>(keycode), 1, &per_keycode));
  RemapKey(keycode, std::vector<unsigned long>(static_cast<std::size_t>(per_keycode), to));
}

void XProbe::BindModifier(int keycode, int mod, bool bound) {
  if (original_modifiers_ == nullptr) original_modifiers_ = ::XGetModifierMapping(display_);
  XModifierKeymap* map = ::XGetModifierMapping(display_);
  map = bound ? ::XInsertModifiermapEntry(map, static_cast<KeyCode>(keycode), mod)
              : ::XDeleteModifiermapEntry(map, static_cast<KeyCode>(keycode), mod);
  ::XSetModifierMapping(display_, map);
  ::XFreeModifiermap(map);
  ::XSync(display_, False);
}

int XProbe::Keycode(unsigned long keysym) const { return ::XKeysymToKeycode(display_, keysym); }

Lit XProbe::Read() {
  unsigned state = 0;
  ::XkbGetIndicatorState(display_, XkbUseCoreKbd, &state);
  return {(state & masks_[0]) != 0, (state & masks_[1]) != 0, (state & masks_[2]) != 0};
}

void XProbe::Set(Lit lit) {
  const unsigned num = ::XkbKeysymToModifiers(display_, XK_Num_Lock);
  const unsigned caps = LockMask;
  ::XkbLockModifiers(display_, XkbUseCoreKbd, num | caps,
                     (lit.num ? num : 0) | (lit.caps ? caps : 0));
  ::XkbSetNamedIndicator(display_, ::XInternAtom(display_, "Scroll Lock", False), True, lit.scroll,
                         False, nullptr);
  Drain();
}

void XProbe::Drain() {
  ::XSync(display_, False);
  while (::XPending(display_) > 0) {
    XEvent event;
    ::XNextEvent(display_, &event);
    std::optional<Lit> ignored;
    Handle(event, ignored);
  }
}

const std::vector<int>& XProbe::KeyPresses() {
  Drain();
  return key_presses_;
}

bool XProbe::WaitEvent(std::chrono::steady_clock::time_point deadline) {
  while (::XPending(display_) == 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{ConnectionNumber(display_), POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(left.count()));
  }
  return true;
}

void XProbe::Handle(XEvent& event, std::optional<Lit>& changed) {
  if (event.type == xkb_event_) {
    auto* xkb = reinterpret_cast<XkbEvent*>(&event);
    if (xkb->any.xkb_type == XkbIndicatorStateNotify) {
      const unsigned state = xkb->indicators.state;
      current_ = {(state & masks_[0]) != 0, (state & masks_[1]) != 0, (state & masks_[2]) != 0};
      changed = current_;
    }
  } else if (event.type == GenericEvent && event.xcookie.extension == xi_opcode_ &&
             ::XGetEventData(display_, &event.xcookie)) {
    if (event.xcookie.evtype == XI_RawKeyPress) {
      key_presses_.push_back(static_cast<XIRawEvent*>(event.xcookie.data)->detail);
    }
    ::XFreeEventData(display_, &event.xcookie);
  }
}

std::optional<Lit> XProbe::NextChange(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (WaitEvent(deadline)) {
    XEvent event;
    ::XNextEvent(display_, &event);
    std::optional<Lit> changed;
    Handle(event, changed);
    if (changed) return changed;
  }
  return std::nullopt;
}

bool XProbe::WaitFor(Lit want, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Drain();
  while (current_ != want) {
    if (!WaitEvent(deadline)) return false;
    XEvent event;
    ::XNextEvent(display_, &event);
    std::optional<Lit> changed;
    Handle(event, changed);
  }
  return true;
}

Window XProbe::FindWindow(const char* name) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  Window found = None;
  if (!::XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) {
    return None;
  }
  for (unsigned i = 0; i < count && found == None; ++i) {
    char* window_name = nullptr;
    if (::XFetchName(display_, children[i], &window_name) && window_name != nullptr) {
      if (std::strcmp(window_name, name) == 0) found = children[i];
      ::XFree(window_name);
    }
  }
  if (children != nullptr) ::XFree(children);
  return found;
}

void XProbe::SendDeleteWindow(Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = ::XInternAtom(display_, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(::XInternAtom(display_, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  ::XSendEvent(display_, window, False, NoEventMask, &event);
  ::XSync(display_, False);
}

}  // namespace aks::tools
