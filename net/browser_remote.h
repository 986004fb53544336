// The browser remote: a phone without the app opens one page from the PC and
// talks to it over a WebSocket, both served here with Boost.Beast on the
// direct session's io_context. Only /r/<token> serves the page (and, below
// it, the slide pictures of the presenter view) and only /ws/<token>
// upgrades; the token is 128 random bits, so the address itself is the
// pairing secret. Each WebSocket is handed to a host (the direct
// session) as one more phone; the host decides which phone is attached.
// Everything that reaches the host is a whole JSON object with a "msg"
// string; every request and frame is bounded in size and in time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>

#include "json/json.h"
#include "net/browser_routes.h"

constexpr std::uint16_t kBrowserFirstPort = 41204;
constexpr std::uint16_t kBrowserLastPort = 41213;
// The largest WebSocket message a phone may send; a bigger one ends its
// connection. The page's messages are well under 100 bytes.
constexpr std::size_t kBrowserMaxMessage = 64 * 1024;
// The WebSocket close code (of the range left to applications) and reason
// that tell a page another copy of it took its place.
constexpr std::uint16_t kBrowserReplacedCode = 4001;
constexpr char kBrowserReplacedReason[] = "replaced";

struct BrowserRemoteOptions {
  bool enabled = false;
  // The first port of the range that is free is taken; 0 asks for an
  // ephemeral port (tests).
  std::uint16_t firstPort = kBrowserFirstPort;
  std::uint16_t lastPort = kBrowserLastPort;
  // The host put in the address; empty means this PC's LAN IPv4 address.
  std::string host;
  // Open sockets, page requests and WebSockets together. When full, a new
  // connection is refused at once; none that is open is closed to make room,
  // so a flood cannot push out a phone that has already shown the token.
  std::size_t maxConnections = 64;
  // The same limit for the connections from one address, so that one
  // device alone cannot fill the server.
  std::size_t maxPerAddress = 8;
  // A connection that has not sent a request carrying the token by then
  // (from its accept) is closed: idle sockets hold their place briefly only.
  std::chrono::milliseconds tokenLimit = std::chrono::seconds(2);
  std::size_t maxHeaderBytes = 8 * 1024;
  // Time to send a whole request head, and to finish the WebSocket handshake.
  std::chrono::milliseconds requestLimit = std::chrono::seconds(10);
  // Time the phone has to take each message the PC sends it.
  std::chrono::milliseconds writeLimit = std::chrono::seconds(10);
  // A WebSocket that stays silent this long (it is pinged at half of it) is
  // closed, so a phone that vanished from the network is noticed.
  std::chrono::milliseconds idleLimit = std::chrono::seconds(30);
  // Messages waiting for one phone that does not read.
  std::size_t maxQueuedBytes = 1024 * 1024;
  // A slide picture request waits at most this long for its picture, then
  // hears 503; at most this many wait at once (a request beyond them hears
  // 503 at once), so that pictures never hold the server's memory or sockets.
  std::chrono::milliseconds pictureWaitLimit = std::chrono::seconds(6);
  std::size_t maxPictureWaits = 16;
};

// Pictures of the running deck's slides, for the presenter view. The
// program's cache answers them; the server only carries them.
class ISlidePictureSource {
 public:
  enum class Status {
    Ok,           // png holds the picture
    NotFound,     // no such slide in the current deck (or no pictures at all)
    Unavailable,  // the application cannot export now; ask again later
  };
  using Answer = std::function<void(Status status, std::shared_ptr<const std::string> png)>;

  virtual ~ISlidePictureSource() = default;
  // Slide `index` (1-based) of the deck at `revision`, `width` pixels wide
  // (already clamped and rounded by the server). `answer` runs exactly once,
  // on any thread, inside this call or later; it must not block.
  virtual void GetSlidePicture(const std::string& revision, std::int32_t index, std::int32_t width,
                               Answer answer) = 0;
};

// One WebSocket of a browser. Used on the I/O thread only.
class CBrowserPhone {
 public:
  using SendDone = std::function<void(bool ok)>;

  virtual ~CBrowserPhone() = default;
  // The random id the page keeps for its tab: a reconnecting page carries the
  // same one, another browser or tab has its own (possibly empty).
  virtual const std::string& ClientId() const = 0;
  virtual const boost::asio::ip::address& Remote() const = 0;
  // Queues one text message; done runs once, when it was written or failed
  // (never inside this call).
  virtual void Send(std::shared_ptr<const std::string> text, SendDone done) = 0;
  // Says goodbye with a close frame, bounded in time, then closes the socket.
  virtual void Close() = 0;
  // The same, with the close code kBrowserReplacedCode: the page learns that
  // the same page elsewhere (a duplicated tab) took its place, and does not
  // reconnect by itself, which would only take the place back in a loop.
  virtual void CloseReplaced() = 0;
  // The attached phone may queue far more for sending than the others.
  virtual void SetAttached(bool attached) = 0;
};
using BrowserPhonePtr = std::shared_ptr<CBrowserPhone>;

class IBrowserPhoneHost {
 public:
  // A message from that phone: a JSON object whose "msg" is a string.
  virtual void OnBrowserMessage(const BrowserPhonePtr& phone, JsonPtr& message) = 0;
  // The phone's connection ended, for whatever reason; called once.
  virtual void OnBrowserGone(const BrowserPhonePtr& phone) = 0;
  // Asked after each message is handed over: while true, no phone reads its
  // next message (asked again every few milliseconds), so a phone that sends
  // faster than the host works is held back by TCP instead of queueing here.
  virtual bool ReadsPaused() { return false; }

 protected:
  ~IBrowserPhoneHost() = default;
};

// A session that offers the browser remote tells its address through this.
class IBrowserRemoteSource {
 public:
  // "http://<host>:<port>/r/<token>" while serving, else empty. Any thread.
  virtual std::string BrowserAddress() = 0;
  // Hands the server its slide pictures. Any thread.
  virtual void SetSlidePictures(std::shared_ptr<ISlidePictureSource> /*source*/) {}

 protected:
  ~IBrowserRemoteSource() = default;
};

class CBrowserRemote {
 public:
  // The token is drawn here, once: a new pairing gets a new server.
  CBrowserRemote(boost::asio::io_context& io, IBrowserPhoneHost& host,
                 BrowserRemoteOptions options);
  ~CBrowserRemote();
  CBrowserRemote(const CBrowserRemote&) = delete;
  CBrowserRemote& operator=(const CBrowserRemote&) = delete;

  // I/O thread. Listens on the first free port of the range (the one used
  // before, if any, is tried first so the address stays); false when none is
  // free or no token could be drawn.
  bool Open();
  // Closes the listener and every connection; a later Open serves again.
  void Close();
  std::size_t ConnectionCount() const;

  // Where slide pictures come from; none (the default) answers every picture
  // request 404. Any thread.
  void SetPictureSource(std::shared_ptr<ISlidePictureSource> source);

  // Any thread.
  std::string Address() const;
  std::uint16_t Port() const;
  const std::string& Token() const;

  // Shared with the connections (net/browser_remote_impl.h), which outlive
  // no I/O thread.
  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// --- the token and the address, drawn once per server ---------------------

// 32 lower-case hex digits from the system's secure random source; empty if
// that source fails (then nothing is served).
std::string NewBrowserToken();

// The IPv4 address a phone on the LAN reaches this PC at: that of the
// interface holding the default route, else any non-loopback address of the
// host name, else 127.0.0.1.
std::string LocalLanAddress();
