#include "ui/win32/shadow_dlg.h"

namespace {

constexpr int kTemplateId = 101;
constexpr int kShadowPng = 116;
// Beyond the owner: left and right, above, below.
constexpr int kSide = 7;
constexpr int kAbove = 3;
constexpr int kBelow = 11;
// The image: 37 x 37, its window-sized hole 23 x 23 at (7, 3).
constexpr int kImageInner = 23;
constexpr int kImageRight = 30;   // x of the right edge column
constexpr int kImageBottom = 26;  // y of the bottom edge row

}  // namespace

RECT CShadowDlg::PlaceFor(const RECT& owner) {
  return RECT{owner.left - kSide, owner.top - kAbove, owner.right + kSide, owner.bottom + kBelow};
}

bool CShadowDlg::Create(HWND owner) {
  Destroy();
  window_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTemplateId), owner,
                               &CShadowDlg::DialogProc, reinterpret_cast<LPARAM>(this));
  if (!window_) return false;
  LONG ex = GetWindowLongW(window_, GWL_EXSTYLE);
  SetWindowLongW(window_, GWL_EXSTYLE, (ex & ~WS_EX_APPWINDOW) | WS_EX_TOOLWINDOW);
  // A decoration has no system menu or boxes (the template's are for the
  // windows that carry a title); without them window managers leave it
  // alone instead of treating it as a window of its own.
  LONG style = GetWindowLongW(window_, GWL_STYLE);
  SetWindowLongW(window_, GWL_STYLE, style & ~(WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
  Place();
  image_ = LoadPngResource(kShadowPng);
  Draw();
  return true;
}

void CShadowDlg::Show() {
  if (window_) ShowWindow(window_, SW_SHOWNOACTIVATE);
}

void CShadowDlg::Destroy() {
  if (!window_) return;
  HWND window = window_;
  window_ = nullptr;
  if (IsWindow(window)) DestroyWindow(window);
}

void CShadowDlg::OnOwnerMoved(const RECT& r) {
  owner_ = r;
  if (window_ && IsWindowVisible(window_)) Place();
}

void CShadowDlg::Place() {
  RECT r = PlaceFor(owner_);
  SetWindowPos(window_, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void CShadowDlg::Draw() {
  RECT r = PlaceFor(owner_);
  int width = r.right - r.left;
  int height = r.bottom - r.top;
  // Without the image the window is layered but empty: no shadow, and
  // nothing that could hide the owner.
  ApplyLayeredContent(window_, width, height, [&](Gdiplus::Graphics& g) {
    DrawFrame(g, image_.get(), width, height, size_);
  });
}

std::unique_ptr<Gdiplus::Bitmap> CShadowDlg::Render(int width, int height, int size) {
  if (width <= 0 || height <= 0) return nullptr;
  auto picture = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppARGB);
  std::unique_ptr<Gdiplus::Bitmap> image = LoadPngResource(kShadowPng);
  Gdiplus::Graphics g(picture.get());
  g.Clear(Gdiplus::Color(0, 0, 0, 0));
  DrawFrame(g, image.get(), width, height, size);
  return picture;
}

void CShadowDlg::DrawFrame(Gdiplus::Graphics& g, Gdiplus::Bitmap* image, int W, int H, int s) {
  if (!image || image->GetWidth() < 37 || image->GetHeight() < 37) return;
  // Stretched edges repeat one row or column of the image: no smoothing, or
  // the transparent hole would bleed into them.
  g.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor);
  g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
  auto part = [&](int x, int y, int w, int h, int sx, int sy, int sw, int sh) {
    if (w <= 0 || h <= 0 || sw <= 0 || sh <= 0) return;
    g.DrawImage(image, Gdiplus::Rect(x, y, w, h), sx, sy, sw, sh, Gdiplus::UnitPixel);
  };
  const int edgeW = W - 2 * s - 14;
  const int edgeH = H - 2 * s - 14;
  const int inner = kImageInner - 2 * s;
  part(0, s + 3, kSide, edgeH, 0, s + 3, kSide, inner);                        // left
  part(W - kSide, s + 3, kSide, edgeH, kImageRight, s + 3, kSide, inner);      // right
  part(s + 7, 0, edgeW, kAbove, s + 7, 0, inner, kAbove);                      // top
  part(s + 7, H - kBelow, edgeW, kBelow, s + 7, kImageBottom, inner, kBelow);  // bottom
  part(0, 0, s + 7, s + 3, 0, 0, s + 7, s + 3);                                // corners
  part(0, H - s - 11, s + 7, s + 11, 0, kImageBottom - s, s + 7, s + 11);
  part(W - s - 7, 0, s + 7, s + 3, kImageRight - s, 0, s + 7, s + 3);
  part(W - s - 7, H - s - 11, s + 7, s + 11, kImageRight - s, kImageBottom - s, s + 7, s + 11);
}

INT_PTR CALLBACK CShadowDlg::DialogProc(HWND window, UINT message, WPARAM, LPARAM) {
  // The picture is the layered content; there is nothing to erase or paint.
  if (message != WM_ERASEBKGND) return FALSE;
  SetWindowLongPtrW(window, DWLP_MSGRESULT, 1);
  return TRUE;
}
