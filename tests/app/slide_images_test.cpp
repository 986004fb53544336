// The slide picture cache against a recording manager and a hand-driven
// clock: the byte budget and which picture leaves it, one export for many
// phones, failures remembered for a while and exports that never answer,
// the prefetch after a change of slide, and a random load that must stay
// within the budget.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "app/slide_images.h"

namespace {

using namespace std::chrono_literals;
using Status = ISlidePictureSource::Status;
using Key = std::tuple<std::string, std::int32_t, std::int32_t>;

const std::string kRev = "k3j9x0a1b2";

class SlideImagesTest : public ::testing::Test {
 protected:
  struct Heard {
    Status status;
    std::string png;
  };

  void Make(CSlideImages::Limits limits = CSlideImages::Limits()) {
    cache = std::make_unique<CSlideImages>(
        [this](const std::string& r, std::int32_t i, std::int32_t w) {
          asked.emplace_back(r, i, w);
          if (answerAtOnce) Answer(r, i, w, true);
        },
        limits, [this] { return now; });
    Position(1, 12);
  }

  void Position(std::int32_t index, std::int32_t count, const std::string& rev = kRev) {
    SlidePosition p;
    p.index = index;
    p.count = count;
    p.aspect = 16.0 / 9;
    p.revision = rev;
    p.images = true;
    cache->OnPosition(p);
  }

  // A picture of `bytes` bytes whose content names its key.
  static std::string Png(std::int32_t index, std::int32_t width, std::size_t bytes = 100) {
    std::string png = std::to_string(index) + "@" + std::to_string(width);
    png.resize(std::max(bytes, png.size()), '.');
    return png;
  }

  void Answer(const std::string& rev, std::int32_t index, std::int32_t width, bool ok,
              std::size_t bytes = 100) {
    SlideImage image;
    image.revision = rev;
    image.index = index;
    image.width = width;
    if (ok) image.png = Png(index, width, bytes);
    cache->OnImage(image);
  }

  // Asks like the server does; the answer lands in `heard`.
  void Get(std::int32_t index, std::int32_t width, const std::string& rev = kRev) {
    cache->GetSlidePicture(rev, index, width,
                           [this](Status s, std::shared_ptr<const std::string> png) {
                             heard.push_back({s, png ? *png : std::string()});
                           });
  }

  std::unique_ptr<CSlideImages> cache;
  std::vector<Key> asked;
  std::vector<Heard> heard;
  bool answerAtOnce = false;
  CSlideImages::Clock::time_point now{};
};

TEST_F(SlideImagesTest, AddressesOutsideTheCurrentDeckAreNotFound) {
  Make();
  struct Case {
    std::string rev;
    std::int32_t index;
  } cases[] = {{"aaaaaaaaaa", 1}, {kRev, 0}, {kRev, 13}, {kRev, -1}, {"", 1}};
  for (const Case& c : cases) Get(c.index, 320, c.rev);
  ASSERT_EQ(heard.size(), std::size(cases));
  for (const Heard& h : heard) EXPECT_EQ(h.status, Status::NotFound);
  EXPECT_TRUE(asked.empty());

  // A back-end that cannot export has no pictures at all.
  SlidePosition none;
  none.index = 1;
  none.count = 12;
  none.revision = kRev;
  cache->OnPosition(none);
  Get(1, 320);
  EXPECT_EQ(heard.back().status, Status::NotFound);
  EXPECT_TRUE(asked.empty());
}

TEST_F(SlideImagesTest, ManyPhonesAskingForOnePictureCauseOneExport) {
  Make();
  for (int i = 0; i < 5; ++i) Get(3, 320);
  Get(3, 640);  // another width is another picture
  ASSERT_EQ(asked, (std::vector<Key>{{kRev, 3, 320}, {kRev, 3, 640}}));
  EXPECT_TRUE(heard.empty());

  Answer(kRev, 3, 320, true);
  ASSERT_EQ(heard.size(), 5u);
  for (const Heard& h : heard) {
    EXPECT_EQ(h.status, Status::Ok);
    EXPECT_EQ(h.png.substr(0, 5), "3@320");
  }
  // Kept: asked again, it is answered at once without an export.
  Get(3, 320);
  EXPECT_EQ(heard.back().status, Status::Ok);
  EXPECT_EQ(asked.size(), 2u);
}

TEST_F(SlideImagesTest, AFailureIsRememberedFiveSecondsAndAHungExportFailsAfterSix) {
  Make();
  Get(2, 320);
  Get(2, 320);
  Answer(kRev, 2, 320, false);
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].status, Status::Unavailable);
  EXPECT_EQ(heard[1].status, Status::Unavailable);

  // Within the memory: answered at once, never tried again.
  for (auto t : {1s, 4s}) {
    now = CSlideImages::Clock::time_point{} + t;
    Get(2, 320);
    EXPECT_EQ(heard.back().status, Status::Unavailable);
  }
  EXPECT_EQ(asked.size(), 1u);
  // After it: one new try.
  now = CSlideImages::Clock::time_point{} + 5s;
  Get(2, 320);
  EXPECT_EQ(asked.size(), 2u);
  EXPECT_EQ(heard.size(), 4u);

  // That export never answers: at 6 s its waiter hears Unavailable, and the
  // failure is remembered like any other.
  now += 5999ms;
  Get(4, 320);  // anything that comes by looks at the clock
  EXPECT_EQ(heard.size(), 4u);
  now += 1ms;
  Get(4, 320);
  ASSERT_EQ(heard.size(), 5u);
  EXPECT_EQ(heard.back().status, Status::Unavailable);
  Get(2, 320);
  EXPECT_EQ(heard.back().status, Status::Unavailable);
  EXPECT_EQ(std::count(asked.begin(), asked.end(), Key(kRev, 2, 320)), 2);

  // A late answer still counts: the picture is kept and served.
  Answer(kRev, 2, 320, true);
  Get(2, 320);
  EXPECT_EQ(heard.back().status, Status::Ok);
}

TEST_F(SlideImagesTest, TheBudgetHoldsAndTheLeastRecentlyUsedPictureLeaves) {
  CSlideImages::Limits limits;
  limits.maxBytes = 1000;
  Make(limits);
  // Four pictures of 300 bytes: the fourth pushes out the one used least
  // recently, which is the first unless it was asked for again.
  for (std::int32_t i : {1, 2, 3}) {
    Get(i, 320);
    Answer(kRev, i, 320, true, 300);
  }
  EXPECT_EQ(cache->Bytes(), 900u);
  Get(1, 320);  // 1 is used again: 2 is now the oldest
  Get(4, 320);
  Answer(kRev, 4, 320, true, 300);
  EXPECT_EQ(cache->Bytes(), 900u);
  EXPECT_EQ(cache->Pictures(), 3u);

  asked.clear();
  for (std::int32_t i : {1, 3, 4}) Get(i, 320);
  EXPECT_TRUE(asked.empty()) << "1, 3 and 4 stay";
  Get(2, 320);
  EXPECT_EQ(asked, (std::vector<Key>{{kRev, 2, 320}})) << "2 left";

  // A picture bigger than the budget is served but not kept.
  Answer(kRev, 2, 320, true, 1001);
  EXPECT_EQ(heard.back().status, Status::Ok);
  EXPECT_EQ(heard.back().png.size(), 1001u);
  EXPECT_LE(cache->Bytes(), 1000u);

  // A new revision drops the old one's pictures.
  Position(1, 12, "zzzzzzzzzz");
  EXPECT_EQ(cache->Bytes(), 0u);
}

TEST_F(SlideImagesTest, AChangeOfSlidePrefetchesCurrentNextAndPreviousAtTheLastWidths) {
  Make();
  answerAtOnce = true;
  // The page asked for its pad and thumbnail widths, and long ago another.
  Get(1, 960);
  Get(1, 320);
  Get(1, 640);
  Get(1, 320);
  asked.clear();

  Position(5, 12);
  EXPECT_EQ(asked, (std::vector<Key>{{kRev, 5, 320},
                                     {kRev, 5, 640},
                                     {kRev, 6, 320},
                                     {kRev, 6, 640},
                                     {kRev, 4, 320},
                                     {kRev, 4, 640}}));
  // The same position again (every state answer repeats it): nothing.
  asked.clear();
  Position(5, 12);
  EXPECT_TRUE(asked.empty());
  // One step on: only what is not there yet, within the deck.
  Position(6, 6, kRev);
  EXPECT_EQ(asked, (std::vector<Key>{}));  // 6 and 5 are kept, there is no 7
  Position(12, 12);
  EXPECT_EQ(asked,
            (std::vector<Key>{{kRev, 12, 320}, {kRev, 12, 640}, {kRev, 11, 320}, {kRev, 11, 640}}));

  // No show, or a deck without pictures: no prefetch.
  asked.clear();
  Position(0, 12);
  Position(2, 12, "another000");
  SlidePosition none;
  none.index = 3;
  none.count = 12;
  none.revision = "another000";
  cache->OnPosition(none);
  EXPECT_EQ(asked.size(), 6u);  // only around slide 2 of the new deck
}

TEST_F(SlideImagesTest, PrefetchesNeverCrowdTheManagersQueue) {
  CSlideImages::Limits limits;
  limits.prefetchWidths = 3;
  limits.prefetchPendingLimit = 4;
  Make(limits);
  for (std::int32_t w : {320, 640, 960}) {
    Get(1, w);
    Answer(kRev, 1, w, true);
  }
  asked.clear();
  Position(5, 12);  // 9 wanted, none answered yet
  EXPECT_EQ(asked.size(), 4u);
}

TEST_F(SlideImagesTest, RandomLoadStaysWithinTheBudget) {
  CSlideImages::Limits limits;
  limits.maxBytes = 64 * 1024;
  Make(limits);
  Position(1, 30);
  std::mt19937 random(7);
  std::uniform_int_distribution<std::int32_t> index(-2, 40);
  std::uniform_int_distribution<std::int32_t> width(1, 128);
  std::uniform_int_distribution<std::size_t> size(1000, 9000);
  // Every export asked for (by a phone or the prefetch) is answered by hand
  // at a random size.
  auto answerAll = [&] {
    std::vector<Key> now;
    now.swap(asked);
    for (const Key& k : now)
      Answer(std::get<0>(k), std::get<1>(k), std::get<2>(k), true, size(random));
  };
  std::size_t ok = 0;
  for (int i = 0; i < 200; ++i) {
    if (i % 20 == 19) Position(1 + i % 30, 30);  // slide changes between
    answerAll();
    std::int32_t n = index(random);
    heard.clear();
    Get(n, width(random) * 16);
    answerAll();
    ASSERT_EQ(heard.size(), 1u);
    bool inDeck = n >= 1 && n <= 30;
    EXPECT_EQ(heard.front().status, inDeck ? Status::Ok : Status::NotFound) << n;
    ok += heard.front().status == Status::Ok;
    ASSERT_LE(cache->Bytes(), limits.maxBytes);
  }
  EXPECT_GT(ok, 100u);
  EXPECT_GT(cache->Pictures(), 5u);
}

TEST_F(SlideImagesTest, ADetachedCacheAnswersUnavailableInsteadOfAsking) {
  Make();
  cache->Detach();
  Get(1, 320);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].status, Status::Unavailable);
  EXPECT_TRUE(asked.empty());
}

}  // namespace
