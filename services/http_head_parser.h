// Reads an HTTP response head from bytes fed in as they arrive. It does no
// I/O, so it can be tested and fuzzed alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class HttpHeadParser {
 public:
  enum Result { Incomplete, Complete, Malformed };

  // The longest protocol token accepted in the status line.
  static constexpr std::size_t kMaxProtocol = 31;

  // Appends the bytes and parses once the blank line after the head has
  // arrived. Once Complete or Malformed, further input is ignored and the
  // same result is returned.
  Result Feed(const char* data, std::size_t size);

  Result State() const { return state_; }
  // Bytes received so far; once complete, exactly the head including the
  // blank line.
  const std::string& Head() const { return head_; }
  // Bytes that arrived after the blank line.
  const std::string& Body() const { return body_; }
  const std::string& Protocol() const { return protocol_; }
  // 100 to 999 once Complete, otherwise 0.
  std::int32_t Status() const { return status_; }
  // A repeated name replaces the earlier value.
  const std::map<std::string, std::string>& Headers() const { return headers_; }
  // "Content-Length" (any case) read as by atoi; -1 when absent.
  std::int32_t ContentLength() const { return contentLength_; }

 private:
  Result Parse(std::size_t headEnd);
  bool ParseStatusLine(const std::string& line);
  bool ParseHeaderLine(const std::string& line);

  Result state_ = Incomplete;
  std::string head_;
  std::string body_;
  std::string protocol_;
  std::int32_t status_ = 0;
  std::map<std::string, std::string> headers_;
  std::int32_t contentLength_ = -1;
};

// How many more body bytes to read once `written` are out: up to
// Content-Length (absent or negative: nothing beyond what came with the
// head), never past `limit`.
std::size_t HttpBodyRemaining(std::int32_t contentLength, std::size_t written, std::size_t limit);

// atoi without its undefined overflow: leading white space, an optional
// sign, then digits; saturates at the int32 limits; 0 when no digit.
std::int32_t ParseDecimal(const std::string& text, std::size_t* end = nullptr);
