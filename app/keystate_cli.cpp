#include "keystate_cli.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "backends.h"
#include "keystate/modActionKeystate.h"

namespace aks {
namespace {

constexpr char kUsage[] =
    "usage: keystate [num=STATE] [caps=STATE] [scroll=STATE]\n"
    "       keystate --help | --version\n"
    "STATE is on, off, toggle or leave. Without arguments, prints the locks as\n"
    "Num,Scroll,Caps with 1 for on and 0 for off (e.g. 1,0,1); with arguments,\n"
    "changes them first, then prints them.\n";

struct Request {
  LockAction actions[kLockCount] = {laLeave, laLeave, laLeave};
  bool given[kLockCount] = {false, false, false};
  bool change = false;
};

// Parses one "name=state" word; returns an error text or nullptr.
const char* Parse(const char* word, Request& request) {
  static const struct {
    const char* name;
    LockIndex lock;
  } kNames[] = {{"num", liNumLock}, {"scroll", liScrollLock}, {"caps", liCapsLock}};
  static const struct {
    const char* name;
    LockAction action;
  } kStates[] = {{"on", laOn}, {"off", laOff}, {"toggle", laToggle}, {"leave", laLeave}};

  const char* eq = std::strchr(word, '=');
  if (eq == nullptr) return "expected num=, caps= or scroll=";
  const std::string name(word, eq);
  for (const auto& n : kNames) {
    if (name != n.name) continue;
    if (request.given[n.lock]) return "a lock is named twice";
    for (const auto& s : kStates) {
      if (std::strcmp(eq + 1, s.name) != 0) continue;
      request.actions[n.lock] = s.action;
      request.given[n.lock] = true;
      request.change = true;
      return nullptr;
    }
    return "a state must be on, off, toggle or leave";
  }
  return "the locks are num, caps and scroll";
}

}  // namespace

int KeystateMain(int argc, char** argv) {
  Request request;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("keystate " AKS_VERSION_TEXT);
      return 0;
    }
    if (const char* error = Parse(argv[i], request)) {
      std::fprintf(stderr, "keystate: %s: %s\n%s", argv[i], error, kUsage);
      return 2;
    }
  }

  std::string why;
  std::unique_ptr<Platform> platform = OpenPlatform(why);
  if (!platform) {
    std::fprintf(stderr, "keystate: %s\n", why.c_str());
    return 1;
  }
  KeyboardServices& keyboard = platform->keyboard();
  if (request.change) {
    ActionKeystate(keyboard, false, request.actions[liNumLock], request.actions[liScrollLock],
                   request.actions[liCapsLock]);
  }
  std::puts(ActionKeystate(keyboard, true, laLeave, laLeave, laLeave).c_str());
  return 0;
}

}  // namespace aks
