// A phone that floods the PC with pen moves over the direct session's TCP:
// a raw connection from the attached phone's own address (so it takes the
// phone's place), a pen down, then moves a thousand frames at a time, and a
// step. Shared by the flood test and the flood benchmark.
#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "net/direct_frame.h"

namespace e2e {

class PenFlood {
 public:
  static constexpr long kChunkMoves = 1000;

  // sendBuffer, when given, is the phone's own send buffer: a flood that
  // ends then leaves at most that much of itself ahead of what follows,
  // instead of the megabytes a loopback socket grows to by itself.
  explicit PenFlood(std::uint16_t port, int sendBuffer = 0) : socket_(io_) {
    socket_.open(boost::asio::ip::tcp::v4());
    if (sendBuffer > 0) socket_.set_option(boost::asio::socket_base::send_buffer_size(sendBuffer));
    socket_.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    Write(EncodeFrame(R"({"msg":"pen_down","x":0.1,"y":0.1})"));
    for (long i = 0; i < kChunkMoves; ++i) {
      chunk_ += EncodeFrame(R"({"msg":"pen_move","x":0.)" + std::to_string(100 + i % 800) +
                            R"(,"y":0.5})");
    }
  }

  // One chunk of moves; blocks while the PC does not read.
  void Moves() { Write(chunk_); }
  // "next" or "prev"; returns once the socket took it.
  void Step(bool forward) {
    Write(EncodeFrame(forward ? R"({"msg":"next"})" : R"({"msg":"prev"})"));
  }

 private:
  void Write(const std::string& bytes) { boost::asio::write(socket_, boost::asio::buffer(bytes)); }

  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  std::string chunk_;
};

}  // namespace e2e
