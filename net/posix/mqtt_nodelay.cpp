// Linux: the process's descriptors are listed in /proc/self/fd; a socket's
// inode tells a new socket from an old one that reused a descriptor number.
// Each descriptor is duplicated before it is looked at, so that a socket
// closed and replaced by its owner meanwhile is never mistaken for another:
// everything is read and set through the duplicate.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "net/mqtt_nodelay.h"

namespace {

// Calls visit(duplicate, inode) for each TCP socket of the process.
template <typename Visit>
void ForEachTcpSocket(Visit visit) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return;
  int own = ::dirfd(dir);
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    long number = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || number == own) continue;
    int fd = ::fcntl(static_cast<int>(number), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) continue;
    struct stat st {};
    int protocol = 0;
    socklen_t len = sizeof protocol;
    if (::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) &&
        ::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) == 0 &&
        protocol == IPPROTO_TCP) {
      visit(fd, static_cast<unsigned long long>(st.st_ino));
    }
    ::close(fd);
  }
  ::closedir(dir);
}

int PeerPort(int fd) {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return -1;
  if (peer.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
  if (peer.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port);
  return -1;
}

}  // namespace

std::set<unsigned long long> MqttTcpSockets() {
  std::set<unsigned long long> sockets;
  ForEachTcpSocket([&](int, unsigned long long inode) { sockets.insert(inode); });
  return sockets;
}

int MqttForEachNewSocket(const std::set<unsigned long long>& before, int port,
                         const std::function<bool(int)>& act) {
  int count = 0;
  ForEachTcpSocket([&](int fd, unsigned long long inode) {
    if (!before.count(inode) && PeerPort(fd) == port && act(fd)) ++count;
  });
  return count;
}

int MqttSetNoDelayOnNewSockets(const std::set<unsigned long long>& before, int port) {
  return MqttForEachNewSocket(before, port, [](int fd) {
    int on = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
  });
}
