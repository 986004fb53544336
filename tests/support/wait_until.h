// Waiting for a condition in a test: polls it until it holds, bounded both in
// time and in the number of looks, so that a test waits only as long as the
// condition needs and never hangs when it does not come.
#pragma once

#include <chrono>
#include <thread>

namespace test_support {

// True once `done()` holds; false when `limit` passed first. Looks every
// `step` (and once more at the end).
template <typename Pred>
bool WaitUntil(Pred&& done, std::chrono::milliseconds limit,
               std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  const long long looks = limit / step + 1;
  for (long long i = 0; i < looks; ++i) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(step);
  }
  return done();
}

}  // namespace test_support
