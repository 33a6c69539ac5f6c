// Where the keymap in force comes from, and what it makes of the lock keys:
// the compositor's Wayland connection, or Xwayland's XKB map where only
// DISPLAY names the session. Its connection is the program's session: losing
// it ends the program. It is also how taps wait for the compositor: a
// question asked after a tap is answered only once the compositor has sent
// everything before it, a new keymap included.
#pragma once

#include <sys/types.h>

#include <memory>

#include "loaded_libs.h"
#include "posix_host.h"
#include "xkb_lock_keys.h"

namespace aks::uinput {

struct ContextUnref {
  void operator()(xkb_context* context) const { lib::xkb_context_unref(context); }
};

class KeymapSession : public posix::NativeWindow {
 public:
  void Create(const char*) override {}
  void Hide() override {}

  // The compositor's process, whose keyboards show the seat's LEDs; 0 if unknown.
  virtual pid_t compositor() const = 0;
  // Waits (at most 2 s) until the server has answered everything sent so far,
  // and takes in what it sent before: a keymap it changed meanwhile. Returns
  // false where it did not answer in time.
  virtual bool Sync() = 0;
  // Syncs again until the server answers, `tries` times at most.
  bool SyncTries(int tries) {
    for (int tried = 0; tried < tries; ++tried) {
      if (Sync()) return true;
    }
    return false;
  }
  // Asks the same without waiting: the answer wakes the program, and the
  // listener is told as it comes. Questions are answered in order: number n
  // (asked() once asked) is answered once answered() has reached it.
  virtual void Ask() = 0;
  unsigned asked() const { return asked_; }
  unsigned answered() const { return answered_; }
  void SetAnswerListener(void (*listener)(void*), void* data) {
    listener_ = listener;
    listener_data_ = data;
  }
  // Waits, until `deadline` (ms) at most, for the first keymap; `early`:
  // not past the seat saying it has no keyboard yet (one joins with ours).
  virtual bool WaitForKeymap(long long deadline, bool early) = 0;
  // The seat's locks as the compositor itself reports them (bit n: LED n),
  // where it does; false where it does not.
  virtual bool ReadLocks(unsigned& lit) {
    (void)lit;
    return false;
  }

  bool has_keymap() const { return has_keymap_; }
  const xkb::LockKeys& keys() const { return keys_; }

 protected:
  // Questions up to number `last` are answered.
  void TakeAnswers(unsigned last) {
    answered_ = last;
    if (listener_ != nullptr) listener_(listener_data_);
  }

  unsigned asked_ = 0, answered_ = 0;
  void (*listener_)(void*) = nullptr;
  void* listener_data_ = nullptr;

  // Decides the lock keys anew from `keymap` (null: none could be read).
  void TakeKeymap(xkb_keymap* keymap) {
    keys_ = xkb::FindLockKeys(keymap);
    has_keymap_ = true;
    lib::xkb_keymap_unref(keymap);
  }
  xkb_context* context() {
    if (!context_) context_.reset(lib::xkb_context_new(XKB_CONTEXT_NO_DEFAULT_INCLUDES));
    return context_.get();
  }

 private:
  std::unique_ptr<xkb_context, ContextUnref> context_;
  xkb::LockKeys keys_;
  bool has_keymap_ = false;
};

// The process at the other end of a local socket, or 0.
pid_t PeerProcess(int socket);

// Connect to the compositor named `name` (WAYLAND_DISPLAY), for its keymap
// or else for reading the locks, or to the Xwayland server of DISPLAY
// `name`; null, saying why, where they cannot.
std::unique_ptr<KeymapSession> ConnectWayland(const char* name, bool keymap, Why& why);
std::unique_ptr<KeymapSession> ConnectXwayland(const char* name, Why& why);

}  // namespace aks::uinput
