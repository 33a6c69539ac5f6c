// actionkeystate: runs the lock-key lights as a chase until its hidden window
// is closed from outside or the process is told to end. One runs per
// keyboard: a second one for the same display, Wayland session or console
// says so and ends.
#include <cstdio>

#include "backends.h"
#include "chase/frmActionKeystate.h"
#include "cli.h"
#include "posix_host.h"

namespace {

constexpr char kProgram[] = "actionkeystate";
// The session's keyboard cannot be reached (no display or compositor, no
// access to /dev/uinput or the console): trying again will not help, so the
// user unit does not restart on it (RestartPreventExitStatus). systemd reads
// 6 as "not configured".
constexpr int kSessionUnusable = 6;
constexpr char kUsage[] =
    "usage: actionkeystate [--help | --version]\n"
    "Switches Num Lock, Caps Lock and Scroll Lock off, then flips them in turn\n"
    "every 100 ms until the session ends or it is sent SIGTERM. See\n"
    "actionkeystate(1).\n";

}  // namespace

int main(int argc, char** argv) {
  aks::posix::PrepareStandardDescriptors();
  aks::posix::EndOnTerminationSignals();
  if (argc > 1) {
    if (aks::IsHelp(argv[1]) && argc == 2) return aks::Answer(kProgram, kUsage);
    if (aks::IsVersion(argv[1]) && argc == 2) {
      return aks::Answer(kProgram, "actionkeystate " AKS_VERSION_TEXT "\n");
    }
    aks::BadArgument(kProgram, argv[argc - 1], "takes no arguments but --help and --version");
    std::fputs(kUsage, stderr);
    return 2;
  }
  aks::Why why;
  std::unique_ptr<aks::Platform> platform =
      aks::OpenPlatform(why, aks::Use::kChase, /*chase=*/true);
  if (!platform) {
    aks::NoKeyboard(kProgram, why.c_str());
    return kSessionUnusable;
  }
  aks::frmActionKeystate form(platform->keyboard(), platform->host());
  form.Load();
  return platform->host().Run();
}
