#include "net/datagram_socket.h"

#include <winsock2.h>

#include <mswsock.h>

// Windows reports the ICMP answer to an earlier send as WSAECONNRESET on the
// next receive; switched off, a departed phone cannot disturb the others.
// Failure is harmless: the receive loop also survives that error.
void IgnorePortUnreachable(boost::asio::ip::udp::socket& socket) {
  BOOL report = FALSE;
  DWORD returned = 0;
  WSAIoctl(socket.native_handle(), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned,
           nullptr, nullptr);
}
