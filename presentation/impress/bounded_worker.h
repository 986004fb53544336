// One thread that runs calls into something that may hang (an office over a
// pipe), with every caller waiting at most its own limit. A call that
// overruns its limit is left running: a thread cannot be cancelled, so the
// worker is marked stuck and refuses new calls until that call comes back
// (the caller's job is to make it come back, by closing whatever it waits
// on). Calls run one at a time in the order they were queued; jobs posted
// without a waiter run in the same queue. Nothing here knows what the calls
// do; an exception that leaves a call counts as its failure.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

class CBoundedWorker {
 public:
  enum class Outcome {
    Finished,  // the call came back within the limit; its result is given
    Overran,   // the call is still running; the worker is stuck until it returns
    Refused,   // stopping, or stuck behind an earlier call: not queued
  };

  // `atEnd` runs on the worker's thread after its last job, when it stops.
  explicit CBoundedWorker(std::function<void()> atEnd = {});
  // Stop().
  ~CBoundedWorker();

  CBoundedWorker(const CBoundedWorker&) = delete;
  CBoundedWorker& operator=(const CBoundedWorker&) = delete;

  // Queues `call` and waits for it at most `limit`; `*result` is its answer
  // when it finished, false otherwise.
  Outcome Run(std::function<bool()> call, std::chrono::milliseconds limit, bool* result);
  // Queues `job` without waiting for it; dropped while stopping.
  void Post(std::function<void()> job);
  // A call overran its limit and has not come back yet.
  bool Stuck() const;
  // Takes no more jobs, lets the queued ones run and waits for the thread;
  // when a call is stuck the thread is left to end on its own.
  void Stop();

  struct State;

 private:
  std::shared_ptr<State> state_;
};
