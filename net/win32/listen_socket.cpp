#include "net/listen_socket.h"

#include <winsock2.h>

#include <boost/asio/detail/socket_option.hpp>

namespace {

// Nobody else may bind this port while the socket holds it, not even with
// SO_REUSEADDR.
using ExclusiveAddressUse =
    boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;

}  // namespace

bool OpenTcpListener(boost::asio::ip::tcp::acceptor& acceptor,
                     const boost::asio::ip::tcp::endpoint& endpoint,
                     boost::system::error_code& ec) {
  ec.clear();
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(ExclusiveAddressUse(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(boost::asio::socket_base::max_listen_connections, ec);
  if (!ec) return true;
  boost::system::error_code ignored;
  acceptor.close(ignored);
  return false;
}

bool OpenUdpSocket(boost::asio::ip::udp::socket& socket,
                   const boost::asio::ip::udp::endpoint& endpoint, boost::system::error_code& ec) {
  ec.clear();
  socket.open(endpoint.protocol(), ec);
  if (!ec) socket.set_option(ExclusiveAddressUse(true), ec);
  if (!ec) socket.bind(endpoint, ec);
  if (!ec) return true;
  boost::system::error_code ignored;
  socket.close(ignored);
  return false;
}
