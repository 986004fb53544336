// The browser remote's WebSocket phone: one browser page's socket after the
// upgrade, offered to the host as a CBrowserPhone. It finishes the handshake,
// hands each whole JSON message with a "msg" string to the host (holding the
// next read back while the host pauses reads), writes what the host sends
// through a bounded queue with a time limit per message, and says goodbye
// with a close frame. Whatever way it ends, the server and the host hear of
// it once.
#include <deque>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "net/browser_remote_impl.h"
#include "net/direct_frame.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using boost::system::error_code;
using browser::Connection;
using browser::ServerRef;

namespace {

// How often a phone asks whether its host takes messages again.
constexpr auto kPausedReadCheck = std::chrono::milliseconds(5);

bool HasMessageName(const JsonPtr& message) {
  const JsonPtr* msg = message.Find(u"msg");
  return msg && msg->Kind() == JsonKind::String;
}

class WsPhone : public CBrowserPhone,
                public Connection,
                public std::enable_shared_from_this<WsPhone> {
 public:
  WsPhone(beast::tcp_stream stream, ServerRef server, IBrowserPhoneHost& host,
          const BrowserRemoteOptions& options, std::string clientId)
      : ws_(std::move(stream)),
        server_(std::move(server)),
        host_(host),
        options_(options),
        clientId_(std::move(clientId)),
        writeTimer_(ws_.get_executor()),
        closeTimer_(ws_.get_executor()),
        pauseTimer_(ws_.get_executor()) {
    error_code ec;
    remote_ = beast::get_lowest_layer(ws_).socket().remote_endpoint(ec).address();
  }

  void Accept(http::request<http::empty_body> request) {
    beast::get_lowest_layer(ws_).expires_never();  // the stream's own timeouts below
    websocket::stream_base::timeout timeouts;
    timeouts.handshake_timeout = options_.requestLimit;
    timeouts.idle_timeout = options_.idleLimit;
    timeouts.keep_alive_pings = true;
    ws_.set_option(timeouts);
    ws_.read_message_max(kBrowserMaxMessage);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(http::field::server, "Pivaro"); }));
    auto held = std::make_shared<http::request<http::empty_body>>(std::move(request));
    ws_.async_accept(*held, [self = shared_from_this(), held](const error_code& ec) {
      if (ec) return self->Gone();
      self->handshakeDone_ = true;
      if (self->closing_) return self->StartClose();
      self->Read();
    });
  }

  // CBrowserPhone
  const std::string& ClientId() const override { return clientId_; }
  const asio::ip::address& Remote() const override { return remote_; }

  void Send(std::shared_ptr<const std::string> text, SendDone done) override {
    if (gone_ || closing_ || !handshakeDone_) {
      asio::post(ws_.get_executor(), [done] { done(false); });
      return;
    }
    // A phone that is not attached only ever hears the busy error, so it
    // gets far less room than the one the show talks to.
    const std::size_t room = attached_ ? options_.maxQueuedBytes : kBrowserMaxMessage;
    if (queuedBytes_ + text->size() > room) {
      // The phone has stopped reading; it would only hold memory. It is
      // gone from now on, without waiting for its pending reads and writes
      // to fail: Wine does not always end them when the socket closes.
      asio::post(ws_.get_executor(), [done] { done(false); });
      Kill();
      asio::post(ws_.get_executor(), [self = shared_from_this()] { self->Gone(); });
      return;
    }
    queuedBytes_ += text->size();
    queue_.push_back({std::move(text), std::move(done)});
    if (!writing_) WriteNext();
  }

  void Close() override { CloseWith(websocket::close_code::normal); }
  void CloseReplaced() override {
    CloseWith(websocket::close_reason(static_cast<websocket::close_code>(kBrowserReplacedCode),
                                      kBrowserReplacedReason));
  }
  void SetAttached(bool attached) override { attached_ = attached; }

  // Connection
  void Kill() override {
    error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }
  void Shutdown() override {
    if (handshakeDone_) {
      Close();
    } else {
      Kill();
    }
  }

 private:
  struct Pending {
    std::shared_ptr<const std::string> text;
    SendDone done;
  };

  void Read() {
    ws_.async_read(buffer_, [self = shared_from_this()](const error_code& ec, std::size_t) {
      self->OnRead(ec);
    });
  }

  void OnRead(const error_code& ec) {
    // Beast has already refused oversized messages and text that is not
    // UTF-8 with the matching close codes; both end up here as errors.
    if (ec) return Gone();
    if (!ws_.got_text()) {
      buffer_.consume(buffer_.size());
      CloseWith(websocket::close_code::unknown_data);
      return Read();  // until the close handshake ends the stream
    }
    std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    JsonPtr message;
    if (!closing_ && !server_.expired() && DecodeMessage(text, message) &&
        HasMessageName(message)) {
      host_.OnBrowserMessage(shared_from_this(), message);
    }
    ReadNext();
  }

  // The next message is read only once the host takes messages again; a
  // closing phone reads on, since its close handshake ends with that read.
  void ReadNext() {
    if (gone_) return;
    if (closing_ || server_.expired() || !host_.ReadsPaused()) return Read();
    pauseTimer_.expires_after(kPausedReadCheck);
    pauseTimer_.async_wait([self = shared_from_this()](const error_code& ec) {
      if (!ec) self->ReadNext();
    });
  }

  void WriteNext() {
    writing_ = true;
    ws_.text(true);
    writeTimer_.expires_after(options_.writeLimit);
    writeTimer_.async_wait([self = shared_from_this()](const error_code& ec) {
      if (!ec) self->Gone();  // the phone does not take what it is sent
    });
    ws_.async_write(
        asio::buffer(*queue_.front().text),
        [self = shared_from_this()](const error_code& ec, std::size_t) { self->OnWritten(ec); });
  }

  void OnWritten(const error_code& ec) {
    writeTimer_.cancel();
    writing_ = false;
    Pending written = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= written.text->size();
    if (ec || gone_) {
      written.done(!ec);
      return Gone();
    }
    // The next write starts before the report, so a send made from inside
    // the report queues behind it.
    if (!queue_.empty()) {
      WriteNext();
    } else if (closing_) {
      StartClose();
    }
    written.done(true);
  }

  void CloseWith(const websocket::close_reason& reason) {
    if (gone_ || closing_) return;
    closing_ = true;
    closeReason_ = reason;
    closeTimer_.expires_after(options_.writeLimit);
    closeTimer_.async_wait([self = shared_from_this()](const error_code& ec) {
      if (!ec) self->Kill();
    });
    if (handshakeDone_ && !writing_) StartClose();
  }

  void StartClose() {
    if (closeStarted_ || gone_) return;
    closeStarted_ = true;
    ws_.async_close(closeReason_, [self = shared_from_this()](const error_code&) { self->Kill(); });
  }

  void Gone() {
    if (gone_) return;
    gone_ = true;
    Kill();
    writeTimer_.cancel();
    closeTimer_.cancel();
    pauseTimer_.cancel();
    // A write still in flight keeps its message (Beast is reading from it)
    // and reports it when it completes; the others fail now.
    std::deque<Pending> rest;
    rest.swap(queue_);
    if (writing_) {
      queue_.push_back(std::move(rest.front()));
      rest.pop_front();
    }
    queuedBytes_ = writing_ ? queue_.front().text->size() : 0;
    for (Pending& pending : rest) pending.done(false);
    if (auto server = server_.lock()) {
      server->Forget(serial);
      host_.OnBrowserGone(shared_from_this());
    }
  }

  websocket::stream<beast::tcp_stream> ws_;
  ServerRef server_;
  IBrowserPhoneHost& host_;
  const BrowserRemoteOptions options_;
  std::string clientId_;
  asio::ip::address remote_;
  beast::flat_buffer buffer_;
  asio::steady_timer writeTimer_;
  asio::steady_timer closeTimer_;
  asio::steady_timer pauseTimer_;  // asks again whether the host takes messages
  std::deque<Pending> queue_;      // the front is being written
  std::size_t queuedBytes_ = 0;
  websocket::close_reason closeReason_{websocket::close_code::normal};
  bool handshakeDone_ = false;
  bool writing_ = false;
  bool closing_ = false;
  bool closeStarted_ = false;
  bool gone_ = false;
  bool attached_ = false;
};

}  // namespace

void CBrowserRemote::Impl::Upgrade(beast::tcp_stream stream,
                                   http::request<http::empty_body> request, std::string clientId,
                                   std::uint64_t serialOfRequest) {
  // The request's place (and its count for its address) passes to the phone;
  // without it the server was closed meanwhile.
  auto it = connections.find(serialOfRequest);
  if (it == connections.end()) return;
  auto phone = std::make_shared<WsPhone>(std::move(stream), weak_from_this(), host, options,
                                         std::move(clientId));
  phone->serial = serialOfRequest;
  it->second.connection = phone;
  phone->Accept(std::move(request));
}
