// Registration and message routing for the windows with a class of their
// own: the static procedure stores the object at WM_NCCREATE and hands
// every later message to its OnMessage.
#pragma once

#include <windows.h>

template <class T>
class CChildWindow {
 public:
  HWND Hwnd() const { return window_; }

 protected:
  // Registers the class once per process (a second registration fails
  // harmlessly) and creates the window at rect with id.
  bool CreateChild(const wchar_t* className, UINT classStyle, HBRUSH background, HWND parent,
                   const RECT& r, DWORD style, int id) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = classStyle;
    wc.lpfnWndProc = &CChildWindow::StaticProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = background;
    wc.lpszClassName = className;
    RegisterClassExW(&wc);
    return CreateWindowExW(0, className, L"", style, r.left, r.top, r.right - r.left,
                           r.bottom - r.top, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), static_cast<T*>(this)) != nullptr;
  }

  void DestroyChild() {
    if (window_) DestroyWindow(window_);
  }

  HWND window_ = nullptr;

 private:
  static LRESULT CALLBACK StaticProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    T* self;
    if (message == WM_NCCREATE) {
      self = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
      self->window_ = window;
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
      self = reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    LRESULT result = self->OnMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      self->window_ = nullptr;
    }
    return result;
  }
};
