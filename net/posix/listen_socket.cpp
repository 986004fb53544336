#include "net/listen_socket.h"

bool OpenTcpListener(boost::asio::ip::tcp::acceptor& acceptor,
                     const boost::asio::ip::tcp::endpoint& endpoint,
                     boost::system::error_code& ec) {
  ec.clear();
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
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
  // No SO_REUSEADDR: on a datagram socket it would let a second socket
  // share the port and take part of the phones' datagrams.
  socket.open(endpoint.protocol(), ec);
  if (!ec) socket.bind(endpoint, ec);
  if (!ec) return true;
  boost::system::error_code ignored;
  socket.close(ignored);
  return false;
}
