// The direct session's TCP transport: the phone's frames on connections to
// the direct port, with a deadline for every frame begun, a bound on the
// bytes held for frames in progress and on connections that carry no phone,
// keepalive on the phone's own connection, and a pause in reading while the
// phone's commands wait beyond their bound.
#include <deque>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "net/direct_messages.h"
#include "net/direct_session.h"
#include "net/keepalive.h"

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr std::size_t kReadChunk = 16 * 1024;
constexpr int kReceiveWindow = 64 * 1024;
// Frames waiting for one TCP peer that does not read; beyond this a send
// fails instead of growing the queue without end.
constexpr std::size_t kMaxQueuedBytes = 32 * 1024 * 1024;
// A connection that is only ever told busy gets far less: one that sends
// without reading its answers is dropped once they fill this.
constexpr std::size_t kMaxQueuedRefusedBytes = 64 * 1024;

}  // namespace

struct CDirectSession::Connection {
  explicit Connection(asio::io_context& io) : socket(io), deadline(io), resume(io) {}

  struct Pending {
    std::shared_ptr<std::string> frame;
    WriteDone done;
  };

  tcp::socket socket;
  asio::ip::address remote;
  FrameReader reader;
  std::vector<char> buffer = std::vector<char>(kReadChunk);
  std::deque<Pending> queue;  // the front is being written
  std::size_t queuedBytes = 0;

  std::uint64_t serial = 0;      // order of acceptance
  std::uint64_t frameBegan = 0;  // order of the frame in progress; 0 when none
  std::uint64_t framesDone = 0;
  std::size_t buffered = 0;     // this reader's share of bufferedBytes_
  asio::steady_timer deadline;  // for the frame in progress
  bool watching = false;
  std::uint64_t watchedFrame = 0;
  asio::steady_timer resume;  // reading paused while the receiver is backlogged
  std::size_t parsed = 0;     // of the bytes the last read brought into buffer
  std::size_t filled = 0;
};

void CDirectSession::Accept(std::uint64_t epoch) {
  auto conn = std::make_shared<Connection>(io_);
  acceptor_.async_accept(conn->socket, [this, conn, epoch](const error_code& ec) {
    if (epoch != acceptEpoch_ || !acceptor_.is_open()) return;  // that listener is closed
    if (ec) {
      // Out of descriptors, say, while many connections are open: the
      // listener itself is fine, so try again instead of going deaf for good.
      RetryLater(acceptRetry_, [this, epoch] {
        if (epoch == acceptEpoch_ && acceptor_.is_open()) Accept(epoch);
      });
      return;
    }
    error_code failed;
    conn->socket.set_option(tcp::no_delay(true), failed);
    // Phones send small commands; a modest window keeps what a flooding
    // phone has in flight, ahead of its next real command, short.
    conn->socket.set_option(asio::socket_base::receive_buffer_size(kReceiveWindow), failed);
    conn->remote = conn->socket.remote_endpoint(failed).address();
    if (!failed) {
      LimitIdleConnections();
      conn->serial = ++connectionSerial_;
      connections_.insert(conn);
      Read(conn);
    }
    Accept(epoch);
  });
}

void CDirectSession::Read(const ConnectionPtr& conn) {
  conn->socket.async_read_some(asio::buffer(conn->buffer),
                               [this, conn](const error_code& ec, std::size_t size) {
                                 if (ec) {
                                   OnTcpFailed(conn);
                                   return;
                                 }
                                 conn->parsed = 0;
                                 conn->filled = size;
                                 Consume(conn);
                               });
}

// Takes the frames of what the last read brought. While the phone's
// commands wait beyond their bound, the rest waits too (and nothing more is
// read from this connection) until they drain: a flood stays in the phone's
// socket buffers instead of the PC's memory. Other connections read on.
void CDirectSession::Consume(const ConnectionPtr& conn) {
  while (conn->parsed < conn->filled) {
    std::size_t used = 0;
    FrameReader::Status status =
        conn->reader.Feed(conn->buffer.data() + conn->parsed, conn->filled - conn->parsed, used);
    conn->parsed += used;
    if (status == FrameReader::Status::Invalid) {
      OnTcpFailed(conn);
      return;
    }
    if (status == FrameReader::Status::Frame) {
      conn->frameBegan = 0;
      ++conn->framesDone;
      OnTcpFrame(conn, conn->reader.Text());
      // The receiver may have dropped this very connection.
      if (!conn->socket.is_open()) return;
      conn->reader.ReleaseText();
      if (conn == current_ && Backlogged()) {
        conn->resume.expires_after(options_.backlogPoll);
        conn->resume.async_wait([this, conn](const error_code& ec) {
          if (!ec && conn->socket.is_open()) Consume(conn);
        });
        return;
      }
    } else if (conn->frameBegan == 0 && conn->reader.InProgress()) {
      conn->frameBegan = ++frameSerial_;
    }
  }
  AccountBuffered(conn);
  if (!conn->socket.is_open()) return;
  WatchFrame(conn);
  Read(conn);
}

void CDirectSession::OnTcpFrame(const ConnectionPtr& conn, const std::string& text) {
  JsonPtr message;
  if (!DecodeMessage(text, message)) return;
  PhoneOffer offer;
  offer.transport = PhoneTransport::Tcp;
  offer.source = conn->remote;
  offer.connection = conn->serial;
  switch (DecidePhoneOffer(slot_, offer)) {
    case PhoneVerdict::TakeOver:
      // The same device on a new connection, or a UDP phone moving to TCP.
      if (current_) CloseConnection(current_);
      current_.reset();
      [[fallthrough]];
    case PhoneVerdict::Attach: {
      std::u16string cuid = slot_.cuid;  // a UDP phone moving to TCP keeps its name
      ClearSlot();
      slot_.holder = PhoneTransport::Tcp;
      slot_.address = conn->remote;
      slot_.connection = conn->serial;
      slot_.cuid = std::move(cuid);
      current_ = conn;
      EnableKeepalive(conn->socket, options_.keepaliveIdle, options_.keepaliveInterval,
                      options_.keepaliveCount);
      UpdateAttached();
      Deliver(message);
      return;
    }
    case PhoneVerdict::Accept:
      Deliver(message);
      return;
    case PhoneVerdict::Busy:
    case PhoneVerdict::NotConnected:
      Write(conn, std::make_shared<std::string>(direct::BusyFrame()),
            [this](bool ok) { NotifySent(ok, 0); });
      return;
    case PhoneVerdict::Ignore:
      return;
  }
}

void CDirectSession::OnTcpFailed(const ConnectionPtr& conn) {
  bool wasCurrent = conn == current_;
  CloseConnection(conn);
  if (!wasCurrent) return;
  current_.reset();
  ClearSlot();
  Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
}

void CDirectSession::Write(const ConnectionPtr& conn, std::shared_ptr<std::string> frame,
                           WriteDone done) {
  const std::size_t room = conn == current_ ? kMaxQueuedBytes : kMaxQueuedRefusedBytes;
  if (!conn->socket.is_open() || conn->queuedBytes + frame->size() > room) {
    asio::post(io_, [done] { done(false); });
    if (conn != current_) CloseConnection(conn);
    return;
  }
  conn->queuedBytes += frame->size();
  conn->queue.push_back({std::move(frame), std::move(done)});
  if (conn->queue.size() == 1) WriteNext(conn);
}

void CDirectSession::WriteNext(const ConnectionPtr& conn) {
  asio::async_write(conn->socket, asio::buffer(*conn->queue.front().frame),
                    [this, conn](const error_code& ec, std::size_t) {
                      Connection::Pending written = std::move(conn->queue.front());
                      conn->queue.pop_front();
                      conn->queuedBytes -= written.frame->size();
                      if (ec) {
                        std::deque<Connection::Pending> rest;
                        rest.swap(conn->queue);
                        conn->queuedBytes = 0;
                        written.done(false);
                        for (Connection::Pending& pending : rest) pending.done(false);
                        return;
                      }
                      // Start the next frame before reporting, so that a send made from
                      // inside the report queues behind it.
                      if (!conn->queue.empty()) WriteNext(conn);
                      written.done(true);
                    });
}

void CDirectSession::CloseConnection(const ConnectionPtr& conn) {
  error_code ignored;
  conn->socket.close(ignored);
  conn->deadline.cancel();
  conn->resume.cancel();
  conn->watching = false;
  bufferedBytes_ -= conn->buffered;
  conn->buffered = 0;
  conn->reader.Discard();
  connections_.erase(conn);
}

void CDirectSession::AccountBuffered(const ConnectionPtr& conn) {
  std::size_t now = conn->reader.BufferedBytes();
  bufferedBytes_ = bufferedBytes_ - conn->buffered + now;
  conn->buffered = now;
  while (bufferedBytes_ > options_.bufferLimit) {
    // The newest frame in progress goes first, the phone's only when no
    // other is left: frames that began earlier are nearer their end.
    ConnectionPtr refused;
    for (const ConnectionPtr& c : connections_) {
      if (!c->reader.InProgress() || c->buffered == 0) continue;
      bool better =
          !refused || (refused == current_ && c != current_) ||
          ((c == current_) == (refused == current_) && c->frameBegan > refused->frameBegan);
      if (better) refused = c;
    }
    if (!refused) return;
    OnTcpFailed(refused);
  }
}

// A frame that has begun must end within the deadline, or its connection
// is closed: a peer sending a byte now and then would otherwise hold its
// buffer and socket for ever.
void CDirectSession::WatchFrame(const ConnectionPtr& conn) {
  if (!conn->reader.InProgress()) {
    if (conn->watching) {
      conn->watching = false;
      conn->deadline.cancel();
    }
    return;
  }
  if (conn->watching && conn->watchedFrame == conn->framesDone) return;
  conn->watching = true;
  conn->watchedFrame = conn->framesDone;
  conn->deadline.expires_after(options_.frameDeadline);
  conn->deadline.async_wait([this, conn, frame = conn->framesDone](const error_code& ec) {
    if (ec || !conn->socket.is_open()) return;
    if (conn->framesDone == frame && conn->reader.InProgress()) OnTcpFailed(conn);
  });
}

// Connections that carry no phone (rejected phones, scanners, peers that
// never send) are limited in number; the oldest makes room for a new one.
void CDirectSession::LimitIdleConnections() {
  for (;;) {
    std::size_t idle = 0;
    ConnectionPtr oldest;
    for (const ConnectionPtr& c : connections_) {
      if (c == current_) continue;
      ++idle;
      if (!oldest || c->serial < oldest->serial) oldest = c;
    }
    if (idle < options_.idleConnectionLimit || !oldest) return;
    CloseConnection(oldest);
  }
}
