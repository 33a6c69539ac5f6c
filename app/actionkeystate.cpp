// actionkeystate: runs the lock-key lights as a chase until its hidden window
// is closed from outside or the process is told to end. It takes no arguments.
#include <cstdio>

#include "backends.h"
#include "chase/frmActionKeystate.h"
#include "posix_host.h"

int main() {
  aks::posix::PrepareStandardDescriptors();
  aks::posix::EndOnTerminationSignals();
  aks::Why why;
  std::unique_ptr<aks::Platform> platform = aks::OpenPlatform(why);
  if (!platform) {
    std::fprintf(stderr, "actionkeystate: %s\n", why.c_str());
    return 1;
  }
  aks::frmActionKeystate form(platform->keyboard(), platform->host());
  form.Load();
  return platform->host().Run();
}
