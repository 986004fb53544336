// The direct session against a second host on the LAN: a network namespace
// joined to this one by a veth pair (as root; skipped with a message where
// that is not possible). From there the test sends what any host on a venue's
// Wi-Fi can send: datagrams with a spoofed source, a UDP "conn" from the TCP
// phone's own address, a TCP peer that seizes the slot and then vanishes.
// The phone that holds the remote keeps it and the show does not move.
// Linux only: network namespaces, veth and raw sockets.
#ifdef __linux__
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "tests/net/direct_test_phone.h"

namespace {

using namespace direct_test;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A namespace "the other host" at 10.213.<n>.2, this host at 10.213.<n>.1.
class OtherHost {
 public:
  OtherHost() {
    // Names and subnet new for every test, since a deleted namespace's veth
    // may linger for a moment.
    static int made = 0;
    const int serial = ++made;
    const int n = 1 + static_cast<int>((getpid() * 7 + serial) % 250);
    const std::string id = std::to_string(getpid()) + "x" + std::to_string(serial);
    name_ = "pivaro-lan-" + id;
    host_ = "pvh" + id;
    peer_ = "pvp" + id;
    here_ = "10.213." + std::to_string(n) + ".1";
    there_ = "10.213." + std::to_string(n) + ".2";
    if (geteuid() != 0) {
      why_ = "needs root to make a network namespace";
      return;
    }
    ok_ = Run("ip netns add " + name_) &&
          Run("ip link add " + host_ + " type veth peer name " + peer_ + " netns " + name_) &&
          Run("ip addr add " + here_ + "/24 dev " + host_) && Run("ip link set " + host_ + " up") &&
          Run("ip -n " + name_ + " addr add " + there_ + "/24 dev " + peer_) &&
          Run("ip -n " + name_ + " link set " + peer_ + " up") &&
          Run("ip -n " + name_ + " link set lo up");
    if (!ok_) why_ = "ip netns / veth not available here";
  }
  ~OtherHost() {
    if (geteuid() == 0) Run("ip netns del " + name_);
  }

  bool Ok() const { return ok_; }
  const std::string& Why() const { return why_; }
  const std::string& Here() const { return here_; }
  const std::string& There() const { return there_; }
  const std::string& Interface() const { return peer_; }

  // Runs f on a thread inside the namespace; sockets it opens belong there.
  template <typename F>
  auto Inside(F f) -> decltype(f()) {
    std::string path = "/var/run/netns/" + name_;
    return std::async(std::launch::async,
                      [path, &f] {
                        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
                        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) std::abort();
                        close(fd);
                        return f();
                      })
        .get();
  }

  // The other host vanishes from the network (battery, out of the Wi-Fi),
  // and comes back.
  void Vanish() { Run("ip -n " + name_ + " link set " + peer_ + " down"); }
  void Return() { Run("ip -n " + name_ + " link set " + peer_ + " up"); }

 private:
  bool ok_ = false;
  std::string why_;
  std::string name_, host_, peer_, here_, there_;
};

std::uint16_t Checksum(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2) sum += (p[i] << 8) | p[i + 1];
  if (size & 1) sum += p[size - 1] << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return htons(static_cast<std::uint16_t>(~sum));
}

// One UDP datagram with a forged source, written whole through a raw socket
// on the namespace's interface. Opened inside the namespace.
class Spoofer {
 public:
  explicit Spoofer(const std::string& interface) {
    fd_ = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(),
               static_cast<socklen_t>(interface.size()));
  }
  ~Spoofer() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }

  bool Send(const char* from, std::uint16_t fromPort, const char* to, std::uint16_t toPort,
            const std::string& payload) {
    std::string packet(sizeof(iphdr) + sizeof(udphdr) + payload.size(), '\0');
    auto* ip = reinterpret_cast<iphdr*>(&packet[0]);
    auto* udp = reinterpret_cast<udphdr*>(&packet[sizeof(iphdr)]);
    std::memcpy(&packet[sizeof(iphdr) + sizeof(udphdr)], payload.data(), payload.size());
    ip->version = 4;
    ip->ihl = 5;
    ip->ttl = 64;
    ip->protocol = IPPROTO_UDP;
    ip->tot_len = htons(static_cast<std::uint16_t>(packet.size()));
    inet_pton(AF_INET, from, &ip->saddr);
    inet_pton(AF_INET, to, &ip->daddr);
    ip->check = Checksum(ip, sizeof(iphdr));
    udp->source = htons(fromPort);
    udp->dest = htons(toPort);
    udp->len = htons(static_cast<std::uint16_t>(sizeof(udphdr) + payload.size()));
    udp->check = 0;  // optional over IPv4
    sockaddr_in target{};
    target.sin_family = AF_INET;
    inet_pton(AF_INET, to, &target.sin_addr);
    return sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&target),
                  sizeof target) == static_cast<ssize_t>(packet.size());
  }

 private:
  int fd_ = -1;
};

// A browser page on loopback that has shown the token and greeted.
class Page {
 public:
  Page(std::uint16_t port, const std::string& token) : ws_(io_) {
    beast::get_lowest_layer(ws_).connect({Loopback(), port});
    const std::string host = "127.0.0.1:" + std::to_string(port);
    ws_.set_option(websocket::stream_base::decorator(
        [host](websocket::request_type& r) { r.set("Origin", "http://" + host); }));
    ws_.handshake(host, "/ws/" + token + "?c=page-1");
  }
  void Send(const std::string& text) { ws_.write(asio::buffer(text)); }

 private:
  asio::io_context io_;
  websocket::stream<beast::tcp_stream> ws_;
};

class DirectLanAttack : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!other.Ok()) GTEST_SKIP() << other.Why();
    DirectSessionOptions options;
    options.port = 0;
    options.externalTicks = true;  // the heartbeat moves only by RunTick
    options.networkAlive = [] { return true; };
    options.keepaliveIdle = 1s;
    options.keepaliveInterval = 1s;
    options.keepaliveCount = 2;
    options.browser.enabled = true;
    options.browser.firstPort = options.browser.lastPort = 0;
    options.browser.host = "127.0.0.1";
    session = new CDirectSession(options);
    session->AddRef();
    session->SetNotify(&recorder);
    ASSERT_TRUE(session->Start(0));
  }
  void TearDown() override {
    if (!session) return;
    session->SetNotify(nullptr);
    session->Release();
  }

  // Messages the session handed to the controller so far.
  std::size_t Delivered() { return recorder.Count(Event::Message); }

  // Waits long enough for datagrams sent before to have been handled: a
  // datagram of our own from loopback, answered, went through the same
  // socket after them.
  void Settle() {
    UdpPhone probe(session->UdpPort());
    probe.Ask("{\"msg\":\"heartbeat\"}");
  }

  OtherHost other;
  asio::io_context io;
  Recorder recorder;
  CDirectSession* session = nullptr;
};

std::string Frame(const char* json) { return EncodeFrame(json); }

// Datagrams "from" 0.0.0.0 to the broadcast address reach the PC's socket;
// they are nobody's, so a browser keeps the remote and the show stays.
TEST_F(DirectLanAttack, SpoofedBroadcastDoesNotTakeTheBrowsersPlace) {
  std::string token = session->BrowserAddress();
  token = token.substr(token.rfind('/') + 1);
  std::uint16_t webPort =
      static_cast<std::uint16_t>(std::stoi(session->BrowserAddress().substr(17)));
  Page page(webPort, token);
  page.Send(R"({"msg":"hello"})");
  ASSERT_TRUE(recorder.WaitFor(Event::Message, 1));

  const std::uint16_t port = session->UdpPort();
  bool sent = other.Inside([&] {
    Spoofer spoofer(other.Interface());
    if (!spoofer.Ok()) return false;
    bool all = true;
    for (const char* json : {R"({"msg":"conn","cuid":"x"})", R"({"msg":"next"})",
                             R"({"msg":"next"})", R"({"msg":"heartbeat"})"}) {
      all = spoofer.Send("0.0.0.0", 41203, "255.255.255.255", port, Frame(json)) && all;
    }
    return all;
  });
  ASSERT_TRUE(sent);
  Settle();
  const std::size_t answered = recorder.Count(Event::Sent);
  // The same forged datagram with a source a host may have does arrive,
  // and is told busy: the path itself works.
  std::string host = other.There();
  host = host.substr(0, host.rfind('.')) + ".77";
  ASSERT_TRUE(other.Inside([&] {
    Spoofer spoofer(other.Interface());
    return spoofer.Send(host.c_str(), 41203, "255.255.255.255", port,
                        Frame(R"({"msg":"conn","cuid":"x"})"));
  }));
  EXPECT_TRUE(recorder.WaitFor(Event::Sent, answered + 1));
  // Several heartbeat ticks: no fake UDP phone is there to be lost.
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(session->RunTick());
  EXPECT_EQ(Delivered(), 1u);
  EXPECT_EQ(recorder.Count(Event::PeerLost), 0u);
  page.Send(R"({"msg":"next"})");
  ASSERT_TRUE(recorder.WaitFor(Event::Message, 2));
  EXPECT_EQ(session->PeerDescription(), "127.0.0.1 browser");
}

// The TCP phone's own address over UDP, any port: told busy, never obeyed,
// and a "conn" from there does not close the phone's connection.
TEST_F(DirectLanAttack, UdpFromTheTcpPhonesAddressIsBusy) {
  const std::string pc = other.Here();
  const std::uint16_t tcpPort = session->TcpPort();
  const std::uint16_t udpPort = session->UdpPort();
  auto phone = other.Inside([&] {
    auto s = std::make_unique<asio::ip::tcp::socket>(io);
    s->connect({asio::ip::make_address(pc), tcpPort});
    return s;
  });
  asio::write(*phone, asio::buffer(Frame(R"({"msg":"hello"})")));
  ASSERT_TRUE(recorder.WaitFor(Event::Message, 1));
  EXPECT_EQ(session->PeerAddress(), other.There());

  std::vector<std::string> answers = other.Inside([&] {
    asio::io_context io;
    asio::ip::udp::socket udp(io, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
    udp.connect({asio::ip::make_address(pc), udpPort});
    std::vector<std::string> got;
    for (const char* json : {R"({"msg":"next"})", R"({"msg":"conn","cuid":"x"})",
                             R"({"msg":"conn"})", R"({"msg":"next"})"}) {
      udp.send(asio::buffer(Frame(json)));
      std::vector<char> buffer(512);
      std::size_t n = 0;
      boost::system::error_code ec = RunUntil(
          io, udp, Clock::now() + 2s, [&](auto h) { udp.async_receive(asio::buffer(buffer), h); },
          n);
      std::string text;
      if (!ec && DecodeDatagram(buffer.data(), n, text)) got.push_back(Member(text, u"error"));
    }
    return got;
  });
  EXPECT_EQ(answers, std::vector<std::string>(4, "您的电脑已与其他手机建立连接。"));
  EXPECT_EQ(Delivered(), 1u);
  EXPECT_TRUE(session->IsConnected());
  asio::write(*phone, asio::buffer(Frame(R"({"msg":"next"})")));
  EXPECT_TRUE(recorder.WaitFor(Event::Message, 2));
  EXPECT_EQ(recorder.Count(Event::PeerLost), 0u);
}

// A peer that took the slot and then left the network without a word frees
// it through keepalive; once dropped by the presenter, its address stays out.
TEST_F(DirectLanAttack, VanishedTcpPeerFreesTheSlotAndADroppedAddressStaysOut) {
  const std::string pc = other.Here();
  const std::uint16_t tcpPort = session->TcpPort();
  auto connect = [&] {
    return other.Inside([&] {
      auto s = std::make_unique<asio::ip::tcp::socket>(io);
      s->connect({asio::ip::make_address(pc), tcpPort});
      return s;
    });
  };
  auto squatter = connect();
  asio::write(*squatter, asio::buffer(Frame(R"({"msg":"hello"})")));
  ASSERT_TRUE(recorder.WaitFor(Event::Message, 1));
  other.Vanish();
  // idle 1 s + 2 probes 1 s apart, with room for a loaded machine.
  EXPECT_TRUE(recorder.WaitFor(Event::PeerLost, 1, 15s));
  EXPECT_FALSE(session->IsConnected());

  // The presenter's disconnect refuses that address in the next sessions.
  session->RefuseAddress(other.There());
  other.Return();
  auto again = connect();
  asio::write(*again, asio::buffer(Frame(R"({"msg":"hello"})")));
  std::vector<char> buffer(512);
  std::size_t n = 0;
  boost::system::error_code ec = RunUntil(
      io, *again, Clock::now() + 3s,
      [&](auto h) { again->async_read_some(asio::buffer(buffer), h); }, n);
  ASSERT_FALSE(ec) << ec.message();
  std::string text;
  ASSERT_GE(n, kFrameHeaderSize);
  text.assign(buffer.data() + kFrameHeaderSize, n - kFrameHeaderSize);
  EXPECT_EQ(Member(text, u"msg"), "error");
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(Delivered(), 1u);
}

}  // namespace

#endif  // __linux__
