// Windows offers no way to list the sockets a library opened inside the
// process, so the connection keeps the system's default (Nagle on).
#include "net/mqtt_nodelay.h"

std::set<unsigned long long> MqttTcpSockets() { return {}; }

int MqttForEachNewSocket(const std::set<unsigned long long>&, int,
                         const std::function<bool(int)>&) {
  return 0;
}

int MqttSetNoDelayOnNewSockets(const std::set<unsigned long long>&, int) { return 0; }
