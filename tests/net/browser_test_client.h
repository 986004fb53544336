// A browser played with Beast for the browser remote's tests: page requests
// and raw HTTP bytes over loopback, and a WebSocket client that misbehaves
// where a test says so. Every operation is bounded in time; a client may
// bind any loopback address, so that tests can stand for several devices.
#pragma once

#include <chrono>
#include <string>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "tests/net/direct_test_phone.h"

namespace browser_test {

using namespace std::chrono_literals;
using direct_test::Clock;
using direct_test::Loopback;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using boost::system::error_code;

// Runs an operation started by `start` for at most `limit`; a late one is
// cancelled and reported as timed_out.
template <typename Stream, typename Start>
error_code RunFor(asio::io_context& io, Stream& stream, std::chrono::milliseconds limit,
                  Start start) {
  bool done = false;
  error_code result = asio::error::timed_out;
  start([&](const error_code& ec, auto&&...) {
    done = true;
    result = ec;
  });
  io.restart();
  io.run_for(limit);
  if (!done) {
    beast::get_lowest_layer(stream).cancel();
    io.restart();
    io.run();
    result = asio::error::timed_out;
  }
  return result;
}

// Connects a stream from a loopback address of the test's choice.
inline error_code ConnectFrom(asio::io_context& io, beast::tcp_stream& stream, std::uint16_t port,
                              const char* local, std::chrono::milliseconds limit = 2s) {
  error_code ec;
  stream.socket().open(asio::ip::tcp::v4(), ec);
  if (!ec) stream.socket().bind({asio::ip::make_address(local), 0}, ec);
  if (ec) return ec;
  return RunFor(io, stream, limit, [&](auto h) { stream.async_connect({Loopback(), port}, h); });
}

struct HttpAnswer {
  int status = 0;  // 0: the connection ended without an answer
  std::string body;
  http::fields headers;
};

// Sends raw request bytes and reads one answer.
inline HttpAnswer Exchange(std::uint16_t port, const std::string& request,
                           const char* local = "127.0.0.1") {
  asio::io_context io;
  beast::tcp_stream stream(io);
  HttpAnswer answer;
  if (ConnectFrom(io, stream, port, local)) return answer;
  if (RunFor(io, stream, 2s,
             [&](auto h) { asio::async_write(stream, asio::buffer(request), h); })) {
    return answer;
  }
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.skip(request.rfind("HEAD", 0) == 0);
  if (RunFor(io, stream, 3s, [&](auto h) { http::async_read(stream, buffer, parser, h); })) {
    return answer;
  }
  answer.status = static_cast<int>(parser.get().result_int());
  answer.body = parser.get().body();
  answer.headers = parser.get().base();
  return answer;
}

// Sends raw bytes (a write the server cuts short is no failure) and returns
// every byte that comes back until the server closes, at most 1 MiB, within
// the limit; `closed` tells whether the server closed.
inline std::string RawExchange(std::uint16_t port, const std::string& bytes, bool& closed,
                               std::chrono::milliseconds limit = 3s,
                               const char* local = "127.0.0.1") {
  asio::io_context io;
  beast::tcp_stream stream(io);
  std::string received;
  closed = false;
  if (ConnectFrom(io, stream, port, local)) return received;
  RunFor(io, stream, 2s, [&](auto h) { asio::async_write(stream, asio::buffer(bytes), h); });
  Clock::time_point end = Clock::now() + limit;
  char chunk[4096];
  while (received.size() < (1u << 20) && Clock::now() < end) {
    std::size_t got = 0;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    error_code ec = RunFor(io, stream, left, [&](auto h) {
      stream.async_read_some(asio::buffer(chunk), [&got, h](const error_code& e, std::size_t n) {
        got = n;
        h(e);
      });
    });
    received.append(chunk, got);
    if (ec) {
      closed = ec != asio::error::timed_out;
      break;
    }
  }
  return received;
}

inline std::string Get(const std::string& target, std::uint16_t port, const std::string& extra = "",
                       const char* method = "GET") {
  return std::string(method) + " " + target +
         " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + extra + "\r\n";
}

class Browser {
 public:
  explicit Browser(std::uint16_t port, const char* local = "127.0.0.1")
      : port_(port), local_(local), ws_(io_) {}

  // The handshake's HTTP status: 101 when upgraded.
  int Open(const std::string& target, const std::string& origin) {
    if (ConnectFrom(io_, ws_.next_layer(), port_, local_)) return 0;
    ws_.set_option(websocket::stream_base::decorator([origin](websocket::request_type& r) {
      if (!origin.empty()) r.set(http::field::origin, origin);
    }));
    websocket::response_type response;
    const std::string host = "127.0.0.1:" + std::to_string(port_);
    error_code ec =
        RunFor(io_, ws_, 2s, [&](auto h) { ws_.async_handshake(response, host, target, h); });
    if (!ec) return 101;
    return static_cast<int>(response.result_int());
  }

  int OpenAs(const std::string& token, const std::string& id) {
    return Open("/ws/" + token + "?c=" + id, "http://127.0.0.1:" + std::to_string(port_));
  }

  bool Send(const std::string& data, bool text = true) {
    ws_.text(text);
    return !RunFor(io_, ws_, 2s, [&](auto h) { ws_.async_write(asio::buffer(data), h); });
  }

  // The next text message; false on timeout or when the connection ended.
  bool Receive(std::string& text, std::chrono::milliseconds limit = 2s) {
    beast::flat_buffer buffer;
    last_ = RunFor(io_, ws_, limit, [&](auto h) { ws_.async_read(buffer, h); });
    if (last_) return false;
    text = beast::buffers_to_string(buffer.data());
    return true;
  }

  // True when the server ends the connection within the limit (messages
  // that arrive meanwhile are skipped).
  bool WaitClosed(std::chrono::milliseconds limit = 3s) {
    Clock::time_point end = Clock::now() + limit;
    std::string ignored;
    while (Clock::now() < end) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (Receive(ignored, left)) continue;
      return last_ != asio::error::timed_out;
    }
    return false;
  }

  websocket::close_reason CloseReason() const { return ws_.reason(); }
  websocket::stream<beast::tcp_stream>& Stream() { return ws_; }

 private:
  std::uint16_t port_;
  const char* local_;
  asio::io_context io_;
  websocket::stream<beast::tcp_stream> ws_;
  error_code last_;
};

}  // namespace browser_test
