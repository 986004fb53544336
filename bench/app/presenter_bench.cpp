// The presenter view on loopback: a browser phone sends "next" or "prev",
// waits for the state message at the new slide, then fetches that slide's
// picture over HTTP; the time from the tap to the last byte of the picture.
// Two runs: at one width (the picture the prefetch or an earlier visit put
// in the PC's cache, as a presenter who steps through the deck sees it), and
// at a width never asked before (the application exports it on demand).
// Both report median, 99th percentile and slowest in microseconds.
#include <benchmark/benchmark.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <memory>
#include <string>
#include <vector>

#include "bench/app/timed_automation.h"
#include "tests/e2e/support/pc_harness.h"
#include "tests/support/mosquitto_broker.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using bench::Clock;
using bench::Micros;
using bench::Report;
using namespace std::chrono_literals;

// Runs one asynchronous operation for at most the limit; a late one is
// cancelled by closing the socket, and counts as failed.
template <typename Socket, typename Start>
bool RunFor(asio::io_context& io, Socket& socket, std::chrono::milliseconds limit, Start start) {
  bool done = false;
  beast::error_code result;
  start([&](beast::error_code ec, auto&&...) {
    done = true;
    result = ec;
  });
  io.restart();
  io.run_for(limit);
  if (!done) {
    beast::error_code ignored;
    socket.close(ignored);
    io.restart();
    io.run_for(1s);
    return false;
  }
  return !result;
}

class BrowserPage {
 public:
  // address: "http://127.0.0.1:<port>/r/<token>"
  bool Open(const std::string& address) {
    token_ = address.substr(address.rfind('/') + 1);
    port_ = static_cast<std::uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
    host_ = "127.0.0.1:" + std::to_string(port_);
    auto& socket = beast::get_lowest_layer(ws_).socket();
    if (!RunFor(io_, socket, 2s, [&](auto h) { socket.async_connect(Endpoint(), h); })) {
      return false;
    }
    ws_.set_option(websocket::stream_base::decorator(
        [this](websocket::request_type& r) { r.set(http::field::origin, "http://" + host_); }));
    if (!RunFor(io_, socket, 2s,
                [&](auto h) { ws_.async_handshake(host_, "/ws/" + token_ + "?c=bench", h); })) {
      return false;
    }
    ws_.text(true);
    return Send(R"({"msg":"hello"})");
  }

  bool Send(const std::string& text) {
    auto& socket = beast::get_lowest_layer(ws_).socket();
    return RunFor(io_, socket, 2s, [&](auto h) { ws_.async_write(asio::buffer(text), h); });
  }

  // Reads messages until a state at slide `index`; its deck revision.
  bool WaitSlide(int index, std::string& revision) {
    const std::string mark = R"("slide":{"index":)" + std::to_string(index) + ",";
    auto& socket = beast::get_lowest_layer(ws_).socket();
    const Clock::time_point end = Clock::now() + bench::kLimit;
    while (Clock::now() < end) {
      beast::flat_buffer buffer;
      if (!RunFor(io_, socket, 2s, [&](auto h) { ws_.async_read(buffer, h); })) return false;
      std::string text = beast::buffers_to_string(buffer.data());
      if (text.find(mark) == std::string::npos) continue;
      const std::string key = R"("revision":")";
      std::size_t at = text.find(key);
      if (at == std::string::npos) return false;
      revision = text.substr(at + key.size(), 10);
      return true;
    }
    return false;
  }

  // One picture over a connection of its own; its size in bytes, 0 on failure.
  std::size_t Picture(const std::string& revision, int index, int width) {
    asio::ip::tcp::socket socket(io_);
    if (!RunFor(io_, socket, 2s, [&](auto h) { socket.async_connect(Endpoint(), h); })) return 0;
    http::request<http::empty_body> request(http::verb::get,
                                            "/r/" + token_ + "/slide/" + revision + "/" +
                                                std::to_string(index) +
                                                "?w=" + std::to_string(width),
                                            11);
    request.set(http::field::host, host_);
    if (!RunFor(io_, socket, 2s, [&](auto h) { http::async_write(socket, request, h); })) return 0;
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    if (!RunFor(io_, socket, 7s, [&](auto h) { http::async_read(socket, buffer, response, h); })) {
      return 0;
    }
    return response.result() == http::status::ok ? response.body().size() : 0;
  }

 private:
  asio::ip::tcp::endpoint Endpoint() const { return {asio::ip::make_address("127.0.0.1"), port_}; }

  asio::io_context io_;
  websocket::stream<beast::tcp_stream> ws_{io_};
  std::string token_;
  std::string host_;
  std::uint16_t port_ = 0;
};

struct World {
  World() {
    ok = broker.Start();
    if (!ok) return;
    e2e::PcOptions options;
    options.brokerUri = broker.Uri();
    options.browser = true;
    pc = std::make_unique<e2e::PcHarness>(options);
    ok = pc->Start() && page.Open(pc->BrowserAddress()) &&
         pc->WaitState(CMainController::Connected, bench::kLimit) &&
         page.Send(R"({"msg":"start"})") && page.WaitSlide(1, revision);
  }
  ~World() {
    if (ok) page.Send(R"({"msg":"stop"})");
  }

  MosquittoBroker broker;
  std::unique_ptr<e2e::PcHarness> pc;
  BrowserPage page;
  std::string revision;
  bool ok = false;
};

World& TheWorld() {
  static World world;
  return world;
}

// Steps between slides 1 and 2; `freshWidth` asks each picture at a width
// no phone asked for before, so that nothing cached can answer it.
void SlideChangeToPicture(benchmark::State& state, bool freshWidth) {
  World& w = TheWorld();
  if (!w.ok) return state.SkipWithError("the PC or the browser did not start");
  static int nextWidth = 320;
  std::vector<double> micros;
  int slide = 1;
  for (auto _ : state) {
    slide = slide == 1 ? 2 : 1;
    int width = 640;
    if (freshWidth) {
      width = nextWidth;
      nextWidth = nextWidth >= 2048 ? 336 : nextWidth + 16;
    }
    const auto sent = Clock::now();
    std::string revision;
    if (!w.page.Send(slide == 2 ? R"({"msg":"next"})" : R"({"msg":"prev"})") ||
        !w.page.WaitSlide(slide, revision)) {
      state.SkipWithError("no state at the new slide");
      break;
    }
    if (w.page.Picture(revision, slide, width) == 0) {
      state.SkipWithError("no picture");
      break;
    }
    const auto received = Clock::now();
    micros.push_back(Micros(received - sent));
    state.SetIterationTime(std::chrono::duration<double>(received - sent).count());
  }
  Report(state, micros);
}

void BM_SlideChangeToCachedPicture(benchmark::State& state) { SlideChangeToPicture(state, false); }
void BM_SlideChangeToExportedPicture(benchmark::State& state) { SlideChangeToPicture(state, true); }

BENCHMARK(BM_SlideChangeToCachedPicture)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SlideChangeToExportedPicture)
    ->UseManualTime()
    ->Iterations(100)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
