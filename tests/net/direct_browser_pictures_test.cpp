// The presenter view's network side: which picture addresses exist, what
// the server answers for each over real loopback HTTP (with a source that
// answers, refuses, fails or never answers), how many requests may wait, and
// which state text reaches which kind of phone on the direct session.
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "tests/net/browser_test_client.h"
#include "tests/net/direct_test_phone.h"

namespace {

using namespace browser_test;
using namespace direct_test;

const std::string kToken(32, 'f');
const std::string kRev = "k3j9x0a1b2";

TEST(BrowserRoutes, PictureAddressesNeedTheTokenAPlainAddressAndOneWidth) {
  const std::string base = "/r/" + kToken + "/slide/";
  struct Case {
    std::string target;
    BrowserRoute route;
    std::int32_t index = 0;
    std::int32_t width = 0;
  } cases[] = {
      {base + kRev + "/3?w=320", BrowserRoute::Picture, 3, 320},
      {base + kRev + "/12?w=321", BrowserRoute::Picture, 12, 336},  // up to the step
      {base + kRev + "/1?w=0", BrowserRoute::Picture, 1, 16},       // clamped up
      {base + kRev + "/1?w=15", BrowserRoute::Picture, 1, 16},
      {base + kRev + "/1?w=2047", BrowserRoute::Picture, 1, 2048},
      {base + kRev + "/1?w=99999999999999999999", BrowserRoute::Picture, 1, 2048},  // clamped
      {base + kRev + "/007?x=1&w=640&y", BrowserRoute::Picture, 7, 640},
      {base + kRev + "/1", BrowserRoute::BadRequest},
      {base + kRev + "/1?w=", BrowserRoute::BadRequest},
      {base + kRev + "/1?w", BrowserRoute::BadRequest},
      {base + kRev + "/1?w=-5", BrowserRoute::BadRequest},
      {base + kRev + "/1?w=+5", BrowserRoute::BadRequest},
      {base + kRev + "/1?w=3.5", BrowserRoute::BadRequest},
      {base + kRev + "/1?w=%33", BrowserRoute::BadRequest},
      {base + kRev + "/1?w=320&w=640", BrowserRoute::BadRequest},  // which one?
      {base + kRev + "/0?w=320", BrowserRoute::NotFound},
      {base + kRev + "/-1?w=320", BrowserRoute::NotFound},
      {base + kRev + "/1x?w=320", BrowserRoute::NotFound},
      {base + kRev + "/1234567890?w=320", BrowserRoute::NotFound},  // beyond any deck
      {base + kRev + "/3/?w=320", BrowserRoute::NotFound},
      {base + kRev + "?w=320", BrowserRoute::NotFound},
      {base + "K3J9X0A1B2/3?w=320", BrowserRoute::NotFound},  // not a revision's characters
      {base + "k3j9x0a1b/3?w=320", BrowserRoute::NotFound},   // nor its length
      {base + "../../3?w=320", BrowserRoute::NotFound},
      {"/r/" + kToken + "/", BrowserRoute::NotFound},
      {"/r/" + kToken + "/slides/" + kRev + "/3?w=320", BrowserRoute::NotFound},
      {"/r/" + kToken.substr(1) + "/slide/" + kRev + "/3?w=320", BrowserRoute::Forbidden},
      {"/r//slide/" + kRev + "/3?w=320", BrowserRoute::Forbidden},
      {"/r/" + std::string(32, '0') + "/slide/" + kRev + "/3?w=x", BrowserRoute::Forbidden},
  };
  for (const Case& c : cases) {
    SlidePictureRequest picture;
    EXPECT_EQ(RouteBrowserTarget(c.target, kToken, nullptr, &picture), c.route) << c.target;
    if (c.route != BrowserRoute::Picture) continue;
    EXPECT_EQ(picture.revision, kRev) << c.target;
    EXPECT_EQ(picture.index, c.index) << c.target;
    EXPECT_EQ(picture.width, c.width) << c.target;
  }
}

// A picture source whose answer depends on the slide: 1 a picture, 2 none,
// 3 unavailable (at once), 4 a picture from another thread after a while,
// anything else never answered.
class FakePictures : public ISlidePictureSource {
 public:
  static constexpr char kPng[] = "\x89PNG\r\n\x1a\nfake picture";

  void GetSlidePicture(const std::string& revision, std::int32_t index, std::int32_t width,
                       Answer answer) override {
    {
      std::lock_guard<std::mutex> lock(lock_);
      asked_.emplace_back(revision, index, width);
    }
    auto png = std::make_shared<const std::string>(kPng, sizeof kPng - 1);
    switch (index) {
      case 1:
        return answer(Status::Ok, png);
      case 2:
        return answer(Status::NotFound, nullptr);
      case 3:
        return answer(Status::Unavailable, nullptr);
      case 4:
        std::thread([answer, png] {
          std::this_thread::sleep_for(50ms);
          answer(Status::Ok, png);
        }).detach();
        return;
      default: {
        std::lock_guard<std::mutex> lock(lock_);
        held_.push_back(std::move(answer));
      }
    }
  }

  std::size_t Asked() {
    std::lock_guard<std::mutex> lock(lock_);
    return asked_.size();
  }
  std::tuple<std::string, std::int32_t, std::int32_t> Last() {
    std::lock_guard<std::mutex> lock(lock_);
    return asked_.back();
  }
  // Answers every request held back, as a cache would once its export ends.
  void Release() {
    std::vector<Answer> held;
    {
      std::lock_guard<std::mutex> lock(lock_);
      held.swap(held_);
    }
    for (Answer& a : held) a(Status::Ok, std::make_shared<const std::string>(kPng));
  }

 private:
  std::mutex lock_;
  std::vector<std::tuple<std::string, std::int32_t, std::int32_t>> asked_;
  std::vector<Answer> held_;
};

class NoPhones : public IBrowserPhoneHost {
 public:
  void OnBrowserMessage(const BrowserPhonePtr&, JsonPtr&) override {}
  void OnBrowserGone(const BrowserPhonePtr&) override {}
};

class PictureServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BrowserRemoteOptions options;
    options.enabled = true;
    options.firstPort = options.lastPort = 0;
    options.host = "127.0.0.1";
    options.pictureWaitLimit = 400ms;
    options.maxPictureWaits = 3;
    remote_ = std::make_unique<CBrowserRemote>(io_, host_, options);
    ASSERT_TRUE(remote_->Open());
    port = remote_->Port();
    token = remote_->Token();
    remote_->SetPictureSource(pictures);
    work_.emplace(io_.get_executor());
    thread_ = std::thread([this] { io_.run(); });
  }
  void TearDown() override {
    std::promise<void> closed;
    asio::post(io_, [&] {
      remote_->Close();
      closed.set_value();
    });
    closed.get_future().wait_for(5s);
    work_.reset();
    io_.stop();
    thread_.join();
    remote_.reset();
    pictures->Release();  // answers after the server went are dropped
  }

  std::string Picture(int index, const std::string& query = "?w=320") const {
    return "/r/" + token + "/slide/" + kRev + "/" + std::to_string(index) + query;
  }

  // Requests in flight on threads of their own.
  std::future<HttpAnswer> Later(const std::string& target) {
    return std::async(std::launch::async,
                      [this, target] { return Exchange(port, Get(target, port)); });
  }

  bool WaitAsked(std::size_t n) {
    for (Clock::time_point end = Clock::now() + 3s; Clock::now() < end;) {
      if (pictures->Asked() >= n) return true;
      std::this_thread::sleep_for(2ms);
    }
    return false;
  }

  std::shared_ptr<FakePictures> pictures = std::make_shared<FakePictures>();
  std::uint16_t port = 0;
  std::string token;

 private:
  NoPhones host_;
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::thread thread_;
  std::unique_ptr<CBrowserRemote> remote_;
};

TEST_F(PictureServerTest, EachAnswerOfTheSourceHasItsStatusAndHeaders) {
  struct Case {
    std::string request;
    int status;
    const char* retryAfter;  // null: no such header
  } cases[] = {
      {Get(Picture(1), port), 200, nullptr},
      {Get(Picture(4), port), 200, nullptr},  // answered later, on another thread
      {Get(Picture(2), port), 404, nullptr},
      {Get(Picture(3), port), 503, "5"},
      {Get(Picture(9), port), 503, "5"},  // never answered: the wait's limit
      {Get(Picture(1, "?w=abc"), port), 400, nullptr},
      {Get(Picture(1, ""), port), 400, nullptr},
      {Get(Picture(0), port), 404, nullptr},
      {Get("/r/" + std::string(32, '0') + "/slide/" + kRev + "/1?w=320", port), 403, nullptr},
      {Get(Picture(1), port, "Content-Length: 3\r\n", "POST") + "abc", 413, nullptr},
      {Get(Picture(1), port, "", "DELETE"), 405, nullptr},
  };
  for (const Case& c : cases) {
    Clock::time_point start = Clock::now();
    HttpAnswer a = Exchange(port, c.request);
    EXPECT_EQ(a.status, c.status) << c.request.substr(0, 90);
    EXPECT_LT(Clock::now() - start, 2s);
    if (c.retryAfter) {
      EXPECT_EQ(a.headers[http::field::retry_after], c.retryAfter);
    } else {
      EXPECT_EQ(a.headers.count(http::field::retry_after), 0u);
    }
    if (c.status == 200) {
      EXPECT_EQ(a.body, FakePictures::kPng);
      EXPECT_EQ(a.headers[http::field::content_type], "image/png");
      EXPECT_EQ(a.headers[http::field::cache_control], "private, max-age=31536000, immutable");
      EXPECT_EQ(a.headers["X-Content-Type-Options"], "nosniff");
    } else {
      EXPECT_EQ(a.headers[http::field::cache_control], "no-store");
      EXPECT_EQ(a.body.find("PNG"), std::string::npos);
    }
  }
  // A HEAD gets the picture's length without the picture.
  HttpAnswer head = Exchange(port, Get(Picture(1), port, "", "HEAD"));
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.headers[http::field::content_length],
            std::to_string(sizeof FakePictures::kPng - 1));
  // The source is asked at the served width only.
  Exchange(port, Get(Picture(1, "?w=17"), port));
  EXPECT_EQ(pictures->Last(), std::make_tuple(kRev, 1, 32));
}

TEST_F(PictureServerTest, WaitingRequestsAreBoundedAndTheirPlacesComeBack) {
  // Three wait (the limit here); a fourth is refused at once.
  std::vector<std::future<HttpAnswer>> waiting;
  for (int i = 0; i < 3; ++i) waiting.push_back(Later(Picture(10 + i)));
  ASSERT_TRUE(WaitAsked(3));
  Clock::time_point start = Clock::now();
  HttpAnswer refused = Exchange(port, Get(Picture(1), port));
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.headers[http::field::retry_after], "5");
  EXPECT_LT(Clock::now() - start, 300ms);
  EXPECT_EQ(pictures->Asked(), 3u);

  // The held answers arrive: the waiting requests get their pictures, and
  // the places are free again.
  pictures->Release();
  for (auto& w : waiting) {
    ASSERT_EQ(w.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(w.get().status, 200);
  }
  EXPECT_EQ(Exchange(port, Get(Picture(1), port)).status, 200);

  // Requests that time out give their places back too; so do those whose
  // phone left before the answer came.
  waiting.clear();
  for (int i = 0; i < 3; ++i) waiting.push_back(Later(Picture(20 + i)));
  for (auto& w : waiting) EXPECT_EQ(w.get().status, 503);
  {
    asio::io_context io;
    beast::tcp_stream gone(io);
    ASSERT_FALSE(ConnectFrom(io, gone, port, "127.0.0.1"));
    std::string request = Get(Picture(30), port);
    std::size_t before = pictures->Asked();
    asio::write(gone.socket(), asio::buffer(request));
    ASSERT_TRUE(WaitAsked(before + 1));
  }
  pictures->Release();
  // Three held requests again: had any place leaked, one would hear 503.
  std::size_t before = pictures->Asked();
  waiting.clear();
  for (int i = 0; i < 3; ++i) waiting.push_back(Later(Picture(40 + i)));
  ASSERT_TRUE(WaitAsked(before + 3));
  pictures->Release();
  for (auto& w : waiting) EXPECT_EQ(w.get().status, 200);
}

TEST_F(PictureServerTest, ThePageMayShowItsOwnPictures) {
  HttpAnswer page = Exchange(port, Get("/r/" + token, port));
  ASSERT_EQ(page.status, 200);
  EXPECT_NE(page.headers["Content-Security-Policy"].find("img-src 'self' data:;"),
            std::string::npos);
}

// On the direct session the browser hears the state text meant for
// browsers; an app phone hears the app's, byte for byte, and nothing of a
// message meant for browsers alone.
TEST(DirectSessionByKind, EachKindOfPhoneHearsItsOwnText) {
  DirectSessionOptions options;
  options.port = 0;
  options.networkAlive = [] { return true; };
  options.browser.enabled = true;
  options.browser.firstPort = options.browser.lastPort = 0;
  options.browser.host = "127.0.0.1";
  Recorder recorder;
  auto* session = new CDirectSession(options);
  session->AddRef();
  session->SetNotify(&recorder);
  ASSERT_TRUE(session->Start(0));
  std::string address = session->BrowserAddress();
  std::string token = address.substr(address.rfind('/') + 1);
  auto port = static_cast<std::uint16_t>(std::stoi(address.substr(17)));

  const std::string appText = R"({"msg":"state","state":3})";
  const std::string browserText =
      R"({"msg":"state","state":3,"slide":{"index":3,"count":12,"aspect":1.7778,)"
      R"("revision":"k3j9x0a1b2","images":true}})";
  auto send = [&](bool toApp) {
    std::u16string wideApp, wideBrowser;
    ToWide(appText, 65001, wideApp);
    ToWide(browserText, 65001, wideBrowser);
    JsonPtr app = toApp ? JsonParse(wideApp) : JsonPtr();
    JsonPtr browser = JsonParse(wideBrowser);
    return session->SendByKind(app, browser, 0);
  };

  {
    TcpPhone phone(session->TcpPort());
    phone.SendJson(R"({"msg":"hello"})");
    ASSERT_TRUE(recorder.WaitFor(Event::Message, 1));
    std::string text;
    EXPECT_FALSE(send(false) && phone.Receive(text, 300ms)) << text;
    ASSERT_TRUE(send(true));
    ASSERT_TRUE(phone.Receive(text));
    EXPECT_EQ(text, appText);
    session->DropPeer();
  }
  {
    Browser browser(port);
    ASSERT_EQ(browser.OpenAs(token, "tab"), 101);
    ASSERT_TRUE(browser.Send(R"({"msg":"hello"})"));
    ASSERT_TRUE(recorder.WaitFor(Event::Message, 2));
    for (bool toApp : {false, true}) {
      ASSERT_TRUE(send(toApp));
      std::string text;
      ASSERT_TRUE(browser.Receive(text));
      EXPECT_EQ(text, browserText);
    }
  }
  session->SetNotify(nullptr);
  session->Release();
}

}  // namespace
