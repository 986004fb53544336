// Many threads at once, as in the program: two session threads delivering
// phone messages under their own locks, the presentation worker answering,
// and the UI thread on an io_context re-creating sessions and firing timers.
// Meant to run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "app/asio_ui_thread.h"
#include "app/headless_view.h"
#include "tests/app/fakes.h"

namespace {

using namespace std::chrono_literals;

// Runs io on its own thread (the UI thread) until Stop.
class UiLoop {
 public:
  explicit UiLoop(boost::asio::io_context& io)
      : io_(io), guard_(io.get_executor()), thread_([this] { io_.run(); }) {}
  ~UiLoop() { Stop(); }
  void Stop() {
    if (!thread_.joinable()) return;
    guard_.reset();
    // Whatever is queued still runs; then the loop ends for lack of work
    // (timers pending are cancelled by the caller first).
    thread_.join();
  }

 private:
  boost::asio::io_context& io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
  std::thread thread_;
};

template <class F>
void RunOn(boost::asio::io_context& io, F f) {
  auto done = std::make_shared<std::promise<void>>();
  boost::asio::post(io, [f, done] {
    f();
    done->set_value();
  });
  if (done->get_future().wait_for(30s) != std::future_status::ready) {
    std::fprintf(stderr, "the UI thread is stuck\n");
    std::abort();
  }
}

struct Rig {
  std::mutex madeLock;
  std::vector<FakeSession*> made;
  std::atomic<int> destroyed{0};
  FakePresentation* pres = nullptr;
  std::unique_ptr<CMainController> ctl;
  boost::asio::io_context io;
  CHeadlessView view;
  std::unique_ptr<CAsioUiThread> ui;
  std::unique_ptr<UiLoop> loop;

  Rig() {
    CMainController::Services s;
    s.createSession = [this](SessionType t) -> INetSession* {
      std::vector<PairingParam> params;
      if (t == Relay) {
        params = {{"id", "r"}, {"st", "t"}};
      } else {
        params = {{"sv", "d"}};
      }
      auto* f = new FakeSession(t, params, &destroyed);
      f->startInline = t == Direct;
      f->stopInline = t == Direct;
      f->AddRef();
      f->AddRef();
      std::lock_guard<std::mutex> lock(madeLock);
      made.push_back(f);
      return f;
    };
    auto p = std::make_unique<FakePresentation>();
    pres = p.get();
    s.presentation = std::move(p);
    ctl = std::make_unique<CMainController>(std::move(s));
  }
  ~Rig() {
    if (loop) StopUi();
    ctl.reset();
    for (FakeSession* f : made) f->Release();
  }
  // The UI thread on its own thread, and the window initialised on it.
  void StartUi() {
    ui = std::make_unique<CAsioUiThread>(io, *ctl);
    ctl->AttachUi(ui.get(), &view);
    loop = std::make_unique<UiLoop>(io);
    RunOn(io, [this] { ctl->InitWindow(); });
  }
  void StopUi() {
    loop->Stop();
    loop.reset();
    ctl->AttachUi(nullptr, nullptr);
  }

  // The newest session of that kind (still referenced by the rig).
  FakeSession* Latest(SessionType kind) {
    std::lock_guard<std::mutex> lock(madeLock);
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
      if ((*it)->Kind() == kind) return *it;
    }
    return nullptr;
  }
};

}  // namespace

TEST(ControllerConcurrency, PhoneMessagesAndPresentationEventsFromManyThreads) {
  Rig rig;
  rig.StartUi();
  boost::asio::io_context& io = rig.io;
  rig.pres->showRunning = true;

  auto phone = [&](SessionType kind) {
    static const char* kMessages[] = {R"({"msg":"hello","note":1})",
                                      R"({"msg":"next"})",
                                      R"({"msg":"laser_down","x":0.5,"y":0.5})",
                                      R"({"msg":"laser_move","x":0.6,"y":0.4})",
                                      R"({"msg":"laser_up"})",
                                      R"({"msg":"pen_move","x":0.1,"y":0.2})",
                                      R"({"msg":"prev"})",
                                      R"({"msg":"bye"})",
                                      R"({"msg":"unknown"})",
                                      R"({"no":"msg"})"};
    for (int i = 0; i < 3000; ++i) {
      FakeSession* s = rig.Latest(kind);
      s->connected = true;
      s->Message(kMessages[i % 10]);
      if (i % 500 == 250) s->Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
    }
  };
  auto worker = [&] {
    for (int i = 0; i < 3000; ++i) {
      switch (i % 5) {
        case 0:
          rig.ctl->OnState(true, i % 2 == 0);
          break;
        case 1:
          rig.ctl->OnPresentationEvent(PowerPoint, EventSlideShowNextSlide);
          break;
        case 2:
          rig.ctl->OnPresentationEvent(PowerPoint, EventSlideShowBegin);
          break;
        case 3:
          rig.ctl->OnNotes(u"notes");
          break;
        case 4:
          rig.ctl->OnCommandFailed(false, false);
          break;
      }
    }
  };
  std::thread relay(phone, Relay);
  std::thread direct(phone, Direct);
  std::thread presentation(worker);
  // The user re-creates the sessions now and then (the disconnect button's
  // end), while the threads above keep talking.
  std::thread user([&] {
    for (int i = 0; i < 20; ++i) {
      if (i % 2) {
        RunOn(io, [&] { rig.ctl->RecreateSessions(); });
      } else {
        // As OnStopped(1) does it: from the posted-calls queue.
        rig.ctl->PostToUi([&] { rig.ctl->RecreateSessions(); });
      }
      std::this_thread::sleep_for(2ms);
    }
  });
  auto joined = std::async(std::launch::async, [&] {
    user.join();
    relay.join();
    direct.join();
    presentation.join();
  });
  if (joined.wait_for(60s) != std::future_status::ready) {
    // Deadlocked threads cannot be joined: end the run here.
    std::fprintf(stderr, "session, worker and UI threads deadlocked\n");
    std::abort();
  }

  RunOn(io, [&] {
    rig.ui->KillTimer(CMainController::kQueryStateTimer);
    rig.ui->KillTimer(CMainController::kHelloTimer);
  });
  rig.StopUi();
  rig.ctl->RunPostedCalls();
  EXPECT_GE(rig.made.size(), 42u);
  EXPECT_GT(rig.pres->CallCount(), 1000u);
  CMainController::State s = rig.ctl->GetState();
  EXPECT_TRUE(s == CMainController::Connected || s == CMainController::WaitingForPhone) << s;
}

TEST(ControllerConcurrency, SimultaneousGreetingsOnBothSessionsPickOne) {
  for (int round = 0; round < 100; ++round) {
    Rig rig;
    rig.StartUi();
    boost::asio::io_context& io = rig.io;
    RunOn(io, [] {});  // the first start's answers have settled
    RunOn(io, [] {});
    FakeSession* relay = rig.Latest(Relay);
    FakeSession* direct = rig.Latest(Direct);

    std::atomic<int> ready{0};
    auto greet = [&](FakeSession* s) {
      ++ready;
      while (ready < 2) {
      }
      s->Message(R"({"msg":"hello"})");
    };
    std::thread a(greet, relay);
    std::thread b(greet, direct);
    auto joined = std::async(std::launch::async, [&] {
      a.join();
      b.join();
    });
    if (joined.wait_for(10s) != std::future_status::ready) {
      std::fprintf(stderr, "simultaneous greetings deadlocked\n");
      std::abort();
    }
    RunOn(io, [] {});  // the detach has run
    RunOn(io, [] {});

    // Exactly one transport is kept, and it is the primary.
    bool relayKept = relay->Attached();
    bool directKept = direct->Attached();
    ASSERT_NE(relayKept, directKept) << "round " << round;
    EXPECT_EQ(rig.ctl->PrimaryKind(), relayKept ? Relay : Direct);
    EXPECT_EQ(rig.ctl->GetState(), CMainController::Connected);
  }
}
