// keywatch COUNT SECONDS: watches the desktop's keyboard through a low-level
// hook and prints the virtual-key code of each of the next COUNT key presses
// any program makes, one a line. Exits 1 if they did not all come within
// SECONDS.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

int g_left = 0;

LRESULT CALLBACK PrintPress(int code, WPARAM wparam, LPARAM lparam) {
  const auto* key = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lparam);
  if (code == HC_ACTION && g_left > 0 && !(key->flags & LLKHF_UP)) {
    std::printf("%lu\n", static_cast<unsigned long>(key->vkCode));
    std::fflush(stdout);
    --g_left;
  }
  return ::CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: keywatch COUNT SECONDS\n");
    return 2;
  }
  g_left = std::atoi(argv[1]);
  const DWORD limit = static_cast<DWORD>(std::atoi(argv[2])) * 1000;
  HHOOK hook = ::SetWindowsHookExW(WH_KEYBOARD_LL, PrintPress, ::GetModuleHandleW(nullptr), 0);
  if (hook == nullptr) {
    std::fprintf(stderr, "keywatch: no keyboard hook (error %lu)\n", ::GetLastError());
    return 1;
  }
  const DWORD start = ::GetTickCount();
  MSG msg;
  while (g_left > 0 && ::GetTickCount() - start < limit) {
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
  }
  ::UnhookWindowsHookEx(hook);
  return g_left == 0 ? 0 : 1;
}
