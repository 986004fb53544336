// A real Mosquitto broker for one test: started on a free loopback port
// from its own configuration file, polled until it answers an MQTT CONNECT,
// and stopped (or paused, to play a broker that stops answering).
#pragma once

#include <sys/types.h>

#include <string>

class MosquittoBroker {
 public:
  // tcpNoDelay: the broker's set_tcp_nodelay (benchmarks compare both).
  explicit MosquittoBroker(bool tcpNoDelay = true);
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // Starts (again) on the same port; false when it does not answer in time.
  bool Start();
  void Stop();
  // SIGSTOP / SIGCONT: connections stay open but nothing is answered.
  void Pause();
  void Resume();

  bool Running() const { return pid_ > 0; }
  int Port() const { return port_; }
  std::string Uri() const;

  static const char* Executable();

 private:
  int port_ = 0;
  pid_t pid_ = -1;
  std::string dir_;
  std::string config_;
};

// Whether an MQTT broker on 127.0.0.1:port answers CONNECT with CONNACK
// within the time limit.
bool MqttBrokerAnswers(int port, int timeoutMs);
