// A receiver of the manager's notifications that records them and lets a
// test hold the worker inside OnState.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "presentation/powerpoint_mgr.h"

class RecordingNotify : public IPowerPointMgrNotify {
 public:
  struct Event {
    PowerPointType type;
    std::int32_t id;
    bool showRunning;  // IsShowRunning() of the manager when the event arrived
    ScreenRect showRect;
  };

  // Set before SetNotify to sample the manager's flags in each event.
  CPowerPointMgr* manager = nullptr;

  void OnPresentationEvent(PowerPointType type, std::int32_t eventId) override {
    Event e{type, eventId, false, {}};
    if (manager) {
      e.showRunning = manager->IsShowRunning();
      e.showRect = manager->GetShowRect();
    }
    Record([&] { events.push_back(e); });
  }
  void OnState(bool appFound, bool showRunning) override {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (holdNextState_) {
        holdNextState_ = false;
        held_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !held_; });
      }
    }
    Record([&] { states.push_back({appFound, showRunning}); });
  }
  void OnCommandFailed(bool appFound, bool showRunning) override {
    Record([&] { failures.push_back({appFound, showRunning}); });
  }
  void OnNotes(const std::u16string& text) override {
    Record([&] { notes.push_back(text); });
  }
  void OnVersion(PowerPointType type, const std::u16string& version) override {
    Record([&] { versions.push_back({type, version}); });
  }
  void OnSlidePosition(const SlidePosition& position) override {
    Record([&] { positions.push_back({position, events.size()}); });
  }
  void OnSlideImage(const SlideImage& image) override {
    Record([&] { images.push_back(image); });
  }

  // The next OnState blocks the worker until Release().
  void HoldNextState() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdNextState_ = true;
  }
  bool WaitUntilHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return held_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }

  // Waits (at most 5 s) until `done` holds; reads happen under the lock.
  template <typename Pred>
  bool WaitFor(Pred done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return done(); });
  }
  template <typename Read>
  auto Locked(Read read) {
    std::lock_guard<std::mutex> lock(mutex_);
    return read();
  }

  std::vector<Event> events;
  std::vector<std::pair<bool, bool>> states;
  std::vector<std::pair<bool, bool>> failures;
  std::vector<std::u16string> notes;
  std::vector<std::pair<PowerPointType, std::u16string>> versions;
  struct Position {
    SlidePosition position;
    std::size_t eventsBefore;  // events recorded when it arrived
  };
  std::vector<Position> positions;
  std::vector<SlideImage> images;

 private:
  template <typename Change>
  void Record(Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool holdNextState_ = false;
  bool held_ = false;
};
