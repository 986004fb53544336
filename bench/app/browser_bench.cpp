// The browser remote against the direct TCP phone, in the same run, on
// loopback: a tap ("next" during a show) until the presentation
// application's View.Next runs, and laser moves at 120 per second for 10 s
// until the PC moves its drawn dot (the WPS-like application, which has no
// laser of its own). The laser runs report median, 99th percentile and
// slowest in microseconds, and how many moves were later than 100 ms or
// never arrived.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/app/timed_automation.h"
#include "presentation/automation.h"
#include "tests/e2e/support/pc_harness.h"
#include "tests/support/mosquitto_broker.h"
#include "tools/phone/phone_link.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using bench::Clock;
using bench::kLimit;
using bench::Micros;
using bench::NavigationClock;
using bench::Report;
using bench::TimedFactory;
using namespace std::chrono_literals;

// --- A browser phone: a WebSocket client on its own I/O thread ------------

class BrowserPhone {
 public:
  ~BrowserPhone() {
    asio::post(io_, [this] {
      beast::error_code ignored;
      beast::get_lowest_layer(ws_).socket().close(ignored);
    });
    if (thread_.joinable()) thread_.join();
  }

  // address: "http://127.0.0.1:<port>/r/<token>"
  bool Connect(const std::string& address) {
    std::size_t hostStart = address.find("//") + 2;
    std::size_t slash = address.find('/', hostStart);
    std::string host = address.substr(hostStart, slash - hostStart);
    std::string token = address.substr(address.rfind('/') + 1);
    auto port = static_cast<std::uint16_t>(std::stoi(host.substr(host.find(':') + 1)));
    beast::error_code ec;
    beast::get_lowest_layer(ws_).expires_after(kLimit);
    beast::get_lowest_layer(ws_).connect({asio::ip::make_address("127.0.0.1"), port}, ec);
    if (ec) return false;
    beast::get_lowest_layer(ws_).socket().set_option(asio::ip::tcp::no_delay(true), ec);
    ws_.set_option(websocket::stream_base::decorator([host](websocket::request_type& r) {
      r.set(beast::http::field::origin, "http://" + host);
    }));
    ws_.handshake(host, "/ws/" + token + "?c=bench", ec);
    if (ec) return false;
    beast::get_lowest_layer(ws_).expires_never();
    ws_.text(true);
    Read();
    thread_ = std::thread([this] { io_.run(); });
    return true;
  }

  void Send(std::string text) {
    asio::post(io_, [this, text = std::move(text)]() mutable {
      queue_.push_back(std::move(text));
      if (queue_.size() == 1) WriteNext();
    });
  }

  // Waits for a message whose text contains `part`.
  bool WaitFor(const std::string& part) {
    std::unique_lock<std::mutex> guard(lock_);
    return arrived_.wait_for(guard, kLimit, [&] {
      for (const std::string& m : received_) {
        if (m.find(part) != std::string::npos) return true;
      }
      return false;
    });
  }

 private:
  void Read() {
    ws_.async_read(buffer_, [this](beast::error_code ec, std::size_t) {
      if (ec) return;
      {
        std::lock_guard<std::mutex> guard(lock_);
        received_.push_back(beast::buffers_to_string(buffer_.data()));
      }
      arrived_.notify_all();
      buffer_.consume(buffer_.size());
      Read();
    });
  }
  void WriteNext() {
    ws_.async_write(asio::buffer(queue_.front()), [this](beast::error_code ec, std::size_t) {
      queue_.pop_front();
      if (!ec && !queue_.empty()) WriteNext();
    });
  }

  asio::io_context io_;
  websocket::stream<beast::tcp_stream> ws_{io_};
  beast::flat_buffer buffer_;
  std::deque<std::string> queue_;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<std::string> received_;
  std::thread thread_;
};

// What a benchmark needs of either phone: send one message.
using Sender = std::function<void(const std::string&)>;

enum class Kind { Browser, DirectTcp };

struct World {
  MosquittoBroker broker;
  std::shared_ptr<NavigationClock> clock = std::make_shared<NavigationClock>();
  std::unique_ptr<e2e::PcHarness> pc;
  std::unique_ptr<phone::PhoneLink> link;
  std::unique_ptr<BrowserPhone> browser;
  bool ok = false;

  World() { ok = broker.Start(); }

  // A fresh PC and a greeted phone of that kind; null on failure.
  Sender Pair(Kind kind, bool wps, std::string& why) {
    browser.reset();
    link.reset();
    if (pc) {
      pc.reset();
      std::this_thread::sleep_for(1100ms);  // relay client ids are per second
    }
    e2e::PcOptions options;
    options.brokerUri = broker.Uri();
    options.browser = true;
    options.wps = wps;
    auto clockRef = clock;
    options.wrapAutomation = [clockRef](std::shared_ptr<IAutomationFactory> inner) {
      return TimedFactory(std::move(inner), clockRef);
    };
    pc = std::make_unique<e2e::PcHarness>(options);
    if (!pc->Start()) {
      why = "the PC did not start";
      return nullptr;
    }
    if (kind == Kind::Browser) {
      browser = std::make_unique<BrowserPhone>();
      if (!browser->Connect(pc->BrowserAddress())) {
        why = "no WebSocket to " + pc->BrowserAddress();
        return nullptr;
      }
      browser->Send(R"({"msg":"hello","note":0})");
      if (!browser->WaitFor(R"("msg":"state")")) {
        why = "no answer to the greeting";
        return nullptr;
      }
      BrowserPhone* b = browser.get();
      return [b](const std::string& text) { b->Send(text); };
    }
    link = pc->JoinPhone(phone::Transport::DirectTcp, false, &why);
    phone::PhoneMessage m;
    if (!link || !link->SendHello() || !link->WaitFor("state", m, kLimit)) {
      why = "no paired TCP phone";
      return nullptr;
    }
    phone::PhoneLink* l = link.get();
    return [l](const std::string& text) { l->Send(text); };
  }
};

World& TheWorld() {
  static World world;
  return world;
}

void TapToAutomation(benchmark::State& state, Kind kind) {
  World& w = TheWorld();
  std::string why = "no broker";
  Sender send = w.ok ? w.Pair(kind, false, why) : nullptr;
  if (!send) return state.SkipWithError(why.c_str());
  send(R"({"msg":"start"})");
  e2e::WaitUntil([&] { return w.pc->App()->Snapshot().showRunning; }, kLimit);
  std::vector<double> micros;
  bool forward = true;
  for (auto _ : state) {
    const std::uint64_t target = w.clock->Calls() + 1;
    const auto sent = Clock::now();
    send(forward ? R"({"msg":"next"})" : R"({"msg":"prev"})");
    forward = !forward;
    Clock::time_point called;
    if (!w.clock->WaitCall(target, called)) {
      state.SkipWithError("no automation call");
      break;
    }
    micros.push_back(Micros(called - sent));
    state.SetIterationTime(std::chrono::duration<double>(called - sent).count());
  }
  send(R"({"msg":"stop"})");
  Report(state, micros);
}

// 1200 moves, one every 1/120 s; each carries its number in x.
void LaserAt120(benchmark::State& state, Kind kind) {
  constexpr int kMoves = 1200;
  constexpr auto kPeriod = std::chrono::microseconds(1000000 / 120);
  World& w = TheWorld();
  std::string why = "no broker";
  Sender send = w.ok ? w.Pair(kind, true, why) : nullptr;
  if (!send) return state.SkipWithError(why.c_str());
  send(R"({"msg":"start"})");
  e2e::WaitUntil([&] { return w.pc->App()->Snapshot().showRunning; }, kLimit);

  std::mutex lock;
  std::vector<Clock::time_point> sentAt(kMoves);
  std::vector<Clock::time_point> arrivedAt(kMoves);
  w.pc->View().onMoveLaser = [&](double x, double) {
    long i = std::lround((x - 0.1) / 0.0005);
    std::lock_guard<std::mutex> guard(lock);
    if (i >= 0 && i < kMoves && arrivedAt[i] == Clock::time_point()) arrivedAt[i] = Clock::now();
  };
  send(R"({"msg":"laser_down","x":0.05,"y":0.5})");
  e2e::WaitUntil([&] { return w.pc->View().LaserCalls().shows > 0; }, kLimit);

  std::vector<double> micros;
  int late = 0, lost = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int i = 0; i < kMoves; ++i) {
      std::this_thread::sleep_until(start + i * kPeriod);
      char text[64];
      std::snprintf(text, sizeof text, R"({"msg":"laser_move","x":%.4f,"y":0.5})",
                    0.1 + i * 0.0005);
      {
        std::lock_guard<std::mutex> guard(lock);
        sentAt[i] = Clock::now();
      }
      send(text);
    }
    e2e::WaitUntil([&] { return w.pc->View().LaserCalls().moves >= kMoves; }, 2000ms);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  send(R"({"msg":"laser_up"})");
  e2e::WaitUntil([&] { return w.pc->View().LaserCalls().hides > 0; }, kLimit);
  {
    std::lock_guard<std::mutex> guard(lock);
    for (int i = 0; i < kMoves; ++i) {
      if (arrivedAt[i] == Clock::time_point()) {
        ++lost;
        continue;
      }
      double us = Micros(arrivedAt[i] - sentAt[i]);
      late += us > 100000.0;
      micros.push_back(us);
    }
  }
  w.pc->View().onMoveLaser = nullptr;
  send(R"({"msg":"stop"})");
  Report(state, micros);
  state.counters["late_over_100ms"] = late;
  state.counters["lost"] = lost;
}

void RegisterAll() {
  auto timed = [](benchmark::internal::Benchmark* b, int iterations) {
    b->UseManualTime()->Iterations(iterations)->Unit(benchmark::kMicrosecond);
  };
  timed(benchmark::RegisterBenchmark("BM_BrowserTapToAutomation", TapToAutomation, Kind::Browser),
        1000);
  timed(benchmark::RegisterBenchmark("BM_DirectTapToAutomation", TapToAutomation, Kind::DirectTcp),
        1000);
  timed(benchmark::RegisterBenchmark("BM_BrowserLaser120Hz", LaserAt120, Kind::Browser), 1);
  timed(benchmark::RegisterBenchmark("BM_DirectLaser120Hz", LaserAt120, Kind::DirectTcp), 1);
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  TheWorld().browser.reset();
  TheWorld().link.reset();
  TheWorld().pc.reset();
  return 0;
}
