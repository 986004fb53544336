// One plain-HTTP request over a TCP connection of its own, for the update
// check (GET) and the report sender (POST). No TLS, proxy, redirects,
// chunked bodies or connection reuse.
//
// Use the steps in order and stop at the first that returns false; the
// exchange succeeded only when every step returned true, Error() is
// HttpErrorNone and Status() is exactly 200:
//   ParseUrl, BuildGetRequest or BuildPostRequest, Connect, Exchange,
//   and for GET ReceiveBody.
// An object belongs to the thread that uses it and serves one request.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>

#include "services/http_head_parser.h"

enum HttpError : std::int32_t {
  HttpErrorNone = 0,
  HttpErrorScheme = 1,    // the address holds "//" but does not begin with "http://"
  HttpErrorResolve = 2,   // the host name could not be resolved
  HttpErrorConnect = 3,   // the TCP connection could not be made
  HttpErrorSend = 4,      // sending failed
  HttpErrorReceive = 5,   // receiving failed or timed out
  HttpErrorResponse = 6,  // closed before the head was complete, or a malformed head
};

// Every blocking step has a bound so that a service that accepts and then
// stays silent cannot hold the caller (the UI thread during the update
// check). The receive limit covers the whole head in Exchange and, again,
// the whole body in ReceiveBody; it is not renewed by each arriving piece,
// so a service trickling bytes is bounded too.
struct HttpTimeLimits {
  std::chrono::milliseconds resolve{5000};
  std::chrono::milliseconds connect{5000};
  std::chrono::milliseconds send{5000};
  std::chrono::milliseconds receive{5000};
};

class CHttpClient {
 public:
  static constexpr std::size_t kRequestHeadLimit = 4096;  // formatted head, with its terminator
  static constexpr std::size_t kReceiveChunk = 4096;
  static constexpr std::size_t kHeadLimit = 40960;
  // ReceiveBody writes at most this many bytes read after the head, whatever
  // Content-Length claims: both services answer with a few hundred bytes.
  static constexpr std::size_t kBodyLimit = 1024 * 1024;

  explicit CHttpClient(std::string url, HttpTimeLimits limits = HttpTimeLimits());
  ~CHttpClient();
  CHttpClient(const CHttpClient&) = delete;
  CHttpClient& operator=(const CHttpClient&) = delete;

  bool ParseUrl();
  // False, without an error code, when the head would not fit its 4,096-byte
  // buffer (a path or host of several kilobytes).
  bool BuildGetRequest();
  bool BuildPostRequest(const std::string& body);
  bool Connect();
  // Sends the request and reads until the head is complete. Returns true
  // with Status() 0 when 40,960 bytes arrived without a complete head.
  bool Exchange();
  // Writes the body bytes that came with the head, then reads until
  // Content-Length bytes are written (capped at kBodyLimit), the peer
  // closes, a receive fails or the receive limit passes.
  std::ostream& ReceiveBody(std::ostream& out);

  std::int32_t Port() const { return port_; }
  const std::string& Host() const { return host_; }
  const std::string& Path() const { return path_; }
  const std::string& Request() const { return request_; }
  const std::string& Head() const { return head_.Head(); }
  const std::string& Body() const { return head_.Body(); }
  const std::string& Protocol() const { return head_.Protocol(); }
  std::int32_t Status() const { return head_.Status(); }
  const std::map<std::string, std::string>& Headers() const { return head_.Headers(); }
  std::int32_t ContentLength() const { return head_.ContentLength(); }
  HttpError Error() const { return error_; }

 private:
  bool Fail(HttpError error);
  bool FormatHead(const char* method, const std::string& extra);
  // Reads once, waiting until deadline at most; 0 on close, failure or
  // time-out (ec tells which).
  std::size_t ReadSome(char* buffer, std::size_t size,
                       std::chrono::steady_clock::time_point deadline,
                       boost::system::error_code& ec);

  HttpTimeLimits limits_;
  std::int32_t port_ = 80;
  std::string path_;
  std::string host_;
  std::string request_;
  HttpHeadParser head_;
  HttpError error_ = HttpErrorNone;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
};
