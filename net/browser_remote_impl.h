// The browser remote's shared internals, not for use outside the browser
// remote's files (browser_remote.cpp, browser_http.cpp, browser_websocket.cpp):
// the server's state that its connections reach through a weak reference, the
// common face of a page request and a WebSocket phone, and the one way a new
// page request is started. Everything here is used on the I/O thread only,
// except where a member says otherwise.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>

#include "net/browser_remote.h"

namespace browser {

// One accepted socket, as a page request or, after the upgrade, a phone.
struct Connection {
  virtual ~Connection() = default;
  // Ends it now, without a goodbye.
  virtual void Kill() = 0;
  // Ends it politely where that means something (a WebSocket's close frame).
  virtual void Shutdown() { Kill(); }
  std::uint64_t serial = 0;
};

using ServerRef = std::weak_ptr<CBrowserRemote::Impl>;

// Takes an accepted socket as a page request: reads its one request head and
// answers it, or hands it to the server as a WebSocket (Impl::Upgrade). The
// connection forgets itself from the server when it ends.
std::shared_ptr<Connection> StartHttpConnection(boost::asio::ip::tcp::socket socket,
                                                ServerRef server,
                                                const BrowserRemoteOptions& options,
                                                std::uint64_t serial);

}  // namespace browser

struct CBrowserRemote::Impl : std::enable_shared_from_this<CBrowserRemote::Impl> {
  Impl(boost::asio::io_context& io, IBrowserPhoneHost& host, BrowserRemoteOptions options)
      : io(io),
        host(host),
        options(std::move(options)),
        token(NewBrowserToken()),
        acceptor(io),
        acceptRetry(io) {}

  void Accept(std::uint64_t epoch);
  void Admit(boost::asio::ip::tcp::socket socket);
  void Forget(std::uint64_t serial);
  void Upgrade(boost::beast::tcp_stream stream,
               boost::beast::http::request<boost::beast::http::empty_body> request,
               std::string clientId, std::uint64_t serial);

  boost::asio::io_context& io;
  IBrowserPhoneHost& host;
  const BrowserRemoteOptions options;
  const std::string token;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer acceptRetry;
  std::uint64_t epoch = 0;  // bumped at every open: an old accept loop stops
  std::uint16_t lastPort = 0;
  std::uint64_t nextSerial = 0;
  struct Entry {
    std::weak_ptr<browser::Connection> connection;
    boost::asio::ip::address from;
  };
  std::map<std::uint64_t, Entry> connections;
  std::map<boost::asio::ip::address, std::size_t> perAddress;  // open connections by source

  mutable std::mutex addressLock;
  std::string address;
  std::atomic<std::uint16_t> port{0};

  // Slide pictures. The source is set from any thread; the waits are
  // counted on the I/O thread. Answers arrive on the source's threads and
  // are posted through the gate, which the server shuts before its
  // io_context can go.
  struct AnswerGate {
    std::mutex lock;
    boost::asio::io_context* io = nullptr;
  };
  std::shared_ptr<ISlidePictureSource> PictureSource() const {
    std::lock_guard<std::mutex> lock(addressLock);
    return pictures;
  }
  std::shared_ptr<ISlidePictureSource> pictures;  // guarded by addressLock
  std::shared_ptr<AnswerGate> gate = std::make_shared<AnswerGate>();
  std::size_t pictureWaits = 0;
};
