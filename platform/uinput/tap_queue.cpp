#include "tap_queue.h"

#include <algorithm>

namespace aks::uinput {

TapQueue::TapQueue(VirtualKeyboard& device, KeymapSession& session)
    : device_(device), session_(session) {
  session_.SetAnswerListener([](void* self) { static_cast<TapQueue*>(self)->SendAnswered(); },
                             this);
}

TapQueue::~TapQueue() { session_.SetAnswerListener(nullptr, nullptr); }

void TapQueue::Add(const LockLed& lock) {
  if (session_.keys().keycode[lock.lock] == 0) return;
  if (waiting_count_ == kMostWaiting) Flush();
  waiting_[waiting_count_++] = {&lock, session_.asked() + 1};
  unsigned flipped = 0;
  for (std::size_t t = 0; t < waiting_count_; ++t) flipped ^= 1u << waiting_[t].lock->led;
  if (flipped == 0) {
    waiting_count_ = 0;
    return;
  }
  session_.Ask();
}

void TapQueue::Flush(int waits) {
  if (waiting_count_ == 0) return;
  if (session_.SyncTries(waits)) {
    SendAnswered(true);
  } else {
    waiting_count_ = 0;
  }
}

void TapQueue::SendAnswered(bool all) {
  std::size_t sent = 0;
  for (; sent < waiting_count_; ++sent) {
    const Tap& tap = waiting_[sent];
    if (!all && static_cast<int>(session_.answered() - tap.question) < 0) break;
    const xkb_keycode_t code = session_.keys().keycode[tap.lock->lock];
    if (code <= 8) continue;
    device_.Key(static_cast<int>(code - 8), true, tap.lock->led);
    device_.Key(static_cast<int>(code - 8), false, tap.lock->led);
  }
  std::copy(waiting_ + sent, waiting_ + waiting_count_, waiting_);
  waiting_count_ -= sent;
}

}  // namespace aks::uinput
