// Slide pictures as a phone receives them, decoded with Cairo: the size and
// aspect asked for, a drawn slide rather than an empty page, and a different
// picture for each slide; the drawing's failures leave no file behind; the
// export folder is private.
#include <cairo.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "../recording_notify.h"
#include "../slide_files.h"
#include "presentation/powerpoint_mgr.h"
#include "presentation/simulated_office.h"
#include "presentation/slide_art.h"

namespace {

namespace fs = std::filesystem;

// A decoded PNG: 32-bit pixels, row after row.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
};

Picture Decode(const std::string& png) {
  struct Reader {
    const std::string* bytes;
    std::size_t at = 0;
  } reader{&png};
  auto read = [](void* closure, unsigned char* data, unsigned int length) {
    auto* r = static_cast<Reader*>(closure);
    if (r->bytes->size() - r->at < length) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, r->bytes->data() + r->at, length);
    r->at += length;
    return CAIRO_STATUS_SUCCESS;
  };
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
      cairo_image_surface_create_from_png_stream(read, &reader), cairo_surface_destroy);
  Picture picture;
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return picture;
  picture.width = cairo_image_surface_get_width(surface.get());
  picture.height = cairo_image_surface_get_height(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  const unsigned char* data = cairo_image_surface_get_data(surface.get());
  for (int y = 0; y < picture.height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
    picture.pixels.insert(picture.pixels.end(), row, row + picture.width);
  }
  return picture;
}

// The share of pixels that are not the colour of the top-left corner's
// neighbourhood (the page), and the share that differ between two pictures.
double InkShare(const Picture& p) {
  const std::uint32_t page = p.pixels[p.width * (p.height / 2) + 2];
  std::size_t ink = 0;
  for (std::uint32_t pixel : p.pixels) ink += (pixel & 0xFFFFFF) != (page & 0xFFFFFF);
  return double(ink) / p.pixels.size();
}

double DifferentShare(const Picture& a, const Picture& b) {
  std::size_t different = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i)
    different += (a.pixels[i] & 0xFFFFFF) != (b.pixels[i] & 0xFFFFFF);
  return double(different) / a.pixels.size();
}

TEST(SlidePictureTest, PicturesDecodeAtTheAskedSizeAndShowTheirSlide) {
  const struct {
    SimulatedPresentation deck;
    std::int32_t height;  // at 1080 pixels wide
  } decks[] = {
      {CSimulatedOffice::WideSamplePresentation(), 608},
      {CSimulatedOffice::SamplePresentation(), 810},
  };
  for (const auto& d : decks) {
    SCOPED_TRACE(d.height);
    CSimulatedOffice office;
    auto app = office.InstallPowerPoint();
    app->OpenPresentation(d.deck);
    RecordingNotify notify;
    CPowerPointMgr manager(office.Ports());
    manager.SetNotify(&notify);
    manager.QueryState();
    ASSERT_TRUE(notify.WaitFor([&] { return !notify.positions.empty(); }));
    const std::string revision =
        notify.Locked([&] { return notify.positions[0].position.revision; });
    manager.RequestSlideImage(revision, 1, 1080);
    manager.RequestSlideImage(revision, 2, 1080);
    ASSERT_TRUE(notify.WaitFor([&] { return notify.images.size() == 2; }));
    const auto images = notify.Locked([&] { return notify.images; });
    const Picture first = Decode(images[0].png), second = Decode(images[1].png);
    for (const Picture* p : {&first, &second}) {
      EXPECT_EQ(p->width, 1080);
      EXPECT_EQ(p->height, d.height);
      ASSERT_EQ(p->pixels.size(), std::size_t(1080) * d.height);
      EXPECT_GT(InkShare(*p), 0.05);  // a title and shapes, not an empty page
      EXPECT_LT(InkShare(*p), 0.6);
    }
    EXPECT_GT(DifferentShare(first, second), 0.05);
  }
}

TEST(SlidePictureTest, FailedDrawingLeavesNothingAtThePath) {
  TemporaryFolder folder;
  SlideArt art;
  art.title = u"Title";
  art.index = 2;
  art.count = 3;
  const fs::path target = folder.path() / "slide.png";
  const struct {
    const char* what;
    int width, height;
    fs::path path;
    bool drawn;
  } cases[] = {
      {"drawn", 320, 180, target, true},
      {"redrawn over the old file", 160, 90, target, true},
      {"no width", 0, 90, target, false},
      {"negative height", 160, -1, target, false},
      {"too wide", 9000, 90, target, false},
      {"missing folder", 160, 90, folder.path() / "missing" / "slide.png", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RenderSlideArt(art, c.width, c.height, c.path.u16string()), c.drawn);
    EXPECT_EQ(fs::exists(c.path), c.drawn);
    const PngSize size = ReadPngSize(FileBytes(c.path));
    EXPECT_EQ(size.width, c.drawn ? c.width : 0);
    EXPECT_EQ(size.height, c.drawn ? c.height : 0);
  }
  // No temporary file stays beside the target.
  EXPECT_TRUE(fs::is_empty(folder.path()));
}

TEST(SlidePictureTest, ExportFolderIsThisUsersAlone) {
  const fs::path& folder = SlideExportFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.parent_path(), fs::temp_directory_path());
  struct stat info {};
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(info.st_uid, geteuid());
}

}  // namespace
