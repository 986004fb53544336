// An HTTP response as the client reads it: the head parser fed in pieces the
// input chooses, then the body read as ReceiveBody reads it. The outcome
// does not depend on the split; a complete head ends at the first blank
// line and its status is a three-digit code; the body never runs past
// Content-Length or the cap and is exactly the bytes after the head.
//
// Input: 4 bytes of split seed, 2 bytes of body cap, then the response.
#include <cstddef>
#include <cstdint>
#include <string>

#include "services/http_head_parser.h"
#include "tests/fuzz/fuzz_support.h"

using fuzz::Check;

namespace {

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Chunker chunks(fuzz::ReadSeed(data, size));
  std::size_t cap = 0;
  for (int i = 0; i < 2 && size > 0; ++i, ++data, --size) cap = cap << 8 | *data;
  const std::string stream(reinterpret_cast<const char*>(data), size);

  HttpHeadParser whole;
  whole.Feed(stream.data(), stream.size());

  HttpHeadParser parser;
  std::size_t fed = 0;
  while (fed < stream.size() && parser.State() == HttpHeadParser::Incomplete) {
    std::size_t n = chunks.Next(stream.size() - fed);
    HttpHeadParser::Result r = parser.Feed(stream.data() + fed, n);
    Check(r == parser.State());
    fed += n;
  }
  const std::string received = stream.substr(0, fed);
  const std::size_t blank = received.find("\r\n\r\n");

  Check(parser.State() == whole.State());
  switch (parser.State()) {
    case HttpHeadParser::Incomplete:
      Check(blank == std::string::npos && parser.Head() == received && parser.Status() == 0);
      return 0;
    case HttpHeadParser::Malformed:
      Check(blank != std::string::npos && parser.Status() == 0);
      Check(parser.Feed("\r\n\r\n", 4) == HttpHeadParser::Malformed);
      return 0;
    case HttpHeadParser::Complete:
      break;
  }
  Check(blank != std::string::npos);
  Check(parser.Head() == received.substr(0, blank + 4));
  Check(parser.Body() == received.substr(blank + 4));
  Check(parser.Head() == whole.Head() && parser.Status() == whole.Status() &&
        parser.Protocol() == whole.Protocol() && parser.Headers() == whole.Headers() &&
        parser.ContentLength() == whole.ContentLength());
  Check(parser.Status() >= 100 && parser.Status() <= 999);
  Check(!parser.Protocol().empty() && parser.Protocol().size() <= HttpHeadParser::kMaxProtocol);
  for (char c : parser.Protocol()) Check(!IsSpace(c));
  bool named = false;
  for (const auto& header : parser.Headers()) {
    Check(header.first.find(':') == std::string::npos);
    Check(header.first.find("\r\n") == std::string::npos);
    Check(header.second.find("\r\n") == std::string::npos);
    named = named || EqualsNoCase(header.first, "Content-Length");
  }
  if (!named) Check(parser.ContentLength() == -1);
  // Later input changes nothing.
  const std::string heldBody = parser.Body();
  Check(parser.Feed("X", 1) == HttpHeadParser::Complete && parser.Body() == heldBody);

  // The body: what came with the head, then reads of at most what is still
  // wanted, until the wanted amount is out or the peer has nothing more.
  const std::string after = stream.substr(blank + 4);
  std::string body = parser.Body();
  std::size_t from = body.size();
  for (std::size_t reads = 0;; ++reads) {
    Check(reads <= after.size());
    std::size_t remaining = HttpBodyRemaining(parser.ContentLength(), body.size(), cap);
    if (remaining == 0 || from == after.size()) break;
    std::size_t n = std::min(remaining, chunks.Next(after.size() - from));
    body.append(after, from, n);
    from += n;
  }
  const std::size_t wanted =
      parser.ContentLength() > 0 ? std::min<std::size_t>(parser.ContentLength(), cap) : 0;
  Check(body.size() <= std::max(parser.Body().size(), wanted));
  Check(body == after.substr(0, body.size()));
  if (body.size() < wanted) Check(from == after.size());
  return 0;
}
