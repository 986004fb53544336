// Who the phone is, as a table: every rule of the direct session's decision
// for TCP frames, UDP datagrams and browser messages, without sockets.
#include <gtest/gtest.h>

#include "net/direct_phone.h"

namespace {

using boost::asio::ip::make_address;
using T = PhoneTransport;
using K = OfferKind;
using V = PhoneVerdict;

const char* Name(V v) {
  switch (v) {
    case V::Ignore:
      return "Ignore";
    case V::Attach:
      return "Attach";
    case V::TakeOver:
      return "TakeOver";
    case V::Accept:
      return "Accept";
    case V::Busy:
      return "Busy";
    case V::NotConnected:
      return "NotConnected";
  }
  return "?";
}

PhoneSlot Empty() { return PhoneSlot(); }

// A phone at 10.0.0.5: over TCP on connection 7, over UDP from port 5000
// with cuid "c1", or a browser page "p1" on socket 9.
PhoneSlot Holding(T holder) {
  PhoneSlot s;
  s.holder = holder;
  if (holder != T::Browser) s.address = make_address("10.0.0.5");
  if (holder == T::Udp) s.port = 5000;
  if (holder == T::Tcp) s.connection = 7;
  if (holder == T::Browser) {
    s.connection = 9;
    s.pageId = "p1";
  }
  if (holder != T::Browser) s.cuid = u"c1";
  return s;
}

PhoneSlot Refusing(PhoneSlot s, const char* address) {
  s.refused = make_address(address);
  return s;
}

PhoneOffer Udp(const char* from, std::uint16_t port, K kind, std::u16string cuid = u"") {
  PhoneOffer o;
  o.transport = T::Udp;
  o.source = make_address(from);
  o.port = port;
  o.kind = kind;
  o.cuid = std::move(cuid);
  return o;
}

PhoneOffer Tcp(const char* from, std::uint64_t connection) {
  PhoneOffer o;
  o.transport = T::Tcp;
  o.source = make_address(from);
  o.connection = connection;
  return o;
}

PhoneOffer Browser(const char* from, std::uint64_t socket, std::string page) {
  PhoneOffer o;
  o.transport = T::Browser;
  o.source = make_address(from);
  o.connection = socket;
  o.pageId = std::move(page);
  return o;
}

struct Row {
  const char* what;
  PhoneSlot slot;
  PhoneOffer offer;
  V verdict;
};

TEST(DirectPhone, DecisionTable) {
  const Row rows[] = {
      // Nothing attached.
      {"udp conn attaches", Empty(), Udp("10.0.0.9", 4000, K::Conn, u"x"), V::Attach},
      {"udp conn without cuid attaches", Empty(), Udp("10.0.0.9", 4000, K::Conn), V::Attach},
      {"udp command before conn", Empty(), Udp("10.0.0.9", 4000, K::Message), V::NotConnected},
      {"udp heartbeat before conn", Empty(), Udp("10.0.0.9", 4000, K::Heartbeat), V::NotConnected},
      {"udp garbage before conn", Empty(), Udp("10.0.0.9", 4000, K::Malformed), V::Ignore},
      {"tcp attaches", Empty(), Tcp("10.0.0.9", 3), V::Attach},
      {"browser attaches", Empty(), Browser("10.0.0.9", 4, "p2"), V::Attach},

      // Sources any host can claim are nobody, whatever the slot.
      {"unspecified conn", Empty(), Udp("0.0.0.0", 41203, K::Conn, u"x"), V::Ignore},
      {"this-network conn", Empty(), Udp("0.1.2.3", 41203, K::Conn, u"x"), V::Ignore},
      {"broadcast conn", Empty(), Udp("255.255.255.255", 1, K::Conn, u"x"), V::Ignore},
      {"multicast conn", Empty(), Udp("224.0.0.1", 1, K::Conn, u"x"), V::Ignore},
      {"ipv6 unspecified", Empty(), Udp("::", 1, K::Conn, u"x"), V::Ignore},
      {"v4-mapped unspecified", Empty(), Udp("::ffff:0.0.0.0", 1, K::Conn, u"x"), V::Ignore},
      {"unspecified next to a browser", Holding(T::Browser), Udp("0.0.0.0", 1, K::Message),
       V::Ignore},
      {"unspecified conn to a browser", Holding(T::Browser), Udp("0.0.0.0", 1, K::Conn), V::Ignore},

      // A UDP phone is its exact endpoint.
      {"udp phone command", Holding(T::Udp), Udp("10.0.0.5", 5000, K::Message), V::Accept},
      {"udp phone heartbeat", Holding(T::Udp), Udp("10.0.0.5", 5000, K::Heartbeat), V::Accept},
      {"udp phone disc", Holding(T::Udp), Udp("10.0.0.5", 5000, K::Disc), V::Accept},
      {"udp phone garbage", Holding(T::Udp), Udp("10.0.0.5", 5000, K::Malformed), V::Accept},
      {"udp phone conn again", Holding(T::Udp), Udp("10.0.0.5", 5000, K::Conn), V::Accept},
      {"same address other port command", Holding(T::Udp), Udp("10.0.0.5", 5001, K::Message),
       V::Busy},
      {"same address other port heartbeat", Holding(T::Udp), Udp("10.0.0.5", 5001, K::Heartbeat),
       V::Busy},
      {"same address other port disc", Holding(T::Udp), Udp("10.0.0.5", 5001, K::Disc), V::Ignore},
      {"same address other port garbage", Holding(T::Udp), Udp("10.0.0.5", 5001, K::Malformed),
       V::Ignore},
      {"same address other port conn, no cuid", Holding(T::Udp), Udp("10.0.0.5", 5001, K::Conn),
       V::Busy},
      {"conn with the phone's cuid moves it", Holding(T::Udp),
       Udp("10.0.0.6", 6000, K::Conn, u"c1"), V::TakeOver},
      {"conn with another cuid", Holding(T::Udp), Udp("10.0.0.6", 6000, K::Conn, u"c2"), V::Busy},
      {"another host's command", Holding(T::Udp), Udp("10.0.0.6", 5000, K::Message), V::Busy},
      {"udp phone moves to tcp", Holding(T::Udp), Tcp("10.0.0.5", 3), V::TakeOver},
      {"other host's tcp", Holding(T::Udp), Tcp("10.0.0.6", 3), V::Busy},
      {"browser next to a udp phone", Holding(T::Udp), Browser("10.0.0.5", 4, "p1"), V::Busy},

      // A TCP phone: its connection, or a new one from its address.
      {"tcp phone frame", Holding(T::Tcp), Tcp("10.0.0.5", 7), V::Accept},
      {"tcp phone reconnects", Holding(T::Tcp), Tcp("10.0.0.5", 8), V::TakeOver},
      {"other host's tcp", Holding(T::Tcp), Tcp("10.0.0.6", 8), V::Busy},
      {"udp from the tcp phone's address", Holding(T::Tcp), Udp("10.0.0.5", 5000, K::Message),
       V::Busy},
      {"udp heartbeat from its address", Holding(T::Tcp), Udp("10.0.0.5", 5000, K::Heartbeat),
       V::Busy},
      {"udp conn without its cuid", Holding(T::Tcp), Udp("10.0.0.5", 5000, K::Conn), V::Busy},
      {"udp conn with another cuid", Holding(T::Tcp), Udp("10.0.0.5", 5000, K::Conn, u"c2"),
       V::Busy},
      {"udp conn with its cuid from its address", Holding(T::Tcp),
       Udp("10.0.0.5", 5000, K::Conn, u"c1"), V::TakeOver},
      {"udp conn with its cuid from elsewhere", Holding(T::Tcp),
       Udp("10.0.0.6", 5000, K::Conn, u"c1"), V::Busy},
      {"udp garbage from its address", Holding(T::Tcp), Udp("10.0.0.5", 5000, K::Malformed),
       V::Ignore},
      {"browser with the token next to tcp", Holding(T::Tcp), Browser("10.0.0.5", 4, "p1"),
       V::Busy},

      // A browser is its page, never an address.
      {"browser's own socket", Holding(T::Browser), Browser("10.0.0.9", 9, "p1"), V::Accept},
      {"same page reconnects", Holding(T::Browser), Browser("10.0.0.9", 10, "p1"), V::TakeOver},
      {"another page", Holding(T::Browser), Browser("10.0.0.9", 10, "p2"), V::Busy},
      {"a page without id", Holding(T::Browser), Browser("10.0.0.9", 10, ""), V::Busy},
      {"tcp next to a browser", Holding(T::Browser), Tcp("10.0.0.9", 3), V::Busy},
      {"udp conn next to a browser", Holding(T::Browser), Udp("10.0.0.9", 3, K::Conn, u"c1"),
       V::Busy},
      {"udp command next to a browser", Holding(T::Browser), Udp("10.0.0.9", 3, K::Message),
       V::Busy},

      // The address the presenter dropped is refused everywhere.
      {"refused tcp", Refusing(Empty(), "10.0.0.7"), Tcp("10.0.0.7", 3), V::Busy},
      {"refused udp conn", Refusing(Empty(), "10.0.0.7"), Udp("10.0.0.7", 1, K::Conn, u"c"),
       V::Busy},
      {"refused udp command", Refusing(Empty(), "10.0.0.7"), Udp("10.0.0.7", 1, K::Message),
       V::Busy},
      {"refused browser", Refusing(Empty(), "10.0.0.7"), Browser("10.0.0.7", 4, "p"), V::Busy},
      {"refused garbage", Refusing(Empty(), "10.0.0.7"), Udp("10.0.0.7", 1, K::Malformed),
       V::Ignore},
      {"others still attach", Refusing(Empty(), "10.0.0.7"), Tcp("10.0.0.8", 3), V::Attach},
  };
  for (const Row& row : rows) {
    V got = DecidePhoneOffer(row.slot, row.offer);
    EXPECT_EQ(got, row.verdict) << row.what << ": got " << Name(got) << ", want "
                                << Name(row.verdict);
  }
}

}  // namespace
