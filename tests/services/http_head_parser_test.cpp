#include <gtest/gtest.h>

#include <string>

#include "services/http_head_parser.h"

namespace {

HttpHeadParser::Result FeedAll(HttpHeadParser& p, const std::string& s) {
  return p.Feed(s.data(), s.size());
}

TEST(HttpHeadParser, HeadArrivingByteByByteIsParsedOnceTheBlankLineIsComplete) {
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: 1\r\n\r\nhello";
  HttpHeadParser p;
  const std::size_t headSize = response.find("\r\n\r\n") + 4;
  for (std::size_t i = 0; i + 1 < headSize; ++i) {
    ASSERT_EQ(p.Feed(&response[i], 1), HttpHeadParser::Incomplete) << i;
  }
  EXPECT_EQ(FeedAll(p, response.substr(headSize - 1)), HttpHeadParser::Complete);
  EXPECT_EQ(p.Head(), response.substr(0, headSize));
  EXPECT_EQ(p.Body(), "hello");
  EXPECT_EQ(p.Protocol(), "HTTP/1.1");
  EXPECT_EQ(p.Status(), 200);
  EXPECT_EQ(p.ContentLength(), 5);
  // Later input is ignored.
  EXPECT_EQ(FeedAll(p, "more"), HttpHeadParser::Complete);
  EXPECT_EQ(p.Body(), "hello");
}

TEST(HttpHeadParser, HeadersAreTrimmedOfSpacesAndLaterNamesReplaceEarlierOnes) {
  HttpHeadParser p;
  ASSERT_EQ(FeedAll(p,
                    "HTTP/1.0 404 Not Found\r\ncontent-length:   42  \r\n"
                    "X-Dup: first\r\nX-Dup: second\r\n  Odd Name :\tv: w \r\n\r\n"),
            HttpHeadParser::Complete);
  EXPECT_EQ(p.Status(), 404);
  EXPECT_EQ(p.ContentLength(), 42);
  EXPECT_EQ(p.Headers().at("content-length"), "42");
  EXPECT_EQ(p.Headers().at("X-Dup"), "second");
  // Only spaces are trimmed; the value keeps everything after the first ':'.
  EXPECT_EQ(p.Headers().at("Odd Name"), "\tv: w");
  EXPECT_TRUE(p.Body().empty());
}

TEST(HttpHeadParser, MalformedHeads) {
  const char* cases[] = {
      "HTTP/1.1 OK\r\n\r\n",                 // status not a number
      "HTTP/1.1 0 Zero\r\n\r\n",             // status 0
      "HTTP/1.1\r\n\r\n",                    // no status
      "\r\n\r\n",                            // empty status line
      "HTTP/1.1 200 OK\r\nNoColon\r\n\r\n",  // header without ':'
      // a protocol token longer than 31 characters
      "HTTP/1.1-with-a-very-long-protocol-name 200 OK\r\n\r\n",
      // status codes outside 100 to 999 (the first found by fuzzing)
      "\xff\xff\xff\n1\t\xff\xff\r\n\r\n",
      "HTTP/1.1 99 Low\r\n\r\n",
      "HTTP/1.1 -200 Negative\r\n\r\n",
      "HTTP/1.1 1000 High\r\n\r\n",
      "HTTP/1.1 99999999999 Saturated\r\n\r\n",
  };
  for (const char* c : cases) {
    HttpHeadParser p;
    EXPECT_EQ(FeedAll(p, c), HttpHeadParser::Malformed) << c;
    EXPECT_EQ(p.Status(), 0) << c;
  }
  HttpHeadParser longest;
  EXPECT_EQ(FeedAll(longest, std::string(31, 'P') + " 200\r\n\r\n"), HttpHeadParser::Complete);
}

TEST(HttpHeadParser, DecimalsSaturateInsteadOfOverflowing) {
  EXPECT_EQ(ParseDecimal("  -12abc"), -12);
  EXPECT_EQ(ParseDecimal("99999999999999999999"), 2147483647);
  EXPECT_EQ(ParseDecimal("-99999999999999999999"), -2147483647 - 1);
  EXPECT_EQ(ParseDecimal("x1"), 0);
  HttpHeadParser p;
  ASSERT_EQ(FeedAll(p, "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n"),
            HttpHeadParser::Complete);
  EXPECT_EQ(p.ContentLength(), 2147483647);
}

}  // namespace

namespace {

TEST(HttpBodyRemaining, StopsAtContentLengthOrTheCap) {
  const struct {
    std::int32_t contentLength;
    std::size_t written, limit, remaining;
  } cases[] = {
      {-1, 0, 100, 0},  // no Content-Length: only what came with the head
      {0, 0, 100, 0},
      {10, 0, 100, 10},
      {10, 4, 100, 6},
      {10, 10, 100, 0},
      {10, 25, 100, 0},  // more came with the head than announced
      {2147483647, 0, 100, 100},
      {2147483647, 100, 100, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HttpBodyRemaining(c.contentLength, c.written, c.limit), c.remaining)
        << c.contentLength << " " << c.written << " " << c.limit;
  }
}

}  // namespace
