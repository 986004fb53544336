#include "ui/win32/shadow_dlg.h"

#include "ui/win32/resource_ids.h"

namespace {

using resource_id::kShadowPng;
using resource_id::kTemplateId;

// Beyond the owner at 96 DPI: left and right, above, below.
constexpr int kSide = 7;
constexpr int kAbove = 3;
constexpr int kBelow = 11;
// The 37 x 37 image's window-sized hole at 96 DPI: 23 x 23 at (7, 3).
constexpr int kImageInner = 23;

}  // namespace

CShadowDlg::Metrics CShadowDlg::MetricsFor(const DpiScale& scale, int size) {
  return Metrics{scale(kSide), scale(kAbove), scale(kBelow), scale(kImageInner), scale(size)};
}

RECT CShadowDlg::PlaceFor(const RECT& owner, const DpiScale& scale) {
  Metrics m = MetricsFor(scale, kDefaultSize);
  return RECT{owner.left - m.side, owner.top - m.above, owner.right + m.side,
              owner.bottom + m.below};
}

std::unique_ptr<Gdiplus::Bitmap> CShadowDlg::LoadImage(const Metrics& m, const DpiScale& scale) {
  if (scale.IsDefault()) return LoadPngResource(kShadowPng);
  // The image is its parts: each length scaled on its own, so that the
  // parts meet as they do at 96 DPI.
  SIZE size{2 * m.side + m.inner, m.above + m.inner + m.below};
  return LoadPngResource(kShadowPng, scale, 1, &size);
}

void CShadowDlg::Redraw() {
  if (!window_) return;
  Place();
  image_ = LoadImage(MetricsFor(scale_, size_), scale_);
  Draw();
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
  image_ = LoadImage(MetricsFor(scale_, size_), scale_);
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
  RECT r = PlaceFor(owner_, scale_);
  SetWindowPos(window_, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void CShadowDlg::Draw() {
  RECT r = PlaceFor(owner_, scale_);
  int width = r.right - r.left;
  int height = r.bottom - r.top;
  // Without the image the window is layered but empty: no shadow, and
  // nothing that could hide the owner.
  ApplyLayeredContent(window_, width, height, [&](Gdiplus::Graphics& g) {
    DrawFrame(g, image_.get(), width, height, MetricsFor(scale_, size_));
  });
}

std::unique_ptr<Gdiplus::Bitmap> CShadowDlg::Render(int width, int height, int size,
                                                    const DpiScale& scale) {
  if (width <= 0 || height <= 0) return nullptr;
  auto picture = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppARGB);
  Metrics m = MetricsFor(scale, size);
  std::unique_ptr<Gdiplus::Bitmap> image = LoadImage(m, scale);
  Gdiplus::Graphics g(picture.get());
  g.Clear(Gdiplus::Color(0, 0, 0, 0));
  DrawFrame(g, image.get(), width, height, m);
  return picture;
}

void CShadowDlg::DrawFrame(Gdiplus::Graphics& g, Gdiplus::Bitmap* image, int W, int H,
                           const Metrics& m) {
  // The image: the hole (inner x inner) with side columns left and right,
  // `above` rows over it and `below` rows under it.
  const int imageRight = m.side + m.inner;    // x of the right edge column
  const int imageBottom = m.above + m.inner;  // y of the bottom edge row
  if (!image || static_cast<int>(image->GetWidth()) < imageRight + m.side ||
      static_cast<int>(image->GetHeight()) < imageBottom + m.below) {
    return;
  }
  // Stretched edges repeat one row or column of the image: no smoothing, or
  // the transparent hole would bleed into them.
  g.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor);
  g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
  auto part = [&](int x, int y, int w, int h, int sx, int sy, int sw, int sh) {
    if (w <= 0 || h <= 0 || sw <= 0 || sh <= 0) return;
    g.DrawImage(image, Gdiplus::Rect(x, y, w, h), sx, sy, sw, sh, Gdiplus::UnitPixel);
  };
  const int s = m.s;
  const int edgeW = W - 2 * s - 2 * m.side;
  const int edgeH = H - 2 * s - m.above - m.below;
  const int inner = m.inner - 2 * s;
  const int cornerW = s + m.side;
  // Each stretched edge reaches one pixel under the corners at both ends,
  // and the corners then replace those pixels: at some ratios a stretch
  // leaves its first column or row empty, which would show as a seam.
  part(0, s + m.above - 1, m.side, edgeH + 2, 0, s + m.above, m.side, inner);  // left
  part(W - m.side, s + m.above - 1, m.side, edgeH + 2, imageRight, s + m.above, m.side,
       inner);                                                                 // right
  part(s + m.side - 1, 0, edgeW + 2, m.above, s + m.side, 0, inner, m.above);  // top
  part(s + m.side - 1, H - m.below, edgeW + 2, m.below, s + m.side, imageBottom, inner,
       m.below);  // bottom
  // The corners, unscaled.
  g.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
  part(0, 0, cornerW, s + m.above, 0, 0, cornerW, s + m.above);
  part(0, H - s - m.below, cornerW, s + m.below, 0, imageBottom - s, cornerW, s + m.below);
  part(W - cornerW, 0, cornerW, s + m.above, imageRight - s, 0, cornerW, s + m.above);
  part(W - cornerW, H - s - m.below, cornerW, s + m.below, imageRight - s, imageBottom - s, cornerW,
       s + m.below);
}

INT_PTR CALLBACK CShadowDlg::DialogProc(HWND window, UINT message, WPARAM, LPARAM) {
  // The picture is the layered content; there is nothing to erase or paint.
  if (message != WM_ERASEBKGND) return FALSE;
  SetWindowLongPtrW(window, DWLP_MSGRESULT, 1);
  return TRUE;
}
