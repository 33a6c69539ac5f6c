#include "keystate_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

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
  const std::size_t length = static_cast<std::size_t>(eq - word);
  for (const auto& n : kNames) {
    if (std::strlen(n.name) != length || std::strncmp(word, n.name, length) != 0) continue;
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

// Writes the parts of one line to standard error.
void Say(std::initializer_list<const char*> parts) {
  for (const char* part : parts) std::fputs(part, stderr);
}

// Writes `text` to standard output. An answer that cannot be delivered (a
// full disk, a closed descriptor) is a failure: one line and status 1.
int Answer(const char* text) {
  errno = 0;
  if (std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0) return 0;
  Say({"keystate: cannot write to standard output: ", std::strerror(errno != 0 ? errno : EIO),
       "\n"});
  return 1;
}

}  // namespace

int KeystateMain(int argc, char** argv) {
  Request request;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) return Answer(kUsage);
    if (std::strcmp(argv[i], "--version") == 0) return Answer("keystate " AKS_VERSION_TEXT "\n");
    if (const char* error = Parse(argv[i], request)) {
      Say({"keystate: ", argv[i], ": ", error, "\n", kUsage});
      return 2;
    }
  }

  Why why;
  std::unique_ptr<Platform> platform = OpenPlatform(why);
  if (!platform) {
    Say({"keystate: ", why.c_str(), "\n"});
    return 1;
  }
  KeyboardServices& keyboard = platform->keyboard();
  if (request.change) {
    ActionKeystate(keyboard, false, request.actions[liNumLock], request.actions[liScrollLock],
                   request.actions[liCapsLock]);
  }
  char line[8] = {};
  std::strcpy(line, ActionKeystate(keyboard, true, laLeave, laLeave, laLeave).c_str());
  return Answer(std::strcat(line, "\n"));
}

}  // namespace aks
