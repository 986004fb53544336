// The simulated application's slide pictures as GDI+ draws them: real PNG
// files of the asked size that differ from slide to slide, nothing left
// behind when a drawing is refused, and drawings from several threads at
// once (each starts and stops GDI+ for itself).
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "presentation/slide_art.h"
#include "tests/support/win32/png_picture.h"

namespace {

class SlideArtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t base[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, base), 0u);
    folder_ = std::wstring(base) + L"pivaro-slide-art-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
  }
  void TearDown() override {
    for (const std::wstring& name : Files()) DeleteFileW((folder_ + L"\\" + name).c_str());
    RemoveDirectoryW(folder_.c_str());
  }

  std::u16string PathOf(const std::wstring& name) const {
    const std::wstring path = folder_ + L"\\" + name;
    return std::u16string(path.begin(), path.end());
  }
  std::set<std::wstring> Files() const {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder_ + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") names.insert(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
  }
  bool Exists(const std::u16string& path) const {
    return GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.c_str())) !=
           INVALID_FILE_ATTRIBUTES;
  }

  static bool Decode(const std::u16string& path, PngPicture* picture) {
    return ReadPngPicture(std::wstring(path.begin(), path.end()), picture);
  }

  std::wstring folder_;
};

// Pixels of the title band darker than any shape colour: the title's text.
std::size_t DarkPixelsInTitleBand(const PngPicture& p) {
  std::size_t dark = 0;
  for (int y = 0; y < p.height / 4; ++y)
    for (int x = 0; x < p.width * 7 / 10; ++x) {
      const std::uint32_t c = p.pixels[static_cast<std::size_t>(y) * p.width + x];
      if (((c >> 16) & 0xff) < 90 && ((c >> 8) & 0xff) < 90 && (c & 0xff) < 90) ++dark;
    }
  return dark;
}

TEST_F(SlideArtTest, DrawsEachSlideAsAPngOfTheAskedSize) {
  struct Case {
    std::int32_t index;
    int width;
    int height;
    bool checkTitle;  // large enough for the text to be legible
  } const cases[] = {
      {1, 320, 180, true}, {2, 320, 180, true}, {3, 320, 240, true},
      {12, 16, 9, false},  {7, 1, 1, false},    {5, 2048, 1536, true},
  };
  std::vector<PngPicture> pictures;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    SCOPED_TRACE(c.width);
    SlideArt art{u"Quarterly review.pptx", u"Slide title " + std::u16string(1, u'0' + c.index % 10),
                 c.index, 12};
    const std::u16string path = PathOf(L"slide" + std::to_wstring(c.index) + L".png");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(RenderSlideArt(art, c.width, c.height, path));
    std::printf("%d x %d drawn and written in %lld ms\n", c.width, c.height,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - start)
                                           .count()));
    PngPicture picture;
    ASSERT_TRUE(Decode(path, &picture));
    EXPECT_EQ(picture.width, c.width);
    EXPECT_EQ(picture.height, c.height);
    if (c.width * c.height > 1) {
      EXPECT_GE(DistinctColours(picture), 4u);
    }
    if (c.checkTitle) {
      EXPECT_GT(DarkPixelsInTitleBand(picture), 20u);
    }
    pictures.push_back(std::move(picture));
  }
  // Neighbouring slides at one size look different.
  EXPECT_GT(DifferingPixels(pictures[0], pictures[1]), pictures[0].pixels.size() / 20);

  // Drawing again replaces the file; only the pictures are in the folder.
  const std::u16string again = PathOf(L"slide1.png");
  ASSERT_TRUE(RenderSlideArt(SlideArt{u"Deck", u"Again", 1, 1}, 64, 48, again));
  PngPicture replaced;
  ASSERT_TRUE(Decode(again, &replaced));
  EXPECT_EQ(replaced.width, 64);
  EXPECT_EQ(Files(), (std::set<std::wstring>{L"slide1.png", L"slide2.png", L"slide3.png",
                                             L"slide12.png", L"slide7.png", L"slide5.png"}));
}

TEST_F(SlideArtTest, RefusedDrawingsLeaveNothingAtThePath) {
  const std::u16string inFolder = PathOf(L"picture.png");
  const std::u16string nul = inFolder + std::u16string(1, u'\0') + u"x";
  const std::u16string missingFolder = PathOf(L"missing\\picture.png");
  struct Case {
    const char* what;
    int width;
    int height;
    std::u16string path;
  } const cases[] = {
      {"zero width", 0, 10, inFolder},           {"zero height", 10, 0, inFolder},
      {"negative width", -5, 10, inFolder},      {"side too long", 8193, 10, inFolder},
      {"too many pixels", 8192, 8192, inFolder}, {"folder missing", 32, 18, missingFolder},
      {"NUL inside the path", 32, 18, nul},      {"empty path", 32, 18, u""},
  };
  const SlideArt art{u"Deck", u"Title", 1, 3};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A picture from an earlier drawing sits where this one would go.
    ASSERT_TRUE(RenderSlideArt(art, 32, 18, inFolder));
    ASSERT_TRUE(Exists(inFolder));
    EXPECT_FALSE(RenderSlideArt(art, c.width, c.height, c.path));
    if (c.path == inFolder) {
      EXPECT_FALSE(Exists(inFolder));
    }
    EXPECT_TRUE(Files().size() <= 1u);  // no temporary file beside it
    EXPECT_FALSE(Exists(missingFolder));
  }
}

TEST_F(SlideArtTest, ThreadsDrawAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kEach = 5;
  std::atomic<int> drawn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::u16string path =
            PathOf(L"t" + std::to_wstring(t) + L"-" + std::to_wstring(i) + L".png");
        if (RenderSlideArt(SlideArt{u"Deck", u"Parallel", t * kEach + i + 1, 20}, 160, 90, path))
          ++drawn;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(drawn.load(), kThreads * kEach);
  const std::set<std::wstring> files = Files();
  ASSERT_EQ(files.size(), static_cast<std::size_t>(kThreads * kEach));
  for (const std::wstring& name : files) {
    PngPicture picture;
    EXPECT_TRUE(Decode(PathOf(name), &picture)) << std::string(name.begin(), name.end());
    EXPECT_EQ(picture.width, 160);
  }
}

}  // namespace
