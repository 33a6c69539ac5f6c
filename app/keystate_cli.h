// keystate: reads or sets the three lock keys from the command line, through
// the same keyboard procedure and backend choice as the program.
#pragma once

namespace aks {

// The whole command: returns its exit status (0 done, 1 no keyboard
// reachable, 2 bad arguments).
int KeystateMain(int argc, char** argv);

}  // namespace aks
