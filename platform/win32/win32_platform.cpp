#include "win32_platform.h"

#include <memory>

namespace aks::win32 {
namespace {

constexpr wchar_t kWindowClass[] = L"ActionKeystateWindow";

// "error N" for the calling thread's last error.
HostError LastError(const char* what) {
  char detail[24] = "error ";
  char digits[12];
  int n = 0;
  for (DWORD code = ::GetLastError(); n == 0 || code != 0; code /= 10)
    digits[n++] = char('0' + code % 10);
  char* out = detail + 6;
  while (n > 0) *out++ = digits[--n];
  *out = '\0';
  return HostError(what, detail);
}

class Win32Host final : public HostRuntime {
 public:
  Win32Host(HINSTANCE instance, const wchar_t* icon) : instance_(instance), icon_(icon) {}
  ~Win32Host() override {
    if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
  }
  Win32Host(const Win32Host&) = delete;
  Win32Host& operator=(const Win32Host&) = delete;

  void LoadWindow(const WindowSettings& settings, WindowEvents& events) override {
    if (events_ != nullptr) throw HostError("window already loaded");
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = instance_;
    window_class.hIcon = icon_ != nullptr ? ::LoadIconW(instance_, icon_) : nullptr;
    window_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    window_class.lpszClassName = kWindowClass;
    if (::RegisterClassExW(&window_class) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      throw LastError("RegisterClassEx failed");
    }
    wchar_t caption[128];
    if (::MultiByteToWideChar(CP_UTF8, 0, settings.caption, -1, caption, 128) == 0) {
      throw LastError("window caption");
    }
    // Created without WS_VISIBLE: the window is never on screen.
    hwnd_ = ::CreateWindowExW(0, kWindowClass, caption, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 240, 120, nullptr, nullptr, instance_, this);
    if (hwnd_ == nullptr) throw LastError("CreateWindowEx failed");
    events_ = &events;
    timer_count_ = settings.timer_count;
    timers_ = std::make_unique<TimerSettings[]>(timer_count_);
    for (std::size_t t = 0; t < timer_count_; ++t) {
      timers_[t] = settings.timers[t];
      timers_[t].enabled = false;
    }
    for (std::size_t t = 0; t < settings.timer_count; ++t) {
      if (settings.timers[t].enabled) SetTimerEnabled(t, true);
    }
    events.Form_Load();
  }

  void HideWindow() override { ::ShowWindow(hwnd_, SW_HIDE); }

  void SetTimerEnabled(std::size_t timer, bool enabled) override {
    if (timer >= timer_count_) throw HostError("no such timer");
    TimerSettings& settings = timers_[timer];
    // Closed from outside while a tick was being handled (its PumpEvents ran
    // WM_CLOSE): the timers went with the window, and the handler's switching
    // of them has nothing left to act on.
    if (hwnd_ == nullptr) return;
    if (enabled == settings.enabled) return;
    const UINT_PTR id = timer + 1;
    if (enabled && ::SetTimer(hwnd_, id, settings.interval_ms, nullptr) == 0) {
      throw LastError("SetTimer failed");
    }
    if (!enabled && !::KillTimer(hwnd_, id)) throw LastError("KillTimer failed");
    settings.enabled = enabled;
  }

  int Run() override {
    if (events_ == nullptr) throw HostError("no window loaded");
    MSG msg{};
    BOOL got;
    while ((got = ::GetMessageW(&msg, nullptr, 0, 0)) > 0) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    if (got < 0) throw LastError("GetMessage failed");
    return static_cast<int>(msg.wParam);
  }

 private:
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
  std::unique_ptr<TimerSettings[]> timers_;  // `enabled` tracks the SetTimer state
  std::size_t timer_count_ = 0;
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
