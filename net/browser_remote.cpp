#include "net/browser_remote.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "net/direct_frame.h"
#include "net/listen_socket.h"
#include "net/remote_page.h"
#include "net/secure_random.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(50);
// How often a phone asks whether its host takes messages again.
constexpr auto kPausedReadCheck = std::chrono::milliseconds(5);
// After an error answer, what the client still sends is read and dropped for
// at most this long and this much, so that closing with unread bytes (which
// sends a reset) does not destroy the answer before the client reads it.
constexpr auto kLingerLimit = std::chrono::milliseconds(500);
constexpr std::size_t kLingerBytes = 64 * 1024;
constexpr std::size_t kMaxClientId = 64;

std::string_view View(beast::string_view s) { return std::string_view(s.data(), s.size()); }

bool IsIdCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// The value of "c" in a query, if it is a plain id; anything else is no id.
std::string ClientIdFrom(std::string_view query) {
  while (!query.empty()) {
    std::size_t end = query.find('&');
    std::string_view pair = query.substr(0, end);
    if (pair.substr(0, 2) == "c=") {
      std::string_view id = pair.substr(2);
      if (id.size() > kMaxClientId) return std::string();
      for (char c : id) {
        if (!IsIdCharacter(c)) return std::string();
      }
      return std::string(id);
    }
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  return std::string();
}

bool HasMessageName(const JsonPtr& message) {
  const JsonPtr* msg = message.Find(u"msg");
  return msg && msg->Kind() == JsonKind::String;
}

// The page's headers keep it to itself: nothing from elsewhere may load,
// frame it or learn its address (which holds the token) as a referrer.
constexpr char kPagePolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'; "
    "connect-src 'self'";

}  // namespace

// --- pieces without I/O ------------------------------------------------------

std::string NewBrowserToken() {
  unsigned char bytes[16];
  if (!SecureRandomBytes(bytes, sizeof bytes)) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  token.reserve(2 * sizeof bytes);
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

bool TokensEqual(std::string_view given, std::string_view expected) {
  if (expected.empty()) return false;
  unsigned difference = given.size() != expected.size() ? 1u : 0u;
  const std::size_t n = given.size();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    // Always as many steps as the token has characters, whatever was given.
    unsigned char g = n ? static_cast<unsigned char>(given[i % n]) : 0;
    difference |= g ^ static_cast<unsigned char>(expected[i]);
  }
  return difference == 0;
}

std::int32_t SlidePictureWidth(std::string_view digits) {
  if (digits.empty()) return -1;
  std::int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    // Saturates: any longer number is as far over the range as this one.
    value = std::min<std::int64_t>(value * 10 + (c - '0'), kSlidePictureMaxWidth + 1);
  }
  std::int64_t clamped =
      std::clamp<std::int64_t>(value, kSlidePictureMinWidth, kSlidePictureMaxWidth);
  std::int64_t step = kSlidePictureWidthStep;
  return static_cast<std::int32_t>((clamped + step - 1) / step * step);
}

namespace {

bool IsRevision(std::string_view text) {
  if (text.size() != kSlideRevisionLength) return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); });
}

// A 1-based slide number of plain digits; 0 for anything else.
std::int32_t SlideIndex(std::string_view text) {
  if (text.empty() || text.size() > 9) return 0;
  std::int32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "slide/<revision>/<index>" below the page, with its query.
BrowserRoute RoutePicture(std::string_view rest, std::string_view query,
                          SlidePictureRequest* picture) {
  constexpr std::string_view kSlide = "slide/";
  if (rest.substr(0, kSlide.size()) != kSlide) return BrowserRoute::NotFound;
  rest.remove_prefix(kSlide.size());
  std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return BrowserRoute::NotFound;
  std::string_view revision = rest.substr(0, slash);
  std::int32_t index = SlideIndex(rest.substr(slash + 1));
  if (!IsRevision(revision) || index < 1) return BrowserRoute::NotFound;
  // Exactly one "w", whatever else the query holds.
  std::int32_t width = -1;
  int widths = 0;
  while (!query.empty()) {
    std::size_t end = query.find('&');
    std::string_view pair = query.substr(0, end);
    if (pair.substr(0, 2) == "w=") {
      ++widths;
      width = SlidePictureWidth(pair.substr(2));
    } else if (pair == "w") {
      ++widths;
    }
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  if (widths != 1 || width < 0) return BrowserRoute::BadRequest;
  if (picture) {
    picture->revision = std::string(revision);
    picture->index = index;
    picture->width = width;
  }
  return BrowserRoute::Picture;
}

}  // namespace

BrowserRoute RouteBrowserTarget(std::string_view target, std::string_view token,
                                std::string* clientId, SlidePictureRequest* picture) {
  std::string_view path = target;
  std::string_view query;
  std::size_t mark = target.find('?');
  if (mark != std::string_view::npos) {
    path = target.substr(0, mark);
    query = target.substr(mark + 1);
  }
  if (path.substr(0, 3) == "/r/") {
    std::string_view rest = path.substr(3);
    std::size_t slash = rest.find('/');
    if (!TokensEqual(rest.substr(0, slash), token)) return BrowserRoute::Forbidden;
    if (slash == std::string_view::npos) return BrowserRoute::Page;
    return RoutePicture(rest.substr(slash + 1), query, picture);
  }
  if (path.substr(0, 4) == "/ws/") {
    if (!TokensEqual(path.substr(4), token)) return BrowserRoute::Forbidden;
    if (clientId) *clientId = ClientIdFrom(query);
    return BrowserRoute::Socket;
  }
  return BrowserRoute::NotFound;
}

bool BrowserOriginAllowed(std::string_view origin, std::string_view host, std::uint16_t port) {
  constexpr std::string_view kScheme = "http://";
  if (origin.substr(0, kScheme.size()) != kScheme || origin.substr(kScheme.size()) != host) {
    return false;
  }
  std::size_t colon = host.rfind(':');
  if (colon == std::string_view::npos || host.substr(colon + 1) != std::to_string(port)) {
    return false;
  }
  error_code ec;
  asio::ip::make_address_v4(std::string(host.substr(0, colon)), ec);
  return !ec;
}

std::string LocalLanAddress() {
  asio::io_context io;
  error_code ec;
  // Connecting a datagram socket sends nothing; it only makes the system
  // pick the interface its route leads through.
  asio::ip::udp::socket probe(io);
  probe.open(asio::ip::udp::v4(), ec);
  if (!ec) probe.connect({asio::ip::make_address_v4("198.51.100.1"), 9}, ec);
  if (!ec) {
    asio::ip::address local = probe.local_endpoint(ec).address();
    if (!ec && !local.is_loopback() && !local.is_unspecified()) return local.to_string();
  }
  std::string name = asio::ip::host_name(ec);
  if (!ec) {
    tcp::resolver resolver(io);
    auto results = resolver.resolve(tcp::v4(), name, "", ec);
    if (!ec) {
      for (const auto& r : results) {
        if (!r.endpoint().address().is_loopback()) return r.endpoint().address().to_string();
      }
    }
  }
  return "127.0.0.1";
}

// --- the server ----------------------------------------------------------------

namespace {

// One accepted socket, as a page request or, after the upgrade, a phone.
struct Connection {
  virtual ~Connection() = default;
  // Ends it now, without a goodbye.
  virtual void Kill() = 0;
  // Ends it politely where that means something (a WebSocket's close frame).
  virtual void Shutdown() { Kill(); }
  std::uint64_t serial = 0;
};

}  // namespace

struct CBrowserRemote::Impl : std::enable_shared_from_this<CBrowserRemote::Impl> {
  Impl(asio::io_context& io, IBrowserPhoneHost& host, BrowserRemoteOptions options)
      : io(io),
        host(host),
        options(std::move(options)),
        token(NewBrowserToken()),
        acceptor(io),
        acceptRetry(io) {}

  void Accept(std::uint64_t epoch);
  void Admit(tcp::socket socket);
  void Forget(std::uint64_t serial);
  void Upgrade(beast::tcp_stream stream, http::request<http::empty_body> request,
               std::string clientId, std::uint64_t serial);

  asio::io_context& io;
  IBrowserPhoneHost& host;
  const BrowserRemoteOptions options;
  const std::string token;
  tcp::acceptor acceptor;
  asio::steady_timer acceptRetry;
  std::uint64_t epoch = 0;  // bumped at every open: an old accept loop stops
  std::uint16_t lastPort = 0;
  std::uint64_t nextSerial = 0;
  struct Entry {
    std::weak_ptr<Connection> connection;
    asio::ip::address from;
  };
  std::map<std::uint64_t, Entry> connections;
  std::map<asio::ip::address, std::size_t> perAddress;  // open connections by source

  mutable std::mutex addressLock;
  std::string address;
  std::atomic<std::uint16_t> port{0};

  // Slide pictures. The source is set from any thread; the waits are
  // counted on the I/O thread. Answers arrive on the source's threads and
  // are posted through the gate, which the server shuts before its
  // io_context can go.
  struct AnswerGate {
    std::mutex lock;
    asio::io_context* io = nullptr;
  };
  std::shared_ptr<ISlidePictureSource> PictureSource() const {
    std::lock_guard<std::mutex> lock(addressLock);
    return pictures;
  }
  std::shared_ptr<ISlidePictureSource> pictures;  // guarded by addressLock
  std::shared_ptr<AnswerGate> gate = std::make_shared<AnswerGate>();
  std::size_t pictureWaits = 0;
};

namespace {

using ServerRef = std::weak_ptr<CBrowserRemote::Impl>;

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

// A socket until its one request is answered or upgraded.
class HttpConnection : public Connection, public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(tcp::socket socket, ServerRef server, const BrowserRemoteOptions& options)
      : stream_(std::move(socket)),
        server_(std::move(server)),
        options_(options),
        tokenDeadline_(std::chrono::steady_clock::now() + options.tokenLimit),
        buffer_(options.maxHeaderBytes + 1024),
        pictureTimer_(stream_.get_executor()) {}

  void Start() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(options_.maxHeaderBytes));
    parser_->body_limit(0);  // the page and the upgrade are plain GETs
    // The whole head must arrive within the limit, however slowly it
    // trickles, and the token with it.
    stream_.expires_at(std::min(tokenDeadline_, Clock::now() + options_.requestLimit));
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](const error_code& ec, std::size_t) { self->OnRequest(ec); });
  }

  void Kill() override {
    EndPictureWait();
    error_code ignored;
    stream_.socket().close(ignored);
  }

 private:
  using Clock = std::chrono::steady_clock;
  using PictureStatus = ISlidePictureSource::Status;

  // When the next step must be done: a connection that has not shown the
  // token stays bound by the token's deadline.
  Clock::time_point Deadline(std::chrono::milliseconds limit) const {
    Clock::time_point end = Clock::now() + limit;
    return tokenShown_ ? end : std::min(tokenDeadline_, end);
  }

  void OnRequest(const error_code& ec) {
    auto server = server_.lock();
    if (!server) return Finish();
    if (ec) return RefuseBadRequest(ec);
    const http::request<http::empty_body>& request = parser_->get();
    head_ = request.method() == http::verb::head;
    // A chunked body announces no size; one with a size was refused above.
    if (parser_->chunked()) return Respond(http::status::bad_request);
    std::string clientId;
    SlidePictureRequest picture;
    BrowserRoute route =
        RouteBrowserTarget(View(request.target()), server->token, &clientId, &picture);
    if (route == BrowserRoute::Socket && websocket::is_upgrade(request)) {
      if (!BrowserOriginAllowed(View(request[http::field::origin]),
                                View(request[http::field::host]), server->port.load())) {
        return Respond(http::status::forbidden);
      }
      server->Upgrade(std::move(stream_), parser_->release(), std::move(clientId), serial);
      return;
    }
    switch (route) {
      case BrowserRoute::Page:
        if (request.method() == http::verb::get || head_) {
          return RespondPage(View(request[http::field::host]), server->port.load());
        }
        return Respond(http::status::method_not_allowed);
      case BrowserRoute::Socket:
        return Respond(http::status::upgrade_required);
      case BrowserRoute::Picture:
        tokenShown_ = true;
        if (request.method() == http::verb::get || head_) return AskPicture(*server, picture);
        return Respond(http::status::method_not_allowed);
      case BrowserRoute::BadRequest:
        tokenShown_ = true;
        return Respond(http::status::bad_request);
      case BrowserRoute::Forbidden:
        return Respond(http::status::forbidden);
      case BrowserRoute::NotFound:
        return Respond(http::status::not_found);
    }
  }

  // A request the parser refused gets the status that says why; one that
  // never arrived (timeout, closed) gets nothing.
  void RefuseBadRequest(const error_code& ec) {
    http::status status;
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      status = http::status::request_header_fields_too_large;
    } else if (ec == http::error::body_limit) {
      status = http::status::payload_too_large;
    } else if (ec.category() == error_code(http::error::bad_method).category() &&
               ec != http::error::end_of_stream && ec != http::error::partial_message &&
               ec != http::error::need_more) {
      status = http::status::bad_request;
    } else {
      return Finish();
    }
    // The parser has taken the request line when it got that far; before
    // that, the line is still in the buffer.
    constexpr std::string_view kHead = "HEAD ";
    auto bytes = buffer_.data();
    std::string_view unparsed(static_cast<const char*>(bytes.data()), bytes.size());
    head_ =
        parser_->get().method() == http::verb::head || unparsed.substr(0, kHead.size()) == kHead;
    Respond(status);
  }

  void Respond(http::status status) {
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::server, "Pivaro");
    response->set(http::field::content_type, "text/plain; charset=utf-8");
    response->set(http::field::cache_control, "no-store");
    if (status == http::status::method_not_allowed) response->set(http::field::allow, "GET, HEAD");
    // Pictures are unavailable while the application cannot export them; the
    // page tries again after this many seconds.
    if (status == http::status::service_unavailable) response->set(http::field::retry_after, "5");
    response->body() = std::string(http::obsolete_reason(status)) + "\n";
    response->prepare_payload();
    // An answer without the token is still bound by the token's deadline.
    stream_.expires_at(Deadline(options_.writeLimit));
    Write(response, status != http::status::ok);
  }

  // Asks the source for a picture and waits, bounded in time and in the
  // number of requests waiting server-wide. The answer comes on another
  // thread and is posted here; this connection may be gone by then.
  void AskPicture(CBrowserRemote::Impl& server, const SlidePictureRequest& picture) {
    std::shared_ptr<ISlidePictureSource> source = server.PictureSource();
    if (!source) return Respond(http::status::not_found);
    if (server.pictureWaits >= options_.maxPictureWaits) {
      return Respond(http::status::service_unavailable);
    }
    ++server.pictureWaits;
    waiting_ = true;
    pictureTimer_.expires_after(options_.pictureWaitLimit);
    pictureTimer_.async_wait([self = shared_from_this()](const error_code& ec) {
      if (!ec) self->OnPicture(PictureStatus::Unavailable, nullptr);
    });
    std::weak_ptr<HttpConnection> weak = weak_from_this();
    std::shared_ptr<CBrowserRemote::Impl::AnswerGate> gate = server.gate;
    source->GetSlidePicture(
        picture.revision, picture.index, picture.width,
        [weak, gate](PictureStatus status, std::shared_ptr<const std::string> png) {
          std::lock_guard<std::mutex> lock(gate->lock);
          if (!gate->io) return;
          asio::post(*gate->io, [weak, status, png = std::move(png)] {
            if (auto self = weak.lock()) self->OnPicture(status, png);
          });
        });
  }

  void EndPictureWait() {
    if (!waiting_) return;
    waiting_ = false;
    pictureTimer_.cancel();
    if (auto server = server_.lock()) --server->pictureWaits;
  }

  // The first of the answer and the time limit is the one that counts.
  void OnPicture(PictureStatus status, const std::shared_ptr<const std::string>& png) {
    if (!waiting_) return;
    EndPictureWait();
    if (status == PictureStatus::Ok && png && !png->empty()) return RespondPicture(*png);
    Respond(status == PictureStatus::NotFound ? http::status::not_found
                                              : http::status::service_unavailable);
  }

  // A picture's address names the deck's revision, so it never changes and
  // the phone may keep it as long as it likes.
  void RespondPicture(const std::string& png) {
    auto response = std::make_shared<http::response<http::string_body>>(http::status::ok, 11);
    response->set(http::field::server, "Pivaro");
    response->set(http::field::content_type, "image/png");
    response->set(http::field::cache_control, "private, max-age=31536000, immutable");
    response->set("X-Content-Type-Options", "nosniff");
    response->body() = png;
    response->prepare_payload();
    stream_.expires_after(options_.writeLimit);
    Write(response, false);
  }

  void RespondPage(std::string_view host, std::uint16_t port) {
    auto response = std::make_shared<http::response<http::string_body>>(http::status::ok, 11);
    response->set(http::field::server, "Pivaro");
    response->set(http::field::content_type, "text/html; charset=utf-8");
    response->set(http::field::cache_control, "no-store");
    std::string policy = kPagePolicy;
    // Older Safari does not count ws: as 'self'; name the socket's origin
    // (only when Host is an address of the kind handed out, so nothing from
    // the request is echoed unchecked).
    if (BrowserOriginAllowed("http://" + std::string(host), host, port)) {
      policy += " ws://" + std::string(host);
    }
    response->set("Content-Security-Policy", policy);
    response->set("Referrer-Policy", "no-referrer");
    response->set("X-Content-Type-Options", "nosniff");
    response->set("X-Frame-Options", "DENY");
    response->body().assign(reinterpret_cast<const char*>(kRemotePage), kRemotePageSize);
    response->prepare_payload();
    stream_.expires_after(options_.writeLimit);
    Write(response, false);
  }

  // Every answer is the last one on its connection. A HEAD gets the header
  // alone, whose length is that of the body a GET would get.
  void Write(std::shared_ptr<http::response<http::string_body>> response, bool linger) {
    response->keep_alive(false);
    auto serializer = std::make_shared<http::response_serializer<http::string_body>>(*response);
    auto done = [self = shared_from_this(), response, serializer, linger](const error_code& ec,
                                                                          std::size_t) {
      if (!ec && linger) return self->Linger();
      self->Finish();
    };
    if (head_) {
      http::async_write_header(stream_, *serializer, std::move(done));
    } else {
      http::async_write(stream_, *serializer, std::move(done));
    }
  }

  // After a refusal the client may still be sending (a body, the rest of an
  // oversized head); closing with those bytes unread would reset the
  // connection and could destroy the answer on its way. So the sending side
  // is shut and what arrives is dropped until the client closes too, or for
  // a bounded time and amount.
  void Linger() {
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_at(Deadline(kLingerLimit));
    buffer_.consume(buffer_.size());
    lingered_ = 0;
    Drain();
  }

  void Drain() {
    stream_.async_read_some(buffer_.prepare(1024),
                            [self = shared_from_this()](const error_code& ec, std::size_t n) {
                              self->lingered_ += n;
                              if (ec || self->lingered_ > kLingerBytes) return self->Finish();
                              self->Drain();
                            });
  }

  void Finish() {
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.socket().close(ignored);
    if (auto server = server_.lock()) server->Forget(serial);
  }

  beast::tcp_stream stream_;
  ServerRef server_;
  const BrowserRemoteOptions options_;
  const Clock::time_point tokenDeadline_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  bool head_ = false;
  std::size_t lingered_ = 0;
  asio::steady_timer pictureTimer_;
  bool waiting_ = false;     // for a slide picture
  bool tokenShown_ = false;  // the request carried the token
};

}  // namespace

void CBrowserRemote::Impl::Accept(std::uint64_t openEpoch) {
  acceptor.async_accept(
      [self = shared_from_this(), openEpoch](const error_code& ec, tcp::socket socket) {
        if (openEpoch != self->epoch || !self->acceptor.is_open()) return;
        if (ec) {
          // Out of descriptors, say: the listener is fine, so try again shortly.
          self->acceptRetry.expires_after(kAcceptRetryDelay);
          self->acceptRetry.async_wait([self, openEpoch](const error_code& wait) {
            if (!wait && openEpoch == self->epoch && self->acceptor.is_open())
              self->Accept(openEpoch);
          });
          return;
        }
        self->Admit(std::move(socket));
        self->Accept(openEpoch);
      });
}

// Over either limit the newcomer is refused: a connection that is already
// open may be the phone, and a flood must not be able to push it out.
void CBrowserRemote::Impl::Admit(tcp::socket socket) {
  error_code ec;
  asio::ip::address from = socket.remote_endpoint(ec).address();
  auto counted = perAddress.find(from);
  if (ec || connections.size() >= options.maxConnections ||
      (counted != perAddress.end() && counted->second >= options.maxPerAddress)) {
    // With a reset rather than a goodbye: a flood of refusals leaves no
    // TIME_WAIT entries behind on this side.
    error_code ignored;
    socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
    return;
  }
  error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  auto conn = std::make_shared<HttpConnection>(std::move(socket), weak_from_this(), options);
  conn->serial = ++nextSerial;
  connections[conn->serial] = Entry{conn, from};
  ++perAddress[from];
  conn->Start();
}

void CBrowserRemote::Impl::Forget(std::uint64_t serial) {
  auto it = connections.find(serial);
  if (it == connections.end()) return;
  auto counted = perAddress.find(it->second.from);
  if (counted != perAddress.end() && --counted->second == 0) perAddress.erase(counted);
  connections.erase(it);
}

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

CBrowserRemote::CBrowserRemote(asio::io_context& io, IBrowserPhoneHost& host,
                               BrowserRemoteOptions options)
    : impl_(std::make_shared<Impl>(io, host, std::move(options))) {
  impl_->gate->io = &io;
}

CBrowserRemote::~CBrowserRemote() {
  // Picture answers still on their way are dropped from now on: the
  // io_context may go right after the server.
  std::lock_guard<std::mutex> lock(impl_->gate->lock);
  impl_->gate->io = nullptr;
}

void CBrowserRemote::SetPictureSource(std::shared_ptr<ISlidePictureSource> source) {
  std::lock_guard<std::mutex> lock(impl_->addressLock);
  impl_->pictures = std::move(source);
}

bool CBrowserRemote::Open() {
  Impl& s = *impl_;
  if (s.acceptor.is_open()) return true;
  if (s.token.empty()) return false;
  std::vector<std::uint16_t> candidates;
  // The port of the previous opening first: the address shown stays valid.
  if (s.lastPort) candidates.push_back(s.lastPort);
  if (s.options.firstPort == 0) candidates.push_back(0);
  for (int p = s.options.firstPort; p != 0 && p <= s.options.lastPort; ++p) {
    if (p != s.lastPort) candidates.push_back(static_cast<std::uint16_t>(p));
  }
  error_code ec;
  for (std::uint16_t candidate : candidates) {
    if (OpenTcpListener(s.acceptor, tcp::endpoint(tcp::v4(), candidate), ec)) break;
  }
  if (!s.acceptor.is_open()) return false;
  error_code ignored;
  std::uint16_t bound = s.acceptor.local_endpoint(ignored).port();
  s.lastPort = bound;
  s.port = bound;
  std::string host = s.options.host.empty() ? LocalLanAddress() : s.options.host;
  {
    std::lock_guard<std::mutex> lock(s.addressLock);
    s.address = "http://" + host + ":" + std::to_string(bound) + "/r/" + s.token;
  }
  s.Accept(++s.epoch);
  return true;
}

void CBrowserRemote::Close() {
  Impl& s = *impl_;
  ++s.epoch;
  error_code ignored;
  s.acceptor.close(ignored);
  s.acceptRetry.cancel();
  std::map<std::uint64_t, Impl::Entry> all;
  all.swap(s.connections);
  s.perAddress.clear();
  for (auto& entry : all) {
    if (auto conn = entry.second.connection.lock()) conn->Shutdown();
  }
  s.port = 0;
  std::lock_guard<std::mutex> lock(s.addressLock);
  s.address.clear();
}

std::size_t CBrowserRemote::ConnectionCount() const { return impl_->connections.size(); }

std::string CBrowserRemote::Address() const {
  std::lock_guard<std::mutex> lock(impl_->addressLock);
  return impl_->address;
}

std::uint16_t CBrowserRemote::Port() const { return impl_->port.load(); }

const std::string& CBrowserRemote::Token() const { return impl_->token; }
