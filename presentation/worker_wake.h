// How the presentation worker sleeps and is woken. On Windows the wait also
// dispatches the thread's messages, through which COM delivers the
// application's events to the worker's apartment.
#pragma once

#include <memory>

class WorkerWake {
 public:
  WorkerWake();
  ~WorkerWake();
  WorkerWake(const WorkerWake&) = delete;
  WorkerWake& operator=(const WorkerWake&) = delete;

  // Any thread: wakes the worker (remembered until its next Wait).
  void Signal();
  // Worker only: returns once Signal was called since the last return, or
  // after dispatching the messages that arrived. False when the wait
  // itself failed.
  bool Wait();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
