// The browser remote: its routing and origin rules alone, then the server on
// real loopback sockets as the direct session runs it, against a Beast client
// that plays the browser (and misbehaves where a test says so).
#include <cstdio>

#include "tests/net/browser_test_client.h"
#include "tests/net/direct_test_phone.h"
#include "tests/support/resident_memory.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

using namespace direct_test;
using namespace browser_test;

const char kBusy[] = "您的电脑已与其他手机建立连接。";

const std::string kToken(32, 'a');

// --- routing and origin, no I/O ---------------------------------------------

TEST(BrowserRoutes, TargetsMapToPageSocketForbiddenOrNotFound) {
  struct Case {
    std::string target;
    BrowserRoute route;
    std::string clientId;
  } cases[] = {
      {"/r/" + kToken, BrowserRoute::Page, ""},
      {"/r/" + kToken + "?from=qr", BrowserRoute::Page, ""},
      {"/ws/" + kToken + "?c=tab-1_A", BrowserRoute::Socket, "tab-1_A"},
      {"/ws/" + kToken + "?x=1&c=abc", BrowserRoute::Socket, "abc"},
      {"/ws/" + kToken + "?c=a%20b", BrowserRoute::Socket, ""},  // not a plain id
      {"/ws/" + kToken + "?c=" + std::string(65, 'x'), BrowserRoute::Socket, ""},
      {"/ws/" + kToken, BrowserRoute::Socket, ""},
      {"/r/" + kToken.substr(1), BrowserRoute::Forbidden, ""},
      {"/r/" + kToken + "a", BrowserRoute::Forbidden, ""},
      {"/r/" + std::string(31, 'a') + "b", BrowserRoute::Forbidden, ""},
      {"/r/", BrowserRoute::Forbidden, ""},
      {"/ws/" + kToken + "/", BrowserRoute::Forbidden, ""},
      {"/", BrowserRoute::NotFound, ""},
      {"/favicon.ico", BrowserRoute::NotFound, ""},
      {"/R/" + kToken, BrowserRoute::NotFound, ""},
      {"//r/" + kToken, BrowserRoute::NotFound, ""},
      {"", BrowserRoute::NotFound, ""},
  };
  for (const Case& c : cases) {
    std::string id = "unset";
    EXPECT_EQ(RouteBrowserTarget(c.target, kToken, &id), c.route) << c.target;
    if (c.route == BrowserRoute::Socket) EXPECT_EQ(id, c.clientId) << c.target;
  }
  // Without a token nothing is served.
  EXPECT_EQ(RouteBrowserTarget("/r/", "", nullptr), BrowserRoute::Forbidden);
}

TEST(BrowserRoutes, OnlyThePagesOwnOriginMayOpenTheSocket) {
  struct Case {
    const char* origin;
    const char* host;
    bool allowed;
  } cases[] = {
      {"http://192.168.1.5:41204", "192.168.1.5:41204", true},
      {"http://127.0.0.1:41204", "127.0.0.1:41204", true},
      {"http://192.168.1.5:41205", "192.168.1.5:41204", false},    // another port
      {"https://192.168.1.5:41204", "192.168.1.5:41204", false},   // another scheme
      {"http://evil.example:41204", "evil.example:41204", false},  // a name: rebinding
      {"http://evil.example", "192.168.1.5:41204", false},         // another site
      {"http://192.168.1.5:41204", "192.168.1.5:41205", false},    // not our port
      {"http://192.168.1.5", "192.168.1.5", false},                // no port
      {"null", "192.168.1.5:41204", false},                        // sandboxed frame
      {"", "192.168.1.5:41204", false},                            // no Origin at all
      {"http://192.168.1.5:41204/", "192.168.1.5:41204", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BrowserOriginAllowed(c.origin, c.host, 41204), c.allowed)
        << c.origin << " / " << c.host;
  }
}

TEST(BrowserRoutes, TokensAre128RandomBitsAndCompareWhole) {
  std::string a = NewBrowserToken();
  std::string b = NewBrowserToken();
  ASSERT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b);
  EXPECT_TRUE(TokensEqual(a, a));
  EXPECT_FALSE(TokensEqual(a.substr(0, 31), a));
  EXPECT_FALSE(TokensEqual(a + a, a));
  EXPECT_FALSE(TokensEqual("", a));
  EXPECT_FALSE(TokensEqual("", ""));
}

// --- a browser on loopback --------------------------------------------------

class BrowserRemoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DirectSessionOptions options;
    options.port = 0;
    options.networkAlive = [] { return true; };
    options.browser.enabled = true;
    options.browser.firstPort = options.browser.lastPort = 0;
    options.browser.host = "127.0.0.1";
    options.browser.maxConnections = 16;
    options.browser.requestLimit = 500ms;
    options.browser.writeLimit = 500ms;
    options.browser.maxQueuedBytes = 256 * 1024;
    Create(options);
  }
  void TearDown() override {
    if (!session) return;
    session->SetNotify(nullptr);
    session->Release();
  }

  void Create(const DirectSessionOptions& options) {
    session = new CDirectSession(options);
    session->AddRef();
    session->SetNotify(&recorder);
    ASSERT_TRUE(session->Start(0));
    std::string address = session->BrowserAddress();
    ASSERT_EQ(address.rfind("http://127.0.0.1:", 0), 0u) << address;
    token = address.substr(address.rfind('/') + 1);
    port = static_cast<std::uint16_t>(std::stoi(address.substr(17)));
  }

  std::string Page() const { return "/r/" + token; }

  // A browser that has greeted and is the session's phone.
  std::unique_ptr<Browser> Attach(const std::string& id) {
    auto b = std::make_unique<Browser>(port);
    EXPECT_EQ(b->OpenAs(token, id), 101);
    std::size_t before = recorder.Count(Event::Message);
    EXPECT_TRUE(b->Send(R"({"msg":"hello","note":1})"));
    EXPECT_TRUE(recorder.WaitFor(Event::Message, before + 1));
    return b;
  }

  // A state message from the controller's side reaches this browser.
  bool Reaches(Browser& b) {
    JsonPtr state = MakeMessage(u"state");
    if (!session->Send(state, 0)) return false;
    std::string text;
    return b.Receive(text) && Member(text, u"msg") == "state";
  }

  Recorder recorder;
  CDirectSession* session = nullptr;
  std::string token;
  std::uint16_t port = 0;
};

TEST_F(BrowserRemoteTest, PageOnlyWithTheRightTokenAndNothingElse) {
  HttpAnswer page = Exchange(port, Get(Page(), port));
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<html"), std::string::npos);
  EXPECT_NE(page.headers["Content-Security-Policy"].find("default-src 'none'"), std::string::npos);
  EXPECT_EQ(page.headers["Referrer-Policy"], "no-referrer");
  // One document: its style and scripts are in line, the only kind the policy
  // lets the browser run, and none is fetched from beside it.
  EXPECT_NE(page.body.find("<style>"), std::string::npos);
  EXPECT_NE(page.body.find("<script>"), std::string::npos);
  EXPECT_EQ(page.body.find("<script src="), std::string::npos);
  EXPECT_EQ(page.body.find("rel=\"stylesheet\""), std::string::npos);

  HttpAnswer head = Exchange(port, Get(Page(), port, "", "HEAD"));
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.headers[http::field::content_length], std::to_string(page.body.size()));

  struct Case {
    std::string request;
    int status;
  } cases[] = {
      {Get("/r/" + std::string(32, '0'), port), 403},
      {Get("/r/" + token.substr(0, 16), port), 403},
      {Get("/ws/" + std::string(32, '0'), port), 403},
      {Get("/", port), 404},
      {Get("/etc/passwd", port), 404},
      {Get("/r/../../etc/passwd", port), 403},
      {Get("/web/remote.html", port), 404},
      {Get("/web/remote.css", port), 404},
      {Get(Page() + "/remote_link.js", port), 404},
      {Get("/ws/" + token, port), 426},  // the socket's path, but no upgrade
      {Get(Page(), port, "", "DELETE"), 405},
      {Get(Page(), port, "Content-Length: 5\r\n", "POST") + "hello", 413},  // no body accepted
      {"GARBAGE\r\n\r\n", 400},
      {Get(Page(), port, "X-Big: " + std::string(9000, 'x') + "\r\n"), 431},  // head too large
  };
  for (const Case& c : cases) {
    HttpAnswer a = Exchange(port, c.request);
    EXPECT_EQ(a.status, c.status) << c.request.substr(0, 60);
    // Refusals reveal nothing: neither the token nor the page.
    EXPECT_EQ(a.body.find(token), std::string::npos);
    EXPECT_EQ(a.body.find("<html"), std::string::npos);
  }
  EXPECT_EQ(recorder.Count(Event::Message), 0u);
}

TEST_F(BrowserRemoteTest, UpgradeNeedsTheTokenAndThePagesOrigin) {
  const std::string own = "http://127.0.0.1:" + std::to_string(port);
  struct Case {
    std::string target;
    std::string origin;
    int status;
  } cases[] = {
      {"/ws/" + std::string(32, '0'), own, 403},
      {"/ws/" + token, "http://evil.example", 403},
      {"/ws/" + token, "http://localhost:" + std::to_string(port), 403},
      {"/ws/" + token, "", 403},
      {"/r/" + token, own, 200},  // the page's path does not upgrade
      {"/nothing", own, 404},
      {"/ws/" + token, own, 101},
  };
  for (const Case& c : cases) {
    Browser b(port);
    EXPECT_EQ(b.Open(c.target, c.origin), c.status) << c.target << " from " << c.origin;
  }
  // A request that says upgrade but is no WebSocket handshake.
  HttpAnswer a =
      Exchange(port, Get("/ws/" + token, port,
                         "Origin: " + own + "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"));
  EXPECT_EQ(a.status, 400);
  EXPECT_EQ(recorder.Count(Event::Message), 0u);
}

TEST_F(BrowserRemoteTest, BrowserIsTheSessionsPhoneBothWays) {
  auto b = Attach("tab1");
  EXPECT_EQ(Member(recorder.MessageText(0), u"msg"), "hello");
  EXPECT_EQ(recorder.Events().back().from, Direct);
  EXPECT_TRUE(session->IsConnected());

  // The PC's message arrives as JSON text, without the frame header.
  JsonPtr note = JsonNew(JsonKind::Object);
  note.Append(JsonNewString(u"msg", u"note"));
  note.Append(JsonNewString(u"note", u"Grüße, 你好"));
  ASSERT_TRUE(session->Send(note, 7));
  std::string text;
  ASSERT_TRUE(b->Receive(text));
  EXPECT_EQ(text, R"({"msg":"note","note":"Grüße, 你好"})");
  ASSERT_TRUE(recorder.WaitFor(Event::Sent));
  EXPECT_EQ(recorder.Events().back().cookie, 7);
  EXPECT_TRUE(recorder.Events().back().ok);

  // Text that is no phone message is dropped; the connection stays.
  for (const char* junk : {"not json", "[1,2]", R"({"x":1})", R"({"msg":5})"}) {
    ASSERT_TRUE(b->Send(junk));
  }
  ASSERT_TRUE(b->Send(R"({"msg":"next"})"));
  EXPECT_EQ(Member(recorder.MessageText(1), u"msg"), "next");
  EXPECT_EQ(recorder.Count(Event::Message), 2u);

  // DropPeer closes it; the session waits for a phone again.
  session->DropPeer();
  EXPECT_TRUE(b->WaitClosed());
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(recorder.Count(Event::PeerLost), 0u);
}

TEST_F(BrowserRemoteTest, OnePhoneAtATimeAcrossBrowsersAndAppPhones) {
  auto first = Attach("tab1");

  Browser other(port);
  ASSERT_EQ(other.OpenAs(token, "tab2"), 101);
  TcpPhone app(session->TcpPort());
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(other.Send(R"({"msg":"next"})"));
    std::string text;
    ASSERT_TRUE(other.Receive(text));
    EXPECT_EQ(Member(text, u"error"), kBusy);
    // An app phone, even from the browser's own address, is another phone.
    app.SendJson(R"({"msg":"next"})");
    ASSERT_TRUE(app.Receive(text));
    EXPECT_EQ(Member(text, u"error"), kBusy);
  }
  EXPECT_EQ(recorder.Count(Event::Message), 1u);
  EXPECT_TRUE(Reaches(*first));

  // The same page reconnecting takes its place over, without a peer loss;
  // the replaced one is told so, and does not take the place back.
  auto again = Attach("tab1");
  EXPECT_TRUE(first->WaitClosed());
  EXPECT_EQ(first->CloseReason().code, kBrowserReplacedCode);
  EXPECT_TRUE(Reaches(*again));
  EXPECT_EQ(recorder.Count(Event::PeerLost), 0u);

  // A page without an id is never taken for another one.
  Browser anonymous(port);
  ASSERT_EQ(anonymous.OpenAs(token, ""), 101);
  ASSERT_TRUE(anonymous.Send(R"({"msg":"hello"})"));
  std::string text;
  ASSERT_TRUE(anonymous.Receive(text));
  EXPECT_EQ(Member(text, u"error"), kBusy);

  // Once the phone's socket ends, the controller hears of it and another
  // browser may attach.
  again->Stream().next_layer().close();
  ASSERT_TRUE(recorder.WaitFor(Event::PeerLost));
  EXPECT_FALSE(session->IsConnected());
  auto next = Attach("tab2");
  EXPECT_TRUE(Reaches(*next));
}

// Each bad frame ends the connection that sent it, and only that one.
TEST_F(BrowserRemoteTest, BadFramesEndTheirOwnConnectionOnly) {
  struct Case {
    const char* name;
    std::string data;
    bool text;
    websocket::close_code code;
  } cases[] = {
      {"oversized", "{\"msg\":\"" + std::string(kBrowserMaxMessage, 'x') + "\"}", true,
       websocket::close_code::too_big},
      {"binary", R"({"msg":"next"})", false, websocket::close_code::unknown_data},
      {"invalid UTF-8", "{\"msg\":\"\xff\xfe\"}", true, websocket::close_code::bad_payload},
  };
  auto good = Attach("good");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Browser bad(port);
    ASSERT_EQ(bad.OpenAs(token, "bad"), 101);
    ASSERT_TRUE(bad.Send(c.data, c.text));
    EXPECT_TRUE(bad.WaitClosed());
    EXPECT_EQ(bad.CloseReason().code, c.code);
    EXPECT_TRUE(Reaches(*good));
  }
  EXPECT_EQ(recorder.Count(Event::Message), 1u);
  EXPECT_EQ(recorder.Count(Event::PeerLost), 0u);

  // From the attached phone itself, the same ends it and frees the session.
  ASSERT_TRUE(good->Send(std::string(1, '\x80'), false));
  EXPECT_TRUE(good->WaitClosed());
  EXPECT_TRUE(recorder.WaitFor(Event::PeerLost));
  EXPECT_FALSE(session->IsConnected());
}

TEST_F(BrowserRemoteTest, AThousandIdleConnectionsDoNotLockThePhoneOut) {
#ifndef _WIN32
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_cur < 2400 && files.rlim_max >= 2400) {
    files.rlim_cur = 2400;
    setrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NOFILE, &files);
  }
  if (files.rlim_cur < 2400) GTEST_SKIP() << "needs 2400 descriptors";
#endif
  const long before = ResidentKib();
  asio::io_context io;
  std::vector<std::unique_ptr<asio::ip::tcp::socket>> idle;
  // From another device: one address alone may hold only a few places.
  const char* from = "127.0.0.2";
  std::size_t refusedAtConnect = 0;
  for (int i = 0; i < 1000; ++i) {
    auto s = std::make_unique<asio::ip::tcp::socket>(io);
    error_code ec;
    s->open(asio::ip::tcp::v4(), ec);
    if (!ec) s->bind({asio::ip::make_address(from), 0}, ec);
    if (!ec) s->connect({Loopback(), port}, ec);
    // Over the limits the server resets a connection at once, which the
    // connect itself may already report.
    ASSERT_TRUE(!ec || ec == asio::error::connection_reset || ec == asio::error::connection_refused)
        << i << ": " << ec.message();
    if (ec) {
      ++refusedAtConnect;
      continue;
    }
    // Half of them start a request and never finish it.
    if (i % 2) asio::write(*s, asio::buffer(std::string("GET /r/")), ec);
    idle.push_back(std::move(s));
  }
  // The phone still gets the page and attaches.
  HttpAnswer page = Exchange(port, Get(Page(), port));
  EXPECT_EQ(page.status, 200);
  auto phone = Attach("phone");
  EXPECT_TRUE(Reaches(*phone));

  // The server held no more than its limits at any time: all but the first
  // few of the idle sockets were refused at once, and those run out of time.
  // Once the request limit has passed every one of them is closed.
  std::size_t closed = 0;
  std::vector<bool> seen(idle.size(), false);
  Clock::time_point end = Clock::now() + 3s;
  while (closed < idle.size() && Clock::now() < end) {
    for (std::size_t i = 0; i < idle.size(); ++i) {
      if (seen[i]) continue;
      idle[i]->non_blocking(true);
      char byte;
      error_code ec;
      idle[i]->read_some(asio::buffer(&byte, 1), ec);
      if (ec == asio::error::eof || ec == asio::error::connection_reset) {
        seen[i] = true;
        ++closed;
      }
    }
    if (closed < idle.size()) std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(closed, idle.size());
  EXPECT_EQ(closed + refusedAtConnect, 1000u);
  EXPECT_TRUE(Reaches(*phone));
  // Both ends live in this process: the growth includes the 1000 client
  // sockets of the test itself.
  RecordProperty("resident_growth_kib", std::to_string(ResidentKib() - before));
  std::printf("resident memory growth with 1000 idle connections: %ld KiB\n",
              ResidentKib() - before);
}

TEST_F(BrowserRemoteTest, ARequestThatTricklesInIsCutOff) {
  asio::io_context io;
  beast::tcp_stream s(io);
  ASSERT_FALSE(RunFor(io, s, 2s, [&](auto h) { s.async_connect({Loopback(), port}, h); }));
  std::string request = Get(Page(), port);
  Clock::time_point start = Clock::now();
  bool cut = false;
  for (char c : request) {
    error_code ec;
    asio::write(s.socket(), asio::buffer(&c, 1), ec);
    if (ec) {
      cut = true;
      break;
    }
    std::this_thread::sleep_for(50ms);
    if (Clock::now() - start > 3s) break;
  }
  if (!cut) {
    // Everything was written before the cut: the answer must not come.
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    cut = RunFor(io, s, 2s, [&](auto h) { http::async_read(s, buffer, response, h); }) !=
          asio::error::timed_out;
  }
  EXPECT_TRUE(cut);
  EXPECT_LT(Clock::now() - start, 3s);
}

TEST_F(BrowserRemoteTest, APhoneThatStopsReadingIsDroppedAndMemoryStaysBounded) {
  auto slow = Attach("slow");
  // It never reads from here on; the PC keeps sending notes.
  JsonPtr note = JsonNew(JsonKind::Object);
  note.Append(JsonNewString(u"msg", u"note"));
  note.Append(JsonNewString(u"note", std::u16string(16 * 1024, u'n')));
  Clock::time_point end = Clock::now() + 5s;
  int refused = 0;
  while (recorder.Count(Event::PeerLost) == 0 && Clock::now() < end) {
    if (!session->Send(note, 0)) ++refused;
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(recorder.Count(Event::PeerLost), 1u);
  EXPECT_FALSE(session->IsConnected());
  // Sends the session could not deliver were reported as failed.
  auto events = recorder.Events();
  bool failedSend = false;
  for (const Event& e : events) failedSend |= e.kind == Event::Sent && !e.ok;
  EXPECT_TRUE(failedSend || refused > 0);

  auto good = Attach("good");
  EXPECT_TRUE(Reaches(*good));
}

TEST_F(BrowserRemoteTest, StopClosesBrowsersAndStartServesTheSameAddressAgain) {
  auto b = Attach("tab");
  const std::string address = session->BrowserAddress();
  ASSERT_TRUE(session->Stop(0));
  EXPECT_TRUE(b->WaitClosed());
  EXPECT_EQ(session->BrowserAddress(), "");
  EXPECT_EQ(Exchange(port, Get(Page(), port)).status, 0);
  ASSERT_TRUE(session->Start(0));
  EXPECT_EQ(session->BrowserAddress(), address);
  EXPECT_EQ(Exchange(port, Get(Page(), port)).status, 200);
}

TEST(BrowserRemotePorts, TakesTheNextFreePortOfTheRangeAndANewTokenPerSession) {
  // Two neighbouring free ports, the first of them then held by someone else.
  asio::io_context io;
  asio::ip::tcp::acceptor holder(io);
  std::uint16_t first = 0;
  for (int attempt = 0; attempt < 20 && !first; ++attempt) {
    asio::ip::tcp::acceptor probe(io, {asio::ip::tcp::v4(), 0});
    std::uint16_t p = probe.local_endpoint().port();
    if (p >= 65534) continue;
    error_code ec;
    asio::ip::tcp::acceptor next(io);
    next.open(asio::ip::tcp::v4());
    next.bind({asio::ip::tcp::v4(), static_cast<std::uint16_t>(p + 1)}, ec);
    if (ec) continue;
    next.close();
    probe.close();
    holder.open(asio::ip::tcp::v4());
    holder.bind({asio::ip::tcp::v4(), p}, ec);
    if (ec) {
      holder.close();
      continue;
    }
    holder.listen();
    first = p;
  }
  ASSERT_NE(first, 0);

  DirectSessionOptions options;
  options.port = 0;
  options.networkAlive = [] { return true; };
  options.browser.enabled = true;
  options.browser.firstPort = first;
  options.browser.lastPort = static_cast<std::uint16_t>(first + 1);
  options.browser.host = "127.0.0.1";
  CDirectSession* a = new CDirectSession(options);
  a->AddRef();
  ASSERT_TRUE(a->Start(0));
  std::string address = a->BrowserAddress();
  EXPECT_NE(address.find(":" + std::to_string(first + 1) + "/r/"), std::string::npos) << address;

  // With every port of the range taken the browser remote is not offered,
  // and the app phones' transports start all the same.
  CDirectSession* b = new CDirectSession(options);
  b->AddRef();
  EXPECT_TRUE(b->Start(0));
  EXPECT_EQ(b->BrowserAddress(), "");
  EXPECT_NE(b->TcpPort(), 0);
  b->Release();

  options.browser.firstPort = options.browser.lastPort = 0;
  CDirectSession* c = new CDirectSession(options);
  c->AddRef();
  ASSERT_TRUE(c->Start(0));
  std::string other = c->BrowserAddress();
  EXPECT_NE(other.substr(other.rfind('/')), address.substr(address.rfind('/')));
  c->Release();
  a->Release();
}

}  // namespace
