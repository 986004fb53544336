// pivaro.exe itself: one copy per session, a second one brings the first
// forward and exits with 1; the first closes with 0 (its start-up figures
// are bench/program_startup.sh's). With
// --expect-phones (phone_pairing.sh runs two phones beside it) it watches
// the window show the connected view for each phone.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "app/startup.h"
#include "tests/services/test_http_server.h"
#include "tests/ui/window_harness.h"
#include "ui/win32/qr_code_view.h"

namespace {

std::wstring g_program;
bool g_expectPhones = false;
bool g_expectRelayPhone = false;
std::wstring g_saveQrAs;   // --save-qr=NAME
bool g_browserQr = false;  // --browser-qr: the browser remote's code instead of the app's

struct Process {
  PROCESS_INFORMATION info{};
  bool started = false;

  explicit Process(const std::wstring& path) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring command = L"\"" + path + L"\"";
    started = CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &info) != FALSE;
  }
  ~Process() {
    if (!started) return;
    if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info.hProcess, 9);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  // The exit code, or -1 while it still runs after timeoutMs.
  long Wait(DWORD timeoutMs) {
    if (WaitForSingleObject(info.hProcess, timeoutMs) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    return static_cast<long>(code);
  }
};

HWND WaitForMainWindow(DWORD timeoutMs) {
  DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    HWND w = FindWindowW(L"#32770", L"Pivaro");
    if (w && IsWindowVisible(w)) return w;
    Sleep(20);
  }
  return nullptr;
}

// The check mark of the connected view, read from the screen.
bool ShowsConnected(HWND window) {
  Capture c = CaptureWindow(window);
  return c.Count(RECT{108, 121, 176, 189}, IsGreen) > 2000;
}

bool WaitForView(HWND window, bool connected, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    if (ShowsConnected(window) == connected) return true;
    Sleep(50);
  }
  return false;
}

// The QR code view's square in the window's client area.
constexpr RECT kQrSquare{49, 107, 234, 292};

bool IsModuleBlack(std::uint32_t c) { return Red(c) + Green(c) + Blue(c) < 100; }

}  // namespace

TEST(Program, SecondCopyBringsTheFirstForwardAndExitsWithOne) {
  ASSERT_FALSE(g_program.empty()) << "usage: ui_program_tests <path of pivaro.exe>";
  Process first(g_program);
  ASSERT_TRUE(first.started);
  HWND window = WaitForMainWindow(20000);
  ASSERT_NE(window, nullptr) << "the window did not appear";

  ShowWindow(window, SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(window));
  Process second(g_program);
  ASSERT_TRUE(second.started);
  EXPECT_EQ(second.Wait(20000), 1);
  EXPECT_FALSE(IsIconic(window)) << "restored";
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_EQ(FindWindowW(L"#32770", L"Pivaro"), window) << "still one window";

  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(first.Wait(20000), 0);
}

// The exit record reaches the report service even when it has to queue
// behind a record still being answered: the service holds its answer to the
// start record until the program has given up its single-instance lock,
// which it does just before it queues the exit record.
TEST(Program, ExitRecordReachesASlowReportService) {
  ASSERT_FALSE(g_program.empty());
  std::mutex gateLock;
  std::condition_variable gateChanged;
  bool gateOpen = false;
  test::TestHttpServer service{[&](const std::string& request) {
    if (request.find("\"cmdid\":1880") != std::string::npos) {
      // Within the client's 5 s receive limit, open or not.
      std::unique_lock<std::mutex> lock(gateLock);
      gateChanged.wait_for(lock, std::chrono::milliseconds(4500), [&] { return gateOpen; });
    }
    return test::Answer(200, "");
  }};
  const std::string url = service.Url("/report");
  ASSERT_TRUE(SetEnvironmentVariableA("PIVARO_REPORT_URL", url.c_str()));
  Process program(g_program);
  SetEnvironmentVariableA("PIVARO_REPORT_URL", nullptr);
  ASSERT_TRUE(program.started);
  HWND window = WaitForMainWindow(20000);
  ASSERT_NE(window, nullptr);
  PostMessageW(window, WM_CLOSE, 0, 0);
  bool released = WaitFor(
      [] {
        HANDLE lock = OpenMutexW(SYNCHRONIZE, FALSE, L"{420AC27E-85B8-405b-9455-8E615EC9DA36}");
        if (!lock) return true;
        CloseHandle(lock);
        return false;
      },
      std::chrono::seconds(20));
  {
    std::lock_guard<std::mutex> lock(gateLock);
    gateOpen = true;
  }
  gateChanged.notify_all();
  ASSERT_TRUE(released);
  EXPECT_EQ(program.Wait(20000), 0);
  auto has = [](const std::vector<std::string>& requests, const char* cmd) {
    for (const auto& r : requests) {
      if (r.find(cmd) != std::string::npos) return true;
    }
    return false;
  };
  // The program has ended: what has not come yet never will.
  auto requests =
      service.WaitUntil([&](const std::vector<std::string>& r) { return has(r, "\"cmdid\":1882"); },
                        std::chrono::seconds(2));
  EXPECT_TRUE(has(requests, "\"cmdid\":1880")) << "start record";
  EXPECT_TRUE(has(requests, "\"cmdid\":1882")) << "exit record";
}

// The version is the build's everywhere the program carries it: its
// version information, its manifest and what it reports.
TEST(Program, CarriesTheBuildsVersion) {
  ASSERT_FALSE(g_program.empty());
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(g_program.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(g_program.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                LOWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(std::string(numbers), PIVARO_VERSION);
  wchar_t* text = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\000004b0\\ProductVersion",
                             reinterpret_cast<void**>(&text), &length));
  EXPECT_EQ(std::wstring(text), std::wstring(L"" PIVARO_VERSION));

  HMODULE image = LoadLibraryExW(g_program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr);
  HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr);
  const char* manifest = static_cast<const char*>(LockResource(LoadResource(image, found)));
  std::string xml(manifest, SizeofResource(image, found));
  FreeLibrary(image);
  EXPECT_NE(xml.find("name=\"Pivaro.Client\" version=\"" PIVARO_VERSION "\""), std::string::npos)
      << xml.substr(0, 300);
  EXPECT_EQ(std::u16string(kClientVersion), std::u16string(u"" PIVARO_VERSION));
}

TEST(Program, PairsWithPhonesOverTheDirectSession) {
  if (!g_expectPhones) GTEST_SKIP() << "run by phone_pairing.sh, which brings the phones";
  Process program(g_program);
  ASSERT_TRUE(program.started);
  HWND window = WaitForMainWindow(20000);
  ASSERT_NE(window, nullptr);
  CreateDirectoryW(L"screenshots", nullptr);
  // The TCP phone pairs, commands, and leaves; then the UDP phone does.
  ASSERT_TRUE(WaitForView(window, true, 60000)) << "TCP phone: never connected";
  CaptureWindow(window).SavePng(L"screenshots\\program_connected.png");
  ASSERT_TRUE(WaitForView(window, false, 60000)) << "TCP phone: never left";
  ASSERT_TRUE(WaitForView(window, true, 60000)) << "UDP phone: never connected";
  // Closing while connected asks first; the answer is "关闭并断开".
  PostMessageW(window, WM_CLOSE, 0, 0);
  HWND question = WaitForDialogOver(window, std::chrono::seconds(10));
  ASSERT_NE(question, nullptr);
  PostMessageW(question, WM_COMMAND, MAKEWPARAM(1, 0), 0);
  EXPECT_EQ(program.Wait(20000), 0);
}

// A symbol of the pairing address holds thousands of black and of white
// pixels; a window not painted yet is black all over.
bool ShowsQrCode(HWND window) {
  Capture c = CaptureWindow(window);
  return c.Count(kQrSquare, IsModuleBlack) > 3000 && c.Count(kQrSquare, IsWhite) > 3000;
}

// Saves the window as screenshots/<name>.png for qr_relay_pairing.sh, then
// <name>.ready, written after the picture so the script never reads half.
void ShareQrCode(HWND window, const std::wstring& name) {
  ASSERT_TRUE(CaptureWindow(window).SavePng(L"screenshots\\" + name + L".png"));
  HANDLE ready = CreateFileW((L"screenshots\\" + name + L".ready").c_str(), GENERIC_WRITE, 0,
                             nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(ready, INVALID_HANDLE_VALUE);
  CloseHandle(ready);
}

// qr_relay_pairing.sh reads the code from the screenshot, and a phone pairs
// through the relay parameters it holds, with the broker the script started
// (PIVARO_RELAY_URI, inherited by pivaro.exe).
TEST(Program, ShowsAQrCodeThatPairsOverTheRelay) {
  if (!g_expectRelayPhone) GTEST_SKIP() << "run by qr_relay_pairing.sh, which brings the phone";
  Process program(g_program);
  ASSERT_TRUE(program.started);
  HWND window = WaitForMainWindow(20000);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitFor([&] { return ShowsQrCode(window); }, std::chrono::seconds(30)))
      << "no QR code in the window";
  CreateDirectoryW(L"screenshots", nullptr);
  ASSERT_NO_FATAL_FAILURE(ShareQrCode(window, L"program_qr"));
  ASSERT_TRUE(WaitForView(window, true, 60000)) << "relay phone: never connected";
  CaptureWindow(window).SavePng(L"screenshots\\program_relay_connected.png");
  // The phone's "bye" sends the window back to its code, over sessions made
  // anew; a second phone pairs through the new relay session.
  ASSERT_TRUE(WaitForView(window, false, 60000)) << "relay phone: never left";
  ASSERT_TRUE(WaitFor([&] { return ShowsQrCode(window); }, std::chrono::seconds(30)));
  ASSERT_NO_FATAL_FAILURE(ShareQrCode(window, L"program_qr2"));
  ASSERT_TRUE(WaitForView(window, true, 60000)) << "second relay phone: never connected";
  PostMessageW(window, WM_CLOSE, 0, 0);
  HWND question = WaitForDialogOver(window, std::chrono::seconds(10));
  ASSERT_NE(question, nullptr);
  PostMessageW(question, WM_COMMAND, MAKEWPARAM(1, 0), 0);
  EXPECT_EQ(program.Wait(20000), 0);
}

// com_program_show.sh starts pivaro.exe itself and asks for its QR code
// (--save-qr=NAME) to pair a phone over the relay; com_presenter_pictures.sh
// asks for the browser remote's code (--browser-qr), which a click on the
// code switches to.
TEST(Program, SavesTheRunningProgramsQrCode) {
  if (g_saveQrAs.empty()) GTEST_SKIP() << "run by com_program_show.sh with --save-qr=NAME";
  HWND window = WaitForMainWindow(30000);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitFor([&] { return ShowsQrCode(window); }, std::chrono::seconds(30)))
      << "no QR code in the window";
  if (g_browserQr) {
    const std::vector<std::uint32_t> appCode = CaptureWindow(window).pixels;
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(CQRCodeView::kSwitchCommand, 0), 0);
    ASSERT_TRUE(
        WaitFor([&] { return CaptureWindow(window).pixels != appCode && ShowsQrCode(window); },
                std::chrono::seconds(10)))
        << "the code did not switch to the browser remote's";
  }
  CreateDirectoryW(L"screenshots", nullptr);
  ASSERT_NO_FATAL_FAILURE(ShareQrCode(window, g_saveQrAs));
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    g_expectPhones |= std::string(argv[i]) == "--expect-phones";
    g_expectRelayPhone |= std::string(argv[i]) == "--expect-relay-phone";
    const std::string arg = argv[i];
    if (arg.rfind("--save-qr=", 0) == 0) g_saveQrAs.assign(arg.begin() + 10, arg.end());
    g_browserQr |= arg == "--browser-qr";
  }
  if (argc > 1) {
    std::string path = argv[1];
    // CTest hands over the build machine's path; Wine sees / as drive Z.
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    g_program.assign(path.begin(), path.end());
  }
  return RUN_ALL_TESTS();
}
