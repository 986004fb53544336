// The relay's window of publishes: the broker client hands at most a fixed
// number of unacknowledged publishes to the broker, and one beyond that
// would wait inside the client for a one-second timer. So the session keeps
// the excess here, in the order it was sent, and passes one on as each
// completes. The window knows nothing of the client: it is given a send
// function and told of completions, which keeps its ordering and counting
// rules testable without a broker. A generation counts connections, so that
// a completion from an ended connection frees no slot of the next one.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>

class PublishWindow {
 public:
  // What a publish carries through the window besides its payload: the
  // caller's own record of it, never looked into here.
  using Item = void*;
  struct Waiting {
    std::string payload;
    Item item;
  };
  // Hands a publish to the client for the connection of `generation`;
  // false when the client refused it (then no completion comes for it).
  using SendFunction =
      std::function<bool(const std::string& payload, Item item, unsigned long generation)>;
  // Reports a waiting publish that the client refused when its turn came:
  // its sender was told it was accepted, so the failure is its outcome.
  using FailFunction = std::function<void(Item item)>;

  PublishWindow(int limit, SendFunction send, FailFunction fail);
  PublishWindow(const PublishWindow&) = delete;
  PublishWindow& operator=(const PublishWindow&) = delete;

  // Sends at once when the window has room and nothing waits, else queues.
  // False only when it was sent at once and refused; the item is then still
  // the caller's. Neither function is called with the window's lock held,
  // and only one thread at a time passes publishes on.
  bool Submit(std::string payload, Item item);
  // A publish sent for `generation` completed, either way: its slot is free
  // (when it belongs to the current connection) and waiting ones move up.
  void Completed(unsigned long generation);
  // A new connection: nothing of the old one is in flight any more.
  void NewConnection();
  // The connection ended: like NewConnection, and the publishes still
  // waiting are given back, in order, for their sender to fail.
  std::deque<Waiting> Abandon();

  int InFlight();
  std::size_t WaitingCount();

 private:
  // Passes waiting publishes on while there is room; `hold` locks mutex_
  // and handing_ is set by the caller.
  void HandOnWaiting(std::unique_lock<std::mutex>& hold);

  const int limit_;
  const SendFunction send_;
  const FailFunction fail_;
  std::mutex mutex_;
  int inFlight_ = 0;
  bool handing_ = false;  // one thread at a time passes publishes on
  unsigned long generation_ = 0;
  std::deque<Waiting> waiting_;
};
