// Keeps an ICMP port-unreachable, caused by a reply to a phone that has
// already gone, from failing the next receive on the shared UDP socket.
#pragma once

#include <boost/asio/ip/udp.hpp>

void IgnorePortUnreachable(boost::asio::ip::udp::socket& socket);
