#include "ui/win32/button_base.h"

#include <windowsx.h>

namespace {
constexpr UINT_PTR kSubclassId = 1;
// Names the button object on its window, so the parent's reflected
// WM_DRAWITEM can find it.
constexpr wchar_t kObjectProperty[] = L"PivaroButton";
constexpr int kMaxCaption = 260;  // 259 characters and the terminator
}  // namespace

CBitmapButtonBase::CBitmapButtonBase(unsigned style) : style_(style) {}

CBitmapButtonBase::~CBitmapButtonBase() {
  // A tooltip is left only while the button's window lives (see
  // Destroyed), and then its owner, the parent, lives too.
  if (toolTip_) DestroyWindow(toolTip_);
  if (window_) {
    RemovePropW(window_, kObjectProperty);
    RemoveWindowSubclass(window_, SubclassProc, kSubclassId);
    DestroyWindow(window_);
  }
}

bool CBitmapButtonBase::Create(HWND parent, const RECT& r, int id) {
  window_ = CreateWindowExW(0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, r.left, r.top,
                            r.right - r.left, r.bottom - r.top, parent,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                            GetModuleHandleW(nullptr), nullptr);
  if (!window_) return false;
  SetPropW(window_, kObjectProperty, this);
  SetWindowSubclass(window_, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
  return true;
}

void CBitmapButtonBase::SetImageList(ImageList images) {
  images_ = std::move(images);
  if (window_ && images_ && (style_ & kStyleAutoSize)) {
    int cx = 0, cy = 0;
    ImageList_GetIconSize(images_.get(), &cx, &cy);
    SetWindowPos(window_, nullptr, 0, 0, cx, cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void CBitmapButtonBase::SetImages(int normal, int pressed, int hover, int disabled) {
  normal_ = normal;
  pressedImage_ = pressed;
  hover_ = hover;
  disabled_ = disabled;
}

void CBitmapButtonBase::SetToolTipText(const wchar_t* text) {
  toolTipText_ = text ? text : L"";
  if (!window_) return;
  if (!toolTip_) {
    toolTip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                               GetParent(window_), nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!toolTip_) return;
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND;
    tool.hwnd = GetParent(window_);
    tool.uId = reinterpret_cast<UINT_PTR>(window_);
    tool.lpszText = const_cast<wchar_t*>(toolTipText_.c_str());
    SendMessageW(toolTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(toolTip_, TTM_ACTIVATE, TRUE, 0);
  } else {
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = GetParent(window_);
    tool.uId = reinterpret_cast<UINT_PTR>(window_);
    tool.lpszText = const_cast<wchar_t*>(toolTipText_.c_str());
    SendMessageW(toolTip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

int CBitmapButtonBase::CurrentImage() const {
  if (!images_) return -1;
  int index = -1;
  if (!IsWindowEnabled(window_)) {
    index = disabled_;
  } else if (pressed_) {
    index = pressedImage_;
  } else if (HoverStyle() ? mouseOver_ : focused_) {
    index = hover_;
  }
  return index == -1 ? normal_ : index;
}

std::wstring CBitmapButtonBase::Caption() const {
  wchar_t text[kMaxCaption] = {};
  int n = GetWindowTextW(window_, text, kMaxCaption);
  return std::wstring(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

void CBitmapButtonBase::Redraw() {
  InvalidateRect(window_, nullptr, TRUE);
  UpdateWindow(window_);
}

bool CBitmapButtonBase::ReflectDrawItem(const DRAWITEMSTRUCT* item) {
  if (!item || item->CtlType != ODT_BUTTON) return false;
  auto* button = static_cast<CBitmapButtonBase*>(GetPropW(item->hwndItem, kObjectProperty));
  if (!button) return false;
  RECT client;
  GetClientRect(item->hwndItem, &client);
  button->Paint(item->hDC, client);
  return true;
}

bool CBitmapButtonBase::PaintInto(HWND window, HDC dc) {
  auto* button = static_cast<CBitmapButtonBase*>(GetPropW(window, kObjectProperty));
  if (!button) return false;
  RECT client;
  GetClientRect(window, &client);
  button->Paint(dc, client);
  return true;
}

LRESULT CALLBACK CBitmapButtonBase::SubclassProc(HWND window, UINT message, WPARAM wParam,
                                                 LPARAM lParam, UINT_PTR, DWORD_PTR self) {
  return reinterpret_cast<CBitmapButtonBase*>(self)->OnMessage(message, wParam, lParam);
}

LRESULT CBitmapButtonBase::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_MOUSEMOVE:
      RelayToToolTip(message, wParam, lParam);
      OnMouseMove(lParam);
      return 0;
    case WM_MOUSELEAVE:
      mouseOver_ = false;
      Redraw();
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      RelayToToolTip(message, wParam, lParam);
      OnButtonDown();
      return 0;
    case WM_LBUTTONUP:
      RelayToToolTip(message, wParam, lParam);
      OnButtonUp();
      return 0;
    case WM_CAPTURECHANGED:
      if (pressed_) {
        pressed_ = false;
        Redraw();
      }
      return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      focused_ = message == WM_SETFOCUS;
      Redraw();
      break;  // the button keeps its own focus handling
    case WM_ENABLE:
      Redraw();
      return 0;
    case WM_ERASEBKGND: {
      RECT client;
      GetClientRect(window_, &client);
      if (EraseBackground(reinterpret_cast<HDC>(wParam), client)) return 1;
      break;
    }
    case WM_SETCURSOR:
      if (SetCursorShape()) return TRUE;
      break;
    case WM_NCDESTROY: {
      HWND window = window_;
      Destroyed();
      return DefSubclassProc(window, message, wParam, lParam);
    }
    default:
      break;
  }
  return DefSubclassProc(window_, message, wParam, lParam);
}

void CBitmapButtonBase::OnMouseMove(LPARAM lParam) {
  if (GetCapture() == window_) {
    RECT client;
    GetClientRect(window_, &client);
    POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    bool inside = PtInRect(&client, p) != FALSE;
    if (inside != pressed_) {
      pressed_ = inside;
      Redraw();
    }
  } else if (HoverStyle() && !mouseOver_) {
    mouseOver_ = true;
    Redraw();
    TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, window_, 0};
    TrackMouseEvent(&track);
  }
}

void CBitmapButtonBase::OnButtonDown() {
  SetCapture(window_);
  pressed_ = true;
  Redraw();
}

void CBitmapButtonBase::OnButtonUp() {
  if (GetCapture() != window_) return;
  if (pressed_) {
    // The parent may end the dialog while handling the command; the
    // window itself lives until the dialog is destroyed after that.
    SendMessageW(GetParent(window_), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(window_), BN_CLICKED),
                 reinterpret_cast<LPARAM>(window_));
  }
  ReleaseCapture();  // WM_CAPTURECHANGED clears pressed
}

void CBitmapButtonBase::RelayToToolTip(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!toolTip_) return;
  MSG msg{window_, message, wParam, lParam, static_cast<DWORD>(GetMessageTime()), {}};
  DWORD pos = GetMessagePos();
  msg.pt = POINT{GET_X_LPARAM(pos), GET_Y_LPARAM(pos)};
  SendMessageW(toolTip_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
}

void CBitmapButtonBase::Destroyed() {
  // The tooltip belongs to the parent: a parent being destroyed has taken
  // it down already (owned windows go before children), and its handle may
  // name another window later. A button destroyed on its own takes its
  // tooltip with it.
  if (toolTip_ && IsWindow(toolTip_)) DestroyWindow(toolTip_);
  toolTip_ = nullptr;
  RemovePropW(window_, kObjectProperty);
  RemoveWindowSubclass(window_, SubclassProc, kSubclassId);
  window_ = nullptr;
  mouseOver_ = pressed_ = focused_ = false;
}
