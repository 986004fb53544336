// The browser remote's page requests: an accepted socket reads one request
// head within the size and time limits, is routed (net/browser_routes.h), and
// is answered with the page, a slide picture, or a plain refusal, each time as
// the last answer on the connection; or it is handed to the server for the
// WebSocket upgrade. The page's headers (its Content-Security-Policy among
// them) are set here, and a refusal lingers briefly so the client reads it.
#include <algorithm>
#include <optional>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "net/browser_remote_impl.h"
#include "net/remote_page.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using boost::system::error_code;
using browser::Connection;
using browser::ServerRef;

namespace {

// After an error answer, what the client still sends is read and dropped for
// at most this long and this much, so that closing with unread bytes (which
// sends a reset) does not destroy the answer before the client reads it.
constexpr auto kLingerLimit = std::chrono::milliseconds(500);
constexpr std::size_t kLingerBytes = 64 * 1024;

std::string_view View(beast::string_view s) { return std::string_view(s.data(), s.size()); }

// The page's headers keep it to itself: nothing from elsewhere may load,
// frame it or learn its address (which holds the token) as a referrer.
constexpr char kPagePolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'; "
    "connect-src 'self'";

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

std::shared_ptr<Connection> browser::StartHttpConnection(tcp::socket socket, ServerRef server,
                                                         const BrowserRemoteOptions& options,
                                                         std::uint64_t serial) {
  auto conn = std::make_shared<HttpConnection>(std::move(socket), std::move(server), options);
  conn->serial = serial;
  conn->Start();
  return conn;
}
