// The publish window's rules on room and order, driven by a fake sender: no
// broker and no Paho. Each case is a script of steps; the sender records
// what it was handed, in order, with the connection it was handed for.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/mqtt_publish_window.h"

namespace {

PublishWindow::Item ItemOf(int id) {
  return reinterpret_cast<PublishWindow::Item>(static_cast<std::intptr_t>(id));
}

int IdOf(PublishWindow::Item item) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(item));
}

std::string Join(const std::vector<int>& ids) {
  std::ostringstream out;
  for (std::size_t i = 0; i < ids.size(); ++i) out << (i ? " " : "") << ids[i];
  return out.str();
}

// Runs one script. Steps, separated by spaces:
//   sN  submit publish N          rN  the sender refuses publish N
//   iN  publish N completes while its send is still under way (as Paho may
//       complete on its own thread before the send call returns)
//   c   the oldest outstanding publish completes
//   n   a new connection          a   the connection ended (abandon)
class Script {
 public:
  explicit Script(int limit)
      : window_(
            limit,
            [this](const std::string& payload, PublishWindow::Item item, unsigned long gen) {
              const int id = IdOf(item);
              EXPECT_EQ(payload, "p" + std::to_string(id));
              sent_.push_back(id);
              if (refuse_.count(id)) return false;
              if (inside_.count(id)) {
                window_.Completed(gen);
              } else {
                outstanding_.push_back(gen);
              }
              return true;
            },
            [this](PublishWindow::Item item) { failed_.push_back(IdOf(item)); }) {}

  void Run(const std::string& steps) {
    std::istringstream in(steps);
    std::string step;
    while (in >> step) {
      const int id = step.size() > 1 ? std::stoi(step.substr(1)) : 0;
      switch (step[0]) {
        case 's':
          if (!window_.Submit("p" + std::to_string(id), ItemOf(id))) refusedAtOnce_.push_back(id);
          break;
        case 'r':
          refuse_.insert(id);
          break;
        case 'i':
          inside_.insert(id);
          break;
        case 'c':
          ASSERT_FALSE(outstanding_.empty()) << steps;
          {
            const unsigned long gen = outstanding_.front();
            outstanding_.pop_front();
            window_.Completed(gen);
          }
          break;
        case 'n':
          window_.NewConnection();
          break;
        case 'a':
          for (auto& waiting : window_.Abandon()) {
            EXPECT_EQ(waiting.payload, "p" + std::to_string(IdOf(waiting.item)));
            abandoned_.push_back(IdOf(waiting.item));
          }
          break;
        default:
          FAIL() << "unknown step " << step;
      }
    }
  }

  PublishWindow window_;
  std::vector<int> sent_;
  std::vector<int> failed_;
  std::vector<int> refusedAtOnce_;
  std::vector<int> abandoned_;

 private:
  std::set<int> refuse_;
  std::set<int> inside_;
  std::deque<unsigned long> outstanding_;
};

struct Case {
  const char* name;
  int limit;
  const char* steps;
  const char* sent;  // what the sender was handed, in order
  const char* failed;
  const char* refusedAtOnce;
  const char* abandoned;
  int inFlight;
  std::size_t waiting;
};

TEST(MqttPublishWindow, RoomAndOrderRules) {
  const Case cases[] = {
      {"fills the window, then queues", 2, "s1 s2 s3 s4", "1 2", "", "", "", 2, 2},
      {"each completion sends the next waiting one, in order", 2, "s1 s2 s3 s4 s5 c c", "1 2 3 4",
       "", "", "", 2, 1},
      {"with room and nothing waiting a publish goes at once", 2, "s1 c s2 s3", "1 2 3", "", "", "",
       2, 0},
      {"a later publish never overtakes a waiting one", 2, "s1 s2 s3 c s4", "1 2 3", "", "", "", 2,
       1},
      {"a publish refused at once frees its slot and stays the caller's", 2, "r1 s1 s2 s3", "1 2 3",
       "", "1", "", 2, 0},
      {"a waiting publish refused on its turn is failed and the next goes", 2, "r3 s1 s2 s3 s4 c",
       "1 2 3 4", "3", "", "", 2, 0},
      {"a new connection empties the window for the next submit", 2, "s1 s2 s3 n s4", "1 2 3 4", "",
       "", "", 2, 0},
      {"a completion from an earlier connection frees no slot", 2, "s1 s2 n s3 s4 s5 c", "1 2 3 4",
       "", "", "", 2, 1},
      {"an ended connection gives the waiting ones back in order", 2, "s1 s2 s3 s4 a", "1 2", "",
       "", "3 4", 0, 0},
      {"after an abandon the window is empty and old completions free nothing", 2,
       "s1 s2 s3 a s4 s5 s6 c", "1 2 4 5", "", "", "3", 2, 1},
      {"completions during a send are counted by the thread handing on", 1, "i2 i3 s1 s2 s3 s4 c",
       "1 2 3 4", "", "", "", 1, 0},
      {"a window of one sends strictly one after another", 1, "s1 s2 s3 c c", "1 2 3", "", "", "",
       1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Script script(c.limit);
    script.Run(c.steps);
    EXPECT_EQ(Join(script.sent_), c.sent);
    EXPECT_EQ(Join(script.failed_), c.failed);
    EXPECT_EQ(Join(script.refusedAtOnce_), c.refusedAtOnce);
    EXPECT_EQ(Join(script.abandoned_), c.abandoned);
    EXPECT_EQ(script.window_.InFlight(), c.inFlight);
    EXPECT_EQ(script.window_.WaitingCount(), c.waiting);
  }
}

// Submits from several threads while another completes: never more than the
// limit in flight, every publish handed on exactly once, and each thread's
// publishes in the order it submitted them.
TEST(MqttPublishWindow, ConcurrentSubmitsKeepTheLimitAndEachSendersOrder) {
  constexpr int kLimit = 3;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;
  std::mutex mutex;
  std::deque<unsigned long> outstanding;
  std::vector<int> sent;
  int inFlight = 0;
  int most = 0;
  PublishWindow window(
      kLimit,
      [&](const std::string&, PublishWindow::Item item, unsigned long gen) {
        std::lock_guard<std::mutex> hold(mutex);
        sent.push_back(IdOf(item));
        outstanding.push_back(gen);
        most = std::max(most, ++inFlight);
        return true;
      },
      [](PublishWindow::Item) { ADD_FAILURE() << "nothing is refused"; });
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        EXPECT_TRUE(window.Submit("p", ItemOf(t * kPerThread + i + 1)));
      }
    });
  }
  // Completes whatever is outstanding until every publish was sent and
  // completed, within a bound.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int completed = 0;
  while (completed < kThreads * kPerThread && std::chrono::steady_clock::now() < deadline) {
    unsigned long gen = 0;
    bool any = false;
    {
      std::lock_guard<std::mutex> hold(mutex);
      if (!outstanding.empty()) {
        gen = outstanding.front();
        outstanding.pop_front();
        --inFlight;
        any = true;
      }
    }
    if (any) {
      window.Completed(gen);
      ++completed;
    } else {
      std::this_thread::yield();
    }
  }
  for (auto& sender : senders) sender.join();
  ASSERT_EQ(completed, kThreads * kPerThread);
  EXPECT_LE(most, kLimit);
  EXPECT_EQ(window.InFlight(), 0);
  EXPECT_EQ(window.WaitingCount(), 0u);
  ASSERT_EQ(sent.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::vector<int> last(kThreads, 0);
  std::set<int> seen;
  for (int id : sent) {
    EXPECT_TRUE(seen.insert(id).second) << id;
    const int t = (id - 1) / kPerThread;
    EXPECT_GT(id, last[t]) << "thread " << t << " out of order";
    last[t] = id;
  }
}

}  // namespace
