// ActionKeystate.exe: runs the lock-key lights as a chase until its hidden
// window is closed from outside (log-off included). It takes no arguments.
// A window or timer failure ends it with a message box (see win32_platform.h).
#include <windows.h>

#include "chase/frmActionKeystate.h"
#include "resource.h"
#include "win32_platform.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // One chase per session: a second copy ends at once, the locks untouched.
  ::CreateMutexW(nullptr, FALSE, L"Local\\ActionKeystate");
  if (::GetLastError() == ERROR_ALREADY_EXISTS) return 0;
  auto platform = aks::win32::Open(instance, MAKEINTRESOURCEW(IDI_ACTIONKEYSTATE));
  aks::frmActionKeystate form(platform->keyboard(), platform->host());
  form.Load();
  return platform->host().Run();
}
