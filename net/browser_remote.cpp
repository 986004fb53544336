// The browser remote's server: it draws the token, listens on the first free
// port of its range (the previous one first, so the address shown stays
// valid), admits each connection within the limits overall and per address,
// keeps the count of what is open, and closes it all on Close. Page requests
// and WebSocket phones live in browser_http.cpp and browser_websocket.cpp.
#include "net/browser_remote.h"

#include <utility>
#include <vector>

#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "net/browser_remote_impl.h"
#include "net/listen_socket.h"
#include "net/secure_random.h"

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(50);

}  // namespace

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
  // Starting only begins an asynchronous read: nothing of the connection
  // runs before it is counted here.
  std::shared_ptr<browser::Connection> conn =
      browser::StartHttpConnection(std::move(socket), weak_from_this(), options, ++nextSerial);
  connections[conn->serial] = Entry{conn, from};
  ++perAddress[from];
}

void CBrowserRemote::Impl::Forget(std::uint64_t serial) {
  auto it = connections.find(serial);
  if (it == connections.end()) return;
  auto counted = perAddress.find(it->second.from);
  if (counted != perAddress.end() && --counted->second == 0) perAddress.erase(counted);
  connections.erase(it);
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
