// A COM local server that runs the simulated presentation application in a
// process of its own, for the tests that drive it through real cross-process
// COM, as the back-ends meet PowerPoint and WPS. Test use only, never
// shipped.
//
//   pivaro_presentation_server.exe --clsid={...} --kind=powerpoint|wps
//                                  [--version=16.0] [--closed]
//                                  [--pid-file=PATH] [--log-file=PATH]
//                                  [-Embedding]
//   pivaro_presentation_server.exe --register=ProgID [options]
//   pivaro_presentation_server.exe --unregister=ProgID
//
// COM starts it from the class's LocalServer32 entry (adding -Embedding);
// --register writes that entry, with the options given, under a fresh
// CLSID, and --unregister removes it. --pid-file names a file that receives
// the process id, so that a test can end the server as a crash would.
// While a show runs, it is a real window on the desktop (show_window.h),
// which logs the input it receives to --log-file.
// It opens the sample presentation (unless --closed), registers its class
// object and serves until the last object is released, or at most
// kLifetimeMs, so that a test that loses track of it leaves nothing behind.
#include <windows.h>

#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>

#include "presentation/simulated_office.h"
#include "tests/support/win32/com_registration.h"
#include "tests/support/win32/dispatch_bridge.h"
#include "tests/support/win32/show_window.h"

namespace {

constexpr DWORD kLifetimeMs = 120000;

class ApplicationFactory : public IClassFactory {
 public:
  explicit ApplicationFactory(std::shared_ptr<CSimulatedPresentationApp> app)
      : app_(std::move(app)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // Lives on main()'s stack for the whole run.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    try {
      IDispatch* application = BridgeAutomationObject(app_->CreateApplicationObject(), true);
      if (!application) return E_OUTOFMEMORY;
      HRESULT hr = application->QueryInterface(riid, out);
      application->Release();
      return hr;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      CoAddRefServerProcess();
    } else if (CoReleaseServerProcess() == 0) {
      PostQuitMessage(0);
    }
    return S_OK;
  }

 private:
  std::shared_ptr<CSimulatedPresentationApp> app_;
};

bool Option(const wchar_t* arg, const wchar_t* name, std::wstring* value) {
  const std::size_t length = std::wcslen(name);
  if (std::wcsncmp(arg, name, length) != 0) return false;
  *value = arg + length;
  return true;
}

// Serves COM calls (they arrive as messages to this apartment) until
// WM_QUIT or the lifetime ends.
void Serve() {
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= kLifetimeMs) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kLifetimeMs - elapsed, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

std::wstring SelfPath() {
  wchar_t self[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::wstring(self, length < MAX_PATH ? length : 0);
}

bool WritePidFile(const std::wstring& path) {
  FILE* file = _wfopen(path.c_str(), L"w");
  if (!file) return false;
  const bool ok =
      std::fprintf(file, "%lu\n", static_cast<unsigned long>(GetCurrentProcessId())) > 0;
  return std::fclose(file) == 0 && ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring clsidText, kind = L"powerpoint", version, value, pidFile, logFile, registerAs,
                          unregister;
  std::wstring serverOptions;  // what --register passes on to the server
  bool open = true;
  for (int i = 1; i < argc; ++i) {
    if (Option(argv[i], L"--register=", &value)) {
      registerAs = value;
      continue;
    }
    if (Option(argv[i], L"--unregister=", &value)) {
      unregister = value;
      continue;
    }
    if (std::wcsncmp(argv[i], L"--", 2) == 0 && !Option(argv[i], L"--clsid=", &value))
      serverOptions += std::wstring(L" \"") + argv[i] + L"\"";
    if (Option(argv[i], L"--clsid=", &value)) {
      clsidText = value;
    } else if (Option(argv[i], L"--kind=", &value)) {
      kind = value;
    } else if (Option(argv[i], L"--version=", &value)) {
      version = value;
    } else if (Option(argv[i], L"--log-file=", &value)) {
      logFile = value;
    } else if (Option(argv[i], L"--pid-file=", &value)) {
      pidFile = value;
    } else if (std::wcscmp(argv[i], L"--closed") == 0) {
      open = false;
    }
  }
  if (!unregister.empty()) {
    UnregisterProgId(unregister);
    return 0;
  }
  if (!registerAs.empty()) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    ComRegistration registration;
    const bool ok =
        RegisterLocalServer(registerAs, L"\"" + SelfPath() + L"\"" + serverOptions, &registration);
    CoUninitialize();
    if (!ok) std::fprintf(stderr, "presentation server: the class could not be registered\n");
    return ok ? 0 : 1;
  }
  CLSID clsid;
  if (clsidText.empty() || FAILED(CLSIDFromString(&clsidText[0], &clsid))) {
    std::fprintf(stderr, "presentation server: --clsid={...} is required\n");
    return 2;
  }
  const bool wps = kind == L"wps";
  if (version.empty()) version = wps ? L"9.1.0.4060" : L"16.0";

  if (!pidFile.empty() && !WritePidFile(pidFile)) {
    std::fprintf(stderr, "presentation server: cannot write %ls\n", pidFile.c_str());
    return 1;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  int status = 0;
  {
    std::int32_t width = 0, height = 0;
    PrimaryScreenSize(&width, &height);
    auto app = std::make_shared<CSimulatedPresentationApp>(
        wps ? SimulatedAppKind::WpsLike : SimulatedAppKind::PowerPointLike,
        std::make_shared<CSimulatedDesktop>(width, height),
        std::u16string(version.begin(), version.end()));
    std::FILE* log = logFile.empty() ? nullptr : _wfopen(logFile.c_str(), L"wb");
    auto mirror = std::make_shared<ShowWindowMirror>(app, wps, log);
    AutomationPtr observer = app->CreateApplicationObject();
    std::uint32_t cookie = 0;
    observer->Advise(kApplicationEventsIid, mirror, &cookie);
    if (open) app->OpenPresentation(CSimulatedOffice::SamplePresentation());

    ApplicationFactory factory(app);
    DWORD registration = 0;
    HRESULT hr = CoRegisterClassObject(clsid, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                       &registration);
    if (SUCCEEDED(hr)) {
      Serve();
      CoRevokeClassObject(registration);
    } else {
      std::fprintf(stderr, "presentation server: CoRegisterClassObject failed: 0x%08lx\n",
                   static_cast<unsigned long>(hr));
      status = 1;
    }
  }
  CoUninitialize();
  return status;
}
