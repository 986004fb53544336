#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <sstream>
#include <string>

#include "services/http_client.h"
#include "tests/services/test_http_server.h"

namespace {

using namespace std::chrono_literals;
using test::Answer;
using test::Reply;
using test::TestHttpServer;
using Clock = std::chrono::steady_clock;

const std::string kAgent =
    "User-Agent: Mozilla/5.0 AppleWebKit/537.36 (KHTML, like Gecko) Chrome/42.0.2311.135 "
    "Zeruvevo/1.0 Safari/537.36\r\n\r\n";

// Short limits keep the failure cases fast; loopback answers in far less.
HttpTimeLimits ShortLimits() {
  HttpTimeLimits limits;
  limits.receive = 300ms;
  return limits;
}

// Runs the steps of a GET up to Exchange; returns whether all succeeded.
bool Get(CHttpClient& http) {
  return http.ParseUrl() && http.BuildGetRequest() && http.Connect() && http.Exchange();
}

std::string Body(CHttpClient& http) {
  std::ostringstream out;
  http.ReceiveBody(out);
  return out.str();
}

TEST(HttpClientUrl, PartsOfTheAddress) {
  CHttpClient full("http://example.test:8080/a/b?x=1&y=2");
  ASSERT_TRUE(full.ParseUrl());
  EXPECT_EQ(full.Host(), "example.test");
  EXPECT_EQ(full.Port(), 8080);
  EXPECT_EQ(full.Path(), "/a/b?x=1&y=2");

  CHttpClient capital("HTTP://Example.Test");
  ASSERT_TRUE(capital.ParseUrl());
  EXPECT_EQ(capital.Host(), "Example.Test");
  EXPECT_EQ(capital.Port(), 80);
  EXPECT_EQ(capital.Path(), "/");

  CHttpClient bare("host.test/p");
  ASSERT_TRUE(bare.ParseUrl());
  EXPECT_EQ(bare.Host(), "host.test");
  EXPECT_EQ(bare.Path(), "/p");

  for (const char* refused : {"https://host.test/", "ftp://host.test/", "x/http://host/"}) {
    CHttpClient http(refused);
    EXPECT_FALSE(http.ParseUrl()) << refused;
    EXPECT_EQ(http.Error(), HttpErrorScheme) << refused;
  }
}

TEST(HttpClientRequest, GetAndPostHeadsAreByteExactAndHostCarriesNoPort) {
  TestHttpServer server([](const std::string&) { return Answer(200, "ok"); });

  CHttpClient get(server.Url("/tavmix/update?os=1"));
  ASSERT_TRUE(Get(get));
  EXPECT_EQ(get.Status(), 200);
  EXPECT_EQ(Body(get), "ok");

  CHttpClient post(server.Url("/report"));
  ASSERT_TRUE(post.ParseUrl() && post.BuildPostRequest("{\"a\":\"\xE4\xB8\xAD\"}") &&
              post.Connect() && post.Exchange());
  EXPECT_EQ(post.Status(), 200);

  auto requests = server.WaitForRequests(2);
  ASSERT_EQ(requests.size(), 2u);
  const std::string common =
      " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\nPragma: no-cache\r\n"
      "Cache-Control: no-cache\r\n";
  EXPECT_EQ(requests[0], "GET /tavmix/update?os=1" + common + kAgent);
  EXPECT_EQ(requests[1], "POST /report" + common +
                             "Content-Length: 11\r\nContent-Type: charset=UTF-8\r\n" + kAgent +
                             "{\"a\":\"\xE4\xB8\xAD\"}");
  EXPECT_EQ(get.Request(), requests[0]);
}

TEST(HttpClientRequest, AHeadThatWouldNotFitItsBufferIsRefused) {
  CHttpClient http("http://127.0.0.1/" + std::string(5000, 'p'));
  ASSERT_TRUE(http.ParseUrl());
  EXPECT_FALSE(http.BuildGetRequest());
  EXPECT_FALSE(http.BuildPostRequest("x"));
  EXPECT_TRUE(http.Request().empty());
}

TEST(HttpClientExchange, HeadSplitOverSeveralReceives) {
  TestHttpServer server([](const std::string&) {
    Reply r{{"HTTP/1.1 2", "00 OK\r\nContent-Le", "ngth: 4\r\n\r", "\nab", "cd"}};
    r.pause = 30ms;
    return r;
  });
  CHttpClient http(server.Url("/"), ShortLimits());
  ASSERT_TRUE(Get(http));
  EXPECT_EQ(http.Status(), 200);
  EXPECT_EQ(http.Head(), "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n");
  EXPECT_EQ(Body(http), "abcd");
}

TEST(HttpClientExchange, RedirectsAndErrorsAreNotFollowedAndKeepTheirStatus) {
  for (int status : {302, 404, 500}) {
    TestHttpServer server([status](const std::string&) {
      return Answer(status, "moved", "Location: http://127.0.0.1:1/elsewhere\r\n");
    });
    CHttpClient http(server.Url("/"), ShortLimits());
    ASSERT_TRUE(Get(http));
    EXPECT_EQ(http.Status(), status);
    EXPECT_EQ(http.Headers().at("Location"), "http://127.0.0.1:1/elsewhere");
    EXPECT_EQ(server.Requests().size(), 1u);
  }
}

TEST(HttpClientBody, WithoutContentLengthOnlyTheBytesWithTheHeadAreKept) {
  TestHttpServer server([](const std::string&) {
    Reply r{{"HTTP/1.1 200 OK\r\n\r\nfirst", "second"}};
    r.pause = 200ms;
    return r;
  });
  CHttpClient http(server.Url("/"), ShortLimits());
  ASSERT_TRUE(Get(http));
  EXPECT_EQ(http.ContentLength(), -1);
  EXPECT_EQ(Body(http), "first");
}

TEST(HttpClientBody, LowerCaseContentLengthWithSpacesIsHonoured) {
  TestHttpServer server([](const std::string&) {
    Reply r{{"HTTP/1.1 200 OK\r\ncontent-length :  10 \r\n\r\n01234", "56789", "ignored"}};
    r.pause = 30ms;
    return r;
  });
  CHttpClient http(server.Url("/"), ShortLimits());
  ASSERT_TRUE(Get(http));
  EXPECT_EQ(http.ContentLength(), 10);
  EXPECT_EQ(Body(http), "0123456789");
}

TEST(HttpClientBody, ALyingContentLengthEndsAtTheCloseOrTheReceiveLimit) {
  // Claims more than it sends, then closes.
  {
    TestHttpServer server([](const std::string&) {
      return Reply{{"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nshort"}};
    });
    CHttpClient http(server.Url("/"), ShortLimits());
    ASSERT_TRUE(Get(http));
    EXPECT_EQ(Body(http), "short");
  }
  // Claims more than it sends and keeps the connection open.
  {
    TestHttpServer server([](const std::string&) {
      Reply r{{"HTTP/1.1 200 OK\r\nContent-Length: 2000000000\r\n\r\nshort"}};
      r.holdOpen = true;
      return r;
    });
    CHttpClient http(server.Url("/"), ShortLimits());
    ASSERT_TRUE(Get(http));
    auto start = Clock::now();
    EXPECT_EQ(Body(http), "short");
    EXPECT_LT(Clock::now() - start, 3s);
  }
}

TEST(HttpClientBody, AHugeBodyIsCutAtTheLimit) {
  const std::string big(CHttpClient::kBodyLimit + 300000, 'b');
  TestHttpServer server([&big](const std::string&) {
    return Reply{{"HTTP/1.1 200 OK\r\nContent-Length: 2147483647\r\n\r\n", big}};
  });
  CHttpClient http(server.Url("/"));
  ASSERT_TRUE(Get(http));
  EXPECT_EQ(Body(http).size(), CHttpClient::kBodyLimit);
}

TEST(HttpClientExchange, MalformedOrUnfinishedAnswersFailWithError6) {
  for (const char* answer : {"HTTP/1.1 abc OK\r\n\r\n", "HTTP/1.1 200 OK\r\nbroken\r\n\r\n",
                             "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n"}) {
    TestHttpServer server([answer](const std::string&) { return Reply{{answer}}; });
    CHttpClient http(server.Url("/"), ShortLimits());
    EXPECT_FALSE(Get(http)) << answer;
    EXPECT_EQ(http.Error(), HttpErrorResponse) << answer;
  }
}

TEST(HttpClientExchange, AnOverlongHeadEndsTheExchangeWithoutAStatus) {
  TestHttpServer server([](const std::string&) {
    Reply r{{"HTTP/1.1 200 OK\r\nX: " + std::string(CHttpClient::kHeadLimit + 10000, 'x')}};
    r.holdOpen = true;
    return r;
  });
  CHttpClient http(server.Url("/"), ShortLimits());
  ASSERT_TRUE(Get(http));
  EXPECT_EQ(http.Status(), 0);
  EXPECT_EQ(http.Error(), HttpErrorNone);
  EXPECT_GE(http.Head().size(), CHttpClient::kHeadLimit);
  EXPECT_LT(http.Head().size(), CHttpClient::kHeadLimit + CHttpClient::kReceiveChunk);
}

TEST(HttpClientExchange, ASilentServerFailsWithinTheReceiveLimit) {
  TestHttpServer server([](const std::string&) {
    Reply r;
    r.silent = true;
    return r;
  });
  CHttpClient http(server.Url("/"), ShortLimits());
  auto start = Clock::now();
  EXPECT_FALSE(Get(http));
  EXPECT_EQ(http.Error(), HttpErrorReceive);
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_LT(Clock::now() - start, 3s);
}

TEST(HttpClientConnect, UnresolvableHostAndRefusedConnection) {
  CHttpClient noHost("http:///path", ShortLimits());
  ASSERT_TRUE(noHost.ParseUrl());
  EXPECT_FALSE(noHost.Connect());
  EXPECT_EQ(noHost.Error(), HttpErrorResolve);

  const unsigned short port = test::ClosedPort();
  CHttpClient refused("http://127.0.0.1:" + std::to_string(port) + "/", ShortLimits());
  ASSERT_TRUE(refused.ParseUrl());
  EXPECT_FALSE(refused.Connect());
  EXPECT_EQ(refused.Error(), HttpErrorConnect);

  CHttpClient badPort("http://127.0.0.1:0/", ShortLimits());
  ASSERT_TRUE(badPort.ParseUrl());
  EXPECT_FALSE(badPort.Connect());
  EXPECT_EQ(badPort.Error(), HttpErrorConnect);
}

}  // namespace
