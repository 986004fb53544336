// Nagle's algorithm on the connection to the broker: a QoS 2 exchange is a
// ping-pong of small packets, and with Nagle a small write that follows
// another unacknowledged one waits for the peer's delayed ACK (about 40 ms
// a hop). Paho C opens its sockets itself and offers no socket option, so
// the session finds its connection among the process's sockets: the TCP
// socket to the broker's port that did not exist before the connect began.
#pragma once

#include <functional>
#include <set>
#include <string>

// Identities of the process's TCP sockets (a reused descriptor gets a new one).
std::set<unsigned long long> MqttTcpSockets();

// Calls act(descriptor) (a SOCKET on Windows) for every TCP socket connected to `port` that is
// not in `before`; returns how many times act returned true.
int MqttForEachNewSocket(const std::set<unsigned long long>& before, int port,
                         const std::function<bool(int)>& act);

// Sets TCP_NODELAY on those sockets; returns how many were set.
int MqttSetNoDelayOnNewSockets(const std::set<unsigned long long>& before, int port);

// The port of a Paho server URI ("tcp://host:port", "host:port"); 1883
// when it names none.
int MqttUriPort(const std::string& uri);
