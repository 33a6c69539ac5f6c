#include "win32_platform.h"

namespace aks::win32 {
namespace {

constexpr wchar_t kWindowClass[] = L"ActionKeystateWindow";
constexpr std::size_t kMaxTimers = 64;  // one bit each in Win32Host::enabled_

// A bounded wide-text buffer for the error report.
class WideText {
 public:
  void Append(const wchar_t* text) {
    while (*text != L'\0' && size_ + 1 < kCapacity) text_[size_++] = *text++;
    text_[size_] = L'\0';
  }
  void Append(const char* ascii) {
    while (*ascii != '\0' && size_ + 1 < kCapacity) text_[size_++] = static_cast<wchar_t>(*ascii++);
    text_[size_] = L'\0';
  }
  wchar_t* end() { return text_ + size_; }
  std::size_t room() const { return kCapacity - size_; }
  const wchar_t* c_str() const { return text_; }

 private:
  static constexpr std::size_t kCapacity = 512;
  wchar_t text_[kCapacity] = {};
  std::size_t size_ = 0;
};

class Win32Host final : public HostRuntime {
 public:
  Win32Host(HINSTANCE instance, const wchar_t* icon) : instance_(instance), icon_(icon) {}
  ~Win32Host() override {
    if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
  }
  Win32Host(const Win32Host&) = delete;
  Win32Host& operator=(const Win32Host&) = delete;

  void LoadWindow(const WindowSettings& settings, WindowEvents& events) override {
    if (events_ != nullptr) Fail("LoadWindow: window already loaded", 0);
    if (settings.timer_count > kMaxTimers) Fail("LoadWindow: too many timers", 0);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = instance_;
    window_class.hIcon = icon_ != nullptr ? ::LoadIconW(instance_, icon_) : nullptr;
    window_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    window_class.lpszClassName = kWindowClass;
    if (::RegisterClassExW(&window_class) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      Fail("RegisterClassEx", ::GetLastError());
    }
    wchar_t caption[128];
    if (::MultiByteToWideChar(CP_UTF8, 0, settings.caption, -1, caption, 128) == 0) {
      Fail("window caption", ::GetLastError());
    }
    // Created without WS_VISIBLE: the window is never on screen.
    hwnd_ = ::CreateWindowExW(0, kWindowClass, caption, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 240, 120, nullptr, nullptr, instance_, this);
    if (hwnd_ == nullptr) Fail("CreateWindowEx", ::GetLastError());
    events_ = &events;
    timers_ = settings.timers;
    timer_count_ = settings.timer_count;
    for (std::size_t t = 0; t < timer_count_; ++t) {
      if (timers_[t].enabled) SetTimerEnabled(t, true);
    }
    events.Form_Load();
  }

  void HideWindow() override { ::ShowWindow(hwnd_, SW_HIDE); }

  void SetTimerEnabled(std::size_t timer, bool enabled) override {
    if (timer >= timer_count_) Fail("SetTimer: no such timer", 0);
    // Closed from outside while a tick was being handled (its PumpEvents ran
    // WM_CLOSE): the timers went with the window, and the handler's switching
    // of them has nothing left to act on.
    if (hwnd_ == nullptr) return;
    const std::uint64_t bit = std::uint64_t{1} << timer;
    if (enabled == ((enabled_ & bit) != 0)) return;
    const UINT_PTR id = timer + 1;
    if (enabled && ::SetTimer(hwnd_, id, timers_[timer].interval_ms, nullptr) == 0) {
      Fail("SetTimer", ::GetLastError());
    }
    if (!enabled && !::KillTimer(hwnd_, id)) Fail("KillTimer", ::GetLastError());
    enabled_ ^= bit;
  }

  int Run() override {
    if (events_ == nullptr) Fail("Run: no window loaded", 0);
    MSG msg{};
    BOOL got;
    while ((got = ::GetMessageW(&msg, nullptr, 0, 0)) > 0) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    if (got < 0) Fail("GetMessage", ::GetLastError());
    return static_cast<int>(msg.wParam);
  }

 private:
  // The platform's error report: a message box titled with the program's
  // name, saying what failed and the system's text for why; then status 1.
  [[noreturn]] void Fail(const char* operation, DWORD error) {
    // The timers stop first: the box's own message loop must not run ticks.
    for (std::size_t t = 0; hwnd_ != nullptr && t < timer_count_; ++t) ::KillTimer(hwnd_, t + 1);
    WideText text;
    text.Append(operation);
    if (error != 0) {
      text.Append(": ");
      ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text.end(), static_cast<DWORD>(text.room()), nullptr);
    }
    wchar_t title[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, title, MAX_PATH);
    const wchar_t* name = title;
    for (DWORD i = 0; i < length; ++i) {
      if (title[i] == L'\\' || title[i] == L'/') name = title + i + 1;
      if (title[i] == L'.') title[i] = L'\0';  // the name without ".exe"
    }
    ::MessageBoxW(nullptr, text.c_str(), length > 0 ? name : nullptr, MB_OK | MB_ICONERROR);
    ::ExitProcess(1);
  }

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* host = reinterpret_cast<Win32Host*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (message) {
      case WM_TIMER:
        if (host != nullptr && wparam >= 1 && wparam <= host->timer_count_) {
          host->events_->Timer_Tick(wparam - 1, host->timers_[wparam - 1].index);
        }
        return 0;
      case WM_ENDSESSION:
        // The session is ending: the window closes with it, as on WM_CLOSE.
        if (wparam) ::DestroyWindow(hwnd);
        return 0;
      case WM_DESTROY:
        if (host != nullptr) host->hwnd_ = nullptr;
        ::PostQuitMessage(0);
        return 0;
      default:
        return ::DefWindowProcW(hwnd, message, wparam, lparam);
    }
  }

  HINSTANCE instance_;
  const wchar_t* icon_;
  HWND hwnd_ = nullptr;
  WindowEvents* events_ = nullptr;
  const TimerSettings* timers_ = nullptr;
  std::size_t timer_count_ = 0;
  std::uint64_t enabled_ = 0;  // bit t: timer t is set with SetTimer
};

class Win32Keyboard final : public KeyboardServices {
 public:
  std::int16_t GetKeyState(int vk) override { return ::GetKeyState(vk); }

  void keybd_event(VirtualKey vk, std::uint8_t scan, std::uint32_t flags,
                   std::uintptr_t extra_info) override {
    ::keybd_event(vk, scan, flags, extra_info);
  }

  void PumpEvents() override {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {  // leave it for the message loop
        ::PostQuitMessage(static_cast<int>(msg.wParam));
        return;
      }
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
};

class Win32Platform final : public Platform {
 public:
  Win32Platform(HINSTANCE instance, const wchar_t* icon) : host_(instance, icon) {}
  KeyboardServices& keyboard() override { return keyboard_; }
  HostRuntime& host() override { return host_; }

 private:
  Win32Host host_;
  Win32Keyboard keyboard_;
};

}  // namespace

std::unique_ptr<Platform> Open(HINSTANCE instance, const wchar_t* icon) {
  return std::make_unique<Win32Platform>(instance, icon);
}

}  // namespace aks::win32
