#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace aks {

bool IsHelp(const char* arg) {
  return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

bool IsVersion(const char* arg) {
  return std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "-V") == 0;
}

int Answer(const char* program, const char* text) {
  errno = 0;
  if (std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0) return 0;
  const char* reason = std::strerror(errno != 0 ? errno : EIO);
  for (const char* part : {program, ": cannot write to standard output: ", reason, "\n"}) {
    std::fputs(part, stderr);
  }
  return 1;
}

int NoKeyboard(const char* program, const char* why) {
  for (const char* part : {program, ": ", why, "\n"}) std::fputs(part, stderr);
  return 1;
}

int BadArgument(const char* program, const char* what, const char* why) {
  for (const char* part : {program, ": ", what, ": ", why, " (try '", program, " --help')\n"}) {
    std::fputs(part, stderr);
  }
  return 2;
}

}  // namespace aks
