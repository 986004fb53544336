// The direct session's UDP transport: "conn", "heartbeat" and "disc" from a
// phone on the direct port, the phone's commands, and the heartbeat timer
// that reports a silent UDP phone.
#include <boost/asio/post.hpp>

#include "net/datagram_socket.h"
#include "net/direct_messages.h"
#include "net/direct_session.h"

namespace asio = boost::asio;
using asio::ip::udp;
using boost::system::error_code;

namespace {

// A datagram may hold at most 256 bytes. It is received into room for the
// largest possible datagram all the same: with a smaller buffer, Windows
// fails the receive with WSAEMSGSIZE and still queues its completion, which
// Asio then completes a second time (a crash), and other systems truncate
// silently.
constexpr std::size_t kDatagramLimit = 256;
constexpr std::size_t kDatagramRoom = 65536;

// Errors after which the same UDP socket keeps working at once: an ICMP
// port-unreachable for an earlier reply, or a datagram too long for the
// buffer.
bool IsTransientReceiveError(const error_code& ec) {
  return ec == asio::error::connection_refused || ec == asio::error::connection_reset ||
         ec == asio::error::message_size;
}

OfferKind KindOf(const std::u16string& msg) {
  if (msg == u"conn") return OfferKind::Conn;
  if (msg == u"heartbeat") return OfferKind::Heartbeat;
  if (msg == u"disc") return OfferKind::Disc;
  return OfferKind::Message;
}

}  // namespace

struct CDirectSession::Datagram {
  std::vector<char> buffer = std::vector<char>(kDatagramRoom);
  udp::endpoint source;
};

void CDirectSession::StartReceiving() {
  IgnorePortUnreachable(udp_);
  Receive(++receiveEpoch_, std::make_shared<Datagram>());
}

void CDirectSession::Receive(std::uint64_t epoch, std::shared_ptr<Datagram> datagram) {
  Datagram& d = *datagram;
  udp_.async_receive_from(
      asio::buffer(d.buffer), d.source,
      [this, datagram = std::move(datagram), epoch](const error_code& ec, std::size_t size) {
        if (epoch != receiveEpoch_ || !udp_.is_open()) return;
        if (!ec && size <= kDatagramLimit) OnDatagram(*datagram, size);
        // Oversized datagrams and errors are dropped; only closing the socket
        // ends the loop. The receiver may have closed or reopened it meanwhile.
        if (epoch != receiveEpoch_ || !udp_.is_open()) return;
        if (!ec || IsTransientReceiveError(ec)) {
          Receive(epoch, datagram);
          return;
        }
        // An unknown error may repeat at once; pause rather than spin.
        RetryLater(receiveRetry_, [this, datagram, epoch] {
          if (epoch == receiveEpoch_ && udp_.is_open()) Receive(epoch, datagram);
        });
      });
}

void CDirectSession::OnDatagram(const Datagram& d, std::size_t size) {
  PhoneOffer offer;
  offer.transport = PhoneTransport::Udp;
  offer.source = d.source.address();
  offer.port = d.source.port();
  std::string text;
  if (!DecodeDatagram(d.buffer.data(), size, text)) {
    // Garbage from the phone's own endpoint ends it; from anyone else it is
    // only dropped.
    offer.kind = OfferKind::Malformed;
    if (DecidePhoneOffer(slot_, offer) == PhoneVerdict::Accept) DetachUdpPeer();
    return;
  }
  JsonPtr message;
  if (!DecodeMessage(text, message)) return;
  OnUdpMessage(d.source, message);
}

void CDirectSession::OnUdpMessage(const udp::endpoint& from, JsonPtr& message) {
  PhoneOffer offer;
  offer.transport = PhoneTransport::Udp;
  offer.source = from.address();
  offer.port = from.port();
  offer.kind = KindOf(direct::MemberText(message, u"msg"));
  if (offer.kind == OfferKind::Conn) offer.cuid = direct::MemberText(message, u"cuid");
  switch (DecidePhoneOffer(slot_, offer)) {
    case PhoneVerdict::Ignore:
      return;
    case PhoneVerdict::Busy:
      Reply(from, direct::Error(kBusyText));
      return;
    case PhoneVerdict::NotConnected:
      Reply(from, direct::Error(direct::kNotConnectedText));
      return;
    case PhoneVerdict::Attach:
    case PhoneVerdict::TakeOver: {
      // Only a "conn" attaches or moves the phone. A phone that had no cuid
      // keeps none; one that moves keeps the name it attached with.
      const bool fresh = slot_.holder == PhoneTransport::None;
      std::u16string cuid = fresh ? offer.cuid : slot_.cuid;
      if (current_) {
        CloseConnection(current_);
        current_.reset();
      }
      ClearSlot();
      slot_.holder = PhoneTransport::Udp;
      slot_.address = from.address();
      slot_.port = from.port();
      slot_.cuid = std::move(cuid);
      if (fresh || !heartbeatRunning_) StartHeartbeat();
      ticks_ = 0;
      deadline_ = direct::kHeartbeatAllowance;
      UpdateAttached();
      Reply(from, MakeMessage(u"conn"));
      return;
    }
    case PhoneVerdict::Accept:
      break;
  }
  switch (offer.kind) {
    case OfferKind::Conn:
      // The phone again at its own endpoint: a fresh allowance.
      ticks_ = 0;
      deadline_ = direct::kHeartbeatAllowance;
      Reply(from, MakeMessage(u"conn"));
      return;
    case OfferKind::Heartbeat:
      Reply(from, MakeMessage(u"heartbeat"));
      deadline_ = ticks_ + direct::kHeartbeatAllowance;
      return;
    case OfferKind::Disc:
      Reply(from, MakeMessage(u"disc"));
      DetachUdpPeer();
      return;
    case OfferKind::Message:
    case OfferKind::Malformed:
      Deliver(message);
      return;
  }
}

void CDirectSession::DetachUdpPeer() {
  ClearSlot();
  Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
}

void CDirectSession::Reply(const udp::endpoint& to, const JsonPtr& message) {
  SendDatagram(to, std::make_shared<std::string>(EncodeMessageFrame(message)),
               [this](bool ok) { NotifySent(ok, 0); });
}

void CDirectSession::SendDatagram(const udp::endpoint& to, std::shared_ptr<std::string> frame,
                                  WriteDone done) {
  if (!udp_.is_open() || frame->empty()) {
    asio::post(io_, [done] { done(false); });
    return;
  }
  udp_.async_send_to(asio::buffer(*frame), to,
                     [frame, done](const error_code& ec, std::size_t) { done(!ec); });
}

// ---- Heartbeat ----

// One immediate tick; it invalidates any wait still pending, so only one
// chain of ticks ever runs. With external ticks there is no chain at all.
void CDirectSession::StartHeartbeat() {
  heartbeatRunning_ = true;
  if (options_.externalTicks) return;
  std::uint64_t generation = ++timerGeneration_;
  asio::post(io_, [this, generation] { Tick(generation); });
}

void CDirectSession::Tick(std::uint64_t generation) {
  if (generation != timerGeneration_) return;
  Beat();
  if (generation == timerGeneration_) ArmTimer();
}

void CDirectSession::Beat() {
  ++ticks_;
  // Repeated every tick while the silent UDP phone stays attached; once it
  // is dropped or replaced, later ticks have nobody to report on.
  if (slot_.holder == PhoneTransport::Udp && ticks_ > deadline_) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    bool network = NetworkAlive();
    Notify([network](INetSessionNotify* n) {
      if (network) {
        n->OnPeerLost();
      } else {
        n->OnNetworkLost();
      }
    });
  }
}

bool CDirectSession::RunTick() {
  if (!options_.externalTicks) return false;
  return RunOnIo(
      [this] {
        Beat();
        return true;
      },
      false);
}

void CDirectSession::ArmTimer() {
  std::uint64_t generation = ++timerGeneration_;
  timer_.expires_after(options_.tick);
  timer_.async_wait([this, generation](const error_code& ec) {
    if (ec == asio::error::operation_aborted) return;
    Tick(generation);
  });
}
