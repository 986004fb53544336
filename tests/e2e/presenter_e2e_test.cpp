// The presenter view over the whole road: a browser on the direct session
// follows the simulated application's show through its "state" messages,
// fetches the slides' pictures over HTTP (exported by the application, kept
// by the PC), and jumps to a slide; an app phone beside it hears nothing new.
#include <cmath>
#include <cstdint>
#include <string>

#include "tests/e2e/support/e2e_fixture.h"
#include "tests/net/browser_test_client.h"

namespace e2e {
namespace {

struct Slide {
  int index = -1;
  int count = 0;
  double aspect = 0;
  std::string revision;
  bool images = false;
};

// The "slide" member of a browser's state message; index -1 when absent.
Slide SlideOf(const std::string& text) {
  Slide s;
  std::u16string wide;
  if (!ToWide(text, 65001, wide)) return s;
  JsonPtr m;
  try {
    m = JsonParse(wide);
  } catch (...) {
    return s;
  }
  JsonPtr* slide = m.Find(u"slide");
  if (!slide || slide->Kind() != JsonKind::Object) return s;
  auto member = [&](const char16_t* name) {
    JsonPtr* v = slide->Find(name);
    return v ? *v : JsonPtr();
  };
  s.index = static_cast<int>(member(u"index").AsInt64());
  s.count = static_cast<int>(member(u"count").AsInt64());
  s.aspect = member(u"aspect").AsDouble();
  std::u16string revision = member(u"revision").AsString();
  s.revision.assign(revision.begin(), revision.end());
  s.images = member(u"images").AsDouble() != 0;
  return s;
}

// Width and height from a PNG's header; zeros when it is no PNG.
std::pair<std::uint32_t, std::uint32_t> PngSize(const std::string& png) {
  if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
  auto word = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(png[at + i]);
    return v;
  };
  return {word(16), word(20)};
}

class PresenterE2eTest : public E2eTest {
 protected:
  PcOptions Options() override {
    PcOptions o;
    o.browser = true;
    return o;
  }

  // Opens the browser phone and greets; false when that failed.
  bool OpenBrowser() {
    std::string address = pc_->BrowserAddress();
    if (address.empty()) return false;
    token_ = address.substr(address.rfind('/') + 1);
    port_ = static_cast<std::uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
    browser_ = std::make_unique<browser_test::Browser>(port_);
    return browser_->OpenAs(token_, "tab") == 101 && browser_->Send(R"({"msg":"hello"})");
  }

  // Reads the browser's messages until a state at slide `index` arrives.
  Slide WaitSlide(int index) {
    auto end = std::chrono::steady_clock::now() + kAnswer;
    std::string text;
    while (std::chrono::steady_clock::now() < end && browser_->Receive(text, 500ms)) {
      if (text.find(R"("msg":"state")") == std::string::npos) continue;
      Slide s = SlideOf(text);
      if (s.index == index) return s;
    }
    return Slide();
  }

  browser_test::HttpAnswer Picture(const std::string& revision, int index, int width) {
    std::string target = "/r/" + token_ + "/slide/" + revision + "/" + std::to_string(index) +
                         "?w=" + std::to_string(width);
    return browser_test::Exchange(port_, browser_test::Get(target, port_));
  }

  std::unique_ptr<browser_test::Browser> browser_;
  std::string token_;
  std::uint16_t port_ = 0;
};

TEST_F(PresenterE2eTest, ABrowserFollowsTheShowFetchesItsPicturesAndJumps) {
  ASSERT_TRUE(OpenBrowser());
  ASSERT_TRUE(pc_->WaitState(State::Connected, kAnswer));
  ASSERT_TRUE(browser_->Send(R"({"msg":"start"})"));
  Slide first = WaitSlide(1);
  ASSERT_EQ(first.index, 1);
  EXPECT_EQ(first.count, 5);
  EXPECT_TRUE(first.images);
  ASSERT_EQ(first.revision.size(), 10u);
  ASSERT_GT(first.aspect, 1.0);

  // The picture of the slide on show, at the served width and the slide's
  // proportions; asked again, it comes from the PC's cache.
  browser_test::HttpAnswer a = Picture(first.revision, 1, 300);  // served at 304
  ASSERT_EQ(a.status, 200) << a.body;
  EXPECT_EQ(a.headers[boost::beast::http::field::content_type], "image/png");
  auto size = PngSize(a.body);
  EXPECT_EQ(size.first, 304u);
  EXPECT_NEAR(size.second, 304 / first.aspect, 1.0);
  EXPECT_EQ(Picture(first.revision, 1, 300).body, a.body);

  // "next": a fresh state at slide 2 without asking, and its picture (which
  // the prefetch may already hold).
  ASSERT_TRUE(browser_->Send(R"({"msg":"next"})"));
  Slide second = WaitSlide(2);
  ASSERT_EQ(second.index, 2);
  EXPECT_EQ(second.revision, first.revision);
  browser_test::HttpAnswer b = Picture(second.revision, 2, 304);
  ASSERT_EQ(b.status, 200);
  EXPECT_NE(b.body, a.body);

  // A jump from the page, and addresses outside the deck.
  ASSERT_TRUE(browser_->Send(R"({"msg":"goto","slide":4})"));
  EXPECT_EQ(WaitSlide(4).index, 4);
  EXPECT_EQ(pc_->App()->Snapshot().currentSlide, 4);
  EXPECT_EQ(Picture(first.revision, 6, 304).status, 404);
  EXPECT_EQ(Picture("0000000000", 1, 304).status, 404);
}

// An app phone on the same show: every state message it hears is the app's
// own text, byte for byte, and nothing it hears speaks of the slide.
TEST_F(PresenterE2eTest, AnAppPhoneHearsNothingNew) {
  auto link = Pair(Transport::DirectTcp);
  ASSERT_TRUE(link);
  ASSERT_TRUE(link->Send(R"({"msg":"start"})"));
  PhoneMessage m;
  ASSERT_TRUE(WaitForState(*link, 3));
  ASSERT_TRUE(link->Send(R"({"msg":"next"})"));
  ASSERT_TRUE(WaitUntil([&] { return pc_->App()->Snapshot().currentSlide == 2; }, kAnswer));
  ASSERT_TRUE(link->Send(R"({"msg":"last"})"));
  ASSERT_TRUE(WaitUntil([&] { return pc_->App()->Snapshot().currentSlide == 5; }, kAnswer));
  for (int i = 0; i < 50 && link->Next(m, 300ms); ++i) {
    EXPECT_EQ(m.text.find("slide"), std::string::npos) << m.text;
    if (m.text.find(R"("msg":"state")") != std::string::npos) {
      EXPECT_EQ(m.text, R"({"msg":"state","state":3})");
    }
  }
}

}  // namespace
}  // namespace e2e
