// The frame that carries one JSON object between the phone and the PC on the
// direct LAN transports (TCP and UDP alike): a 16-byte little-endian header
// followed by the UTF-8 text. Nothing here does I/O, so the reader can be fed
// from any buffer and tested or fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "json/json.h"

constexpr std::uint16_t kDirectPort = 41203;
constexpr std::size_t kFrameHeaderSize = 16;
// The length field must stay below 10 MiB; a larger announcement is refused
// before anything is allocated for it.
constexpr std::uint32_t kMaxTcpPayload = 10 * 1024 * 1024 - 1;
// Kind 1 means the payload is counted; any other kind ends at a zero byte.
constexpr std::uint32_t kFrameKindCounted = 1;

struct DirectFrameHeader {
  std::uint32_t length = 0;
  std::uint32_t kind = 0;
  std::uint32_t reserved = 0;
};

// Reads the header at p (16 bytes); false when the magic is not "VRMX".
bool DecodeFrameHeader(const unsigned char* p, DirectFrameHeader& header);

// The text a payload carries: all of it for a counted frame, otherwise the
// bytes before the first zero byte.
std::string FramePayloadText(std::uint32_t kind, const char* payload, std::size_t size);

// The text of a datagram that holds exactly one frame (its length matching
// the datagram's size); false for anything else.
bool DecodeDatagram(const char* data, std::size_t size, std::string& text);

// Header (kind 1, reserved 0) and payload in one buffer, so that a frame
// always leaves in a single write.
std::string EncodeFrame(const std::string& utf8);

// JsonWrite + ToUtf8 + EncodeFrame; empty when the message is not a
// container or its text cannot be converted.
std::string EncodeMessageFrame(const JsonPtr& message);

// Text of a payload back to a JSON object. False for text that is not valid
// UTF-8, does not parse, or is not an object; never throws.
bool DecodeMessage(const std::string& utf8, JsonPtr& message);

// Splits a TCP byte stream into frames. Feed it whatever arrived; it stops
// after each complete frame so the caller can act on it before reading on.
// A bad magic or an oversized length makes it Invalid for good.
class FrameReader {
 public:
  enum class Status { NeedMore, Frame, Invalid };

  // Consumes from [data, data + size) and sets `used` to the bytes taken.
  // On Frame, Text() holds the frame's text until the next call.
  Status Feed(const char* data, std::size_t size, std::size_t& used);
  const std::string& Text() const { return text_; }
  // Whether part of a frame has arrived and the rest has not.
  bool InProgress() const { return headerFill_ > 0 && !invalid_; }
  // Memory held for the frame in progress.
  std::size_t BufferedBytes() const { return payload_.capacity(); }
  // Gives that memory back (the connection is being refused).
  void Discard();
  // Frees the text of a large frame once the caller is done with it.
  void ReleaseText();

 private:
  unsigned char header_[kFrameHeaderSize] = {};
  std::size_t headerFill_ = 0;
  DirectFrameHeader current_;
  std::string payload_;
  std::string text_;
  bool invalid_ = false;
};
