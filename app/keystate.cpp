#include "keystate_cli.h"

#ifdef __linux__
#include "posix_host.h"
#endif

int main(int argc, char** argv) {
#ifdef __linux__
  aks::posix::PrepareStandardDescriptors();
#endif
  return aks::KeystateMain(argc, argv);
}
