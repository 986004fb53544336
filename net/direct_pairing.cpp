#include "net/direct_pairing.h"

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

std::string DirectPairingPiece(const unsigned char address[4], std::uint16_t port) {
  std::uint32_t value = static_cast<std::uint32_t>(address[0]) |
                        (static_cast<std::uint32_t>(address[1]) << 8) |
                        (static_cast<std::uint32_t>(address[2]) << 16) |
                        (static_cast<std::uint32_t>(address[3]) << 24);
  char text[16];
  std::snprintf(text, sizeof text, "%08x%04x", static_cast<unsigned>(value),
                static_cast<unsigned>(port));
  return text;
}

// On Windows the socket library must already be initialised (the session's
// I/O service does that before asking).
std::string LocalDirectPairingValue(std::uint16_t port) {
  char name[260] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) return std::string();
  std::string value;
  for (addrinfo* i = list; i; i = i->ai_next) {
    if (i->ai_family != AF_INET || !i->ai_addr) continue;
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(i->ai_addr);
    unsigned char bytes[4];
    std::memcpy(bytes, &in->sin_addr, 4);
    value += DirectPairingPiece(bytes, port);
  }
  freeaddrinfo(list);
  return value;
}
