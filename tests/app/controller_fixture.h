// A controller over fake sessions, presentation manager, window, UI thread
// and reports. Relay sessions report their start later (as the MQTT library
// does); direct sessions report it from inside Start (as the LAN session
// does). The test keeps one reference to every session it hands out.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/app/fakes.h"

class ControllerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ctl.reset();
    for (FakeSession* s : made) s->Release();
  }

  void Make(int updateState = 0) {
    CMainController::Services s;
    s.createSession = [this](SessionType t) -> INetSession* {
      int n = static_cast<int>(made.size());
      std::vector<PairingParam> params;
      if (t == Relay) {
        params = {{"id", "r" + std::to_string(n)}, {"st", "t" + std::to_string(n)}};
      } else {
        params = {{"sv", "d" + std::to_string(n)}};
      }
      auto* f = new FakeSession(t, params, &destroyed);
      f->startInline = t == Direct;
      if (configure) configure(f);
      f->AddRef();  // the test's
      f->AddRef();  // the controller's
      made.push_back(f);
      return f;
    };
    auto p = std::make_unique<FakePresentation>();
    pres = p.get();
    s.presentation = std::move(p);
    s.reports = &reports;
    s.checkForUpdate = [updateState] { return updateState; };
    s.serviceBaseUrl = [] { return std::string("http://base/tavmix/"); };
    s.tickCount = [this] { return tick; };
    ctl = std::make_unique<CMainController>(std::move(s));
    ctl->AttachUi(&ui, &view);
  }

  // Window initialised and the relay started: the QR code shows.
  void StartWaiting() {
    Make();
    ctl->InitWindow();
    Drain();
    RelayAt(0)->Notify([](INetSessionNotify* n) { n->OnStarted(true, 0); });
    Drain();
    ASSERT_EQ(ctl->GetState(), CMainController::WaitingForPhone);
  }

  // ... and a phone has greeted on `kind`.
  void StartConnected(SessionType kind = Relay, const std::string& hello = R"({"msg":"hello"})") {
    StartWaiting();
    FakeSession* s = kind == Relay ? RelayAt(0) : DirectAt(1);
    s->connected = true;
    s->Message(hello);
    Drain();
    ASSERT_EQ(ctl->GetState(), CMainController::Connected);
  }

  void Drain() { ctl->RunPostedCalls(); }

  // The n-th session handed out (0 and 1 by the first RecreateSessions).
  FakeSession* At(std::size_t n) { return n < made.size() ? made[n] : nullptr; }
  FakeSession* RelayAt(std::size_t n) {
    FakeSession* s = At(n);
    EXPECT_TRUE(s && s->Kind() == Relay);
    return s;
  }
  FakeSession* DirectAt(std::size_t n) {
    FakeSession* s = At(n);
    EXPECT_TRUE(s && s->Kind() == Direct);
    return s;
  }

  std::atomic<int> destroyed{0};
  std::vector<FakeSession*> made;
  std::function<void(FakeSession*)> configure;
  FakePresentation* pres = nullptr;
  FakeView view;
  FakeUiThread ui;
  FakeReports reports;
  std::uint32_t tick = 1000;
  std::unique_ptr<CMainController> ctl;
};
