#include "keystate_cli.h"

#include <cstdio>
#include <cstring>

#include "backends.h"
#include "cli.h"
#include "keystate/modActionKeystate.h"

namespace aks {
namespace {

constexpr char kProgram[] = "keystate";
constexpr char kUsage[] =
    "usage: keystate [num=STATE] [caps=STATE] [scroll=STATE]\n"
    "       keystate --help | --version\n"
    "STATE is on, off, toggle or leave. Without arguments, prints the locks\n"
    "in the order Num,Scroll,Caps (not the wave's Num, Caps, Scroll) with 1 for\n"
    "on and 0 for off, e.g. 1,0,1; with arguments, changes them first, then\n"
    "prints them.\n";

struct Request {
  LockAction actions[kLockCount] = {laLeave, laLeave, laLeave};
  bool given[kLockCount] = {false, false, false};
  bool change = false;  // some lock is to be changed
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
  const std::size_t length = static_cast<std::size_t>(eq - word);
  for (const auto& n : kNames) {
    if (std::strlen(n.name) != length || std::strncmp(word, n.name, length) != 0) continue;
    if (request.given[n.lock]) return "a lock is named twice";
    for (const auto& s : kStates) {
      if (std::strcmp(eq + 1, s.name) != 0) continue;
      request.actions[n.lock] = s.action;
      request.given[n.lock] = true;
      request.change = request.change || s.action != laLeave;
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
    if (IsHelp(argv[i])) return Answer(kProgram, kUsage);
    if (IsVersion(argv[i])) return Answer(kProgram, "keystate " AKS_VERSION_TEXT "\n");
    if (const char* error = Parse(argv[i], request)) return BadArgument(kProgram, argv[i], error);
  }

  Why why;
  std::unique_ptr<Platform> platform =
      OpenPlatform(why, request.change ? Use::kChange : Use::kRead, /*chase=*/false);
  if (!platform) return NoKeyboard(kProgram, why.c_str());
  KeyboardServices& keyboard = platform->keyboard();
  if (request.change) {
    ActionKeystate(keyboard, false, request.actions[liNumLock], request.actions[liScrollLock],
                   request.actions[liCapsLock]);
  }
  char line[8] = {};
  std::strcpy(line, ActionKeystate(keyboard, true, laLeave, laLeave, laLeave).c_str());
  return Answer(kProgram, std::strcat(line, "\n"));
}

}  // namespace aks
