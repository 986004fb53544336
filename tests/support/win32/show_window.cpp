#include "tests/support/win32/show_window.h"

#include <windows.h>

#include "presentation/presentation_types.h"
#include "presentation/simulated_office.h"

namespace {

std::FILE* g_log = nullptr;  // the server's one log; touched on its one thread

void Log(const char* format, int a = 0, int b = 0, int c = 0, int d = 0) {
  if (!g_log) return;
  std::fprintf(g_log, format, a, b, c, d);
  std::fputc('\n', g_log);
  std::fflush(g_log);
}

LRESULT CALLBACK ShowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const int x = static_cast<short>(LOWORD(lParam));
  const int y = static_cast<short>(HIWORD(lParam));
  switch (message) {
    case WM_LBUTTONDOWN:
      Log("press %d %d ctrl=%d", x, y, (wParam & MK_CONTROL) ? 1 : 0);
      return 0;
    case WM_MOUSEMOVE:
      if (wParam & MK_LBUTTON) Log("drag %d %d", x, y);
      return 0;
    case WM_LBUTTONUP:
      Log("release %d %d", x, y);
      return 0;
    case WM_KEYDOWN:
      if (wParam != VK_CONTROL) Log("key %d", static_cast<int>(wParam));
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

// PowerPoint's show window has no minimise box; WPS's is a Qt window found
// by its title.
const wchar_t* ClassName(bool wps) { return wps ? L"QWidget" : L"screenClass"; }

bool RegisterShowClass(bool wps) {
  WNDCLASSEXW c{};
  c.cbSize = sizeof c;
  c.lpfnWndProc = ShowProc;
  c.hInstance = GetModuleHandleW(nullptr);
  c.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  c.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  c.lpszClassName = ClassName(wps);
  return RegisterClassExW(&c) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

void PrimaryScreenSize(std::int32_t* width, std::int32_t* height) {
  *width = GetSystemMetrics(SM_CXSCREEN);
  *height = GetSystemMetrics(SM_CYSCREEN);
}

ShowWindowMirror::ShowWindowMirror(std::weak_ptr<CSimulatedPresentationApp> app, bool wps,
                                   std::FILE* log)
    : app_(std::move(app)), wps_(wps) {
  g_log = log;
  RegisterShowClass(wps);
}

ShowWindowMirror::~ShowWindowMirror() { Close(); }

HResult ShowWindowMirror::Invoke(std::int32_t dispatchId, const std::vector<AutoValue>&) {
  if (dispatchId == EventSlideShowBegin) {
    Open();
  } else if (dispatchId == EventSlideShowEnd) {
    Close();
  } else if (dispatchId == kSimulatedPointerChanged) {
    if (auto app = app_.lock()) Log("pointer %d", app->Snapshot().pointerType);
  }
  return kOk;
}

void ShowWindowMirror::Open() {
  Close();
  std::int32_t width = 0, height = 0;
  PrimaryScreenSize(&width, &height);
  const wchar_t* title = wps_ ? L"WPS演示 幻灯片放映" : L"PowerPoint Slide Show - Sample";
  HWND window =
      CreateWindowExW(WS_EX_TOPMOST, ClassName(wps_), title, WS_POPUP | WS_VISIBLE, 0, 0, width,
                      height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!window) return;
  SetForegroundWindow(window);
  RECT r;
  GetWindowRect(window, &r);
  Log("window %d %d %d %d", r.left, r.top, r.right, r.bottom);
  window_ = window;
}

void ShowWindowMirror::Close() {
  if (!window_) return;
  DestroyWindow(static_cast<HWND>(window_));
  window_ = nullptr;
  Log("closed");
}
