// A loopback TCP forwarder that can cut every connection through it at once,
// the way a dropped mobile network ends a phone's broker connection without
// an MQTT DISCONNECT (so the broker publishes the phone's will).
#pragma once

#include <cstdint>
#include <memory>

namespace e2e {

class TcpCutter {
 public:
  // Forwards 127.0.0.1:Port() to 127.0.0.1:target.
  explicit TcpCutter(std::uint16_t target);
  ~TcpCutter();
  TcpCutter(const TcpCutter&) = delete;
  TcpCutter& operator=(const TcpCutter&) = delete;

  std::uint16_t Port() const;
  // Resets every open connection; new ones are still accepted.
  void CutAll();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace e2e
