// Opening the sockets the PC serves phones on, with the address-reuse rules
// of each system in one place.
//
// On POSIX systems a TCP listener sets SO_REUSEADDR, so that a restarted
// program takes its port back while connections of the previous run are
// still in TIME_WAIT; it never lets two live listeners share a port there.
// On Windows SO_REUSEADDR would let another program bind over a port that is
// listening, so both kinds of socket take SO_EXCLUSIVEADDRUSE instead.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

// Opens, binds and listens (with the system's largest backlog). On failure
// the acceptor is left closed and ec says why.
bool OpenTcpListener(boost::asio::ip::tcp::acceptor& acceptor,
                     const boost::asio::ip::tcp::endpoint& endpoint, boost::system::error_code& ec);

// Opens and binds. On failure the socket is left closed and ec says why.
bool OpenUdpSocket(boost::asio::ip::udp::socket& socket,
                   const boost::asio::ip::udp::endpoint& endpoint, boost::system::error_code& ec);
