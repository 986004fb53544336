// A scripted HTTP server on 127.0.0.1 and an ephemeral port, run by the
// tests on a thread of its own. It records every request byte for byte
// (head plus Content-Length body) and answers with the pieces its responder
// returns, optionally pausing between them or staying silent.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test {

struct Reply {
  std::vector<std::string> pieces;     // written in order
  std::chrono::milliseconds pause{0};  // before each piece after the first
  bool silent = false;                 // answer nothing and keep the connection open
  bool holdOpen = false;               // keep the connection open after the last piece
};

// A complete answer with a Content-Length header (unless extraHeaders
// replaces it, see NoLength).
inline Reply Answer(int status, const std::string& body, const std::string& extraHeaders = "") {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " X\r\n" + extraHeaders +
                     "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  return Reply{{head + body}};
}

// A loopback port that was free a moment ago and has nothing listening.
inline unsigned short ClosedPort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor a(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0));
  return a.local_endpoint().port();
}

class TestHttpServer {
 public:
  using Responder = std::function<Reply(const std::string& request)>;

  explicit TestHttpServer(Responder responder)
      : responder_(std::move(responder)),
        acceptor_(
            io_, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0)) {
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }

  ~TestHttpServer() {
    io_.stop();
    thread_.join();
  }

  unsigned short Port() const { return acceptor_.local_endpoint().port(); }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(Port()) + path;
  }

  // Waits (bounded) until at least n requests have arrived; returns all.
  std::vector<std::string> WaitForRequests(
      std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, limit, [&] { return requests_.size() >= n; });
    return requests_;
  }
  // Waits (bounded) until done(requests) holds; returns all requests.
  std::vector<std::string> WaitUntil(
      const std::function<bool(const std::vector<std::string>&)>& done,
      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, limit, [&] { return done(requests_); });
    return requests_;
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  struct Connection {
    explicit Connection(boost::asio::io_context& io) : socket(io), timer(io) {}
    boost::asio::ip::tcp::socket socket;
    boost::asio::steady_timer timer;
    boost::asio::streambuf in;
    std::string request;
    Reply reply;
    std::size_t next = 0;
  };
  using ConnectionPtr = std::shared_ptr<Connection>;

  void Accept() {
    auto c = std::make_shared<Connection>(io_);
    acceptor_.async_accept(c->socket, [this, c](const boost::system::error_code& ec) {
      if (ec) return;
      ReadHead(c);
      Accept();
    });
  }

  void ReadHead(const ConnectionPtr& c) {
    boost::asio::async_read_until(
        c->socket, c->in, "\r\n\r\n",
        [this, c](const boost::system::error_code& ec, std::size_t n) {
          if (ec) return;
          std::string all(boost::asio::buffers_begin(c->in.data()),
                          boost::asio::buffers_end(c->in.data()));
          c->in.consume(c->in.size());
          c->request = all.substr(0, n);
          std::size_t length = ContentLength(c->request);
          std::string rest = all.substr(n);
          if (rest.size() >= length) {
            c->request += rest.substr(0, length);
            Respond(c);
            return;
          }
          c->request += rest;
          auto buffer = std::make_shared<std::string>(length - rest.size(), '\0');
          boost::asio::async_read(
              c->socket, boost::asio::buffer(*buffer),
              [this, c, buffer](const boost::system::error_code& e, std::size_t) {
                if (e) return;
                c->request += *buffer;
                Respond(c);
              });
        });
  }

  static std::size_t ContentLength(const std::string& head) {
    std::string lower = head;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    return static_cast<std::size_t>(std::stoul(lower.substr(at + 17)));
  }

  void Respond(const ConnectionPtr& c) {
    c->reply = responder_(c->request);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(c->request);
    }
    arrived_.notify_all();
    // Kept open until the server stops.
    if (c->reply.silent || c->reply.holdOpen) held_.push_back(c);
    if (!c->reply.silent) WriteNext(c);
  }

  void WriteNext(const ConnectionPtr& c) {
    if (c->next >= c->reply.pieces.size()) {
      if (c->reply.holdOpen) return;
      boost::system::error_code ignored;
      c->socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
      c->socket.close(ignored);
      return;
    }
    auto write = [this, c] {
      const std::string& piece = c->reply.pieces[c->next++];
      boost::asio::async_write(c->socket, boost::asio::buffer(piece),
                               [this, c](const boost::system::error_code& ec, std::size_t) {
                                 if (!ec) WriteNext(c);
                               });
    };
    if (c->next == 0 || c->reply.pause.count() == 0) {
      write();
      return;
    }
    c->timer.expires_after(c->reply.pause);
    c->timer.async_wait([write](const boost::system::error_code& ec) {
      if (!ec) write();
    });
  }

  Responder responder_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::vector<ConnectionPtr> held_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace test
