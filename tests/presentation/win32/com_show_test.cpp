// The presentation manager over real cross-process COM: the simulated
// presentation application runs in its own process as a COM local server
// (tests/support/win32/presentation_server.cpp), registered under the class
// names the back-ends create, and the manager reaches it through the
// IDispatch adapter with the events coming back through the connection
// point. The desktop stays simulated on this side: the input the manager
// sends is recorded, not played into the server's windows.
#include <windows.h>

#include <objbase.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "presentation/powerpoint_mgr.h"
#include "presentation/simulated_office.h"
#include "presentation/win32/system_ports.h"
#include "tests/presentation/recording_notify.h"
#include "tests/support/win32/com_registration.h"
#include "tests/support/win32/png_picture.h"

namespace {

const wchar_t kServerExe[] = L"pivaro_presentation_server.exe";
constexpr HResult kInvalidArgument = static_cast<HResult>(0x80070057);  // E_INVALIDARG
// Starting a Wine process and its COM registration take a second or two on
// a loaded machine; every wait below is bounded by this.
constexpr auto kComWait = std::chrono::seconds(30);

std::wstring ServerPath() {
  wchar_t self[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + kServerExe;
}

// The class registration of one server, under a fresh CLSID, removed again
// at the end.
class ServerRegistration {
 public:
  ServerRegistration(const std::wstring& progId, const std::wstring& arguments) {
    registered_ =
        RegisterLocalServer(progId, L"\"" + ServerPath() + L"\" " + arguments, &registration_);
  }
  ~ServerRegistration() {
    if (registered_) UnregisterLocalServer(registration_);
  }
  bool ok() const { return registered_; }
  bool perUser() const { return registration_.perUser; }

 private:
  ComRegistration registration_;
  bool registered_ = false;
};

std::vector<DWORD> ServerProcesses() {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    if (_wcsicmp(entry.szExeFile, kServerExe) == 0) ids.push_back(entry.th32ProcessID);
  CloseHandle(snapshot);
  return ids;
}

// Ends every running server and waits (bounded) until each is gone.
bool KillServers() {
  bool all = true;
  for (DWORD id : ServerProcesses()) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (!process) continue;  // ended meanwhile
    TerminateProcess(process, 9);
    all = WaitForSingleObject(process, 10000) == WAIT_OBJECT_0 && all;
    CloseHandle(process);
  }
  return all;
}

template <typename Pred>
bool WaitUntil(Pred done, std::chrono::milliseconds limit = kComWait) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A property read on a bare IDispatch, with the exception information the
// caller asks for.
HRESULT RawGet(IDispatch* object, const wchar_t* member, VARIANT* answer, EXCEPINFO* exception) {
  LPOLESTR name = const_cast<LPOLESTR>(member);
  DISPID id = 0;
  HRESULT hr = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, answer,
                        exception, nullptr);
}

struct ShowCase {
  const char* name;
  PowerPointType type;
  const wchar_t* progId;
  const wchar_t* arguments;
  const char16_t* version;
};

const ShowCase kShowCases[] = {
    {"PowerPoint", PowerPoint, L"PowerPoint.Application", L"--kind=powerpoint --version=16.0",
     u"16.0"},
    {"Wps", Wps, L"KWPP.Application", L"--kind=wps --version=9.1.0.4060", u"9.1.0.4060"},
};

class ComShowTest : public ::testing::TestWithParam<ShowCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(KillServers());
    // A run that crashed may have left its classes behind.
    for (const ShowCase& c : kShowCases) UnregisterProgId(c.progId);
    // This thread reads the server's state through a second client.
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    desktop_ = std::make_shared<CSimulatedDesktop>(1920, 1080);
    // The show window the manager looks for on this side of the desktop.
    desktop_->AddWindow(u"screenClass", u"PowerPoint Slide Show - Sample", 0x94000000,
                        ScreenRect{0, 0, 1920, 1080});
    registry_ = std::make_shared<CSimulatedRegistry>();
    registry_->SetUserString(CPowerPointMgrImpl::kWpsVersionKey, u"Version", GetParam().version);
  }
  void TearDown() override {
    mgr_.reset();
    viewer_.reset();
    // A server whose client went away ends by itself; one that did not is
    // ended here so that no test leaves a process behind.
    WaitUntil([] { return ServerProcesses().empty(); }, std::chrono::seconds(5));
    EXPECT_TRUE(KillServers());
    CoUninitialize();
  }

  PresentationPorts Ports() {
    PresentationPorts ports;
    ports.automation = CreateSystemAutomation();
    ports.desktop = desktop_;
    ports.registry = registry_;
    ports.processes = CreateSystemProcessList();
    return ports;
  }

  void StartManager() {
    mgr_ = std::make_unique<CPowerPointMgr>(Ports());
    notify_.manager = mgr_.get();
    mgr_->SetNotify(&notify_);
  }

  // A second client of the same server, for reading what the show shows.
  AutoValue ReadFromServer(const std::vector<const char16_t*>& path) {
    const std::wstring progId = GetParam().progId;
    if (!viewer_ && Failed(CreateSystemAutomation()->Create(
                        std::u16string(progId.begin(), progId.end()), &viewer_)))
      return AutoValue();
    AutomationPtr object = viewer_;
    AutoValue value;
    for (std::size_t i = 0; i < path.size(); ++i) {
      if (Failed(GetProperty(object.get(), path[i], &value))) return AutoValue();
      if (i + 1 < path.size()) object = value.object;
    }
    return value;
  }
  std::int32_t ServerPointerType() {
    AutoValue v =
        ReadFromServer({u"ActivePresentation", u"SlideShowWindow", u"View", u"PointerType"});
    return v.kind == AutoValue::Kind::Int32 ? v.intValue : -1;
  }

  std::vector<std::int32_t> EventIds() {
    return notify_.Locked([&] {
      std::vector<std::int32_t> ids;
      for (const auto& e : notify_.events) ids.push_back(e.id);
      return ids;
    });
  }
  std::size_t CountOf(std::int32_t id) {
    auto ids = EventIds();
    return static_cast<std::size_t>(std::count(ids.begin(), ids.end(), id));
  }
  bool WaitForState(bool appFound, bool showRunning) {
    const std::size_t before = notify_.Locked([&] { return notify_.states.size(); });
    mgr_->QueryState();
    bool answered =
        WaitUntil([&] { return notify_.Locked([&] { return notify_.states.size() > before; }); });
    return answered && notify_.Locked([&] {
      return notify_.states.back() == std::make_pair(appFound, showRunning);
    });
  }
  std::u16string Notes() {
    const std::size_t before = notify_.Locked([&] { return notify_.notes.size(); });
    mgr_->RequestNotes();
    WaitUntil([&] { return notify_.Locked([&] { return notify_.notes.size() > before; }); });
    return notify_.Locked(
        [&] { return notify_.notes.size() > before ? notify_.notes.back() : u"<no answer>"; });
  }

  std::shared_ptr<CSimulatedDesktop> desktop_;
  std::shared_ptr<CSimulatedRegistry> registry_;
  RecordingNotify notify_;
  std::unique_ptr<CPowerPointMgr> mgr_;
  AutomationPtr viewer_;
};

TEST_P(ComShowTest, FullShowThroughTheServerProcess) {
  const ShowCase& c = GetParam();
  ServerRegistration registration(c.progId, c.arguments);
  ASSERT_TRUE(registration.ok());
  std::printf("class registered %s\n", registration.perUser() ? "per user (HKCU\\Software\\Classes)"
                                                              : "in HKEY_CLASSES_ROOT");
  StartManager();

  ASSERT_TRUE(WaitForState(true, false));
  ASSERT_EQ(ServerProcesses().size(), 1u);

  mgr_->RequestVersion(c.type);
  ASSERT_TRUE(WaitUntil([&] { return notify_.Locked([&] { return !notify_.versions.empty(); }); }));
  EXPECT_EQ(notify_.Locked([&] { return notify_.versions[0].second; }), c.version);

  // The slide-show events come back from the server through the
  // connection point.
  mgr_->StartShow();
  ASSERT_TRUE(WaitUntil([&] { return CountOf(EventSlideShowBegin) == 1; }));
  EXPECT_TRUE(mgr_->IsShowRunning(c.type));
  EXPECT_EQ(Notes(), u"Welcome everyone.");

  mgr_->NextSlide();
  ASSERT_TRUE(WaitUntil([&] { return CountOf(EventSlideShowNextSlide) >= 2; }));
  EXPECT_EQ(Notes(), u"Agenda: where we are, where we go.");

  // WPS announces no step back; the manager does it for WPS.
  mgr_->PreviousSlide();
  ASSERT_TRUE(WaitUntil([&] { return CountOf(EventSlideShowNextSlide) >= 3; }));
  EXPECT_EQ(Notes(), u"Welcome everyone.");

  if (c.type == PowerPoint) {
    // The 720 x 540 pt slide master, read across the process boundary,
    // fitted into the 1920 x 1080 show window.
    EXPECT_EQ(mgr_->GetShowRect(), (ScreenRect{240, 0, 1680, 1080}));
    EXPECT_TRUE(mgr_->HasNativeLaser());

    // Native laser: Ctrl held around a press at the slide's centre.
    desktop_->ClearSentInput();
    mgr_->PointerDown(PointerLaser, 0.5, 0.5);
    mgr_->PointerUp();
    ASSERT_TRUE(WaitUntil([&] { return desktop_->SentInput().size() >= 4; }));
    auto input = desktop_->SentInput();
    ASSERT_EQ(input.size(), 4u);
    EXPECT_EQ(input[0].virtualKey, kVirtualKeyControl);
    EXPECT_EQ(input[1].dx, 32767);
    EXPECT_EQ(input[1].dy, 32767);
    EXPECT_EQ(input[1].flags & kMouseLeftDown, kMouseLeftDown);
    EXPECT_EQ(input[2].flags & kMouseLeftUp, kMouseLeftUp);
    EXPECT_EQ(input[3].flags & kKeyUp, kKeyUp);

    // Pen: the server's view holds the pen pointer while the pen is down.
    mgr_->PointerDown(PointerPen, 0.25, 0.25);
    ASSERT_TRUE(WaitUntil([&] { return ServerPointerType() == 2; }));
    mgr_->PointerUp();
    ASSERT_TRUE(WaitUntil([&] { return ServerPointerType() == 0; }));

    desktop_->ClearSentInput();
    mgr_->EraseInk();
    ASSERT_TRUE(WaitUntil([&] { return !desktop_->SentInput().empty(); }));
    EXPECT_EQ(desktop_->SentInput()[0].virtualKey, kVirtualKeyE);
  }

  mgr_->ExitShow();
  ASSERT_TRUE(WaitUntil([&] { return CountOf(EventSlideShowEnd) == 1; }));
  EXPECT_FALSE(mgr_->IsShowRunning());
  EXPECT_TRUE(WaitForState(true, false));
  EXPECT_TRUE(notify_.Locked([&] { return notify_.failures.empty(); }));

  // The manager's shut-down lets go of every object it held: a reference
  // kept anywhere would keep the application running after we are gone.
  mgr_.reset();
  viewer_.reset();
  EXPECT_TRUE(WaitUntil([] { return ServerProcesses().empty(); }, std::chrono::seconds(10)));
}

// The application's process ends in the middle of a show (a crash, or the
// user killing it): the next command fails, the answer is "no
// presentation", and nothing waits unbounded on the dead server.
TEST_P(ComShowTest, ServerDiesMidShow) {
  const ShowCase& c = GetParam();
  ServerRegistration registration(c.progId, c.arguments);
  ASSERT_TRUE(registration.ok());
  StartManager();
  ASSERT_TRUE(WaitForState(true, false));
  mgr_->StartShow();
  ASSERT_TRUE(WaitUntil([&] { return CountOf(EventSlideShowBegin) == 1; }));

  ASSERT_EQ(ReadFromServer({u"Version"}).text, c.version);  // a second client

  ASSERT_TRUE(KillServers());
  ASSERT_TRUE(ServerProcesses().empty());

  // What a call through a proxy of the dead server answers.
  AutoValue version;
  const auto calling = std::chrono::steady_clock::now();
  const HResult dead = GetProperty(viewer_.get(), u"Version", &version);
  EXPECT_TRUE(Failed(dead));
  std::printf("a call to the dead server failed with 0x%08lx after %lld ms\n",
              static_cast<unsigned long>(static_cast<std::uint32_t>(dead)),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - calling)
                                         .count()));

  const auto killed = std::chrono::steady_clock::now();
  mgr_->NextSlide();
  ASSERT_TRUE(WaitUntil([&] { return notify_.Locked([&] { return !notify_.failures.empty(); }); }));
  const auto failedAfter = std::chrono::steady_clock::now() - killed;
  EXPECT_EQ(notify_.Locked([&] { return notify_.failures[0]; }), std::make_pair(false, false));
  EXPECT_TRUE(WaitForState(false, false));
  EXPECT_FALSE(mgr_->IsShowRunning());
  EXPECT_FALSE(mgr_->HasNativeLaser());
  EXPECT_EQ(mgr_->GetShowRect(), ScreenRect());
  EXPECT_EQ(Notes(), u"");
  std::printf("command failure reported %lld ms after the server died\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(failedAfter).count()));

  // Shutting down over the dead server's proxies ends too.
  const auto stopping = std::chrono::steady_clock::now();
  mgr_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, kComWait);
}

// Failures inside the server come back to the caller as the application
// gave them, across the process boundary, and leave the server serving.
TEST_P(ComShowTest, FailuresCrossTheProcessBoundaryIntact) {
  const ShowCase& c = GetParam();
  ServerRegistration registration(c.progId, c.arguments);
  ASSERT_TRUE(registration.ok());
  ASSERT_EQ(ReadFromServer({u"Version"}).text, c.version);
  AutomationPtr presentation;
  ASSERT_TRUE(Succeeded(GetObjectProperty(viewer_.get(), u"ActivePresentation", &presentation)));
  AutomationPtr settings;
  ASSERT_TRUE(Succeeded(GetObjectProperty(presentation.get(), u"SlideShowSettings", &settings)));

  struct Call {
    const char* what;
    IAutomationObject* object;
    const char16_t* member;
    InvokeKind kind;
    std::vector<AutoValue> args;
    HResult expected;
  } const calls[] = {
      {"unknown member",
       viewer_.get(),
       u"NoSuchMember",
       InvokeKind::PropertyGet,
       {},
       kMemberNotFound},
      {"put of the wrong type",
       viewer_.get(),
       u"Visible",
       InvokeKind::PropertyPut,
       {AutoValue::Text(u"yes")},
       kTypeMismatch},
      {"property with arguments",
       presentation.get(),
       u"Name",
       InvokeKind::PropertyGet,
       {AutoValue::Int32(1)},
       kBadParamCount},
      {"show window without a show",
       presentation.get(),
       u"SlideShowWindow",
       InvokeKind::PropertyGet,
       {},
       kFail},
      {"an object as an argument",
       settings.get(),
       u"Run",
       InvokeKind::Method,
       {AutoValue::Object(presentation)},
       kTypeMismatch},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(call.what);
    AutoValue result;
    EXPECT_EQ(call.object->Invoke(call.member, call.kind, call.args, &result), call.expected);
    EXPECT_EQ(result.kind, AutoValue::Kind::Empty);
  }
  // Underneath, the application's own failure arrived as PowerPoint sends
  // it, as an exception carrying the code, which the adapter unwrapped.
  {
    IDispatch* application = nullptr;
    CLSID clsid;
    ASSERT_TRUE(SUCCEEDED(CLSIDFromProgID(c.progId, &clsid)));
    ASSERT_TRUE(SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                           reinterpret_cast<void**>(&application))));
    VARIANT answer;
    VariantInit(&answer);
    ASSERT_TRUE(SUCCEEDED(RawGet(application, L"ActivePresentation", &answer, nullptr)));
    EXCEPINFO exception = {};
    VARIANT window;
    VariantInit(&window);
    EXPECT_EQ(RawGet(V_DISPATCH(&answer), L"SlideShowWindow", &window, &exception),
              DISP_E_EXCEPTION);
    EXPECT_EQ(exception.scode, kFail);
    EXPECT_NE(exception.bstrDescription, nullptr);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    VariantClear(&window);
    VariantClear(&answer);
    application->Release();
  }

  // A figure for the log: what one cross-process property read costs here.
  constexpr int kReads = 200;
  const auto reading = std::chrono::steady_clock::now();
  AutoValue name;
  for (int i = 0; i < kReads; ++i) GetProperty(presentation.get(), u"Name", &name);
  std::printf("cross-process property read: %lld us on average\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now() - reading)
                                         .count() /
                                     kReads));

  // Still serving, with nothing changed by the refused calls.
  EXPECT_EQ(ReadFromServer({u"ActivePresentation", u"Name"}).text, u"Sample");
  AutoValue visible;
  ASSERT_TRUE(Succeeded(GetProperty(viewer_.get(), u"Visible", &visible)));
  EXPECT_TRUE(visible.boolValue);
}

// A folder of this test's own under the temporary folder; the server
// writes its pictures into it (both processes share the file system).
class PictureFolder {
 public:
  PictureFolder() {
    wchar_t base[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, base);
    path_ = std::wstring(base, length < MAX_PATH ? length : 0) + L"pivaro-com-slides-" +
            std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~PictureFolder() {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        DeleteFileW((path_ + L"\\" + found.cFileName).c_str());
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(path_.c_str());
  }
  PictureFolder(const PictureFolder&) = delete;
  PictureFolder& operator=(const PictureFolder&) = delete;

  std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }
  static std::u16string Text(const std::wstring& path) {
    return std::u16string(path.begin(), path.end());
  }

 private:
  std::wstring path_;
};

// The members the presenter view reads, answered by the application in its
// own process: the deck's full name, saved flag, slide count and size,
// pictures of two slides that the server writes into our folder, refusals
// that write nothing, and a jump to a slide of the running show.
TEST_P(ComShowTest, SlidesExportAcrossTheProcessBoundary) {
  const ShowCase& c = GetParam();
  ServerRegistration registration(c.progId, c.arguments);
  ASSERT_TRUE(registration.ok());
  ASSERT_EQ(ReadFromServer({u"Version"}).text, c.version);
  AutomationPtr presentation, slides, pageSetup;
  ASSERT_TRUE(Succeeded(GetObjectProperty(viewer_.get(), u"ActivePresentation", &presentation)));
  ASSERT_TRUE(Succeeded(GetObjectProperty(presentation.get(), u"Slides", &slides)));
  ASSERT_TRUE(Succeeded(GetObjectProperty(presentation.get(), u"PageSetup", &pageSetup)));

  AutoValue value;
  ASSERT_TRUE(Succeeded(GetProperty(presentation.get(), u"FullName", &value)));
  EXPECT_EQ(value.text, u"Sample");  // never saved: the name
  ASSERT_TRUE(Succeeded(GetProperty(presentation.get(), u"Saved", &value)));
  EXPECT_EQ(value.kind, AutoValue::Kind::Int32);
  EXPECT_EQ(value.intValue, -1);  // msoTrue
  ASSERT_TRUE(Succeeded(GetProperty(slides.get(), u"Count", &value)));
  EXPECT_EQ(value.intValue, 5);
  for (const auto& side :
       {std::make_pair(u"SlideWidth", 720.0), std::make_pair(u"SlideHeight", 540.0)}) {
    ASSERT_TRUE(Succeeded(GetProperty(pageSetup.get(), side.first, &value)));
    EXPECT_TRUE(value.kind == AutoValue::Kind::Float || value.kind == AutoValue::Kind::Double);
    EXPECT_DOUBLE_EQ(value.number, side.second);
  }

  PictureFolder folder;
  PngPicture pictures[2];
  for (std::int32_t index : {1, 2}) {
    SCOPED_TRACE(index);
    AutoValue slide;
    ASSERT_TRUE(Succeeded(CallMethod(slides.get(), u"Item", {AutoValue::Int32(index)}, &slide)));
    ASSERT_EQ(slide.kind, AutoValue::Kind::Object);
    const std::wstring file = folder.File(index == 1 ? L"one.png" : L"two.png");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(CallMethod(slide.object.get(), u"Export",
                         {AutoValue::Text(PictureFolder::Text(file)), AutoValue::Text(u"PNG"),
                          AutoValue::Int32(320), AutoValue::Int32(240)},
                         nullptr),
              kOk);
    std::printf("slide %d exported across the process boundary in %lld ms\n", index,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - start)
                                           .count()));
    PngPicture& picture = pictures[index - 1];
    ASSERT_TRUE(ReadPngPicture(file, &picture));
    EXPECT_EQ(picture.width, 320);
    EXPECT_EQ(picture.height, 240);
    EXPECT_GE(DistinctColours(picture), 4u);  // not blank
  }
  EXPECT_GT(DifferingPixels(pictures[0], pictures[1]), pictures[0].pixels.size() / 20);

  // Refusals come back with the application's code and write nothing.
  AutoValue first;
  ASSERT_TRUE(Succeeded(CallMethod(slides.get(), u"Item", {AutoValue::Int32(1)}, &first)));
  const std::wstring refused = folder.File(L"refused.png");
  const AutoValue refusedPath = AutoValue::Text(PictureFolder::Text(refused));
  struct Refusal {
    const char* what;
    IAutomationObject* object;
    const char16_t* member;
    std::vector<AutoValue> args;
    HResult expected;
  } const refusals[] = {
      {"no such slide", slides.get(), u"Item", {AutoValue::Int32(99)}, kInvalidArgument},
      {"not a PNG",
       first.object.get(),
       u"Export",
       {refusedPath, AutoValue::Text(u"GIF"), AutoValue::Int32(320), AutoValue::Int32(240)},
       kInvalidArgument},
      {"too wide",
       first.object.get(),
       u"Export",
       {refusedPath, AutoValue::Text(u"PNG"), AutoValue::Int32(9000), AutoValue::Int32(240)},
       kInvalidArgument},
      {"width as text",
       first.object.get(),
       u"Export",
       {refusedPath, AutoValue::Text(u"PNG"), AutoValue::Text(u"320"), AutoValue::Int32(240)},
       kTypeMismatch},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    AutoValue result;
    EXPECT_EQ(CallMethod(r.object, r.member, r.args, &result), r.expected);
    EXPECT_EQ(GetFileAttributesW(refused.c_str()), INVALID_FILE_ATTRIBUTES);
  }

  // The show goes to the slide asked for, and stays there when asked for
  // one that does not exist.
  AutomationPtr settings;
  ASSERT_TRUE(Succeeded(GetObjectProperty(presentation.get(), u"SlideShowSettings", &settings)));
  ASSERT_TRUE(Succeeded(CallMethod(settings.get(), u"Run", {}, &value)));
  const AutoValue view = ReadFromServer({u"ActivePresentation", u"SlideShowWindow", u"View"});
  ASSERT_EQ(view.kind, AutoValue::Kind::Object);
  auto currentSlide = [&] {
    return ReadFromServer(
               {u"ActivePresentation", u"SlideShowWindow", u"View", u"Slide", u"SlideIndex"})
        .intValue;
  };
  EXPECT_EQ(currentSlide(), 1);
  ASSERT_EQ(CallMethod(view.object.get(), u"GotoSlide", {AutoValue::Int32(4)}, nullptr), kOk);
  EXPECT_EQ(currentSlide(), 4);
  EXPECT_EQ(CallMethod(view.object.get(), u"GotoSlide", {AutoValue::Int32(99)}, nullptr),
            kInvalidArgument);
  EXPECT_EQ(currentSlide(), 4);
  EXPECT_EQ(CallMethod(view.object.get(), u"Exit", {}, nullptr), kOk);
}

// The presenter view's road on Windows: the manager reads the show's place
// from the application in its own process, goes to a slide, and its
// exporter, a thread without a message loop, brings pictures of the deck
// back through a COM client of its own while the worker drives the show.
TEST_P(ComShowTest, PresenterPicturesThroughTheManager) {
  const ShowCase& c = GetParam();
  ServerRegistration registration(c.progId, c.arguments);
  ASSERT_TRUE(registration.ok());
  StartManager();
  ASSERT_TRUE(WaitForState(true, false));
  auto lastPosition = [&] {
    return notify_.Locked([&] {
      return notify_.positions.empty() ? SlidePosition{} : notify_.positions.back().position;
    });
  };
  mgr_->StartShow();
  ASSERT_TRUE(WaitUntil([&] { return lastPosition().index == 1; }));
  SlidePosition position = lastPosition();
  EXPECT_EQ(position.count, 5);
  EXPECT_DOUBLE_EQ(position.aspect, 720.0 / 540.0);
  EXPECT_TRUE(position.images);
  ASSERT_EQ(position.revision.size(), 10u);

  mgr_->GotoSlide(4);
  ASSERT_TRUE(WaitUntil([&] { return lastPosition().index == 4; }));
  EXPECT_EQ(
      ReadFromServer({u"ActivePresentation", u"SlideShowWindow", u"View", u"Slide", u"SlideIndex"})
          .intValue,
      4);
  position = lastPosition();

  struct Ask {
    const char* what;
    std::string revision;
    std::int32_t index;
    std::int32_t width;
    int pictureWidth;  // 0: answered without a picture
  } const asks[] = {
      {"slide 1", position.revision, 1, 320, 320},
      {"slide 4, the one shown", position.revision, 4, 320, 320},
      {"width raised to the least", position.revision, 2, 1, 16},
      {"no such slide", position.revision, 6, 320, 0},
      {"another revision", "0000000000", 1, 320, 0},
  };
  const std::size_t before = notify_.Locked([&] { return notify_.images.size(); });
  for (const Ask& ask : asks) mgr_->RequestSlideImage(ask.revision, ask.index, ask.width);
  // The show moves on while the exporter's client asks for the pictures:
  // two apartments of this process call into the application at once. The
  // deck is saved, so its revision stays.
  mgr_->NextSlide();
  ASSERT_TRUE(WaitUntil([&] { return lastPosition().index == 5; }));
  EXPECT_EQ(lastPosition().revision, position.revision);
  ASSERT_TRUE(WaitUntil(
      [&] { return notify_.Locked([&] { return notify_.images.size() >= before + 5; }); }));
  const std::vector<SlideImage> images = notify_.Locked([&] {
    return std::vector<SlideImage>(notify_.images.begin() + before, notify_.images.end());
  });
  PictureFolder folder;
  std::vector<PngPicture> pictures;
  for (const Ask& ask : asks) {
    SCOPED_TRACE(ask.what);
    auto answer = std::find_if(images.begin(), images.end(), [&](const SlideImage& image) {
      return image.revision == ask.revision && image.index == ask.index;
    });
    ASSERT_NE(answer, images.end());
    if (ask.pictureWidth == 0) {
      EXPECT_TRUE(answer->png.empty());
      continue;
    }
    const std::wstring file =
        folder.File((L"answer" + std::to_wstring(ask.index) + L".png").c_str());
    std::FILE* out = _wfopen(file.c_str(), L"wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(answer->png.data(), 1, answer->png.size(), out);
    std::fclose(out);
    PngPicture picture;
    ASSERT_TRUE(ReadPngPicture(file, &picture));
    EXPECT_EQ(picture.width, ask.pictureWidth);
    EXPECT_EQ(picture.height, (ask.pictureWidth * 3 + 2) / 4);
    EXPECT_GE(DistinctColours(picture), 4u);
    pictures.push_back(std::move(picture));
  }
  ASSERT_GE(pictures.size(), 2u);
  EXPECT_GT(DifferingPixels(pictures[0], pictures[1]), pictures[0].pixels.size() / 20);

  mgr_->ExitShow();
  ASSERT_TRUE(WaitUntil([&] { return lastPosition().index == 0; }));
  EXPECT_TRUE(notify_.Locked([&] { return notify_.failures.empty(); }));
  // The exporter's own client lets go of the application with the manager.
  mgr_.reset();
  viewer_.reset();
  EXPECT_TRUE(WaitUntil([] { return ServerProcesses().empty(); }, std::chrono::seconds(10)));
}

INSTANTIATE_TEST_SUITE_P(Applications, ComShowTest, ::testing::ValuesIn(kShowCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
