// The Impress suites' shared set-up: one virtual display and office profile
// per suite, an office of its own started for each test and ended after it,
// and the presentation manager over it with a recorder of its
// notifications.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "presentation/impress/impress_office.h"
#include "presentation/powerpoint_mgr.h"
#include "tests/presentation/recording_notify.h"
#include "tests/support/impress_session.h"

namespace impress_test {

constexpr auto kEventWait = std::chrono::seconds(20);
constexpr auto kOfficeStart = std::chrono::seconds(60);

inline const std::vector<ImpressDeckSlide> kDeck = {
    {"First slide", "Notes of slide one"},
    {"Second slide", "Notes of slide two: <b> & \"quoted\""},
    {"Third slide", "Notes of slide three"},
};

template <typename Pred>
bool Eventually(Pred done, std::chrono::milliseconds limit = kEventWait) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

inline std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Ends an office this test started, stopped or not, when the test ends.
struct EndOffice {
  pid_t leader;
  ~EndOffice() {
    if (leader <= 0) return;
    kill(-leader, SIGCONT);
    ImpressSession::KillGroup(leader);
  }
};

class ImpressTest : public ::testing::Test {
 protected:
  // One display and profile for the program; each test starts its own
  // office on them and ends it.
  static void SetUpTestSuite() { shared_ = new ImpressSession; }
  static void TearDownTestSuite() {
    delete shared_;
    shared_ = nullptr;
  }

  void SetUp() override {
    if (!session_.Unavailable().empty()) GTEST_SKIP() << session_.Unavailable();
    office_ = std::make_unique<CImpressOffice>(Options());
    // An office that could not open the display (now and then it cannot,
    // with other X servers starting beside ours) gets one more try on a
    // display of another number.
    bool connected = false;
    for (int attempt = 0; attempt < 2 && !connected; ++attempt) {
      connected = office_->Link().Connect(true);
      if (connected) break;
      ImpressSession::KillGroup(office_->Link().StartedProcess());
      ASSERT_TRUE(session_.ReplaceDisplay()) << "no virtual display";
    }
    ASSERT_TRUE(connected) << "soffice did not answer on its pipe";
  }
  void TearDown() override {
    manager_.reset();
    if (office_) {
      ImpressSession::EndOffice(office_->Link());
    }
    office_.reset();
  }

  ImpressLinkOptions Options() const {
    ImpressLinkOptions options;
    options.pipeName = session_.PipeName();
    options.profileUrl = session_.ProfileUrl();
    options.startLimit = kOfficeStart;
    return options;
  }

  void StartManager() {
    manager_ = std::make_unique<CPowerPointMgr>(office_->Ports());
    notify_.manager = manager_.get();
    manager_->SetNotify(&notify_);
  }

  std::size_t EventCount(std::int32_t id) {
    return notify_.Locked([&] {
      std::size_t n = 0;
      for (auto& e : notify_.events) n += e.id == id;
      return n;
    });
  }
  std::int32_t SlideIndex() {
    std::int32_t index = -1, count = 0;
    office_->Link().Position(&index, &count);
    return index;
  }
  // The notes the manager reports after a request.
  std::u16string Notes() {
    std::size_t before = notify_.Locked([&] { return notify_.notes.size(); });
    manager_->RequestNotes();
    if (!Eventually([&] { return notify_.Locked([&] { return notify_.notes.size() > before; }); }))
      return u"<no answer>";
    return notify_.Locked([&] { return notify_.notes.back(); });
  }
  std::pair<bool, bool> State() {
    std::size_t before = notify_.Locked([&] { return notify_.states.size(); });
    manager_->QueryState();
    if (!Eventually([&] { return notify_.Locked([&] { return notify_.states.size() > before; }); }))
      return {true, true};
    return notify_.Locked([&] { return notify_.states.back(); });
  }

  static inline ImpressSession* shared_ = nullptr;
  ImpressSession& session_ = *shared_;
  std::unique_ptr<CImpressOffice> office_;
  RecordingNotify notify_;
  std::unique_ptr<CPowerPointMgr> manager_;
};

}  // namespace impress_test
