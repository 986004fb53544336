#include "services/http_head_parser.h"

#include <algorithm>
#include <climits>

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string TrimSpaces(const std::string& s) {
  std::size_t begin = s.find_first_not_of(' ');
  if (begin == std::string::npos) return std::string();
  std::size_t end = s.find_last_not_of(' ');
  return s.substr(begin, end - begin + 1);
}

bool EqualsNoCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}

}  // namespace

std::int32_t ParseDecimal(const std::string& text, std::size_t* end) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  bool digits = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    digits = true;
    if (value <= INT_MAX) value = value * 10 + (text[i] - '0');
  }
  if (end) *end = digits ? i : 0;
  if (!digits) return 0;
  if (negative) return value > INT_MAX ? INT_MIN : static_cast<std::int32_t>(-value);
  return value > INT_MAX ? INT_MAX : static_cast<std::int32_t>(value);
}

std::size_t HttpBodyRemaining(std::int32_t contentLength, std::size_t written, std::size_t limit) {
  if (contentLength <= 0) return 0;
  std::size_t wanted = std::min(static_cast<std::size_t>(contentLength), limit);
  return written < wanted ? wanted - written : 0;
}

HttpHeadParser::Result HttpHeadParser::Feed(const char* data, std::size_t size) {
  if (state_ != Incomplete) return state_;
  // The blank line may straddle the previous piece and this one.
  std::size_t from = head_.size() >= 3 ? head_.size() - 3 : 0;
  head_.append(data, size);
  std::size_t pos = head_.find("\r\n\r\n", from);
  if (pos == std::string::npos) return state_;
  state_ = Parse(pos + 4);
  // A head that is not whole has no status a caller could take.
  if (state_ == Malformed) status_ = 0;
  return state_;
}

HttpHeadParser::Result HttpHeadParser::Parse(std::size_t headEnd) {
  body_ = head_.substr(headEnd);
  head_.resize(headEnd);

  std::size_t lineEnd = head_.find("\r\n");
  if (!ParseStatusLine(head_.substr(0, lineEnd))) return Malformed;
  std::size_t lineStart = lineEnd + 2;
  while (lineStart < headEnd - 2) {
    lineEnd = head_.find("\r\n", lineStart);
    if (!ParseHeaderLine(head_.substr(lineStart, lineEnd - lineStart))) return Malformed;
    lineStart = lineEnd + 2;
  }
  return Complete;
}

bool HttpHeadParser::ParseStatusLine(const std::string& line) {
  std::size_t i = 0;
  while (i < line.size() && IsSpace(line[i])) ++i;
  std::size_t tokenStart = i;
  while (i < line.size() && !IsSpace(line[i])) ++i;
  if (i == tokenStart || i - tokenStart > kMaxProtocol) return false;
  protocol_ = line.substr(tokenStart, i - tokenStart);
  // A status code has three digits; anything else (0, 1, -200, 2000, a
  // saturated huge number) is no status a caller could act on.
  std::int32_t status = ParseDecimal(line.substr(i));
  if (status < 100 || status > 999) return false;
  status_ = status;
  return true;
}

bool HttpHeadParser::ParseHeaderLine(const std::string& line) {
  std::size_t colon = line.find(':');
  if (colon == std::string::npos) return false;
  std::string name = TrimSpaces(line.substr(0, colon));
  std::string value = TrimSpaces(line.substr(colon + 1));
  if (EqualsNoCase(name, "Content-Length")) contentLength_ = ParseDecimal(value);
  headers_[name] = std::move(value);
  return true;
}
