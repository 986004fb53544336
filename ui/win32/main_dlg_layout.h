// The main window's layout, images, colours and small helpers, shared by
// the files of CMainDlg (main_dlg.cpp: messages and set-up; main_dlg_view.cpp:
// painting and what the controller shows). Not for use elsewhere.
#pragma once

#include <windows.h>

#include "ui/win32/gdi.h"
#include "ui/win32/resource_ids.h"

namespace main_dlg {

using resource_id::kButtonStrip;
using resource_id::kCloseStrip;
using resource_id::kIconId;
using resource_id::kLogoPng;
using resource_id::kMinimizeStrip;
using resource_id::kSuccessPng;
using resource_id::kTemplateId;
using resource_id::kUpdateStrip;
using resource_id::kWarningPng;

// --- layout (client pixels at 96 DPI: left, top, right, bottom) -------------
constexpr int kWidth = 284;
constexpr int kHeight = 396;
constexpr int kCornerEllipse = 7;

constexpr RECT kCloseRect{243, 0, 284, 30};
constexpr RECT kMinimizeRect{212, 0, 243, 30};
constexpr RECT kConnectRect{102, 320, 182, 346};
constexpr RECT kCancelRect{195, 322, 221, 342};
constexpr RECT kWebsiteRect{104, 368, 140, 388};
constexpr RECT kAboutRect{144, 368, 180, 388};
constexpr RECT kRetryRect{51, 189, 233, 209};
constexpr RECT kLoadingRect{108, 165, 176, 233};
constexpr RECT kUpdateRect{238, 350, 284, 396};
constexpr RECT kQrCodeRect{49, 107, 234, 292};
constexpr int kUpdateSide = 46;

constexpr int kLogoX = 50;
constexpr int kLogoY = 35;
constexpr int kTitleGap = 63;  // title x = logo width + gap
constexpr float kTitleHeight = 32;
constexpr float kSeparatorTop = 368;
constexpr float kSeparatorHeight = 20;
constexpr int kImageX = 108;  // warning and check mark
constexpr int kImageY = 121;
constexpr float kLowerLine1 = 326;  // under the QR code or the spinner
constexpr float kLowerLine2 = 342;
constexpr float kUpperLine1 = 214;  // under the warning or the check mark
constexpr float kUpperLine2 = 234;
// The transport note: one line in the free band between the QR code's
// square (ends at 292) and the first text line (from 319).
constexpr float kNoteTop = 296;
constexpr float kNoteHeight = 18;
constexpr float kNoteMargin = 8;
// Where the phone's description shows as a tooltip: the check mark and its
// two lines of the connected view.
constexpr RECT kPhoneTipRect{20, 121, 264, 245};
constexpr UINT_PTR kPhoneTipId = 1;

// --- images -------------------------------------------------------------------

// --- colours ------------------------------------------------------------------
constexpr COLORREF kText = Rgb(0x425766);
constexpr COLORREF kLink = Rgb(0xA0ABB2);
constexpr COLORREF kSeparator = Rgb(0xA0ABB0);
constexpr COLORREF kLinkActive = Rgb(0x4A90E2);
constexpr COLORREF kRetryBlue = Rgb(0x3D8DFE);
constexpr COLORREF kCancelBlue = Rgb(0x3A8EFB);
constexpr COLORREF kWhite = Rgb(0xFFFFFF);
constexpr COLORREF kNote = Rgb(0x8C979E);

constexpr float kTitlePixels = 24;
constexpr float kSmallPixels = 12;
constexpr float kLargePixels = 14;
constexpr float kNotePixels = 11;

inline const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

inline void Show(HWND window, bool show) {
  if (window) ShowWindow(window, show ? SW_SHOW : SW_HIDE);
}

}  // namespace main_dlg
