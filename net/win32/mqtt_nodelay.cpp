// Windows: Winsock sockets are kernel handles, multiples of four. Probing a
// handle value with getsockopt tells a socket from anything else (which
// answers WSAENOTSOCK) without touching it. A socket is known by its handle
// and local port together, so a handle value reused for a new connection is
// not mistaken for the old one.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>

#include "net/mqtt_nodelay.h"

namespace {

// Handle values above this are not probed; a process with that many open
// handles is not one this client runs in.
constexpr std::uintptr_t kHandleLimit = 1u << 16;

int Port(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return -1;
}

// Calls visit(socket, identity) for each connected-or-bound TCP socket.
template <typename Visit>
void ForEachTcpSocket(Visit visit) {
  for (std::uintptr_t value = 4; value < kHandleLimit; value += 4) {
    SOCKET s = static_cast<SOCKET>(value);
    int type = 0;
    int length = sizeof type;
    if (getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != 0 ||
        type != SOCK_STREAM) {
      continue;
    }
    sockaddr_storage local{};
    int localLength = sizeof local;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
    int port = Port(local);
    if (port < 0) continue;
    visit(s, (static_cast<unsigned long long>(value) << 16) | static_cast<unsigned>(port));
  }
}

int PeerPort(SOCKET s) {
  sockaddr_storage peer{};
  int length = sizeof peer;
  if (getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return -1;
  return Port(peer);
}

}  // namespace

std::set<unsigned long long> MqttTcpSockets() {
  std::set<unsigned long long> sockets;
  ForEachTcpSocket([&](SOCKET, unsigned long long id) { sockets.insert(id); });
  return sockets;
}

int MqttForEachNewSocket(const std::set<unsigned long long>& before, int port,
                         const std::function<bool(int)>& act) {
  int count = 0;
  ForEachTcpSocket([&](SOCKET s, unsigned long long id) {
    if (!before.count(id) && PeerPort(s) == port && act(static_cast<int>(s))) ++count;
  });
  return count;
}

int MqttSetNoDelayOnNewSockets(const std::set<unsigned long long>& before, int port) {
  return MqttForEachNewSocket(before, port, [](int s) {
    BOOL on = TRUE;
    return setsockopt(static_cast<SOCKET>(s), IPPROTO_TCP, TCP_NODELAY,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
  });
}
