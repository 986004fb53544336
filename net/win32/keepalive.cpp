#include "net/keepalive.h"

#include <winsock2.h>

#include <mstcpip.h>
#include <ws2tcpip.h>

void EnableKeepalive(boost::asio::ip::tcp::socket& socket, std::chrono::seconds idle,
                     std::chrono::seconds interval, int count) {
  const SOCKET s = socket.native_handle();
  // Time and interval in milliseconds. Windows before 10 (1703) fixes the
  // number of probes at 10; later versions take TCP_KEEPCNT below.
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = static_cast<ULONG>(idle.count() * 1000);
  values.keepaliveinterval = static_cast<ULONG>(interval.count() * 1000);
  DWORD returned = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
#ifdef TCP_KEEPCNT
  DWORD probes = static_cast<DWORD>(count);
  setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&probes), sizeof probes);
#else
  static_cast<void>(count);
#endif
}
