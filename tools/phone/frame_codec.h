// The direct session's frame: "VRMX", payload length, kind, reserved (all
// 32-bit little-endian), then the UTF-8 payload. The reader takes bytes as
// they come and does no I/O, so it serves the TCP stream and single
// datagrams alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace phone {

constexpr std::size_t kFrameHeaderSize = 16;
// The PC closes a connection announcing this many payload bytes or more; the
// phone refuses the same from the PC rather than allocate without a bound.
constexpr std::uint32_t kFramePayloadLimit = 10485760;

// A frame of kind 1 (counted text), as the PC sends and expects.
std::string EncodeFrame(const std::string& payload);

class FrameReader {
 public:
  enum class Result { NeedMore, Frame, Bad };

  // Consumes bytes from data; stops after one complete frame (Frame, with
  // `payload` set), when the bytes are used up (NeedMore), or at a header
  // that cannot be a frame (Bad: wrong magic or a payload at the limit;
  // the reader stays bad). `used` tells how many bytes were taken.
  Result Feed(const char* data, std::size_t size, std::size_t& used, std::string& payload);

  bool bad() const { return bad_; }

 private:
  std::string header_;
  std::string body_;
  std::uint32_t length_ = 0;
  std::uint32_t kind_ = 0;
  bool haveHeader_ = false;
  bool bad_ = false;
};

// One datagram: exactly one frame whose length matches the datagram size.
bool DecodeDatagram(const char* data, std::size_t size, std::string& payload);

}  // namespace phone
