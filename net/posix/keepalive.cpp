#include "net/keepalive.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

void EnableKeepalive(boost::asio::ip::tcp::socket& socket, std::chrono::seconds idle,
                     std::chrono::seconds interval, int count) {
  const int fd = socket.native_handle();
  const int on = 1;
  const int idleSeconds = static_cast<int>(idle.count());
  const int intervalSeconds = static_cast<int>(interval.count());
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}
