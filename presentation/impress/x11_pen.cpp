#include "presentation/impress/x11_pen.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "presentation/powerpoint_mgr_impl.h"

// Xlib last: its macros (Bool, None, Status) would break the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

// A window id from the office that this display does not know must not end
// the program (Xlib's default handler exits).
int IgnoreXError(::Display*, XErrorEvent*) { return 0; }

std::int32_t Truncate(double value) {
  if (!(value > -2147483648.0)) return INT32_MIN;
  if (!(value < 2147483647.0)) return INT32_MAX;
  return static_cast<std::int32_t>(value);
}

}  // namespace

void MapPenPoint(const ScreenRect& slide, double x, double y, std::int32_t* px, std::int32_t* py) {
  *px = Truncate((double(slide.right) - slide.left) * x + slide.left);
  *py = Truncate((double(slide.bottom) - slide.top) * y + slide.top);
  if (*px <= slide.left) *px = slide.left + 1;
}

struct CX11Pen::Display_ {
  ::Display* display = nullptr;
  Window root = 0;
};

CX11Pen::CX11Pen() : x_(std::make_unique<Display_>()) {
  // Strokes are injected from the presentation manager's worker while other
  // threads may use Xlib too (its extensions keep lists shared by every
  // connection): Xlib must lock, which it does only when told so first.
  static const bool threadsReady = XInitThreads() != 0;
  const char* session = std::getenv("XDG_SESSION_TYPE");
  const char* display = std::getenv("DISPLAY");
  if (session && std::strcmp(session, "wayland") == 0) {
    unavailable_ = "a Wayland session takes no pointer from outside";
    return;
  }
  if (!threadsReady) {
    unavailable_ = "Xlib cannot be used from several threads here";
    return;
  }
  if (!display || !*display) {
    unavailable_ = "there is no X display (DISPLAY is not set)";
    return;
  }
  x_->display = XOpenDisplay(nullptr);
  if (!x_->display) {
    unavailable_ = std::string("the X display ") + display + " cannot be opened";
    return;
  }
  int event, error, major, minor;
  if (!XTestQueryExtension(x_->display, &event, &error, &major, &minor)) {
    unavailable_ = "the X server has no X Test extension";
    XCloseDisplay(x_->display);
    x_->display = nullptr;
    return;
  }
  XSetErrorHandler(IgnoreXError);
  x_->root = DefaultRootWindow(x_->display);
}

CX11Pen::~CX11Pen() {
  if (drawing_) Release();
  if (x_->display) XCloseDisplay(x_->display);
}

bool CX11Pen::SlideArea(std::uint64_t window, std::int32_t slideWidth, std::int32_t slideHeight,
                        ScreenRect* area) {
  if (!x_->display || !window) return false;
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(x_->display, static_cast<Window>(window), &attributes) ||
      attributes.map_state != IsViewable)
    return false;
  int left = 0, top = 0;
  Window child;
  if (!XTranslateCoordinates(x_->display, static_cast<Window>(window), x_->root, 0, 0, &left, &top,
                             &child))
    return false;
  ScreenRect rect;
  rect.left = left;
  rect.top = top;
  rect.right = left + attributes.width;
  rect.bottom = top + attributes.height;
  *area = FitSlideInWindow(rect, slideWidth, slideHeight);
  // A window of a few pixels is one the office has mapped and not yet
  // brought to its size: a stroke there would land far from the slide.
  return area->right - area->left >= kMinSlideSide && area->bottom - area->top >= kMinSlideSide;
}

// The show window is in front at the point when the top-level window there
// is the one that holds it.
bool CX11Pen::InFront(std::int32_t px, std::int32_t py) {
  int ignoredX, ignoredY;
  Window topAtPoint = 0;
  if (!XTranslateCoordinates(x_->display, x_->root, x_->root, px, py, &ignoredX, &ignoredY,
                             &topAtPoint) ||
      !topAtPoint)
    return false;
  Window w = static_cast<Window>(window_);
  // Up to the child of the root (a window manager's frame, if there is one).
  for (int depth = 0; depth < 64; ++depth) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(x_->display, w, &root, &parent, &children, &count)) return false;
    if (children) XFree(children);
    if (parent == x_->root || parent == 0) return w == topAtPoint;
    w = parent;
  }
  return false;
}

bool CX11Pen::Press(std::uint64_t window, std::int32_t slideWidth, std::int32_t slideHeight,
                    double x, double y) {
  if (drawing_) Release();
  if (!x_->display || !SlideArea(window, slideWidth, slideHeight, &area_)) return false;
  window_ = window;
  std::int32_t px, py;
  MapPenPoint(area_, x, y, &px, &py);
  if (!InFront(px, py)) return false;
  Window root, child;
  int wx, wy;
  unsigned mask;
  if (!XQueryPointer(x_->display, x_->root, &root, &child, &savedX_, &savedY_, &wx, &wy, &mask)) {
    savedX_ = px;
    savedY_ = py;
  }
  XTestFakeMotionEvent(x_->display, -1, px, py, CurrentTime);
  XTestFakeButtonEvent(x_->display, 1, True, CurrentTime);
  // Impress's ink begins at the first drag, not at the press: a drag of one
  // pixel starts it here, so that a stroke whose first moves were merged or
  // dropped on a busy PC still begins where the finger went down.
  XTestFakeMotionEvent(x_->display, -1, px + 1, py, CurrentTime);
  XTestFakeMotionEvent(x_->display, -1, px, py, CurrentTime);
  XFlush(x_->display);
  drawing_ = true;
  return true;
}

bool CX11Pen::Move(double x, double y) {
  if (!drawing_) return false;
  std::int32_t px, py;
  MapPenPoint(area_, x, y, &px, &py);
  if (!InFront(px, py)) {
    Release();
    return false;
  }
  XTestFakeMotionEvent(x_->display, -1, px, py, CurrentTime);
  XFlush(x_->display);
  return true;
}

void CX11Pen::Release() {
  if (!drawing_) return;
  drawing_ = false;
  XTestFakeButtonEvent(x_->display, 1, False, CurrentTime);
  XTestFakeMotionEvent(x_->display, -1, savedX_, savedY_, CurrentTime);
  // Round trip: the stroke is in the server before the next call.
  XSync(x_->display, False);
  releasedAt_ = std::chrono::steady_clock::now();
}
