// A real Mosquitto broker for one test: started on a free loopback port with
// a configuration file of its own, polled until it accepts connections, and
// stopped (or restarted on the same port) on request. Nothing listens on any
// address but 127.0.0.1.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace e2e {

class MosquittoBroker {
 public:
  MosquittoBroker();
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // Picks a free port (first start only), writes the configuration, starts
  // /usr/sbin/mosquitto and waits until it accepts a TCP connection.
  bool Start(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // SIGTERM, then SIGKILL if it has not ended within a second. A broker
  // ending this way publishes the wills of all its clients.
  void Stop();
  // SIGKILL: the broker crashes, and no will is published.
  void Kill();
  bool Running() const { return pid_ > 0; }

  std::uint16_t Port() const { return port_; }
  std::string Uri() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  const std::string& Error() const { return error_; }

 private:
  bool Launch(std::chrono::milliseconds limit);

  std::string dir_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  std::string error_;
};

// A port that was free on 127.0.0.1 a moment ago (bound, read and closed).
std::uint16_t FreeLoopbackPort();
// Whether something accepts TCP connections on 127.0.0.1:port.
bool LoopbackAccepts(std::uint16_t port);

}  // namespace e2e
