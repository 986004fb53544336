// The presenter view's members answered by a real Impress: slide pictures
// of decks that ship with LibreOffice (a 4:3 and a 16:9 template, saved as
// presentations, and a PowerPoint file made from one) decoded by libpng,
// the page size, the deck's path, the saved flag and the slide count that
// follow an edit made beside Pivaro, and the jump to a slide in the show.
#include <png.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "presentation/automation.h"
#include "presentation/slide_deck.h"
#include "tests/presentation/impress/deck_editor.h"
#include "tests/presentation/impress/impress_fixture.h"

namespace {

using namespace impress_test;

constexpr char kTemplates[] = "/usr/lib/libreoffice/share/template/common/presnt/";

struct Image {
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> rgba;

  std::uint32_t Pixel(std::uint32_t x, std::uint32_t y) const {
    const std::uint8_t* p = &rgba[(std::size_t{y} * width + x) * 4];
    return std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
  }
  // The share of pixels that are not the picture's commonest colour.
  double Busy() const {
    std::map<std::uint32_t, std::size_t> counts;
    std::size_t most = 0;
    for (std::uint32_t y = 0; y < height; ++y)
      for (std::uint32_t x = 0; x < width; ++x) most = std::max(most, ++counts[Pixel(x, y)]);
    return 1.0 - double(most) / (double(width) * height);
  }
};

// The file decoded by libpng; false when it is no PNG.
bool ReadPng(const std::string& path, Image* image, std::string* why) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) {
    *why = png.message;
    return false;
  }
  png.format = PNG_FORMAT_RGBA;
  image->width = png.width;
  image->height = png.height;
  image->rgba.assign(PNG_IMAGE_SIZE(png), 0);
  if (!png_image_finish_read(&png, nullptr, image->rgba.data(), 0, nullptr)) {
    *why = png.message;
    png_image_free(&png);
    return false;
  }
  return true;
}

// The share of pixels that differ between two pictures of one size.
double Difference(const Image& a, const Image& b) {
  if (a.width != b.width || a.height != b.height) return 1.0;
  std::size_t differ = 0;
  for (std::uint32_t y = 0; y < a.height; ++y)
    for (std::uint32_t x = 0; x < a.width; ++x) differ += a.Pixel(x, y) != b.Pixel(x, y);
  return double(differ) / (double(a.width) * a.height);
}

class ImpressSlidesTest : public ImpressTest {
 protected:
  // The manager's road to the office: its automation factory.
  AutomationPtr Presentation() {
    AutomationPtr app, presentation;
    if (!Succeeded(office_->Ports().automation->Create(u"PowerPoint.Application", &app)))
      return nullptr;
    if (!Succeeded(GetObjectProperty(app.get(), u"ActivePresentation", &presentation)))
      return nullptr;
    return presentation;
  }
  static AutoValue Get(const AutomationPtr& object, const std::u16string& member) {
    AutoValue value;
    if (object) GetProperty(object.get(), member, &value);
    return value;
  }
  static AutoValue Get(const AutomationPtr& object, const std::u16string& child,
                       const std::u16string& member) {
    AutomationPtr c;
    if (!object || !Succeeded(GetObjectProperty(object.get(), child, &c))) return AutoValue();
    return Get(c, member);
  }
  // Slide.Export(path, "PNG", width, height) as the manager calls it.
  HResult Export(const AutomationPtr& presentation, std::int32_t index, const std::string& path,
                 std::int32_t width, std::int32_t height) {
    AutomationPtr slides, slide;
    AutoValue ignored;
    HResult hr = GetObjectProperty(presentation.get(), u"Slides", &slides);
    if (Succeeded(hr)) hr = CallMethod(slides.get(), u"Item", {AutoValue::Int32(index)}, &ignored);
    if (!Succeeded(hr)) return hr;
    slide = ignored.object;
    return CallMethod(slide.get(), u"Export",
                      {AutoValue::Text(U16(path)), AutoValue::Text(u"PNG"), AutoValue::Int32(width),
                       AutoValue::Int32(height)},
                      &ignored);
  }
  std::string ImagePath(const std::string& name) {
    char folder[] = "/tmp/pivaro-slides-XXXXXX";
    if (folders_.empty() && mkdtemp(folder)) folders_ = folder;
    return folders_ + "/" + name;
  }
  void TearDown() override {
    if (!folders_.empty()) std::system(("rm -rf '" + folders_ + "'").c_str());
    ImpressTest::TearDown();
  }

  std::string folders_;
};

struct DeckCase {
  const char* what;
  const char* templateName;
  const char* format;  // what the template is saved as
  double aspect;       // the template's page
};

const DeckCase kDecks[] = {
    {"4:3 template as .odp", "Vintage.otp", "odp", 4.0 / 3.0},
    {"16:9 template as .odp", "Progress.otp", "odp", 16.0 / 9.0},
    {"16:9 template as .pptx", "Progress.otp", "pptx", 16.0 / 9.0},
};

TEST_F(ImpressSlidesTest, EachSlideOfAShippedDeckExportsAsAPictureOfTheSlide) {
  for (const DeckCase& deck : kDecks) {
    SCOPED_TRACE(deck.what);
    const std::string source = std::string(kTemplates) + deck.templateName;
    ASSERT_EQ(access(source.c_str(), R_OK), 0) << source << " is not installed";
    std::string path = session_.ConvertDeck(source, "odp");
    if (std::string(deck.format) != "odp") path = session_.ConvertDeck(path, deck.format);
    ASSERT_FALSE(path.empty()) << "soffice --convert-to " << deck.format << " failed";
    ASSERT_TRUE(office_->Link().Open(path));
    AutomationPtr presentation = Presentation();
    ASSERT_TRUE(presentation);

    EXPECT_EQ(Get(presentation, u"FullName").text, U16(path));
    EXPECT_EQ(Get(presentation, u"Saved").intValue, -1);
    const AutoValue width = Get(presentation, u"PageSetup", u"SlideWidth");
    const AutoValue height = Get(presentation, u"PageSetup", u"SlideHeight");
    ASSERT_EQ(width.kind, AutoValue::Kind::Float);
    ASSERT_GT(height.number, 0.0);
    const double aspect = width.number / height.number;
    EXPECT_NEAR(aspect, deck.aspect, 0.01);
    const std::int32_t count = Get(presentation, u"Slides", u"Count").intValue;
    ASSERT_GE(count, 2);

    const std::int32_t pixels = 1080;
    const std::int32_t rows = static_cast<std::int32_t>(std::lround(pixels / aspect));
    std::vector<Image> images(count);
    for (std::int32_t i = 1; i <= count; ++i) {
      const std::string file = ImagePath("slide" + std::to_string(i) + ".png");
      ASSERT_EQ(Export(presentation, i, file, pixels, rows), kOk) << "slide " << i;
      std::string why;
      ASSERT_TRUE(ReadPng(file, &images[i - 1], &why)) << "slide " << i << ": " << why;
      EXPECT_EQ(images[i - 1].width, std::uint32_t(pixels)) << "slide " << i;
      EXPECT_NEAR(double(images[i - 1].width) / images[i - 1].height, aspect, 0.01)
          << "slide " << i;
      EXPECT_GT(images[i - 1].Busy(), 0.02) << "slide " << i << " is blank";
      unlink(file.c_str());
    }
    EXPECT_GT(Difference(images[0], images[1]), 0.01) << "slides 1 and 2 look alike";
  }
}

TEST_F(ImpressSlidesTest, BadExportsFailAndLeaveNoFile) {
  ASSERT_TRUE(office_->Link().Open(session_.WriteDeck("bad.fodp", kDeck)));
  AutomationPtr presentation = Presentation();
  ASSERT_TRUE(presentation);
  const std::string file = ImagePath("bad.png");
  const std::string blocker = ImagePath("blocker");
  std::ofstream(blocker) << "not a folder";
  struct BadCase {
    const char* what;
    std::int32_t index;
    std::string path;
    std::int32_t width, height;
  };
  const BadCase cases[] = {
      {"slide 0", 0, file, 320, 180},
      {"past the last slide", 4, file, 320, 180},
      {"a relative path", 1, "bad.png", 320, 180},
      {"a folder that is not there", 1, file + ".missing/x.png", 320, 180},
      {"a file for a folder", 1, blocker + "/x.png", 320, 180},
      {"wider than the largest side", 1, file, CImpressLink::kMaxExportSide + 1, 180},
      {"taller than the largest side", 1, file, 320, CImpressLink::kMaxExportSide + 1},
  };
  for (const BadCase& c : cases) {
    EXPECT_FALSE(Succeeded(Export(presentation, c.index, c.path, c.width, c.height))) << c.what;
    EXPECT_NE(access(c.path.c_str(), F_OK), 0) << c.what << " left a file";
  }
  EXPECT_NE(access((file + ".missing").c_str(), F_OK), 0) << "a folder was made";
  // A filter other than PNG is refused.
  AutomationPtr slides;
  AutoValue slide, ignored;
  ASSERT_EQ(GetObjectProperty(presentation.get(), u"Slides", &slides), kOk);
  ASSERT_EQ(CallMethod(slides.get(), u"Item", {AutoValue::Int32(1)}, &slide), kOk);
  EXPECT_FALSE(Succeeded(CallMethod(slide.object.get(), u"Export",
                                    {AutoValue::Text(U16(file)), AutoValue::Text(u"GIF"),
                                     AutoValue::Int32(320), AutoValue::Int32(180)},
                                    &ignored)));
  EXPECT_NE(access(file.c_str(), F_OK), 0);
}

// An edit made beside Pivaro (here over another connection) shows in the
// count and the saved flag the manager reads, and the new slide exports.
TEST_F(ImpressSlidesTest, AnEditBetweenExportsChangesCountAndSaved) {
  ASSERT_TRUE(office_->Link().Open(session_.WriteDeck("edited.fodp", kDeck)));
  AutomationPtr presentation = Presentation();
  ASSERT_TRUE(presentation);
  const std::string file = ImagePath("edited.png");
  ASSERT_EQ(Export(presentation, 3, file, 640, 360), kOk);
  EXPECT_EQ(Get(presentation, u"Slides", u"Count").intValue, 3);
  EXPECT_EQ(Get(presentation, u"Saved").intValue, -1);

  ASSERT_TRUE(AddSlideInOffice(office_->Link().PipeName()));
  EXPECT_EQ(Get(presentation, u"Slides", u"Count").intValue, 4);
  EXPECT_EQ(Get(presentation, u"Saved").intValue, 0);
  ASSERT_EQ(Export(presentation, 4, file, 640, 360), kOk);
  Image image;
  std::string why;
  EXPECT_TRUE(ReadPng(file, &image, &why)) << why;
  EXPECT_EQ(image.width, 640u);
}

TEST_F(ImpressSlidesTest, GotoSlideLandsInTheRunningShow) {
  ASSERT_TRUE(office_->Link().Open(session_.WriteDeck("goto.fodp", kDeck)));
  StartManager();
  manager_->StartShow();
  ASSERT_TRUE(Eventually([&] { return EventCount(EventSlideShowBegin) == 1; }));
  AutomationPtr presentation = Presentation();
  AutomationPtr window, view;
  ASSERT_EQ(GetObjectProperty(presentation.get(), u"SlideShowWindow", &window), kOk);
  ASSERT_EQ(GetObjectProperty(window.get(), u"View", &view), kOk);
  AutoValue ignored;
  for (std::int32_t slide : {3, 1, 2}) {
    const std::size_t changes = EventCount(EventSlideShowNextSlide);
    ASSERT_EQ(CallMethod(view.get(), u"GotoSlide", {AutoValue::Int32(slide)}, &ignored), kOk);
    EXPECT_TRUE(Eventually([&] { return SlideIndex() == slide - 1; })) << "at " << SlideIndex();
    EXPECT_TRUE(Eventually([&] { return EventCount(EventSlideShowNextSlide) > changes; }))
        << "no slide change towards " << slide;
    EXPECT_EQ(Get(view, u"Slide", u"SlideIndex").intValue, slide);
  }
  // Out of the deck: refused, the show stays where it is.
  for (std::int32_t slide : {0, 4, -1})
    EXPECT_FALSE(
        Succeeded(CallMethod(view.get(), u"GotoSlide", {AutoValue::Int32(slide)}, &ignored)))
        << slide;
  EXPECT_EQ(SlideIndex(), 1);
}

// The manager's own road over Impress: the show's position after a jump,
// and pictures exported on the manager's exporter thread through the same
// factory, refused past the last slide.
TEST_F(ImpressSlidesTest, ManagerReportsThePositionAndExportsPicturesOfTheShow) {
  ASSERT_TRUE(office_->Link().Open(session_.WriteDeck("presenter.fodp", kDeck)));
  StartManager();
  manager_->StartShow();
  ASSERT_TRUE(Eventually([&] { return EventCount(EventSlideShowBegin) == 1; }));
  manager_->GotoSlide(3);
  auto last = [&] {
    return notify_.Locked([&] {
      return notify_.positions.empty() ? SlidePosition() : notify_.positions.back().position;
    });
  };
  ASSERT_TRUE(Eventually([&] { return last().index == 3; })) << "at " << last().index;
  const SlidePosition position = last();
  EXPECT_EQ(position.count, 3);
  EXPECT_TRUE(position.images);
  ASSERT_GT(position.aspect, 0.5);

  manager_->RequestSlideImage(position.revision, 3, 640);
  manager_->RequestSlideImage(position.revision, 4, 640);
  ASSERT_TRUE(
      Eventually([&] { return notify_.Locked([&] { return notify_.images.size(); }) == 2; }));
  const auto images = notify_.Locked([&] { return notify_.images; });
  ASSERT_FALSE(images[0].png.empty());
  EXPECT_TRUE(images[1].png.empty()) << "past the last slide";
  const std::string file = ImagePath("presenter.png");
  std::ofstream(file, std::ios::binary) << images[0].png;
  Image image;
  std::string why;
  ASSERT_TRUE(ReadPng(file, &image, &why)) << why;
  EXPECT_EQ(image.width, 640u);
  EXPECT_EQ(std::int32_t(image.height), SlideImageHeight(640, position.aspect));
  EXPECT_GT(image.Busy(), 0.005);
}

}  // namespace
