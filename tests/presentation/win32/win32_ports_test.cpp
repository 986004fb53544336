// The Win32 ports against the real (Wine) user32, registry and COM.
#include <windows.h>

#include <gtest/gtest.h>

#include "../recording_notify.h"
#include "presentation/powerpoint_mgr.h"
#include "presentation/win32/system_ports.h"

namespace {

HWND MakeWindow(const wchar_t* className, const wchar_t* title, DWORD style, RECT r) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = className;
  RegisterClassExW(&wc);
  return CreateWindowExW(0, className, title, style, r.left, r.top, r.right - r.left,
                         r.bottom - r.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

TEST(Win32Desktop, FindsShowWindowsByClassTitleAndStyle) {
  auto desktop = CreateSystemDesktop();
  HWND framed = MakeWindow(L"screenClass", L"", WS_OVERLAPPEDWINDOW, {0, 0, 300, 200});
  HWND show = MakeWindow(L"screenClass", L"", WS_POPUP, {10, 20, 650, 500});
  HWND wps = MakeWindow(L"QWidget", L"Deck - WPS演示 幻灯片放映", WS_POPUP, {0, 0, 100, 100});
  ASSERT_TRUE(framed && show && wps);

  EXPECT_EQ(CPowerPointMgrImpl::FindShowWindow(*desktop, PowerPoint),
            reinterpret_cast<WindowHandle>(show));
  EXPECT_EQ(CPowerPointMgrImpl::FindShowWindow(*desktop, Wps), reinterpret_cast<WindowHandle>(wps));
  ScreenRect rect;
  ASSERT_TRUE(desktop->WindowRect(reinterpret_cast<WindowHandle>(show), &rect));
  EXPECT_EQ(rect, (ScreenRect{10, 20, 650, 500}));
  EXPECT_EQ(desktop->WindowTitle(reinterpret_cast<WindowHandle>(wps), 260),
            u"Deck - WPS演示 幻灯片放映");
  EXPECT_EQ(desktop->WindowTitle(reinterpret_cast<WindowHandle>(wps), 5), u"Deck");
  std::int32_t w = 0, h = 0;
  desktop->VirtualScreenSize(&w, &h);
  EXPECT_GT(w, 0);
  EXPECT_GT(h, 0);

  DestroyWindow(framed);
  DestroyWindow(show);
  DestroyWindow(wps);
  EXPECT_EQ(CPowerPointMgrImpl::FindShowWindow(*desktop, PowerPoint), 0u);
}

TEST(Win32Registry, ReadsAStringThatFitsItsBuffer) {
  const wchar_t* key = L"Software\\PivaroTest\\common";
  HKEY handle = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                            nullptr),
            ERROR_SUCCESS);
  const wchar_t shortText[] = L"9.1.0.4060";
  const wchar_t longText[] = L"11.1.0.12345-and-more";
  RegSetValueExW(handle, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(shortText),
                 sizeof shortText);
  RegSetValueExW(handle, L"Long", 0, REG_SZ, reinterpret_cast<const BYTE*>(longText),
                 sizeof longText);
  RegCloseKey(handle);

  auto registry = CreateSystemRegistry();
  std::u16string value;
  EXPECT_TRUE(registry->ReadUserString(u"Software\\PivaroTest\\common", u"Version", 32, &value));
  EXPECT_EQ(value, u"9.1.0.4060");
  EXPECT_FALSE(registry->ReadUserString(u"Software\\PivaroTest\\common", u"Long", 32, &value));
  EXPECT_FALSE(registry->ReadUserString(u"Software\\PivaroTest\\common", u"Missing", 32, &value));
  EXPECT_FALSE(registry->ReadUserString(u"Software\\PivaroTest\\none", u"Version", 32, &value));
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\PivaroTest");
}

TEST(Win32Automation, UnknownClassNamesLeaveTheManagerWithoutApplications) {
  auto automation = CreateSystemAutomation();
  AutomationPtr app;
  automation->EnterApartment();
  EXPECT_TRUE(Failed(automation->Create(u"Pivaro.NoSuchApplication", &app)));
  EXPECT_EQ(app, nullptr);
  automation->LeaveApartment();

  // The manager of this platform: COM apartment, message-pumping worker,
  // no PowerPoint or WPS under Wine.
  RecordingNotify notify;
  {
    CPowerPointMgr manager;
    manager.SetNotify(&notify);
    manager.QueryState();
    manager.NextSlide();
    ASSERT_TRUE(notify.WaitFor([&] { return !notify.failures.empty(); }));
  }
  EXPECT_EQ(notify.states, (std::vector<std::pair<bool, bool>>{{false, false}}));
  EXPECT_EQ(notify.failures, (std::vector<std::pair<bool, bool>>{{false, false}}));
}

}  // namespace
