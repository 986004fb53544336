#include "services/http_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

const char kUserAgent[] =
    "Mozilla/5.0 AppleWebKit/537.36 (KHTML, like Gecko) Chrome/42.0.2311.135 Zeruvevo/1.0 "
    "Safari/537.36";

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  std::size_t i = 0;
  for (; prefix[i]; ++i) {
    if (i >= text.size()) return false;
    char a = text[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// Runs one asynchronous operation on io until it completes or the deadline
// passes; on expiry the socket is closed, which ends the operation with
// operation_aborted, and the result is timed_out.
template <class Start>
std::size_t RunBounded(asio::io_context& io, tcp::socket& socket, Clock::time_point deadline,
                       error_code& ec, Start&& start) {
  bool done = false;
  std::size_t bytes = 0;
  io.restart();
  start([&](const error_code& e, std::size_t n) {
    ec = e;
    bytes = n;
    done = true;
  });
  io.run_until(deadline);
  if (!done) {
    error_code ignored;
    socket.close(ignored);
    io.restart();
    io.run();
    ec = asio::error::timed_out;
    bytes = 0;
  }
  return bytes;
}

struct Resolution {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool ok = false;
  asio::ip::address_v4 address;
};

// getaddrinfo cannot be cancelled, and Asio's own resolver thread is joined
// when its io_context ends, so a stuck lookup would outlast any deadline.
// Names are therefore looked up on a detached thread that the caller stops
// waiting for at the limit; dotted addresses need no lookup at all.
bool ResolveIpv4(const std::string& host, std::chrono::milliseconds limit,
                 asio::ip::address_v4& out) {
  // Asio would pass an empty name on as "no name", which resolves to a
  // local address.
  if (host.empty()) return false;
  error_code ec;
  asio::ip::address_v4 literal = asio::ip::make_address_v4(host, ec);
  if (!ec) {
    out = literal;
    return true;
  }
  auto state = std::make_shared<Resolution>();
  try {
    std::thread([state, host] {
      asio::io_context io;
      tcp::resolver resolver(io);
      error_code error;
      auto results = resolver.resolve(tcp::v4(), host, "0", tcp::resolver::numeric_service, error);
      std::lock_guard<std::mutex> lock(state->mutex);
      if (!error && !results.empty()) {
        state->address = results.begin()->endpoint().address().to_v4();
        state->ok = true;
      }
      state->done = true;
      state->finished.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  if (!state->finished.wait_for(lock, limit, [&] { return state->done; })) return false;
  out = state->address;
  return state->ok;
}

}  // namespace

CHttpClient::CHttpClient(std::string url, HttpTimeLimits limits)
    : limits_(limits), path_(std::move(url)), socket_(io_) {}

CHttpClient::~CHttpClient() {
  error_code ignored;
  socket_.close(ignored);
}

bool CHttpClient::Fail(HttpError error) {
  error_ = error;
  return false;
}

bool CHttpClient::ParseUrl() {
  std::string rest = path_;
  if (rest.find("//") != std::string::npos) {
    if (!StartsWithNoCase(rest, "http://")) return Fail(HttpErrorScheme);
    rest.erase(0, 7);
  }
  std::size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  path_ = slash == std::string::npos ? std::string("/") : rest.substr(slash);
  std::size_t colon = authority.find(':');
  if (colon != std::string::npos) {
    port_ = ParseDecimal(authority.substr(colon + 1));
    host_ = authority.substr(0, colon);
  } else {
    port_ = 80;
    host_ = authority;
  }
  return true;
}

bool CHttpClient::FormatHead(const char* method, const std::string& extra) {
  char buffer[kRequestHeadLimit];
  int n = std::snprintf(buffer, sizeof buffer,
                        "%s %s HTTP/1.1\r\nHost: %s\r\nConnection: keep-alive\r\n"
                        "Pragma: no-cache\r\nCache-Control: no-cache\r\n%s"
                        "User-Agent: %s\r\n\r\n",
                        method, path_.c_str(), host_.c_str(), extra.c_str(), kUserAgent);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer) return false;
  request_.assign(buffer, static_cast<std::size_t>(n));
  return true;
}

bool CHttpClient::BuildGetRequest() { return FormatHead("GET", std::string()); }

bool CHttpClient::BuildPostRequest(const std::string& body) {
  if (body.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  std::string extra =
      "Content-Length: " + std::to_string(body.size()) + "\r\nContent-Type: charset=UTF-8\r\n";
  if (!FormatHead("POST", extra)) return false;
  request_ += body;
  return true;
}

bool CHttpClient::Connect() {
  error_code ec;
  socket_.open(tcp::v4(), ec);
  asio::ip::address_v4 address;
  if (!ResolveIpv4(host_, limits_.resolve, address)) return Fail(HttpErrorResolve);
  if (ec || port_ <= 0 || port_ > 65535) {
    socket_.close(ec);
    return Fail(HttpErrorConnect);
  }
  tcp::endpoint endpoint(address, static_cast<unsigned short>(port_));
  RunBounded(io_, socket_, Clock::now() + limits_.connect, ec, [&](auto handler) {
    socket_.async_connect(endpoint, [handler](const error_code& e) mutable { handler(e, 0); });
  });
  if (ec) {
    error_code ignored;
    socket_.close(ignored);
    return Fail(HttpErrorConnect);
  }
  return true;
}

std::size_t CHttpClient::ReadSome(char* buffer, std::size_t size, Clock::time_point deadline,
                                  error_code& ec) {
  return RunBounded(io_, socket_, deadline, ec, [&](auto handler) {
    socket_.async_read_some(asio::buffer(buffer, size), handler);
  });
}

bool CHttpClient::Exchange() {
  error_code ec;
  RunBounded(io_, socket_, Clock::now() + limits_.send, ec,
             [&](auto handler) { asio::async_write(socket_, asio::buffer(request_), handler); });
  if (ec) return Fail(HttpErrorSend);

  const Clock::time_point deadline = Clock::now() + limits_.receive;
  char buffer[kReceiveChunk];
  for (;;) {
    // The caller fails on the status, which stays 0.
    if (head_.Head().size() >= kHeadLimit) return true;
    std::size_t n = ReadSome(buffer, sizeof buffer, deadline, ec);
    if (n == 0) return Fail(ec && ec != asio::error::eof ? HttpErrorReceive : HttpErrorResponse);
    switch (head_.Feed(buffer, n)) {
      case HttpHeadParser::Complete:
        return true;
      case HttpHeadParser::Malformed:
        return Fail(HttpErrorResponse);
      case HttpHeadParser::Incomplete:
        break;
    }
  }
}

std::ostream& CHttpClient::ReceiveBody(std::ostream& out) {
  const std::string& held = head_.Body();
  out.write(held.data(), static_cast<std::streamsize>(held.size()));
  std::size_t total = held.size();
  const Clock::time_point deadline = Clock::now() + limits_.receive;
  char buffer[kReceiveChunk];
  while (std::size_t remaining = HttpBodyRemaining(ContentLength(), total, kBodyLimit)) {
    error_code ec;
    std::size_t n = ReadSome(buffer, std::min(sizeof buffer, remaining), deadline, ec);
    if (n == 0) break;
    out.write(buffer, static_cast<std::streamsize>(n));
    total += n;
  }
  return out;
}
