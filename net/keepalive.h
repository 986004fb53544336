// TCP keepalive with short timings on one connection: a peer that vanished
// without a word (battery, out of the Wi-Fi) makes the connection fail after
// about idle + count * interval, where the system default is two hours.
// Failure to set it is harmless: the connection just keeps the defaults.
#pragma once

#include <chrono>

#include <boost/asio/ip/tcp.hpp>

void EnableKeepalive(boost::asio::ip::tcp::socket& socket, std::chrono::seconds idle,
                     std::chrono::seconds interval, int count);
