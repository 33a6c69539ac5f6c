// The Win32 backend on real user32 (Wine's), and ActionKeystate.exe as a
// second process sees it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "chase/frmActionKeystate.h"
#include "keystate/modActionKeystate.h"
#include "win32_platform.h"

namespace aks {
namespace {

const wchar_t kExe[] = L"" AKS_ACTIONKEYSTATE_EXE;
const wchar_t kKeystateExe[] = L"" AKS_KEYSTATE_EXE;

using Clock = DWORD;  // GetTickCount, for bounds only

// Waits up to `ms` for input or posted messages, then dispatches them all.
void PumpFor(KeyboardServices& kb, DWORD ms) {
  ::MsgWaitForMultipleObjects(0, nullptr, FALSE, ms, QS_ALLINPUT);
  kb.PumpEvents();
}

// A process's view of the toggles may be stale until its own first tap;
// flipping each lock twice brings it in line with the desktop's.
void SyncView(KeyboardServices& kb) {
  for (int i = 0; i < 2; ++i) ActionKeystate(kb, false, laToggle, laToggle, laToggle);
}

std::string Report(KeyboardServices& kb) {
  return ActionKeystate(kb, true, laLeave, laLeave, laLeave);
}

void DrainQuit() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

TEST(Win32Keyboard, TapsFlipEachLockAndReadsAndReportFollow) {
  auto platform = win32::Open(::GetModuleHandleW(nullptr), nullptr);
  KeyboardServices& kb = platform->keyboard();
  SyncView(kb);
  ActionKeystate(kb, false, laOff, laOff, laOff);
  EXPECT_EQ(Report(kb), "0,0,0");
  ActionKeystate(kb, false, laToggle, laLeave, laLeave);
  EXPECT_EQ(Report(kb), "1,0,0");
  ActionKeystate(kb, false, laLeave, laOn, laLeave);
  EXPECT_EQ(Report(kb), "1,1,0");
  ActionKeystate(kb, false, laOff, laLeave, laToggle);
  EXPECT_EQ(Report(kb), "0,1,1");
  EXPECT_EQ(kb.GetKeyState(VK_CAPITAL) & 1, 1);
  EXPECT_EQ(kb.GetKeyState(VK_NUMLOCK) & 1, 0);
  ActionKeystate(kb, false, laOff, laOff, laOff);
}

TEST(Win32Chase, RealTimersClearLocksThenRunTheWave) {
  auto platform = win32::Open(::GetModuleHandleW(nullptr), nullptr);
  KeyboardServices& kb = platform->keyboard();
  SyncView(kb);
  ActionKeystate(kb, false, laOn, laOn, laOn);
  ASSERT_EQ(Report(kb), "1,1,1");

  frmActionKeystate form(kb, platform->host());
  form.Load();
  // The report reads Num, Scroll, Caps; the wave fills Num, Caps, Scroll.
  const char* const wave[] = {"1,0,0", "1,0,1", "1,1,1", "0,1,1", "0,1,0", "0,0,0"};
  std::vector<std::string> seen;
  std::string last = "1,1,1";
  const DWORD start = ::GetTickCount();
  while (seen.size() < 9 && ::GetTickCount() - start < 10000) {
    PumpFor(kb, 20);
    const std::string now = Report(kb);
    if (now != last) seen.push_back(last = now);
  }
  ASSERT_EQ(seen.size(), 9u);
  EXPECT_EQ(seen[0], "0,0,0") << "the start-up timers clear the locks first";
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[i], wave[(i - 1) % 6]) << i;
  platform.reset();
  DrainQuit();
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
  {
    auto platform = win32::Open(::GetModuleHandleW(nullptr), nullptr);
    SyncView(platform->keyboard());
    ActionKeystate(platform->keyboard(), false, laOff, laOff, laOff);
  }
  DrainQuit();
  std::vector<KBDLLHOOKSTRUCT> events;
  g_events = &events;
  HHOOK hook = ::SetWindowsHookExW(WH_KEYBOARD_LL, RecordKey, ::GetModuleHandleW(nullptr), 0);
  ASSERT_NE(hook, nullptr);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring command = L"\"" + std::wstring(kExe) + L"\"";
  ASSERT_TRUE(::CreateProcessW(kExe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process))
      << ::GetLastError();

  HWND window = nullptr;
  const DWORD start = ::GetTickCount();
  MSG msg;
  // Twelve chase steps, each a press and a release.
  while (events.size() < 24 && ::GetTickCount() - start < 10000) {
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    if (window == nullptr) window = ::FindWindowW(nullptr, L"Action Keystate");
  }
  ::UnhookWindowsHookEx(hook);
  g_events = nullptr;

  ASSERT_NE(window, nullptr) << "no window captioned \"Action Keystate\"";
  EXPECT_FALSE(::IsWindowVisible(window));
  ASSERT_EQ(events.size(), 24u);
  const DWORD ring[] = {VK_NUMLOCK, VK_CAPITAL, VK_SCROLL};
  for (std::size_t i = 0; i < events.size(); ++i) {
    const KBDLLHOOKSTRUCT& e = events[i];
    EXPECT_EQ(e.vkCode, ring[(i / 2) % 3]) << i;
    EXPECT_EQ(e.scanCode, 0x45u) << i;
    EXPECT_TRUE(e.flags & LLKHF_EXTENDED) << i;
    EXPECT_TRUE(e.flags & LLKHF_INJECTED) << i;
    EXPECT_EQ((e.flags & LLKHF_UP) != 0, i % 2 == 1) << i;
    EXPECT_EQ(e.dwExtraInfo, 0u) << i;
  }

  ASSERT_TRUE(::PostMessageW(window, WM_CLOSE, 0, 0));
  ASSERT_EQ(::WaitForSingleObject(process.hProcess, 10000), WAIT_OBJECT_0) << "still running";
  DWORD exit_code = 1;
  ::GetExitCodeProcess(process.hProcess, &exit_code);
  EXPECT_EQ(exit_code, 0u);
  if (::WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.hProcess, 1);
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
}

TEST(ActionKeystateExe, VersionRecordReads1101InUsEnglish) {
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(kExe, &handle);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> data(size);
  ASSERT_TRUE(::GetFileVersionInfoW(kExe, 0, size, data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010001u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010001u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  WORD* translation = nullptr;
  ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 1200);
  for (const wchar_t* field : {L"\\StringFileInfo\\040904B0\\FileVersion",
                               L"\\StringFileInfo\\040904B0\\ProductVersion"}) {
    wchar_t* text = nullptr;
    ASSERT_TRUE(::VerQueryValueW(data.data(), field, reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(text, L"1.01");
  }
}

struct Ran {
  DWORD status = 259;
  std::string out;
};

// Runs keystate.exe with `args` and captures what it prints.
Ran RunKeystate(const std::wstring& args) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  Ran ran;
  if (!::CreatePipe(&read, &write, &inherit, 0)) return ran;
  ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write;
  startup.hStdError = write;
  PROCESS_INFORMATION process{};
  std::wstring command = L"keystate.exe " + args;
  const BOOL started = ::CreateProcessW(kKeystateExe, command.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  ::CloseHandle(write);
  if (started) {
    char buf[256];
    DWORD n = 0;
    while (::ReadFile(read, buf, sizeof buf, &n, nullptr) && n > 0) ran.out.append(buf, n);
    ::WaitForSingleObject(process.hProcess, 10000);
    ::GetExitCodeProcess(process.hProcess, &ran.status);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  ::CloseHandle(read);
  return ran;
}

TEST(KeystateExe, SetsLocksByNameAndAnswersVersionAndBadArguments) {
  auto platform = win32::Open(::GetModuleHandleW(nullptr), nullptr);
  KeyboardServices& kb = platform->keyboard();
  SyncView(kb);
  ActionKeystate(kb, false, laOff, laOff, laOff);

  Ran ran = RunKeystate(L"num=on caps=on scroll=off");
  EXPECT_EQ(ran.status, 0u) << ran.out;
  EXPECT_EQ(ran.out.substr(0, 5), "1,0,1") << ran.out;
  // This process sees the change another one made.
  EXPECT_EQ(Report(kb), "1,0,1");
  ActionKeystate(kb, false, laOff, laOff, laOff);

  ran = RunKeystate(L"--version");
  EXPECT_EQ(ran.status, 0u);
  EXPECT_NE(ran.out.find("1.01"), std::string::npos) << ran.out;
  ran = RunKeystate(L"num=loud");
  EXPECT_EQ(ran.status, 2u);
  EXPECT_NE(ran.out.find("usage: keystate"), std::string::npos) << ran.out;
  platform.reset();
  DrainQuit();
}

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colours, reserved;
  WORD planes, bit_count;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

BOOL CALLBACK TakeFirstName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR first) {
  *reinterpret_cast<LPWSTR*>(first) = name;
  return FALSE;
}

TEST(ActionKeystateExe, FirstIconIs32By32In16Colours) {
  HMODULE exe = ::LoadLibraryExW(kExe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr);
  LPWSTR first = nullptr;
  ::EnumResourceNamesW(exe, RT_GROUP_ICON, TakeFirstName, reinterpret_cast<LONG_PTR>(&first));
  ASSERT_NE(first, nullptr);
  HRSRC group = ::FindResourceW(exe, first, RT_GROUP_ICON);
  ASSERT_NE(group, nullptr);
  const auto* dir = static_cast<const WORD*>(::LockResource(::LoadResource(exe, group)));
  ASSERT_GE(dir[2], 1);  // idCount
  const auto* entry = reinterpret_cast<const GroupIconEntry*>(dir + 3);
  EXPECT_EQ(entry->width, 32);
  EXPECT_EQ(entry->height, 32);
  EXPECT_EQ(entry->colours, 16);
  EXPECT_EQ(entry->bit_count, 4);
  ::FreeLibrary(exe);
}

}  // namespace
}  // namespace aks
