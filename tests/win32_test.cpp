// The Win32 backend on real user32 (Wine's), and ActionKeystate.exe and
// keystate.exe as a second process sees them.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
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
  return ActionKeystate(kb, true, laLeave, laLeave, laLeave).c_str();
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

// The real Win32 platform, watched: each tick is recorded with how deeply it
// runs inside other ticks' PumpEvents, and a test can act inside a pump or
// make the next reads slow.
class Watched final : public KeyboardServices, public HostRuntime, public WindowEvents {
 public:
  struct Tick {
    std::size_t timer;
    int depth;
    LONGLONG at_us;
  };

  ~Watched() override {
    platform_.reset();  // its window's WM_QUIT is for no one here
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }

  KeyboardServices& keyboard() { return platform_->keyboard(); }

  std::int16_t GetKeyState(int vk) override {
    if (slow_reads > 0 && slow_reads--) ::Sleep(15);  // longer than a 10 ms interval
    return keyboard().GetKeyState(vk);
  }
  void keybd_event(VirtualKey vk, std::uint8_t scan, std::uint32_t flags,
                   std::uintptr_t extra_info) override {
    keyboard().keybd_event(vk, scan, flags, extra_info);
  }
  void PumpEvents() override {
    if (on_pump) on_pump();
    ++depth_;
    keyboard().PumpEvents();
    --depth_;
  }

  void LoadWindow(const WindowSettings& settings, WindowEvents& events) override {
    form_ = &events;
    platform_->host().LoadWindow(settings, *this);
  }
  void HideWindow() override { platform_->host().HideWindow(); }
  void SetTimerEnabled(std::size_t timer, bool enabled) override {
    platform_->host().SetTimerEnabled(timer, enabled);
  }
  int Run() override { return platform_->host().Run(); }

  void Form_Load() override { form_->Form_Load(); }
  void Timer_Tick(std::size_t timer, std::int16_t index) override {
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    ticks.push_back({timer, depth_, now.QuadPart * 1000000 / frequency.QuadPart});
    form_->Timer_Tick(timer, index);
  }

  std::vector<Tick> ticks;
  std::function<void()> on_pump;
  int slow_reads = 0;

 private:
  std::unique_ptr<Platform> platform_ = win32::Open(::GetModuleHandleW(nullptr), nullptr);
  WindowEvents* form_ = nullptr;
  int depth_ = 0;
};

TEST(Win32Chase, RealTimersClearLocksNestedThenRunTheWaveAt100msSteps) {
  Watched watched;
  KeyboardServices& kb = watched.keyboard();
  AllOff(kb);
  ActionKeystate(kb, false, laOn, laOn, laOn);
  ASSERT_EQ(Report(kb), "1,1,1");

  frmActionKeystate form(watched, watched);
  // The first start-up tick reads slowly, so the other two fall due meanwhile
  // and run inside its PumpEvents, before it switches its own timer off.
  watched.slow_reads = 1;
  form.Load();
  // The report reads Num, Scroll, Caps; the wave fills Num, Caps, Scroll.
  const char* const wave[] = {"0,0,0", "1,0,0", "1,0,1", "1,1,1", "0,1,1", "0,1,0", "0,0,0"};
  std::vector<std::string> seen = {"1,1,1"};
  PumpUntil([&] {
    const std::string now = Report(kb);
    if (now != seen.back()) seen.push_back(now);
    return watched.ticks.size() >= 3 + 30;
  });
  ASSERT_GE(seen.size(), 8u);
  for (std::size_t i = 1; i < 8; ++i) EXPECT_EQ(seen[i], wave[i - 1]) << i;

  // Timer4 may tick again inside its own call too: its interval elapsed.
  std::vector<Watched::Tick> startup, chase;
  for (const auto& tick : watched.ticks) (tick.timer >= Timer4 ? startup : chase).push_back(tick);
  ASSERT_GE(startup.size(), 3u);
  EXPECT_EQ(startup[0].timer, Timer4);
  EXPECT_EQ(startup[0].depth, 0);
  for (const auto& tick : startup) {
    if (tick.timer == Timer4) continue;
    EXPECT_GE(tick.depth, 1) << "Timer" << tick.timer + 1 << " not nested";
  }
  // The chase: one timer at a time round the ring, at 100 ms steps.
  ASSERT_GE(chase.size(), 20u);
  std::vector<LONGLONG> steps;
  for (std::size_t i = 0; i < chase.size(); ++i) {
    EXPECT_EQ(chase[i].timer, i % 3) << i;
    if (i > 0) steps.push_back(chase[i].at_us - chase[i - 1].at_us);
  }
  std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
  const LONGLONG median = steps[steps.size() / 2];
  EXPECT_GE(median, 90000);
  EXPECT_LE(median, 130000);
}

// Closed from outside while a tick handler pumps, by WM_CLOSE or by the
// session ending: the run ends with 0, the step that was running is the last,
// and no timer is switched on again.
TEST(Win32Chase, ClosedWhileATickPumpsEndsTheRunAndNoTimerRunsAfter) {
  const struct {
    const char* how;
    std::function<void(HWND)> close;
  } ways[] = {
      {"WM_CLOSE", [](HWND window) { ::PostMessageW(window, WM_CLOSE, 0, 0); }},
      {"log-off",
       [](HWND window) {
         EXPECT_TRUE(::SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
         ::SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
       }},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.how);
    Watched watched;
    AllOff(watched.keyboard());
    frmActionKeystate form(watched, watched);
    form.Load();
    HWND window = ::FindWindowW(nullptr, L"Action Keystate");
    ASSERT_NE(window, nullptr);
    bool closed = false;
    watched.on_pump = [&] {
      // Inside Timer1's tick: Num Lock has just been tapped on.
      if (closed || watched.ticks.empty() || watched.ticks.back().timer != Timer1) return;
      closed = true;
      way.close(window);
    };
    EXPECT_EQ(watched.Run(), 0);
    EXPECT_TRUE(closed);
    const std::size_t ticks = watched.ticks.size();
    const DWORD start = ::GetTickCount();
    MSG msg;
    int timer_messages = 0;
    while (::GetTickCount() - start < 400) {
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
      while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        timer_messages += msg.message == WM_TIMER;
        ::DispatchMessageW(&msg);
      }
    }
    EXPECT_EQ(timer_messages, 0);
    EXPECT_EQ(watched.ticks.size(), ticks);
    EXPECT_EQ(Report(watched.keyboard()), "1,0,0");
    EXPECT_FALSE(::IsWindow(window));
  }
}

// A window or timer failure: a message box titled with the program's name
// says which operation failed and why, and the program ends with status 1.
// The failing program is this one, run as a child on the disabled test below.
TEST(Win32Failure, WindowFailureShowsAMessageBoxThenExitsOne) {
  wchar_t self[MAX_PATH];
  ASSERT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  PROCESS_INFORMATION process =
      Start(self, L"--gtest_also_run_disabled_tests --gtest_filter=Win32Failure.DISABLED_Child");
  // The box is titled with the program's name; visible once it has its text.
  HWND box = nullptr;
  for (const DWORD start = ::GetTickCount(); ::GetTickCount() - start < 20000; ::Sleep(20)) {
    box = ::FindWindowW(L"#32770", L"win32_tests");
    if (box != nullptr && ::IsWindowVisible(box)) break;
  }
  ASSERT_NE(box, nullptr) << "no message box";
  std::wstring text;
  ::EnumChildWindows(
      box,
      [](HWND child, LPARAM param) -> BOOL {
        wchar_t part[256] = {};
        ::GetWindowTextW(child, part, 256);
        *reinterpret_cast<std::wstring*>(param) += std::wstring(part) + L"|";
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&text));
  const std::wstring operation = L"window caption: ";
  const auto at = text.find(operation);
  ASSERT_NE(at, std::wstring::npos) << std::string(text.begin(), text.end());
  EXPECT_NE(text[at + operation.size()], L'|') << "the system's text for the error is missing";
  ::PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(Finish(process), 1u);
}

TEST(Win32Failure, DISABLED_Child) {
  auto platform = win32::Open(::GetModuleHandleW(nullptr), nullptr);
  const std::string caption(300, 'x');  // more than a window caption may hold here
  struct : WindowEvents {
    void Form_Load() override {}
    void Timer_Tick(std::size_t, std::int16_t) override {}
  } events;
  platform->host().LoadWindow({caption.c_str(), nullptr, 0}, events);
  ADD_FAILURE() << "LoadWindow returned";
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
  // A second copy ends at once and leaves the first running.
  PROCESS_INFORMATION second = Start(kExe, L"");
  EXPECT_EQ(Finish(second), 0u);
  EXPECT_EQ(::FindWindowW(nullptr, L"Action Keystate"), window);
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
  EXPECT_NE(out.find("(try 'keystate --help')"), std::string::npos) << out;
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
