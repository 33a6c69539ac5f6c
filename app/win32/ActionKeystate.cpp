// ActionKeystate.exe: runs the lock-key lights as a chase until its hidden
// window is closed from outside (log-off included). It takes no arguments.
#include <windows.h>

#include <cstring>
#include <exception>

#include "chase/frmActionKeystate.h"
#include "resource.h"
#include "win32_platform.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  try {
    auto platform = aks::win32::Open(instance, MAKEINTRESOURCEW(IDI_ACTIONKEYSTATE));
    aks::frmActionKeystate form(platform->keyboard(), platform->host());
    form.Load();
    return platform->host().Run();
  } catch (const std::exception& error) {
    // One line on standard error, where a caller has given it one.
    const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    for (const char* text : {"ActionKeystate: ", error.what(), "\n"}) {
      ::WriteFile(err, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
    }
    return 1;
  }
}
