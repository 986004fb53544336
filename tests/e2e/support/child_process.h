// Runs a program as a child with its standard output captured, bounded in
// time: a child still running at the limit is killed.
#pragma once

#include <chrono>
#include <string>
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

}  // namespace e2e
