// The Win32 ports against the real (Wine) user32, registry and COM.
#include <windows.h>

#include <objbase.h>

#include <string>
#include <thread>

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

// The COM apartment the calling thread is in, probed without changing it.
std::string ApartmentOfThisThread() {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (hr == RPC_E_CHANGED_MODE) return "single-threaded";
  if (SUCCEEDED(hr)) CoUninitialize();
  return hr == S_OK ? "none" : "multithreaded";
}

class QueueApartment : public IApartment {
 public:
  bool Deliver(std::function<void()>) override { return false; }
};

// Runs `step` on a thread of its own and returns what it returned.
template <typename Step>
std::string OnThread(Step step) {
  std::string seen;
  std::thread([&] { seen = step(); }).join();
  return seen;
}

// Each thread enters and leaves its own apartment: the presentation worker
// (a thread that runs a task queue) a single-threaded one, any other thread
// the multithreaded one; one thread leaving never undoes another's entry,
// and nested pairs undo only at the outermost leave.
TEST(Win32Automation, EveryThreadEntersItsOwnApartment) {
  auto automation = CreateSystemAutomation();
  EXPECT_EQ(OnThread([&] {
              SetCurrentApartment(std::make_shared<QueueApartment>());
              automation->EnterApartment();
              std::string kind = ApartmentOfThisThread();
              automation->LeaveApartment();
              SetCurrentApartment(nullptr);
              return kind + ", then " + ApartmentOfThisThread();
            }),
            "single-threaded, then none");

  std::string worker, exporter, workerAfter;
  std::thread workerThread([&] {
    SetCurrentApartment(std::make_shared<QueueApartment>());
    automation->EnterApartment();
    worker = ApartmentOfThisThread();
    // The exporter comes and goes while the worker stays in.
    exporter = OnThread([&] {
      automation->EnterApartment();
      automation->EnterApartment();
      std::string kind = ApartmentOfThisThread();
      automation->LeaveApartment();
      kind += ", " + ApartmentOfThisThread();
      automation->LeaveApartment();
      return kind;
    });
    workerAfter = ApartmentOfThisThread();
    automation->LeaveApartment();
    workerAfter += ", then " + ApartmentOfThisThread();
    automation->LeaveApartment();  // one leave too many does nothing
    SetCurrentApartment(nullptr);
  });
  workerThread.join();
  EXPECT_EQ(worker, "single-threaded");
  EXPECT_EQ(exporter, "multithreaded, multithreaded");
  EXPECT_EQ(workerAfter, "single-threaded, then none");
}

}  // namespace
