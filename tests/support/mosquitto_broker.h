// A real Mosquitto broker for one test or benchmark: started on a free
// loopback port from a configuration file of its own, polled until it
// answers an MQTT CONNECT, and stopped, crashed, paused or restarted on the
// same port on request. Nothing listens on any address but 127.0.0.1.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

class MosquittoBroker {
 public:
  // tcpNoDelay: the broker's set_tcp_nodelay (benchmarks compare both).
  explicit MosquittoBroker(bool tcpNoDelay = true);
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // Picks a free port (first start only; again if another process took it
  // first), writes the configuration, starts the broker and waits until it
  // answers. A restart keeps its port.
  bool Start(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // SIGTERM, then SIGKILL if it has not ended within a second. A broker
  // ending this way publishes the wills of all its clients.
  void Stop();
  // SIGKILL: the broker crashes, and no will is published.
  void Kill();
  // SIGSTOP / SIGCONT: connections stay open but nothing is answered.
  void Pause();
  void Resume();

  bool Running() const { return pid_ > 0; }
  std::uint16_t Port() const { return port_; }
  std::string Uri() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  const std::string& Error() const { return error_; }

 private:
  bool Launch(std::chrono::milliseconds limit);

  bool tcpNoDelay_;
  std::string dir_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  std::string error_;
};

// A port that was free on 127.0.0.1 a moment ago (bound, read and closed).
std::uint16_t FreeLoopbackPort();
// Whether something accepts TCP connections on 127.0.0.1:port.
bool LoopbackAccepts(std::uint16_t port);
// Whether an MQTT broker on 127.0.0.1:port answers CONNECT with CONNACK
// within the time limit.
bool MqttBrokerAnswers(std::uint16_t port, int timeoutMs);
