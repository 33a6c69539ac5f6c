// std::terminate in a program without a console has nowhere to print the
// exception it names. Ending at once here keeps the C++ runtime's verbose
// handler, and with it the symbol demangler and printf (some 70 KiB), out of
// the .exe.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
