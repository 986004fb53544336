// A receiver of a session's notifications for the session tests: it records
// every one, with the thread that delivered it, and lets the test wait for
// them (every wait bounded). The relay and the direct tests share it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "json/json.h"
#include "net/session.h"

namespace session_test {

struct Event {
  // WrongSource: a message from another kind of session than OnlyFrom's.
  enum Kind { Started, Stopped, Sent, NetworkLost, PeerLost, Message, WrongSource };
  Kind kind = Message;
  bool ok = false;
  std::int32_t cookie = 0;
  std::string text;  // the message of OnMessage
  SessionType from = Relay;
  std::thread::id thread;

  static Event Of(Kind kind, bool ok = false, std::int32_t cookie = 0) {
    Event e;
    e.kind = kind;
    e.ok = ok;
    e.cookie = cookie;
    return e;
  }
};

class Recorder : public INetSessionNotify {
 public:
  void OnStarted(bool ok, std::int32_t cookie) override {
    Add(Event::Of(Event::Started, ok, cookie));
  }
  void OnStopped(bool ok, std::int32_t cookie) override {
    Add(Event::Of(Event::Stopped, ok, cookie));
  }
  void OnSent(bool ok, std::int32_t cookie) override { Add(Event::Of(Event::Sent, ok, cookie)); }
  void OnNetworkLost() override { Add(Event::Of(Event::NetworkLost)); }
  void OnPeerLost() override { Add(Event::Of(Event::PeerLost)); }
  void OnMessage(SessionType from, JsonPtr& message) override {
    std::function<void(JsonPtr&)> call;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      call = onMessage_;
    }
    Event e = Event::Of(onlyFrom_ < 0 || from == onlyFrom_ ? Event::Message : Event::WrongSource);
    ToUtf8(JsonWrite(message), e.text);
    e.from = from;
    Add(std::move(e));
    if (call) call(message);
  }

  // Messages from any other kind of session are recorded as WrongSource.
  void OnlyFrom(SessionType from) { onlyFrom_ = from; }

  // Runs inside OnMessage, on the session's thread (with whatever lock the
  // session holds there); may be set while the session is delivering.
  void SetOnMessage(std::function<void(JsonPtr&)> f) {
    std::lock_guard<std::mutex> guard(mutex_);
    onMessage_ = std::move(f);
  }

  std::size_t Count(Event::Kind kind) {
    std::lock_guard<std::mutex> guard(mutex_);
    return CountLocked(kind);
  }

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> guard(mutex_);
    return events_;
  }

  // Waits until `count` events of that kind have arrived.
  bool WaitFor(Event::Kind kind, std::size_t count = 1,
               std::chrono::milliseconds limit = std::chrono::seconds(3)) {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, limit, [&] { return CountLocked(kind) >= count; });
  }

  // The text of the n-th message (0-based), waiting for it.
  std::string MessageText(std::size_t n,
                          std::chrono::milliseconds limit = std::chrono::seconds(3)) {
    if (!WaitFor(Event::Message, n + 1, limit)) return std::string();
    std::lock_guard<std::mutex> guard(mutex_);
    for (const Event& e : events_) {
      if (e.kind == Event::Message && n-- == 0) return e.text;
    }
    return std::string();
  }

  // Removes and gives the first event of that kind, waiting for one up to
  // the limit (tests that take events one by one; counts drop with it).
  bool Take(Event::Kind kind, Event& out,
            std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> guard(mutex_);
    auto found = [&] {
      for (auto it = events_.begin(); it != events_.end(); ++it) {
        if (it->kind == kind) {
          out = *it;
          events_.erase(it);
          return true;
        }
      }
      return false;
    };
    return changed_.wait_for(guard, limit, found);
  }
  // No event of that kind arrives within `time` (one that does is taken).
  bool None(Event::Kind kind, std::chrono::milliseconds time) {
    Event ignored;
    return !Take(kind, ignored, time);
  }

 private:
  std::size_t CountLocked(Event::Kind kind) const {
    std::size_t n = 0;
    for (const Event& e : events_) n += e.kind == kind;
    return n;
  }

  void Add(Event e) {
    e.thread = std::this_thread::get_id();
    std::lock_guard<std::mutex> guard(mutex_);
    events_.push_back(std::move(e));
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  std::function<void(JsonPtr&)> onMessage_;
  int onlyFrom_ = -1;
};

}  // namespace session_test
