// Runs a program as a child with its standard output captured, bounded in
// time: a child still running at the limit is killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

struct ChildResult {
  bool started = false;
  bool timedOut = false;
  int exitCode = -1;
  std::string output;  // standard output
};

ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                     const std::string& input, std::chrono::milliseconds limit);

// A child that keeps running while the test talks to it: lines go to its
// standard input, its standard output is collected by a reader thread and
// searched with bounded waits. The destructor kills a child still running.
class InteractiveChild {
 public:
  InteractiveChild() = default;
  ~InteractiveChild();
  InteractiveChild(const InteractiveChild&) = delete;
  InteractiveChild& operator=(const InteractiveChild&) = delete;

  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv);
  bool WriteLine(const std::string& line);
  // The first output line at or after `from` that begins with `prefix`; its
  // index goes to `index` so later waits can start after it.
  bool WaitForLine(const std::string& prefix, std::string& line, std::chrono::milliseconds limit,
                   std::size_t from = 0, std::size_t* index = nullptr);
  // Waits for the child to end by itself; -1 when it did not within the limit.
  int WaitExit(std::chrono::milliseconds limit);
  std::string Output();

 private:
  void ReadOutput(int fd);

  pid_t pid_ = -1;
  int input_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::string partial_;
};

}  // namespace e2e
