// The image-button model both owner-drawn buttons share: a system BUTTON
// with BS_OWNERDRAW, subclassed so that it tracks the mouse itself (hover,
// pressed, leave), reports a click to its parent only when the button is
// released inside it, and keeps a list of state images and an optional
// tooltip. The parent reflects WM_DRAWITEM back with ReflectDrawItem.
#pragma once

#include <windows.h>

#include <string>

#include "ui/win32/gdi.h"

class CBitmapButtonBase {
 public:
  // Extended style bits.
  static constexpr unsigned kStyleHover = 1;     // tracks the mouse, handles clicks itself
  static constexpr unsigned kStyleAutoSize = 8;  // sized to the images when they are given

  virtual ~CBitmapButtonBase();
  CBitmapButtonBase(const CBitmapButtonBase&) = delete;
  CBitmapButtonBase& operator=(const CBitmapButtonBase&) = delete;

  // A visible child at rect (parent client pixels) with a control id.
  bool Create(HWND parent, const RECT& rect, int id);
  HWND Hwnd() const { return window_; }
  // Draws the button of window, if it is one, into dc as it now looks
  // (a picture of a whole window; the system's printing of owner-drawn
  // buttons is not dependable).
  static bool PaintInto(HWND window, HDC dc);
  // The tooltip window, while there is one.
  HWND ToolTipHwnd() const { return toolTip_; }

  void SetExtendedStyle(unsigned style) { style_ = style; }
  // Takes the list; with autosize the window takes the images' size.
  void SetImageList(ImageList images);
  // -1 for an image that falls back to the normal one.
  void SetImages(int normal, int pressed = -1, int hover = -1, int disabled = -1);
  void SetToolTipText(const wchar_t* text);
  // The scale of the window the button sits in: its pixel shifts and lines
  // follow it.
  void SetScale(const DpiScale& scale) { scale_ = scale; }
  const DpiScale& Scale() const { return scale_; }

  bool IsMouseOver() const { return mouseOver_; }
  bool IsPressed() const { return pressed_; }

  // The parent's WM_DRAWITEM for this control: true when it was ours.
  static bool ReflectDrawItem(const DRAWITEMSTRUCT* item);

 protected:
  CBitmapButtonBase(unsigned style);

  // The image the current state shows, or -1 without images.
  int CurrentImage() const;
  const ImageList& Images() const { return images_; }
  bool HoverStyle() const { return (style_ & kStyleHover) != 0; }
  // Caption at most 259 characters, as the buttons draw it.
  std::wstring Caption() const;
  void Redraw();

  virtual void Paint(HDC dc, const RECT& client) = 0;
  // WM_ERASEBKGND: true when the button erased (or deliberately skipped).
  virtual bool EraseBackground(HDC dc, const RECT& client) = 0;
  virtual bool SetCursorShape() { return false; }

 private:
  static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR id, DWORD_PTR self);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnMouseMove(LPARAM lParam);
  void OnButtonDown();
  void OnButtonUp();
  void RelayToToolTip(UINT message, WPARAM wParam, LPARAM lParam);
  void Destroyed();

  HWND window_ = nullptr;
  unsigned style_;
  ImageList images_;
  int normal_ = -1, pressedImage_ = -1, hover_ = -1, disabled_ = -1;
  HWND toolTip_ = nullptr;
  std::wstring toolTipText_;
  bool mouseOver_ = false;
  bool focused_ = false;
  bool pressed_ = false;
  DpiScale scale_;
};
