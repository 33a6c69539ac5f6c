// An independent X client for the tests, the demo and the bench: reads and sets the lock
// indicators on its own connection, follows their changes through XKB events,
// records every key press the server sees (XInput2 raw events), and finds and
// closes windows by name.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace aks::tools {

struct Lit {
  bool num = false, caps = false, scroll = false;
  bool operator==(const Lit& o) const {
    return num == o.num && caps == o.caps && scroll == o.scroll;
  }
  bool operator!=(const Lit& o) const { return !(*this == o); }
  std::string str() const;  // "{Num,Caps}", in chase order
};

class XProbe {
 public:
  explicit XProbe(const char* display_name = nullptr);
  ~XProbe();
  XProbe(const XProbe&) = delete;
  XProbe& operator=(const XProbe&) = delete;

  Display* display() const { return display_; }
  bool ok() const { return display_ != nullptr; }

  // Reads the indicators from the server.
  Lit Read();
  // Sets Num and Caps through their locked modifiers and Scroll through its
  // named indicator, then waits until the server has done it.
  void Set(Lit lit);
  // Handles every event the server has sent so far; changes seen are dropped.
  void Drain();

  // Waits for the next indicator change; nullopt when none came in time.
  std::optional<Lit> NextChange(std::chrono::milliseconds timeout);
  // Waits until the indicators, as followed through their change events, read `want`.
  bool WaitFor(Lit want, std::chrono::milliseconds timeout);

  // Key presses the server has seen since the probe opened, as keycodes.
  const std::vector<int>& KeyPresses();
  int Keycode(unsigned long keysym) const;

  // Gives `keycode` the keysyms `levels` (NoSymbol: none), or `to` on every
  // level, until the probe closes.
  void RemapKey(int keycode, const std::vector<unsigned long>& levels);
  void RemapKey(int keycode, unsigned long to);
  // Adds `keycode` to modifier `mod` (Mod3MapIndex, ...) or takes it out,
  // until the probe closes.
  void BindModifier(int keycode, int mod, bool bound);

  Window FindWindow(const char* name);
  void SendDeleteWindow(Window window);

 private:
  bool WaitEvent(std::chrono::steady_clock::time_point deadline);
  void Handle(XEvent& event, std::optional<Lit>& changed);

  Display* display_ = nullptr;
  int xkb_event_ = 0;
  int xi_opcode_ = -1;
  unsigned masks_[3] = {};  // num, caps, scroll indicator bits
  Lit current_;             // as of the last change event handled
  std::vector<int> key_presses_;
  std::vector<std::pair<int, std::vector<unsigned long>>> remapped_;  // originals
  XModifierKeymap* original_modifiers_ = nullptr;
};

}  // namespace aks::tools
