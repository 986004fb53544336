// Who the phone of the direct session is. Every arrival that could speak for
// the phone (a TCP frame, a UDP datagram, a browser's message) is an offer;
// one pure function decides from the session's slot and the offer whether it
// attaches a phone, is the phone's, takes the phone's place, is told busy, or
// is dropped. The TCP, UDP and browser paths all ask it, so the rules live in
// one place and can be tested as a table without sockets.
//
// The rules, for a LAN where anyone may send anything:
// - A browser holds the slot as a browser (its page), never as an address: no
//   app phone matches it, and it matches no app phone.
// - Datagrams from addresses that any host can claim (unspecified, broadcast,
//   multicast) are never anyone's.
// - A UDP phone is its exact address and port; only a "conn" carrying its
//   non-empty cuid moves it elsewhere.
// - While the phone is on TCP or in a browser, UDP is answered busy, except a
//   "conn" with the phone's own non-empty cuid from the phone's address.
// - An address the presenter has disconnected is refused by every transport.
#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/ip/address.hpp>

enum class PhoneTransport { None, Tcp, Udp, Browser };

// What the session holds. `connection` is the serial of the TCP connection
// or of the browser's socket that carries the phone.
struct PhoneSlot {
  PhoneTransport holder = PhoneTransport::None;
  boost::asio::ip::address address;  // TCP and UDP phones
  std::uint16_t port = 0;            // UDP phones
  std::uint64_t connection = 0;      // TCP and browser phones
  std::u16string cuid;               // from the phone's UDP "conn", kept on a move to TCP
  std::string pageId;                // browser phones: the page's own id
  // Refused whatever it sends; unspecified when nothing is refused.
  boost::asio::ip::address refused;
};

// The UDP session messages; everything else (and every TCP frame and browser
// message) is a Message. Malformed is a datagram that is not a valid frame.
enum class OfferKind { Message, Conn, Heartbeat, Disc, Malformed };

struct PhoneOffer {
  PhoneTransport transport = PhoneTransport::None;
  OfferKind kind = OfferKind::Message;
  boost::asio::ip::address source;
  std::uint16_t port = 0;
  std::uint64_t connection = 0;
  std::u16string cuid;  // UDP "conn"
  std::string pageId;   // browser
};

enum class PhoneVerdict {
  Ignore,        // dropped without an answer
  Attach,        // nothing is attached: the offer's sender becomes the phone
  TakeOver,      // the phone itself on a new connection or endpoint
  Accept,        // the phone, where it is attached
  Busy,          // another phone holds the slot: answer the busy error
  NotConnected,  // a UDP message other than "conn" while nothing is attached
};

PhoneVerdict DecidePhoneOffer(const PhoneSlot& slot, const PhoneOffer& offer);

// Sources that any host on the LAN can put on a datagram.
bool IsSpoofableSource(const boost::asio::ip::address& address);
