// Stand-ins for what the controller talks to: sessions that record every
// call and deliver notifications under their own recursive lock as the real
// ones do, a presentation manager that records commands, a window that
// records what it shows, and a UI thread whose queue and timers the test
// drives by hand.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/controller.h"
#include "json/json.h"
#include "net/session.h"
#include "services/report_mgr.h"

inline std::string Utf8(const std::u16string& s) {
  std::string out;
  ToUtf8(s, out);
  return out;
}

inline JsonPtr Parse(const std::string& text) {
  std::u16string wide;
  ToWide(text, 65001, wide);
  return JsonParse(wide);
}

class FakeSession : public INetSession {
 public:
  FakeSession(SessionType kind, std::vector<PairingParam> params, std::atomic<int>* destroyed)
      : kind_(kind), params_(std::move(params)), destroyed_(destroyed) {}
  ~FakeSession() override {
    if (destroyed_) ++*destroyed_;
  }

  // Behaviour.
  std::atomic<bool> startResult{true};
  std::atomic<bool> stopResult{true};
  std::atomic<bool> sendResult{true};
  std::atomic<bool> connected{false};
  // Like the direct session: OnStarted(startInlineOk) from inside Start.
  bool startInline = false;
  bool startInlineOk = true;
  // Like the direct session: OnStopped from inside Stop.
  bool stopInline = false;
  // Where the attached phone is, and the address this session was told to
  // refuse.
  std::string peerAddress;
  std::string peerDescription;
  std::string refused;

  std::vector<PairingParam> GetPairingParams() override { return params_; }
  bool Start(std::int32_t cookie) override {
    Record("Start(" + std::to_string(cookie) + ")");
    if (!startResult) return false;
    if (startInline) Notify([&](INetSessionNotify* n) { n->OnStarted(startInlineOk, cookie); });
    return true;
  }
  bool Stop(std::int32_t cookie) override {
    Record("Stop(" + std::to_string(cookie) + ")");
    if (!stopResult) return false;
    if (stopInline) Notify([&](INetSessionNotify* n) { n->OnStopped(true, cookie); });
    return true;
  }
  bool Close() override {
    Record("Close");
    return true;
  }
  bool DropPeer() override {
    Record("DropPeer");
    connected = false;
    return true;
  }
  bool IsConnected() override { return connected; }
  std::string PeerAddress() override { return peerAddress; }
  std::string PeerDescription() override { return peerDescription; }
  void RefuseAddress(const std::string& address) override { refused = address; }
  bool Send(JsonPtr& message, std::int32_t cookie) override {
    Record("Send(" + Utf8(JsonWrite(message)) + "," + std::to_string(cookie) + ")");
    return sendResult;
  }
  bool SendSync(JsonPtr& message) override {
    Record("SendSync(" + Utf8(JsonWrite(message)) + ")");
    return sendResult;
  }
  // A relay session keeps the interface's own choice (it has no browsers);
  // a direct one has a browser attached when browserPeer is set. The message
  // chosen is recorded as a Send.
  std::atomic<bool> browserPeer{false};
  bool SendByKind(JsonPtr& app, JsonPtr& browser, std::int32_t cookie) override {
    if (kind_ == Relay) return INetSession::SendByKind(app, browser, cookie);
    JsonPtr& chosen = browserPeer ? browser : app;
    return chosen && Send(chosen, cookie);
  }
  void SetNotify(INetSessionNotify* notify) override {
    std::lock_guard<std::recursive_mutex> lock(notifyLock_);
    notify_ = notify;
    Record(notify ? "SetNotify(this)" : "SetNotify(null)");
  }

  // Delivers a notification the way a session thread does.
  void Notify(const std::function<void(INetSessionNotify*)>& f) {
    std::lock_guard<std::recursive_mutex> lock(notifyLock_);
    if (notify_) f(notify_);
  }
  void Message(const std::string& text) {
    JsonPtr m = Parse(text);
    Notify([&](INetSessionNotify* n) { n->OnMessage(kind_, m); });
  }
  bool Attached() {
    std::lock_guard<std::recursive_mutex> lock(notifyLock_);
    return notify_ != nullptr;
  }

  SessionType Kind() const { return kind_; }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(callsLock_);
    return calls_;
  }
  void ClearCalls() {
    std::lock_guard<std::mutex> lock(callsLock_);
    calls_.clear();
  }
  int Count(const std::string& call) {
    int n = 0;
    for (const auto& c : Calls()) n += c == call;
    return n;
  }
  std::vector<std::string> Sent() {
    std::vector<std::string> out;
    for (const auto& c : Calls()) {
      if (c.rfind("Send(", 0) == 0) out.push_back(c);
    }
    return out;
  }

 private:
  // The real sessions take no session-wide lock in their operations, only
  // around notifications; the record has a lock of its own to match.
  void Record(const std::string& call) {
    std::lock_guard<std::mutex> lock(callsLock_);
    calls_.push_back(call);
  }

  SessionType kind_;
  std::vector<PairingParam> params_;
  std::atomic<int>* destroyed_;
  std::recursive_mutex notifyLock_;
  INetSessionNotify* notify_ = nullptr;
  std::mutex callsLock_;
  std::vector<std::string> calls_;
};

class FakePresentation : public IPresentationControl {
 public:
  std::atomic<bool> showRunning{false};
  std::atomic<bool> nativeLaser{false};
  std::atomic<bool> userStartedWpp{false};
  IPowerPointMgrNotify* notify = nullptr;

  void SetNotify(IPowerPointMgrNotify* n) override { notify = n; }
  void StartShow() override { Record("StartShow"); }
  void ExitShow() override { Record("ExitShow"); }
  void NextSlide() override { Record("NextSlide"); }
  void PreviousSlide() override { Record("PreviousSlide"); }
  void FirstSlide() override { Record("FirstSlide"); }
  void LastSlide() override { Record("LastSlide"); }
  void PointerDown(PointerType type, double x, double y) override {
    Record("PointerDown(" + std::to_string(type) + "," + Num(x) + "," + Num(y) + ")");
  }
  void PointerMove(double x, double y) override {
    Record("PointerMove(" + Num(x) + "," + Num(y) + ")");
  }
  void PointerUp() override { Record("PointerUp"); }
  void EraseInk() override { Record("EraseInk"); }
  void QueryState() override { Record("QueryState"); }
  void RequestNotes() override { Record("RequestNotes"); }
  void RequestVersion(PowerPointType type) override {
    Record("RequestVersion(" + std::to_string(type) + ")");
  }
  void GotoSlide(std::int32_t index) override {
    Record("GotoSlide(" + std::to_string(index) + ")");
  }
  void RequestSlideImage(const std::string& revision, std::int32_t index,
                         std::int32_t width) override {
    Record("RequestSlideImage(" + revision + "," + std::to_string(index) + "," +
           std::to_string(width) + ")");
    // Answered at once, like a manager whose exporter is idle.
    if (answerPictures && notify) {
      SlideImage image{revision, index, width, "png:" + std::to_string(index)};
      notify->OnSlideImage(image);
    }
  }
  std::atomic<bool> answerPictures{false};
  bool IsShowRunning() override { return showRunning; }
  bool HasNativeLaser() override { return nativeLaser; }
  bool HasUserStartedWpp() override { return userStartedWpp; }

  // The show the PC-drawn laser is placed over: which application's show
  // runs (0 none), its slide rectangle and its window. Set before use.
  std::atomic<int> runningType{0};
  ScreenRect showRect;
  WindowHandle showWindow = 0;
  std::vector<PowerPointType> windowLookups;
  ScreenRect GetShowRect() override { return runningType ? showRect : ScreenRect(); }
  bool IsShowRunningOf(PowerPointType type) override { return runningType == type; }
  WindowHandle FindShowWindow(PowerPointType type) override {
    windowLookups.push_back(type);
    return runningType == type ? showWindow : 0;
  }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(lock_);
    return calls_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(lock_);
    calls_.clear();
  }
  std::size_t CallCount() {
    std::lock_guard<std::mutex> lock(lock_);
    return calls_.size();
  }

 private:
  static std::string Num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
  }
  void Record(std::string c) {
    std::lock_guard<std::mutex> lock(lock_);
    calls_.push_back(std::move(c));
  }
  std::mutex lock_;
  std::vector<std::string> calls_;
};

// The window: which controls are visible, and the laser dot it would draw.
class FakeView : public IMainView {
 public:
  bool loading = false, animating = false, retry = false, connectButton = false, cancel = false,
       qr = false;
  std::u16string caption;
  std::string address;
  std::u16string note;   // under the QR code
  std::u16string phone;  // who holds the remote
  int invalidations = 0;
  bool dot = false;
  double dotX = -1, dotY = -1;
  int dotCreated = 0, dotDestroyed = 0;
  bool confirmAnswer = false;
  int confirmAsked = 0;
  int endResult = 0;
  bool requiredUpdate = false;

  void ShowLoading(bool s) override { loading = s; }
  void SetLoadingAnimation(bool r) override { animating = r; }
  void ShowRetryText(bool s) override { retry = s; }
  void ShowConnectButton(bool s) override { connectButton = s; }
  void SetConnectButtonText(const std::u16string& c) override { caption = c; }
  void ShowCancelText(bool s) override { cancel = s; }
  void ShowQrCode(bool s) override { qr = s; }
  void SetPairingAddress(const std::string& a) override { address = a; }
  void SetTransportNote(const std::u16string& n) override { note = n; }
  void SetPhoneDescription(const std::u16string& who) override { phone = who; }
  void Invalidate() override { ++invalidations; }
  void ShowLaser(double x, double y) override {
    if (!dot) ++dotCreated;
    dot = true;
    dotX = x;
    dotY = y;
  }
  void MoveLaser(double x, double y) override {
    if (!dot) return;
    dotX = x;
    dotY = y;
  }
  void HideLaser() override {
    if (dot) ++dotDestroyed;
    dot = false;
  }
  void RestoreIfMinimized() override {}
  bool ConfirmClose() override {
    ++confirmAsked;
    return confirmAnswer;
  }
  void DestroyShadow() override {}
  void EndDialog(int result) override { endResult = result; }
  void RunRequiredUpdate() override { requiredUpdate = true; }
};

class FakeUiThread : public IUiThread {
 public:
  std::atomic<int> wakes{0};
  std::map<int, unsigned> armed;  // id -> ms
  int arms = 0;

  void Wake() override { ++wakes; }
  void SetTimer(int id, unsigned ms) override {
    armed[id] = ms;
    ++arms;
  }
  void KillTimer(int id) override { armed.erase(id); }
  bool Armed(int id) const { return armed.count(id) != 0; }
};

// Records the usage reports through the real report data objects.
class FakeReports : public Report::IReportMgr {
 public:
  struct Record {
    std::int32_t cmd;
    std::map<std::int32_t, Report::CReportData::Value> values;
    std::int32_t Int(std::int32_t key) const {
      auto it = values.find(key);
      return it == values.end() ? -1 : it->second.integer;
    }
    std::u16string WString(std::int32_t key) const {
      auto it = values.find(key);
      return it == values.end() ? u"<none>" : it->second.wide;
    }
  };

  void Initialize(std::int32_t softId, std::int32_t serviceId, const char16_t* version,
                  const char16_t* supplyId) override {
    std::lock_guard<std::mutex> lock(lock_);
    initialized = std::to_string(softId) + "," + std::to_string(serviceId) + "," + Utf8(version) +
                  "," + Utf8(supplyId);
  }
  Report::IReportData* CreateData(std::int32_t cmdId) override {
    return new Report::CReportData(cmdId);
  }
  void ReleaseData(Report::IReportData* data) override {
    delete static_cast<Report::CReportData*>(data);
  }
  bool SendText(std::int32_t, const char*, std::int32_t, std::int32_t, std::int32_t,
                std::int32_t) override {
    return false;
  }
  void SendData(Report::IReportData* data, std::int32_t mode, std::int32_t, std::int32_t) override {
    auto* d = static_cast<Report::CReportData*>(data);
    std::lock_guard<std::mutex> lock(lock_);
    records_.push_back({d->CmdId(), d->Values()});
    modes.push_back(mode);
  }
  std::vector<Record> Records() {
    std::lock_guard<std::mutex> lock(lock_);
    return records_;
  }

  std::string initialized;
  std::vector<std::int32_t> modes;

 private:
  std::mutex lock_;
  std::vector<Record> records_;
};
