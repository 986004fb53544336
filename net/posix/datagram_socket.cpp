#include "net/datagram_socket.h"

// An unconnected UDP socket here never reports ICMP errors to its receives.
void IgnorePortUnreachable(boost::asio::ip::udp::socket&) {}
