// The Win32 backend on real user32 (Wine's), and ActionKeystate.exe and
// keystate.exe as a second process sees them.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "chase/frmActionKeystate.h"
#include "keystate/modActionKeystate.h"
#include "win32_platform.h"

namespace aks {
namespace {

const wchar_t kExe[] = L"" AKS_ACTIONKEYSTATE_EXE;
const wchar_t kKeystateExe[] = L"" AKS_KEYSTATE_EXE;

std::string Report(KeyboardServices& kb) {
  return ActionKeystate(kb, true, laLeave, laLeave, laLeave);
}

// Switches the locks off. A process's view of the toggles may be stale until
// its own first tap, so each is flipped twice first.
void AllOff(KeyboardServices& kb) {
  for (int i = 0; i < 2; ++i) ActionKeystate(kb, false, laToggle, laToggle, laToggle);
  ActionKeystate(kb, false, laOff, laOff, laOff);
}

// Dispatches messages, waiting up to 20 ms for one, until `done` or 10 s.
template <typename Done>
void PumpUntil(Done done) {
  const DWORD start = ::GetTickCount();
  MSG msg;
  while (!done() && ::GetTickCount() - start < 10000) {
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
  }
}

PROCESS_INFORMATION Start(const wchar_t* exe, const std::wstring& args, HANDLE output = nullptr) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (output != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output;
  }
  std::wstring command = L"\"" + std::wstring(exe) + L"\" " + args;
  PROCESS_INFORMATION process{};
  EXPECT_TRUE(::CreateProcessW(exe, command.data(), nullptr, nullptr, output != nullptr,
                               CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process))
      << ::GetLastError();
  return process;
}

// Waits for the process to end and returns its exit code (259 if it did not).
DWORD Finish(PROCESS_INFORMATION& process) {
  DWORD status = STILL_ACTIVE;
  if (::WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.hProcess, 1);
  } else {
    ::GetExitCodeProcess(process.hProcess, &status);
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return status;
}

TEST(Win32Chase, RealTimersClearLocksThenRunTheWave) {
  auto platform = win32::Open(::GetModuleHandleW(nullptr), nullptr);
  KeyboardServices& kb = platform->keyboard();
  AllOff(kb);
  ActionKeystate(kb, false, laOn, laOn, laOn);
  ASSERT_EQ(Report(kb), "1,1,1");

  frmActionKeystate form(kb, platform->host());
  form.Load();
  // The report reads Num, Scroll, Caps; the wave fills Num, Caps, Scroll.
  const char* const wave[] = {"0,0,0", "1,0,0", "1,0,1", "1,1,1", "0,1,1", "0,1,0", "0,0,0"};
  std::vector<std::string> seen = {"1,1,1"};
  PumpUntil([&] {
    const std::string now = Report(kb);
    if (now != seen.back()) seen.push_back(now);
    return seen.size() == 8;
  });
  ASSERT_EQ(seen.size(), 8u);
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[i], wave[i - 1]) << i;
  platform.reset();  // its WM_QUIT is for no one here
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

// Key events another process injects, as a low-level hook sees them.
std::vector<KBDLLHOOKSTRUCT>* g_events = nullptr;

LRESULT CALLBACK RecordKey(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HC_ACTION && g_events != nullptr) {
    g_events->push_back(*reinterpret_cast<const KBDLLHOOKSTRUCT*>(lparam));
  }
  return ::CallNextHookEx(nullptr, code, wparam, lparam);
}

TEST(ActionKeystateExe, HiddenWindowTapsTheRingAndEndsOnWmClose) {
  AllOff(win32::Open(::GetModuleHandleW(nullptr), nullptr)->keyboard());
  std::vector<KBDLLHOOKSTRUCT> events;
  g_events = &events;
  HHOOK hook = ::SetWindowsHookExW(WH_KEYBOARD_LL, RecordKey, ::GetModuleHandleW(nullptr), 0);
  ASSERT_NE(hook, nullptr);
  PROCESS_INFORMATION process = Start(kExe, L"");
  // Twelve chase steps, each a press and a release.
  PumpUntil([&] { return events.size() >= 24; });
  ::UnhookWindowsHookEx(hook);
  g_events = nullptr;

  HWND window = ::FindWindowW(nullptr, L"Action Keystate");
  ASSERT_NE(window, nullptr) << "no window captioned \"Action Keystate\"";
  EXPECT_FALSE(::IsWindowVisible(window));
  ASSERT_EQ(events.size(), 24u);
  const DWORD ring[] = {VK_NUMLOCK, VK_CAPITAL, VK_SCROLL};
  for (std::size_t i = 0; i < events.size(); ++i) {
    const KBDLLHOOKSTRUCT& e = events[i];
    EXPECT_EQ(e.vkCode, ring[(i / 2) % 3]) << i;
    EXPECT_EQ(e.scanCode, 0x45u) << i;
    EXPECT_EQ(e.flags & (LLKHF_EXTENDED | LLKHF_INJECTED | LLKHF_UP),
              LLKHF_EXTENDED | LLKHF_INJECTED | (i % 2 ? LLKHF_UP : 0))
        << i;
    EXPECT_EQ(e.dwExtraInfo, 0u) << i;
  }
  ASSERT_TRUE(::PostMessageW(window, WM_CLOSE, 0, 0));
  EXPECT_EQ(Finish(process), 0u);
}

// Runs keystate.exe; returns its exit code and what it printed.
std::pair<DWORD, std::string> Keystate(const std::wstring& args) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  ::CreatePipe(&read, &write, &inherit, 0);
  ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  PROCESS_INFORMATION process = Start(kKeystateExe, args, write);
  ::CloseHandle(write);
  std::string out;
  char buf[256];
  DWORD n = 0;
  while (::ReadFile(read, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  ::CloseHandle(read);
  return {Finish(process), out};
}

TEST(KeystateExe, SetsLocksByNameAndAnswersVersionAndBadArguments) {
  auto platform = win32::Open(::GetModuleHandleW(nullptr), nullptr);
  AllOff(platform->keyboard());
  auto [status, out] = Keystate(L"num=on caps=on scroll=off");
  EXPECT_EQ(status, 0u) << out;
  EXPECT_EQ(out.substr(0, 5), "1,0,1") << out;
  EXPECT_EQ(Report(platform->keyboard()), "1,0,1") << "as this process sees it";
  AllOff(platform->keyboard());

  std::tie(status, out) = Keystate(L"--version");
  EXPECT_EQ(status, 0u);
  EXPECT_NE(out.find("1.01"), std::string::npos) << out;
  std::tie(status, out) = Keystate(L"num=loud");
  EXPECT_EQ(status, 2u);
  EXPECT_NE(out.find("usage: keystate"), std::string::npos) << out;
}

BOOL CALLBACK TakeFirstName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR first) {
  *reinterpret_cast<LPWSTR*>(first) = name;
  return FALSE;
}

TEST(ActionKeystateExe, VersionRecordReads1101AndTheFirstIconIs32By32In16Colours) {
  std::vector<BYTE> data(::GetFileVersionInfoSizeW(kExe, nullptr));
  ASSERT_TRUE(::GetFileVersionInfoW(kExe, 0, static_cast<DWORD>(data.size()), data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  WORD* translation = nullptr;
  wchar_t* text = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010001u);  // 1.1.0.0
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010001u);
  ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 1200);
  for (const wchar_t* field : {L"\\StringFileInfo\\040904B0\\FileVersion",
                               L"\\StringFileInfo\\040904B0\\ProductVersion"}) {
    ASSERT_TRUE(::VerQueryValueW(data.data(), field, reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(text, L"1.01");
  }

  HMODULE exe = ::LoadLibraryExW(kExe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr);
  LPWSTR first = nullptr;
  ::EnumResourceNamesW(exe, RT_GROUP_ICON, TakeFirstName, reinterpret_cast<LONG_PTR>(&first));
  HRSRC group = ::FindResourceW(exe, first, RT_GROUP_ICON);
  ASSERT_NE(group, nullptr);
  // GRPICONDIR: reserved, type, count, then entries of width, height, colours...
  const auto* dir = static_cast<const BYTE*>(::LockResource(::LoadResource(exe, group)));
  EXPECT_EQ(dir[6], 32);
  EXPECT_EQ(dir[7], 32);
  EXPECT_EQ(dir[8], 16);
  EXPECT_EQ(dir[6 + 6], 4) << "bits per pixel";
  ::FreeLibrary(exe);
}

}  // namespace
}  // namespace aks
