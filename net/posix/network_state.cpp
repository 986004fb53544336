#include "net/network_state.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

// A network is there when some interface other than loopback is up and
// carries an address.
bool HostHasNetwork() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool alive = false;
  for (ifaddrs* i = list; i && !alive; i = i->ifa_next) {
    if (!i->ifa_addr || (i->ifa_flags & IFF_LOOPBACK) || !(i->ifa_flags & IFF_UP)) continue;
    int family = i->ifa_addr->sa_family;
    alive = family == AF_INET || family == AF_INET6;
  }
  freeifaddrs(list);
  return alive;
}
