// Random schedules of everything the controller can be told: phone messages
// of every kind (malformed ones too), session outcomes with any cookie,
// losses, presentation answers, timers, window commands, close. Each seed
// gives its events; a schedule runs them once in seed order on one thread
// (exactly replayable) and once spread over a UI thread, two session
// threads and the presentation worker, checking the invariants as it goes.
//
//   PIVARO_SEQUENCE_SCHEDULES=n   seeds to run (default 3000; 500 under Wine)
//   PIVARO_SEQUENCE_SEED=s        run only seed s (replays a failure; the
//                                 serial schedule prints its events)
//   PIVARO_SEQUENCE_INLINE_RELAY=1  relay fakes notify from inside Start
//                                 and Stop too (see Create)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/fakes.h"

namespace {

using Ctl = CMainController;

// Problems seen on any thread, reported once the schedule ends.
class Faults {
 public:
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> lock(lock_);
    if (list_.size() < 10) list_.push_back(what);
  }
  std::string Text() {
    std::lock_guard<std::mutex> lock(lock_);
    std::string out;
    for (const auto& f : list_) out += f + "\n";
    return out;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> list_;
};

std::atomic<long> gSequence{0};
// How often each state was seen at a UI-thread check, over all schedules.
std::atomic<long> gStatesSeen[5];

// A fake session that complains when the controller calls it without
// holding a reference (the test holds the only other one), and numbers the
// "hello" it is asked to send.
class CheckedSession : public FakeSession {
 public:
  CheckedSession(SessionType kind, std::vector<PairingParam> params, Faults& faults, int index)
      : FakeSession(kind, std::move(params), nullptr), faults_(faults), index_(index) {}

  bool Start(std::int32_t c) override { return Use("Start") && FakeSession::Start(c); }
  bool Stop(std::int32_t c) override { return Use("Stop") && FakeSession::Stop(c); }
  bool Close() override { return Use("Close") && FakeSession::Close(); }
  bool DropPeer() override { return Use("DropPeer") && FakeSession::DropPeer(); }
  bool IsConnected() override { return Use("IsConnected") && FakeSession::IsConnected(); }
  bool Send(JsonPtr& m, std::int32_t c) override {
    if (!Use("Send")) return false;
    if (JsonPtr* msg = m.Find(u"msg"); msg && msg->AsString() == u"hello") {
      lastHello.store(++gSequence);
    }
    return FakeSession::Send(m, c);
  }
  bool SendSync(JsonPtr& m) override { return Use("SendSync") && FakeSession::SendSync(m); }
  void SetNotify(INetSessionNotify* n) override {
    Use("SetNotify");
    FakeSession::SetNotify(n);
  }

  std::atomic<long> lastHello{0};
  int Index() const { return index_; }

 private:
  bool Use(const char* op) {
    if (RefCount() < 2) {
      faults_.Add(std::string(op) + " on session " + std::to_string(index_) +
                  " after the controller released it");
    }
    return true;
  }
  Faults& faults_;
  int index_;
};

class UiPort : public IUiThread {
 public:
  void Wake() override {}
  void SetTimer(int id, unsigned) override {
    armed[id] = true;
    if (id == Ctl::kHelloTimer) helloArmed = ++gSequence;
  }
  void KillTimer(int id) override { armed[id] = false; }
  bool armed[1010] = {};
  long helloArmed = 0;
};

enum class Lane { Ui, Relay, Direct, Worker };

struct Event {
  Lane lane;
  int kind;
  int a;
  int b;
};

const char* const kMessages[] = {
    R"({"msg":"hello"})",
    R"({"msg":"hello","note":1})",
    R"({"msg":"hello","note":"1"})",
    R"({"msg":"hello","note":4294967297})",
    R"({"msg":"bye"})",
    R"({"msg":"start"})",
    R"({"msg":"stop"})",
    R"({"msg":"next"})",
    R"({"msg":"prev"})",
    R"({"msg":"first"})",
    R"({"msg":"last"})",
    R"({"msg":"laser_down","x":0.5,"y":0.5})",
    R"({"msg":"laser_move","x":1e999,"y":0.5})",
    R"({"msg":"laser_move","x":0.25})",
    R"({"msg":"laser_up"})",
    R"({"msg":"pen_down","x":"a","y":0})",
    R"({"msg":"pen_move","x":0.1,"y":0.9})",
    R"({"msg":"pen_up"})",
    R"({"msg":"erase"})",
    R"({"msg":"lost"})",
    R"({"msg":7})",
    R"({"msg":["hello"]})",
    R"({"note":1})",
    R"({})",
    R"({"msg":"unknown","x":[1,{"y":2}]})",
};
constexpr int kMessageCount = sizeof kMessages / sizeof kMessages[0];

// Session notifications (kind 0..5) and UI events (kind 0..5).
enum SessionEvent { Started, Stopped, Sent, NetworkLost, PeerLost, Message, kSessionEvents };
enum UiEvent { RunPosted, FireTimer, ConnectButton, RetryOrCancel, Close, ToggleShow, kUiEvents };
enum WorkerEvent { State, CommandFailed, Notes, PresentationEvent, Version, kWorkerEvents };

std::vector<Event> MakeEvents(std::uint32_t seed, int count) {
  std::mt19937 rng(seed);
  std::vector<Event> events;
  for (int i = 0; i < count; ++i) {
    Event e{};
    int lane = static_cast<int>(rng() % 10);
    e.lane = lane < 4 ? Lane::Ui : lane < 6 ? Lane::Relay : lane < 8 ? Lane::Direct : Lane::Worker;
    e.a = static_cast<int>(rng() % 1000);
    e.b = static_cast<int>(rng() % 1000);
    switch (e.lane) {
      case Lane::Ui:
        // Mostly draining the queue, as a message loop does.
        e.kind = rng() % 3 == 0 ? static_cast<int>(rng() % kUiEvents) : RunPosted;
        if (e.kind == Close && rng() % 4 != 0) e.kind = RunPosted;
        break;
      case Lane::Relay:
      case Lane::Direct:
        e.kind = rng() % 2 == 0 ? Message : static_cast<int>(rng() % kSessionEvents);
        break;
      case Lane::Worker:
        e.kind = static_cast<int>(rng() % kWorkerEvents);
        break;
    }
    events.push_back(e);
  }
  return events;
}

class Schedule {
 public:
  Schedule(std::uint32_t seed, Faults& faults) : faults_(faults), config_(seed ^ 0x5bd1e995u) {
    Ctl::Services s;
    s.createSession = [this](SessionType t) -> INetSession* { return Create(t); };
    auto p = std::make_unique<FakePresentation>();
    pres_ = p.get();
    s.presentation = std::move(p);
    s.reports = &reports_;
    s.serviceBaseUrl = [] { return std::string("http://base/tavmix/"); };
    s.tickCount = [] { return 1000u; };
    ctl_ = std::make_unique<Ctl>(std::move(s));
    ctl_->AttachUi(&ui_, &view_);
  }

  ~Schedule() {
    ctl_.reset();
    std::lock_guard<std::mutex> lock(madeLock_);
    for (CheckedSession* s : made_) {
      if (s->RefCount() != 1) {
        faults_.Add("session still referenced after the controller went");
      }
      if (s->Attached()) faults_.Add("session still attached after the controller went");
      s->Release();
    }
  }

  void Init() {
    ctl_->InitWindow();
    CheckUi("InitWindow");
  }

  // UI-thread event; false once the window is closed.
  bool RunUi(const Event& e) {
    switch (e.kind) {
      case RunPosted:
        ctl_->RunPostedCalls();
        break;
      case FireTimer: {
        int id = e.a % 2 ? Ctl::kHelloTimer : Ctl::kQueryStateTimer;
        if (!ui_.armed[id]) break;
        ui_.armed[id] = false;  // one-shot until re-armed
        Ctl::State before = ctl_->GetState();
        ctl_->OnTimer(id);
        if (id == Ctl::kHelloTimer && before == Ctl::Connecting &&
            ctl_->GetState() != Ctl::WaitingForPhone) {
          faults_.Add("hello timer in Connecting did not show the QR code");
        }
        break;
      }
      case ConnectButton:
        ctl_->OnConnectButton();
        break;
      case RetryOrCancel:
        ctl_->OnRetryOrCancel();
        break;
      case Close:
        view_.confirmAnswer = e.a % 2 == 0;
        if (ctl_->OnClose()) return false;
        break;
      case ToggleShow:
        pres_->showRunning = e.a % 2 == 0;
        pres_->nativeLaser = e.b % 2 == 0;
        break;
    }
    CheckUi(e.kind);
    return true;
  }

  void RunSession(const Event& e) {
    CheckedSession* s = Pick(e.lane == Lane::Relay ? Relay : Direct, e.a);
    if (!s) return;
    const std::int32_t cookie = e.b % 3;
    switch (e.kind) {
      case Started:
        s->Notify([&](INetSessionNotify* n) { n->OnStarted(e.b % 4 != 0, cookie); });
        break;
      case Stopped:
        s->Notify([&](INetSessionNotify* n) { n->OnStopped(true, cookie); });
        break;
      case Sent:
        s->Notify([&](INetSessionNotify* n) { n->OnSent(e.b % 2 == 0, cookie); });
        break;
      case NetworkLost:
        s->Notify([](INetSessionNotify* n) { n->OnNetworkLost(); });
        break;
      case PeerLost:
        s->Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
        break;
      case Message:
        // A phone that greets is known to its session until it leaves.
        if (e.b % kMessageCount < 4) s->connected = true;
        s->Message(kMessages[e.b % kMessageCount]);
        break;
    }
    CheckAnyThread();
  }

  void RunWorker(const Event& e) {
    IPowerPointMgrNotify* n = ctl_.get();
    switch (e.kind) {
      case State:
        n->OnState(e.a % 2 == 0, e.b % 2 == 0);
        break;
      case CommandFailed:
        n->OnCommandFailed(e.a % 2 == 0, e.b % 2 == 0);
        break;
      case Notes:
        n->OnNotes(u"notes " + std::u16string(1, char16_t(u'a' + e.a % 26)));
        break;
      case PresentationEvent: {
        const std::int32_t ids[] = {2004, 2006, 2011, 2013, 2014, 1};
        n->OnPresentationEvent(e.a % 2 ? Wps : PowerPoint, ids[e.b % 6]);
        break;
      }
      case Version:
        n->OnVersion(Wps, u"11.1.0");
        break;
    }
    CheckAnyThread();
  }

  // Nothing runs any more: every posted call has been drained.
  void CheckQuiet(const char* when) {
    ctl_->RunPostedCalls();
    CheckUi(when);
    std::vector<CheckedSession*> live;
    {
      std::lock_guard<std::mutex> lock(madeLock_);
      for (CheckedSession* s : made_) {
        if (s->RefCount() >= 2) {
          live.push_back(s);
        } else if (s->Attached()) {
          faults_.Add(std::string(when) + ": a released session still notifies the controller");
        }
      }
      if (!made_.empty()) {
        // The controller keeps exactly the last pair it made, one of each kind.
        if (live.size() != 2 || live[0]->Kind() == live[1]->Kind() || live[1] != made_.back()) {
          faults_.Add(std::string(when) + ": controller holds " + std::to_string(live.size()) +
                      " sessions, not the last pair");
        }
      }
      // A greeting the live sessions sent has its time limit.
      for (std::size_t i = made_.size() >= 2 ? made_.size() - 2 : 0; i < made_.size(); ++i) {
        long hello = made_[i]->lastHello.load();
        if (hello != 0 && ui_.helloArmed < hello) {
          faults_.Add(std::string(when) + ": the PC's hello has no time limit");
        }
      }
    }
  }

  CheckedSession* Pick(SessionType kind, int choice) {
    std::lock_guard<std::mutex> lock(madeLock_);
    // Mostly the newest session of the kind; now and then an older one,
    // whose late notification must find nobody listening.
    CheckedSession* newest = nullptr;
    std::vector<CheckedSession*> older;
    for (CheckedSession* s : made_) {
      if (s->Kind() != kind) continue;
      if (newest) older.push_back(newest);
      newest = s;
    }
    if (!older.empty() && choice % 8 == 0) return older[choice % older.size()];
    return newest;
  }

  Ctl& Controller() { return *ctl_; }

 private:
  INetSession* Create(SessionType t) {
    std::lock_guard<std::mutex> lock(madeLock_);
    int n = static_cast<int>(made_.size());
    std::vector<PairingParam> params;
    if (t == Relay) {
      params = {{"id", "r" + std::to_string(n)}, {"st", "t" + std::to_string(n)}};
    } else {
      params = {{"sv", "d" + std::to_string(n)}};
    }
    auto* s = new CheckedSession(t, params, faults_, n);
    // Start and Stop outcomes as the real sessions give them: the direct
    // session notifies from inside Start and Stop, under its lock; the relay
    // later, from its own threads. (The relay's refused connect does notify
    // from inside Start; PIVARO_SEQUENCE_INLINE_RELAY=1 lets the fakes do so
    // always: a harsher model in which each session's lock may be wanted
    // while the other's is held, so lock-order inversions show under TSan.)
    static const bool inlineRelay = std::getenv("PIVARO_SEQUENCE_INLINE_RELAY") != nullptr;
    const bool mayNotifyInline = t == Direct || inlineRelay;
    s->startInline = mayNotifyInline && config_() % 4 != 0;
    s->startInlineOk = config_() % 5 != 0;
    s->stopInline = mayNotifyInline && config_() % 2 == 0;
    s->startResult = config_() % 6 != 0;
    s->stopResult = config_() % 6 != 0;
    s->sendResult = config_() % 5 != 0;
    s->AddRef();  // the test's
    s->AddRef();  // the controller's
    made_.push_back(s);
    return s;
  }

  void CheckAnyThread() {
    int state = ctl_->GetState();
    if (state < Ctl::Connecting || state > Ctl::Connected) {
      faults_.Add("state " + std::to_string(state) + " is none of the five");
    }
  }

  // An armed hello timer gives up on a greeting the live primary sent: once
  // the sessions are re-created there is no remembered phone to wait for.
  void CheckHelloTimer(const std::string& when) {
    if (!ui_.armed[Ctl::kHelloTimer]) return;
    std::lock_guard<std::mutex> lock(madeLock_);
    CheckedSession* greeted = nullptr;
    for (CheckedSession* s : made_) {
      if (s->lastHello.load() != 0 && (!greeted || s->lastHello > greeted->lastHello)) greeted = s;
    }
    const std::size_t n = made_.size();
    if (!greeted || n < 2 || (greeted != made_[n - 1] && greeted != made_[n - 2])) {
      faults_.Add("after " + when + " the hello timer runs for the greeting of session " +
                  (greeted ? std::to_string(greeted->Index()) : std::string("none")) + " of " +
                  std::to_string(n));
    }
  }

  template <class When>
  void CheckUi(When when) {
    CheckAnyThread();
    std::ostringstream event;
    event << "UI event " << when;
    CheckHelloTimer(event.str());
    // Exactly the controls of the current state are visible.
    const Ctl::State s = ctl_->GetState();
    if (s >= Ctl::Connecting && s <= Ctl::Connected) ++gStatesSeen[s];
    const bool ok =
        view_.loading == (s == Ctl::Connecting) && view_.animating == (s == Ctl::Connecting) &&
        view_.retry == (s == Ctl::ConnectFailed) && view_.cancel == (s == Ctl::NetworkError) &&
        view_.qr == (s == Ctl::WaitingForPhone) &&
        view_.connectButton == (s == Ctl::NetworkError || s == Ctl::Connected);
    if (!ok) {
      std::ostringstream o;
      o << "after UI event " << when << " the window does not show state " << s;
      faults_.Add(o.str());
    }
  }

  Faults& faults_;
  std::mt19937 config_;
  FakePresentation* pres_ = nullptr;
  FakeReports reports_;
  FakeView view_;
  UiPort ui_;
  std::mutex madeLock_;
  std::vector<CheckedSession*> made_;
  std::unique_ptr<Ctl> ctl_;
};

constexpr int kEventsPerSchedule = 160;

// All events on this thread, in seed order.
std::string RunSerial(std::uint32_t seed) {
  Faults faults;
  {
    Schedule schedule(seed, faults);
    schedule.Init();
    bool open = true;
    const bool trace = std::getenv("PIVARO_SEQUENCE_SEED") != nullptr;
    for (const Event& e : MakeEvents(seed, kEventsPerSchedule)) {
      if (trace) {
        std::fprintf(stderr, "state %d, lane %d event %d (%d, %d)\n",
                     int(schedule.Controller().GetState()), int(e.lane), e.kind, e.a, e.b);
      }
      if (e.lane == Lane::Ui) {
        if (open) open = schedule.RunUi(e);
      } else if (e.lane == Lane::Worker) {
        schedule.RunWorker(e);
      } else {
        schedule.RunSession(e);
      }
    }
    if (open) schedule.CheckQuiet("end");
  }
  return faults.Text();
}

// The same events, each lane on its own thread, all released at once. A
// lane that is not done within the bound is a deadlock.
std::string RunThreaded(std::uint32_t seed) {
  Faults faults;
  {
    Schedule schedule(seed, faults);
    schedule.Init();
    std::vector<Event> lanes[4];
    for (const Event& e : MakeEvents(seed, kEventsPerSchedule)) {
      lanes[static_cast<int>(e.lane)].push_back(e);
    }
    std::mutex lock;
    std::condition_variable changed;
    int finished = 0;
    bool go = false;
    auto lane = [&](int index) {
      {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return go; });
      }
      for (const Event& e : lanes[index]) {
        if (index == 1 || index == 2) schedule.RunSession(e);
        if (index == 3) schedule.RunWorker(e);
      }
      std::lock_guard<std::mutex> hold(lock);
      ++finished;
      changed.notify_all();
    };
    std::vector<std::thread> threads;
    for (int i = 1; i < 4; ++i) threads.emplace_back(lane, i);
    {
      std::lock_guard<std::mutex> hold(lock);
      go = true;
      changed.notify_all();
    }
    // This thread is the UI thread.
    bool open = true;
    for (const Event& e : lanes[0]) {
      if (open) open = schedule.RunUi(e);
    }
    {
      std::unique_lock<std::mutex> hold(lock);
      if (!changed.wait_for(hold, std::chrono::seconds(10), [&] { return finished == 3; })) {
        std::fprintf(stderr, "seed %u: a thread is stuck (deadlock)\n", seed);
        std::abort();
      }
    }
    for (auto& t : threads) t.join();
    if (open) schedule.CheckQuiet("end");
  }
  return faults.Text();
}

long EnvNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

TEST(ControllerSequence, RandomSchedulesKeepTheInvariants) {
  const long only = EnvNumber("PIVARO_SEQUENCE_SEED", -1);
  // Under Wine every thread start costs far more; fewer seeds there.
#ifdef _WIN32
  const long standard = 500;
#else
  const long standard = 3000;
#endif
  const long count = only >= 0 ? 1 : EnvNumber("PIVARO_SEQUENCE_SCHEDULES", standard);
  const std::uint32_t first = only >= 0 ? static_cast<std::uint32_t>(only) : 1;
  const auto began = std::chrono::steady_clock::now();
  int failures = 0;
  for (long i = 0; i < count && failures < 5; ++i) {
    const std::uint32_t seed = first + static_cast<std::uint32_t>(i);
    for (bool threaded : {false, true}) {
      std::string faults = threaded ? RunThreaded(seed) : RunSerial(seed);
      if (!faults.empty()) {
        ++failures;
        ADD_FAILURE() << (threaded ? "threaded" : "serial") << " schedule, replay with "
                      << "PIVARO_SEQUENCE_SEED=" << seed << ":\n"
                      << faults;
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("%ld seeds (serial and threaded schedules) in %.1f s; states seen:", count, seconds);
  for (const auto& seen : gStatesSeen) std::printf(" %ld", seen.load());
  std::printf("\n");
  // The schedules are worth something only if they reach every state.
  if (only < 0) {
    for (const auto& seen : gStatesSeen) EXPECT_GT(seen.load(), 0);
  }
}

}  // namespace
