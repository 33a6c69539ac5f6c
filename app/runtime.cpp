// The programs are built without exceptions, so the parts of the C++ runtime
// that throw, unwind or print are kept out of them where it is linked in:
// - allocation that fails ends the program at once instead of throwing;
// - std::terminate, which nothing here calls, ends it without the verbose
//   handler (and with it the demangler and printf).
#include <cstdlib>
#include <new>

void* operator new(std::size_t size) {
  if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
  std::abort();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
