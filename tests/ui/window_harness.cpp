#include "tests/ui/window_harness.h"

#include "app/qr_code.h"
#include "net/browser_remote.h"
#include "presentation/win32/gdiplus_png.h"

#include <algorithm>

int Capture::Count(const RECT& r, const std::function<bool(std::uint32_t)>& pred) const {
  int n = 0;
  for (int y = r.top; y < r.bottom; ++y) {
    for (int x = r.left; x < r.right; ++x) n += pred(At(x, y)) ? 1 : 0;
  }
  return n;
}

RECT Capture::Bounds(const RECT& r, const std::function<bool(std::uint32_t)>& pred) const {
  RECT b{r.right, r.bottom, r.left - 1, r.top - 1};
  for (int y = r.top; y < r.bottom; ++y) {
    for (int x = r.left; x < r.right; ++x) {
      if (!pred(At(x, y))) continue;
      b.left = std::min<LONG>(b.left, x);
      b.top = std::min<LONG>(b.top, y);
      b.right = std::max<LONG>(b.right, x + 1);
      b.bottom = std::max<LONG>(b.bottom, y + 1);
    }
  }
  if (b.right <= b.left) return RECT{0, 0, 0, 0};
  return b;
}

bool ShowsQrCodeOf(const Capture& c, const RECT& square, const std::string& text, int* module) {
  CQRSymbol symbol;
  if (!symbol.Encode(text)) return false;
  const int n = symbol.Width();
  auto black = [](std::uint32_t p) { return p == 0; };
  // The finder patterns ink all four corners: the dark pixels' bounds are
  // the symbol's.
  RECT b = c.Bounds(square, black);
  const int side = b.right - b.left;
  if (side <= 0 || side != b.bottom - b.top || side % n != 0) return false;
  const int m = side / n;
  for (int r = 0; r < n; ++r) {
    for (int col = 0; col < n; ++col) {
      const bool dark = symbol.IsDark(r, col);
      for (int y = b.top + r * m; y < b.top + (r + 1) * m; ++y) {
        for (int x = b.left + col * m; x < b.left + (col + 1) * m; ++x) {
          if (dark ? !black(c.At(x, y)) : !IsWhite(c.At(x, y))) return false;
        }
      }
    }
  }
  if (module) *module = m;
  return true;
}

bool Capture::SavePng(const std::wstring& path) const {
  CLSID png;
  if (width <= 0 || height <= 0 || !FindPngEncoder(&png)) return false;
  Gdiplus::Bitmap bitmap(width, height, PixelFormat32bppRGB);
  Gdiplus::BitmapData data;
  Gdiplus::Rect all(0, 0, width, height);
  if (bitmap.LockBits(&all, Gdiplus::ImageLockModeWrite, PixelFormat32bppRGB, &data) !=
      Gdiplus::Ok) {
    return false;
  }
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(static_cast<unsigned char*>(data.Scan0) +
                                                 static_cast<std::ptrdiff_t>(y) * data.Stride);
    for (int x = 0; x < width; ++x) row[x] = 0xFF000000u | At(x, y);
  }
  bitmap.UnlockBits(&data);
  return bitmap.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
}

Capture CaptureWindow(HWND window) {
  Capture c;
  RECT client;
  GetClientRect(window, &client);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  c.width = client.right;
  c.height = client.bottom;
  c.pixels.assign(static_cast<std::size_t>(c.width) * c.height, 0);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = c.width;
  info.bmiHeader.biHeight = -c.height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, c.width, c.height, screen, origin.x, origin.y, SRCCOPY);
  GdiFlush();
  const auto* p = static_cast<const std::uint32_t*>(bits);
  for (std::size_t i = 0; i < c.pixels.size(); ++i) c.pixels[i] = p[i] & 0xFFFFFF;
  SelectObject(memory, previous);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return c;
}

StandInShow::StandInShow(const RECT& r) {
  thread_ = std::thread([this, r] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &StandInShow::Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"screenClass";
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    RegisterClassW(&wc);
    window_ = CreateWindowExW(0, L"screenClass", L"Slide Show", WS_POPUP | WS_VISIBLE, r.left,
                              r.top, r.right - r.left, r.bottom - r.top, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  });
  WaitFor([this] { return window_.load() != nullptr; });
  Sleep(150);
}

StandInShow::~StandInShow() {
  if (HWND w = window_.load()) PostMessageW(w, WM_CLOSE, 0, 0);
  thread_.join();
}

LRESULT CALLBACK StandInShow::Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  switch (m) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(w, &ps);
      RECT c;
      GetClientRect(w, &c);
      HBRUSH slide = CreateSolidBrush(kSlideBlue);
      FillRect(dc, &c, slide);
      DeleteObject(slide);
      RECT bar{c.left + 120, c.top + 160, c.right - 120, c.top + 260};
      FillRect(dc, &bar, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
      EndPaint(w, &ps);
      return 0;
    }
    case WM_CLOSE:
      DestroyWindow(w);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(w, m, wp, lp);
  }
}

Capture CaptureScreen(const RECT& r) {
  Capture c;
  c.width = r.right - r.left;
  c.height = r.bottom - r.top;
  c.pixels.assign(static_cast<std::size_t>(c.width) * c.height, 0);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = c.width;
  info.bmiHeader.biHeight = -c.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, c.width, c.height, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  const auto* p = static_cast<const std::uint32_t*>(bits);
  for (std::size_t i = 0; i < c.pixels.size(); ++i) c.pixels[i] = p[i] & 0xFFFFFF;
  SelectObject(memory, previous);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return c;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Sleep(10);
  }
  return true;
}

HWND FindDialogOver(HWND window) {
  struct Search {
    HWND main;
    HWND found;
  } search{window, nullptr};
  DWORD thread = GetWindowThreadProcessId(window, nullptr);
  EnumThreadWindows(
      thread,
      [](HWND w, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        wchar_t name[16] = {};
        GetClassNameW(w, name, 16);
        bool shadow = (GetWindowLongW(w, GWL_EXSTYLE) & WS_EX_LAYERED) != 0;
        bool cover = GetWindow(w, GW_CHILD) == nullptr;
        if (w != s->main && IsWindowVisible(w) && std::wstring(name) == L"#32770" && !shadow &&
            !cover) {
          s->found = w;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForDialogOver(HWND window, std::chrono::milliseconds timeout) {
  HWND found = nullptr;
  WaitFor([&] { return (found = FindDialogOver(window)) != nullptr; }, timeout);
  return found;
}

void ClickControl(HWND control, int x, int y) {
  PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
  PostMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

// --- the harness -----------------------------------------------------------

namespace {

// A direct session that serves a browser remote at a fixed address.
class BrowserFakeSession : public FakeSession, public IBrowserRemoteSource {
 public:
  BrowserFakeSession(SessionType kind, std::vector<PairingParam> params,
                     std::atomic<int>* destroyed, std::string address)
      : FakeSession(kind, std::move(params), destroyed), address_(std::move(address)) {}
  std::string BrowserAddress() override { return address_; }

 private:
  std::string address_;
};

}  // namespace

class WindowHarness::TestDlg : public CMainDlg {
 public:
  using CMainDlg::CMainDlg;
  std::vector<std::wstring> Urls() {
    std::lock_guard<std::mutex> lock(lock_);
    return urls_;
  }

 protected:
  void OpenUrl(const wchar_t* url) override {
    std::lock_guard<std::mutex> lock(lock_);
    urls_.push_back(url);
  }

 private:
  std::mutex lock_;
  std::vector<std::wstring> urls_;
};

WindowHarness::WindowHarness(Options options) : options_(options) {
  CMainController::Services s;
  s.createSession = [this](SessionType t) -> INetSession* {
    std::lock_guard<std::mutex> lock(madeLock_);
    int n = static_cast<int>(made_.size());
    std::vector<PairingParam> params;
    if (t == Relay) {
      params = {{"id", "r" + std::to_string(n)}, {"st", "t" + std::to_string(n)}};
    } else {
      params = {{"sv", "d" + std::to_string(n)}};
    }
    FakeSession* f = nullptr;
    if (t == Direct && !options_.browserAddress.empty()) {
      f = new BrowserFakeSession(t, params, &destroyed_, options_.browserAddress);
    } else {
      f = new FakeSession(t, params, &destroyed_);
    }
    if (t == Relay) f->startResult = options_.relayStarts;
    f->startInline = options_.startInline;
    f->AddRef();  // the harness's
    f->AddRef();  // the controller's
    made_.push_back(f);
    return f;
  };
  auto p = std::make_unique<FakePresentation>();
  presentation_ = p.get();
  s.presentation = std::move(p);
  int update = options.updateState;
  s.checkForUpdate = [update] { return update; };
  s.serviceBaseUrl = [] { return std::string("http://127.0.0.1/tavmix/"); };
  s.reports = options.reports;
  dialog_ = std::make_unique<TestDlg>(std::move(s));
}

WindowHarness::~WindowHarness() {
  Close();
  dialog_.reset();
  for (FakeSession* s : made_) s->Release();
}

void WindowHarness::Open() {
  SetCursorPos(0, 0);  // nothing hovered unless a test says so
  ui_ = std::thread([this] {
    CoInitialize(nullptr);
    dialog_->DoModal(nullptr);
    CoUninitialize();
    ended_ = true;
  });
  ASSERT_TRUE(WaitFor([this] { return dialog_->Hwnd() && IsWindowVisible(dialog_->Hwnd()); }));
  SetForegroundWindow(dialog_->Hwnd());
}

bool WindowHarness::RunUntilEnd(std::chrono::milliseconds timeout, INT_PTR* result) {
  ui_ = std::thread([this, result] {
    CoInitialize(nullptr);
    *result = dialog_->DoModal(nullptr);
    CoUninitialize();
    ended_ = true;
  });
  return WaitFor([this] { return ended_.load(); }, timeout);
}

std::size_t WindowHarness::SessionsMade() {
  std::lock_guard<std::mutex> lock(madeLock_);
  return made_.size();
}

void WindowHarness::Close() {
  if (!ui_.joinable()) return;
  if (!ended_) PostMessageW(dialog_->Hwnd(), WM_CLOSE, 0, 0);
  // While a phone is connected the window asks first: confirm.
  if (!WaitFor(
          [this] {
            if (ended_) return true;
            if (HWND question = FindDialogOver(dialog_->Hwnd())) {
              PostMessageW(question, WM_COMMAND, MAKEWPARAM(1, 0), 0);
            }
            return false;
          },
          std::chrono::seconds(20))) {
    ADD_FAILURE() << "the window did not close";
  }
  ui_.join();
}

CMainDlg& WindowHarness::Dialog() { return *dialog_; }
HWND WindowHarness::Hwnd() const { return dialog_->Hwnd(); }
CMainDlg::ControlWindows WindowHarness::Controls() const { return dialog_->Controls(); }
CMainController::State WindowHarness::State() const { return dialog_->GetState(); }

std::vector<std::wstring> WindowHarness::OpenedUrls() { return dialog_->Urls(); }

FakeSession* WindowHarness::Latest(SessionType kind) {
  std::lock_guard<std::mutex> lock(madeLock_);
  for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
    if ((*it)->Kind() == kind) return *it;
  }
  return nullptr;
}

void WindowHarness::OnUi(std::function<void()> f) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  dialog_->PostToUi([&] {
    f();
    std::lock_guard<std::mutex> lock(m);
    done = true;
    cv.notify_one();
  });
  std::unique_lock<std::mutex> lock(m);
  ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return done; }));
}

bool WindowHarness::WaitForState(CMainController::State s) {
  return WaitFor([&] { return dialog_->GetState() == s; });
}

void WindowHarness::ReachWaiting() {
  Latest(Relay)->Notify([](INetSessionNotify* n) { n->OnStarted(true, 0); });
  ASSERT_TRUE(WaitForState(CMainController::WaitingForPhone));
}

void WindowHarness::ReachConnected() {
  if (State() != CMainController::WaitingForPhone) ReachWaiting();
  FakeSession* relay = Latest(Relay);
  relay->connected = true;
  relay->Message(R"({"msg":"hello"})");
  ASSERT_TRUE(WaitForState(CMainController::Connected));
}

void WindowHarness::ReachNetworkError() {
  if (State() != CMainController::Connected) ReachConnected();
  FakeSession* relay = Latest(Relay);
  relay->Notify([](INetSessionNotify* n) { n->OnNetworkLost(); });
  ASSERT_TRUE(WaitForState(CMainController::Connecting));
  relay->Notify([](INetSessionNotify* n) { n->OnStarted(false, 0); });
  ASSERT_TRUE(WaitForState(CMainController::NetworkError));
}

void WindowHarness::ReachConnectFailed() {
  // Neither transport could start (one that did would show the code).
  Latest(Direct)->Notify([](INetSessionNotify* n) { n->OnStarted(false, 0); });
  Latest(Relay)->Notify([](INetSessionNotify* n) { n->OnStarted(false, 0); });
  ASSERT_TRUE(WaitForState(CMainController::ConnectFailed));
}

void WindowHarness::RunShowIn(const StandInShow& show, const RECT& slide, std::int32_t type) {
  FakePresentation& p = Presentation();
  p.showRect = ScreenRect{slide.left, slide.top, slide.right, slide.bottom};
  p.showWindow = reinterpret_cast<WindowHandle>(show.Hwnd());
  p.runningType = type;
  p.showRunning = true;
}

Capture Settle(WindowHarness& h) {
  h.OnUi([&] { RedrawWindow(h.Hwnd(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN); });
  Sleep(100);
  return CaptureWindow(h.Hwnd());
}

void SaveArtifact(const Capture& c, const std::wstring& name) {
  CreateDirectoryW(L"screenshots", nullptr);
  EXPECT_TRUE(c.SavePng(L"screenshots\\" + name + L".png")) << "could not save a screenshot";
}
