// The dialog procedure of a window class that handles its messages in one
// member function: `this` arrives with WM_INITDIALOG and is kept in
// DWLP_USER, and a handled message's result goes to DWLP_MSGRESULT.
#pragma once

#include <windows.h>

template <typename T>
INT_PTR RouteDialogMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, HWND T::*handle,
                           bool (T::*handler)(UINT, WPARAM, LPARAM, LRESULT*)) {
  T* self;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<T*>(lParam);
    self->*handle = window;
    SetWindowLongPtrW(window, DWLP_USER, lParam);
  } else {
    self = reinterpret_cast<T*>(GetWindowLongPtrW(window, DWLP_USER));
  }
  if (!self) return FALSE;
  LRESULT result = 0;
  if (!(self->*handler)(message, wParam, lParam, &result)) return FALSE;
  SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
  return TRUE;
}
