// The phone simulator drives a real LibreOffice Impress over the direct
// session: the show, the notes at the phone, the laser, the stop, and the
// office killed mid-show, which the phone hears as "no presentation".
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "presentation/impress/impress_office.h"
#include "presentation/powerpoint_mgr_impl.h"
#include "presentation/simulated_office.h"
#include "tests/e2e/support/e2e_fixture.h"
#include "tests/support/impress_session.h"

#if PIVARO_WITH_XTEST
#include "presentation/impress/x11_pen.h"
// Xlib last: its macros (Bool, None, Status) would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/record.h>
#include <png.h>
#endif

namespace e2e {
namespace {

const std::vector<ImpressDeckSlide> kDeck = {
    {"Welcome", "Greet the room."},
    {"Plan", "Three points, ten minutes."},
    {"End", "Questions?"},
};

// One virtual display and office profile per suite: made before its first
// test, gone after its last.
template <typename Suite>
class ImpressSuite : public E2eTest {
 protected:
  static void SetUpTestSuite() { session_ = new ImpressSession; }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }
  static inline ImpressSession* session_ = nullptr;
};

class ImpressPhoneTest : public ImpressSuite<ImpressPhoneTest> {
 protected:
  void SetUp() override {
    if (!session_->Unavailable().empty()) GTEST_SKIP() << session_->Unavailable();
    ImpressLinkOptions options;
    options.pipeName = session_->PipeName();
    options.profileUrl = session_->ProfileUrl();
    options.startLimit = std::chrono::seconds(60);
    office_ = std::make_unique<CImpressOffice>(options);
    // An office that could not open the display (now and then it cannot,
    // with other X servers starting beside ours) gets one more try on a
    // display of another number.
    bool connected = false;
    for (int attempt = 0; attempt < 2 && !connected; ++attempt) {
      connected = office_->Link().Connect(true);
      if (connected) break;
      ImpressSession::KillGroup(office_->Link().StartedProcess());
      ASSERT_TRUE(session_->ReplaceDisplay()) << "no virtual display";
    }
    ASSERT_TRUE(connected) << "soffice did not answer on its pipe";
    ASSERT_TRUE(office_->Link().Open(session_->WriteDeck("phone.fodp", kDeck)));
    E2eTest::SetUp();
  }
  void TearDown() override {
    pc_.reset();
    if (office_) {
      ImpressSession::EndOffice(office_->Link());
    }
    office_.reset();
  }
  PcOptions Options() override {
    PcOptions options;
    options.presentationPorts = [this] { return office_->Ports(); };
    return options;
  }
  std::int32_t Slide() {
    std::int32_t index = -1, count = 0;
    office_->Link().Position(&index, &count);
    return index;
  }
  bool PointerAt(bool visible, double x, double y) {
    return WaitUntil(
        [&] {
          ImpressPointer p = office_->Pointer();
          return p.visible == visible && std::fabs(p.x - x) < 0.01 && std::fabs(p.y - y) < 0.01;
        },
        kAnswer);
  }

  // A phone paired over TCP starts the show; null unless the show runs and
  // its window is known.
  // The show started from the phone, its window found and settled: the
  // office maps the show's window and then brings it to its full size, and
  // a stroke in between would be mapped onto the window's first size.
  std::unique_ptr<PhoneLink> StartShowFromPhone(std::uint64_t* window) {
    auto link = Pair(Transport::DirectTcp, /*notes=*/true, /*expectedState=*/1);
    if (!link || !link->Send(R"({"msg":"start"})") || !WaitForState(*link, 3) ||
        !WaitUntil([&] { return office_->Link().ShowWindow(window); }, kAnswer)) {
      return nullptr;
    }
    std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
    if (!display) return nullptr;
    auto geometry = [&] {
      XWindowAttributes a{};
      int left = 0, top = 0;
      Window child;
      if (!XGetWindowAttributes(display.get(), *window, &a) ||
          !XTranslateCoordinates(display.get(), *window, DefaultRootWindow(display.get()), 0, 0,
                                 &left, &top, &child))
        return std::array<int, 4>{};
      return std::array<int, 4>{left, top, a.width, a.height};
    };
    std::array<int, 4> last{};
    const bool settled = WaitUntil(
        [&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          const std::array<int, 4> now = geometry();
          const bool same = now == last && now[2] > 100 && now[3] > 100;
          last = now;
          return same;
        },
        kAnswer);
    return settled ? std::move(link) : nullptr;
  }

  std::unique_ptr<CImpressOffice> office_;
};

TEST_F(ImpressPhoneTest, PhoneDrivesTheShowUntilImpressDies) {
  auto link = Pair(Transport::DirectTcp, /*notes=*/true, /*expectedState=*/1);
  ASSERT_TRUE(link);

  ASSERT_TRUE(link->Send(R"({"msg":"start"})"));
  EXPECT_TRUE(WaitForState(*link, 3));
  EXPECT_TRUE(WaitForNote(*link, "Greet the room."));
  ASSERT_TRUE(link->Send(R"({"msg":"next"})"));
  EXPECT_TRUE(WaitForNote(*link, "Three points, ten minutes."));
  EXPECT_EQ(Slide(), 1);
  ASSERT_TRUE(link->Send(R"({"msg":"prev"})"));
  EXPECT_TRUE(WaitForNote(*link, "Greet the room."));
  EXPECT_EQ(Slide(), 0);

  // Impress draws the laser itself: no dot from the PC.
  ASSERT_TRUE(link->Send(R"({"msg":"laser_down","x":0.3,"y":0.6})"));
  EXPECT_TRUE(PointerAt(true, 0.3, 0.6));
  ASSERT_TRUE(link->Send(R"({"msg":"laser_move","x":0.7,"y":0.2})"));
  EXPECT_TRUE(PointerAt(true, 0.7, 0.2));
  ASSERT_TRUE(link->Send(R"({"msg":"laser_up"})"));
  EXPECT_TRUE(PointerAt(false, 0.7, 0.2));
  EXPECT_EQ(pc_->View().LaserCalls().shows, 0);

  ASSERT_TRUE(link->Send(R"({"msg":"stop"})"));
  EXPECT_TRUE(WaitForState(*link, 1));
  ASSERT_TRUE(link->Send(R"({"msg":"start"})"));
  EXPECT_TRUE(WaitForState(*link, 3));

  ASSERT_GT(office_->Link().StartedProcess(), 0);
  ImpressSession::KillGroup(office_->Link().StartedProcess());
  EXPECT_TRUE(WaitForState(*link, 0)) << "the phone was not told the presentation is gone";
  ASSERT_TRUE(link->Send(R"({"msg":"next"})"));
  EXPECT_TRUE(WaitForState(*link, 0));
}

// `pivaro deck.pptx`: a PowerPoint deck runs in Impress and its notes reach
// the phone.
TEST_F(ImpressPhoneTest, APowerPointDeckRunsWithItsNotesOnThePhone) {
  const std::string pptx = session_->ConvertDeck(session_->WriteDeck("phone.fodp", kDeck), "pptx");
  ASSERT_FALSE(pptx.empty()) << "soffice --convert-to pptx failed";
  ASSERT_TRUE(office_->Link().Open(pptx));
  auto link = Pair(Transport::DirectTcp, /*notes=*/true, /*expectedState=*/1);
  ASSERT_TRUE(link);
  ASSERT_TRUE(link->Send(R"({"msg":"start"})"));
  EXPECT_TRUE(WaitForState(*link, 3));
  EXPECT_TRUE(WaitForNote(*link, "Greet the room."));
  ASSERT_TRUE(link->Send(R"({"msg":"next"})"));
  EXPECT_TRUE(WaitForNote(*link, "Three points, ten minutes."));
  EXPECT_EQ(office_->Describe().rfind("Impress: phone.pptx, show running, slide 2 of 3", 0), 0u)
      << office_->Describe();
}

#if PIVARO_WITH_XTEST
// Every pointer event the X server takes from its devices (the X Test
// extension's among them), recorded through the RECORD extension: the
// office's own grab during a stroke hides them from other clients.
class PointerRecording {
 public:
  struct Event {
    int type;  // ButtonPress, ButtonRelease, MotionNotify
    int x, y;  // on the root window
  };

  PointerRecording() : control_(XOpenDisplay(nullptr)), data_(XOpenDisplay(nullptr)) {
    int major = 0, minor = 0;
    if (!control_ || !data_ || !XRecordQueryVersion(control_, &major, &minor)) return;
    XRecordRange* range = XRecordAllocRange();
    range->device_events.first = ButtonPress;
    range->device_events.last = MotionNotify;
    XRecordClientSpec clients = XRecordAllClients;
    context_ = XRecordCreateContext(control_, 0, &clients, 1, &range, 1);
    XFree(range);
    XSync(control_, False);
    if (context_ && XRecordEnableContextAsync(data_, context_, &PointerRecording::Take,
                                              reinterpret_cast<XPointer>(this)))
      recording_ = true;
  }
  ~PointerRecording() {
    if (recording_) {
      XRecordDisableContext(control_, context_);
      XSync(control_, False);
      XRecordProcessReplies(data_);
    }
    if (context_) XRecordFreeContext(control_, context_);
    if (data_) XCloseDisplay(data_);
    if (control_) XCloseDisplay(control_);
  }
  bool Recording() const { return recording_; }
  // What came since the last call (a round trip's worth).
  std::vector<Event> Take() {
    XRecordProcessReplies(data_);
    XSync(control_, False);
    XRecordProcessReplies(data_);
    return std::move(events_);
  }

 private:
  static void Take(XPointer self, XRecordInterceptData* data) {
    auto* recording = reinterpret_cast<PointerRecording*>(self);
    if (data->category == XRecordFromServer && data->data_len * 4 >= 24) {
      const unsigned char* e = data->data;
      std::int16_t x, y;
      std::memcpy(&x, e + 20, 2);
      std::memcpy(&y, e + 22, 2);
      recording->events_.push_back({e[0] & 0x7F, x, y});
    }
    XRecordFreeData(data);
  }

  Display* control_;
  Display* data_;
  XRecordContext context_ = 0;
  bool recording_ = false;
  std::vector<Event> events_;
};

// Where the phone's fractions must land: the slide fitted into the show
// window, as the office reports the window and the slide, in the screen's
// pixels. False when the window is gone or the slide is implausibly small.
bool SlideOnScreen(Display* display, std::uint64_t window, CImpressLink& link, ScreenRect* slide,
                   XWindowAttributes* attributes = nullptr) {
  XWindowAttributes own;
  if (!attributes) attributes = &own;
  int left = 0, top = 0;
  Window child;
  std::int32_t slideWidth = 0, slideHeight = 0;
  if (!XGetWindowAttributes(display, window, attributes) ||
      !XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &left, &top,
                             &child) ||
      !link.SlideSize(&slideWidth, &slideHeight))
    return false;
  ScreenRect windowRect;
  windowRect.left = left;
  windowRect.top = top;
  windowRect.right = left + attributes->width;
  windowRect.bottom = top + attributes->height;
  *slide = FitSlideInWindow(windowRect, slideWidth, slideHeight);
  return slide->right - slide->left > 100;
}

TEST_F(ImpressPhoneTest, PenStrokeMovesAndPressesThePointerInTheShowAndPutsItBack) {
  if (!office_->PenUnavailable().empty()) GTEST_SKIP() << office_->PenUnavailable();
  std::uint64_t window = 0;
  auto link = StartShowFromPhone(&window);
  ASSERT_TRUE(link && window);
  std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
  ASSERT_TRUE(display);
  const Window root = DefaultRootWindow(display.get());
  PointerRecording recording;
  ASSERT_TRUE(recording.Recording()) << "the X server records nothing (no RECORD extension)";

  // Where the phone's fractions must land: the slide fitted into the show
  // window, as the office reports the window and the slide.
  XWindowAttributes attributes;
  ScreenRect slide;
  ASSERT_TRUE(SlideOnScreen(display.get(), window, office_->Link(), &slide, &attributes));

  struct Point {
    double x, y;
  };
  std::vector<Point> path;
  for (double x = 0.2; x <= 0.801; x += 0.05) path.push_back({x, 0.6});
  for (double y = 0.65; y <= 0.901; y += 0.05) path.push_back({0.8, y});
  // At a finger's pace (a touch screen reports about 60 points a second):
  // moves that pile up behind a busy worker wait as one, the newest.
  auto stroke = [&] {
    if (!link->Send(R"({"msg":"pen_down","x":0.2,"y":0.6})")) return false;
    for (const Point& p : path) {
      std::this_thread::sleep_for(std::chrono::milliseconds(16));
      if (!link->Send("{\"msg\":\"pen_move\",\"x\":" + std::to_string(p.x) +
                      ",\"y\":" + std::to_string(p.y) + "}"))
        return false;
    }
    return link->Send(R"({"msg":"pen_up"})");
  };
  // The presenter's pointer rests elsewhere.
  auto parkPointer = [&] {
    XWarpPointer(display.get(), None, root, 0, 0, 0, 0, 7, 9);
    XSync(display.get(), False);
    recording.Take();
  };
  auto pointerAt = [&](int x, int y) {
    Window r, c;
    int rx = -1, ry = -1, wx, wy;
    unsigned mask = 0;
    XQueryPointer(display.get(), root, &r, &c, &rx, &ry, &wx, &wy, &mask);
    return rx == x && ry == y && !(mask & Button1Mask);
  };

  parkPointer();
  ASSERT_TRUE(stroke());
  // Press, moves along the path with the button down, release, and back.
  std::vector<PointerRecording::Event> events;
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (auto& e : recording.Take()) events.push_back(e);
        const bool released =
            std::any_of(events.begin(), events.end(),
                        [](const PointerRecording::Event& e) { return e.type == ButtonRelease; });
        return released && events.back().type == MotionNotify && events.back().x == 7 &&
               events.back().y == 9;
      },
      kAnswer))
      << events.size() << " pointer events";
  std::size_t press = events.size(), release = events.size();
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].type == ButtonPress && press == events.size()) press = i;
    if (events[i].type == ButtonRelease) release = i;
  }
  ASSERT_LT(press, release) << "no press before a release";
  // The fractions reach the back-end through the manager's own screen
  // coordinates: a pixel either way is rounding.
  auto near = [](const PointerRecording::Event& e, std::int32_t x, std::int32_t y) {
    return std::abs(e.x - x) <= 1 && std::abs(e.y - y) <= 1;
  };
  std::int32_t px, py;
  MapPenPoint(slide, 0.2, 0.6, &px, &py);
  EXPECT_TRUE(near(events[press], px, py))
      << events[press].x << "," << events[press].y << " for " << px << "," << py;
  int reached = 0;
  for (const Point& p : path) {
    MapPenPoint(slide, p.x, p.y, &px, &py);
    for (std::size_t i = press; i < release; ++i) {
      if (events[i].type == MotionNotify && near(events[i], px, py)) {
        ++reached;
        break;
      }
    }
  }
  // Moves that waited in the manager's queue longer than 100 ms are dropped
  // as stale, as on Windows; those injected all lie on the stroke.
  EXPECT_GE(reached, int(path.size() / 2)) << reached << " of " << path.size();
  for (std::size_t i = press; i < release; ++i) {
    bool onPath = false;
    for (const Point& p : path) {
      MapPenPoint(slide, p.x, p.y, &px, &py);
      onPath = onPath || near(events[i], px, py);
    }
    EXPECT_TRUE(onPath) << "a move off the stroke at " << events[i].x << "," << events[i].y;
  }
  EXPECT_TRUE(WaitUntil([&] { return pointerAt(7, 9); }, kAnswer))
      << "the pointer was not put back";

  // A window in front of the show: nothing is injected.
  XSetWindowAttributes cover;
  cover.override_redirect = True;
  cover.background_pixel = BlackPixel(display.get(), DefaultScreen(display.get()));
  const Window over = XCreateWindow(display.get(), root, 0, 0, attributes.width, attributes.height,
                                    0, CopyFromParent, InputOutput, CopyFromParent,
                                    CWOverrideRedirect | CWBackPixel, &cover);
  XMapRaised(display.get(), over);
  parkPointer();
  ASSERT_TRUE(stroke());
  // The stroke's end has reached the office when the notes request after it
  // is answered.
  ASSERT_TRUE(link->Send(R"({"msg":"next"})"));
  EXPECT_TRUE(WaitForNote(*link, "Three points, ten minutes."));
  for (const auto& e : recording.Take())
    ADD_FAILURE() << "injected behind a covering window: event " << e.type << " at " << e.x << ","
                  << e.y;
  EXPECT_TRUE(pointerAt(7, 9));
  XDestroyWindow(display.get(), over);
  XSync(display.get(), False);
}

// The show's pixels, read from the X server: what the audience sees.
class ScreenPixels {
 public:
  ScreenPixels(Display* display, const ScreenRect& area) : display_(display), area_(area) {}
  // Reads the area again; false when the server gives no image.
  bool Capture() {
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), area_.left, area_.top, Width(),
                              Height(), AllPlanes, ZPixmap);
    if (!image) return false;
    rgb_.assign(std::size_t(Width()) * Height(), 0);
    const unsigned long masks[] = {image->red_mask, image->green_mask, image->blue_mask};
    for (int y = 0; y < Height(); ++y) {
      for (int x = 0; x < Width(); ++x) {
        const unsigned long pixel = XGetPixel(image, x, y);
        std::uint32_t rgb = 0;
        for (unsigned long mask : masks) {
          const int shift = __builtin_ctzl(mask);
          const unsigned long top = mask >> shift;
          rgb = rgb << 8 | std::uint32_t(((pixel & mask) >> shift) * 255 / top);
        }
        rgb_[std::size_t(y) * Width() + x] = rgb;
      }
    }
    XDestroyImage(image);
    return true;
  }
  int Width() const { return area_.right - area_.left; }
  int Height() const { return area_.bottom - area_.top; }
  // The pixel at screen position (x, y), which lies in the area.
  std::uint32_t At(int x, int y) const {
    return rgb_[std::size_t(y - area_.top) * Width() + (x - area_.left)];
  }
  // The commonest colour and the share of pixels of other colours.
  std::uint32_t Commonest(double* otherShare = nullptr) const {
    std::map<std::uint32_t, std::size_t> counts;
    std::size_t most = 0;
    std::uint32_t colour = 0;
    for (std::uint32_t p : rgb_) {
      if (++counts[p] > most) {
        most = counts[p];
        colour = p;
      }
    }
    if (otherShare) *otherShare = rgb_.empty() ? 0.0 : 1.0 - double(most) / rgb_.size();
    return colour;
  }
  bool operator==(const ScreenPixels& other) const { return rgb_ == other.rgb_; }
  // Kept as a PNG where PIVARO_SCREENSHOT_DIR names a folder, to be looked at.
  void Save(const char* name) const {
    const char* folder = std::getenv("PIVARO_SCREENSHOT_DIR");
    if (!folder || !*folder) return;
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t p : rgb_) {
      bytes.push_back(std::uint8_t(p >> 16));
      bytes.push_back(std::uint8_t(p >> 8));
      bytes.push_back(std::uint8_t(p));
    }
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = png_uint_32(Width());
    png.height = png_uint_32(Height());
    png.format = PNG_FORMAT_RGB;
    const std::string path = std::string(folder) + "/" + name + ".png";
    png_image_write_to_file(&png, path.c_str(), 0, bytes.data(), 0, nullptr);
  }

 private:
  Display* display_;
  ScreenRect area_;
  std::vector<std::uint32_t> rgb_;
};

// The pen's ink: Impress draws in the colour it was given (red here), or
// near it where the line is smoothed.
bool Inky(std::uint32_t rgb) {
  const int r = rgb >> 16 & 0xFF, g = rgb >> 8 & 0xFF, b = rgb & 0xFF;
  return r >= 150 && g <= 110 && b <= 110;
}

// PIVARO_SCREENSHOT_DIR=<folder> keeps the screens it reads (the desktop,
// and the show before the stroke, after it and after erase).
TEST_F(ImpressPhoneTest, PenStrokeLeavesInkWhereItWasDrawnAndEraseClearsIt) {
  if (!office_->PenUnavailable().empty()) GTEST_SKIP() << office_->PenUnavailable();
  std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
  ASSERT_TRUE(display);
  {
    // The office has drawn its editing window before the show starts.
    XWindowAttributes root;
    ASSERT_TRUE(XGetWindowAttributes(display.get(), DefaultRootWindow(display.get()), &root));
    ScreenRect screen;
    screen.right = root.width;
    screen.bottom = root.height;
    ScreenPixels desktop(display.get(), screen);
    const bool drawn = WaitUntil(
        [&] {
          // Toolbars, the slide pane and the slide: more than the status
          // bar's band on an empty frame.
          double other = 0;
          if (desktop.Capture()) desktop.Commonest(&other);
          const bool ok = other > 0.1;
          if (!ok) std::this_thread::sleep_for(std::chrono::milliseconds(200));
          return ok;
        },
        std::chrono::seconds(60));
    desktop.Save("impress-ink-desktop");
    ASSERT_TRUE(drawn) << "the office's editing window stays empty";
  }
  std::uint64_t window = 0;
  auto link = StartShowFromPhone(&window);
  ASSERT_TRUE(link && window);
  ScreenRect slide;
  ASSERT_TRUE(SlideOnScreen(display.get(), window, office_->Link(), &slide));

  // The show has painted the slide once two reads agree and show more than
  // one colour.
  ScreenPixels before(display.get(), slide), now(display.get(), slide);
  const bool painted = WaitUntil(
      [&] {
        double other = 0;
        const bool same = before.Capture() && now.Capture() && before == now &&
                          (before.Commonest(&other), other > 0.02);
        if (!same) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return same;
      },
      std::chrono::seconds(20));
  before.Save("impress-ink-before");
  ASSERT_TRUE(painted) << "the show window shows nothing but one colour";

  struct Point {
    double x, y;
  };
  std::vector<Point> path;
  for (double x = 0.2; x <= 0.801; x += 0.05) path.push_back({x, 0.6});
  for (double y = 0.65; y <= 0.901; y += 0.05) path.push_back({0.8, y});
  // Points the stroke never passes: the ink must stay off them.
  std::vector<Point> elsewhere;
  for (double t = 0.1; t <= 0.901; t += 0.1) {
    elsewhere.push_back({t, 0.3});
    if (t < 0.55) elsewhere.push_back({0.3, t});
  }

  // Along the path, the points with ink within two pixels that had none.
  auto inkedPoints = [&](const ScreenPixels& pixels, const std::vector<Point>& points) {
    int inked = 0;
    for (const Point& p : points) {
      std::int32_t px, py;
      MapPenPoint(slide, p.x, p.y, &px, &py);
      bool found = false;
      for (int dy = -2; dy <= 2 && !found; ++dy)
        for (int dx = -2; dx <= 2 && !found; ++dx)
          found = Inky(pixels.At(px + dx, py + dy)) && !Inky(before.At(px + dx, py + dy));
      inked += found;
    }
    return inked;
  };
  ASSERT_EQ(inkedPoints(before, path), 0);

  // Each move is sent once the pointer stands where the one before put it,
  // as a finger moves while the PC keeps up: on a loaded machine moves sent
  // faster would be merged or dropped as stale, and the line would only
  // join the points that were left.
  const Window root = DefaultRootWindow(display.get());
  auto pointerAt = [&](const Point& p) {
    std::int32_t px, py;
    MapPenPoint(slide, p.x, p.y, &px, &py);
    return WaitUntil(
        [&] {
          Window r, c;
          int rx = -1, ry = -1, wx, wy;
          unsigned mask = 0;
          XQueryPointer(display.get(), root, &r, &c, &rx, &ry, &wx, &wy, &mask);
          // A pixel either way is the rounding of the two mappings.
          const bool there =
              std::abs(rx - px) <= 1 && std::abs(ry - py) <= 1 && (mask & Button1Mask);
          if (!there) std::this_thread::sleep_for(std::chrono::milliseconds(5));
          return there;
        },
        kAnswer);
  };
  ASSERT_TRUE(link->Send(R"({"msg":"pen_down","x":0.2,"y":0.6})"));
  ASSERT_TRUE(pointerAt(path.front())) << "the press did not reach the show";
  for (const Point& p : path) {
    ASSERT_TRUE(link->Send("{\"msg\":\"pen_move\",\"x\":" + std::to_string(p.x) +
                           ",\"y\":" + std::to_string(p.y) + "}"));
    ASSERT_TRUE(pointerAt(p)) << "the move to " << p.x << ", " << p.y << " did not arrive";
  }
  ASSERT_TRUE(link->Send(R"({"msg":"pen_up"})"));
  // The ink runs from the press on; where the office merges the first drags
  // it begins at the first move: every point from the second on is on it.
  const std::vector<Point> drawn(path.begin() + 1, path.end());
  const int all = int(drawn.size());
  int inked = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        inked = now.Capture() ? inkedPoints(now, drawn) : 0;
        return inked == all;
      },
      kAnswer))
      << inked << " of " << all << " points of the stroke have ink";
  now.Save("impress-ink-after");
  EXPECT_EQ(inkedPoints(now, elsewhere), 0) << "ink away from the stroke";

  ASSERT_TRUE(link->Send(R"({"msg":"erase"})"));
  EXPECT_TRUE(WaitUntil([&] { return now.Capture() && inkedPoints(now, path) == 0; }, kAnswer))
      << inkedPoints(now, path) << " points keep their ink after erase";
  now.Save("impress-ink-erased");
  EXPECT_TRUE(now == before) << "the erased show differs from the show before the stroke";
}
#endif

// Pivaro started while no Impress listens: the simulation stands in, and an
// Impress the presenter starts later on Pivaro's pipe is taken up and
// driven by the phone's next "start"; killed, it is let go again.
class ImpressLateTest : public ImpressSuite<ImpressLateTest> {
 protected:
  void SetUp() override {
    if (!session_->Unavailable().empty()) GTEST_SKIP() << session_->Unavailable();
    ImpressLinkOptions options;
    options.pipeName = session_->PipeName();
    office_ = std::make_unique<CImpressOffice>(options);
    ASSERT_FALSE(office_->Link().Connect(false));
    standIn_.InstallPowerPoint();
    // A 5:4 screen: the 16:9 show takes a band of it, not all of it.
    standIn_.desktop->SetVirtualScreenSize(1280, 1024);
    office_->SetStandIn(standIn_.Ports());
    office_->WatchForOffice(std::chrono::milliseconds(500));
    E2eTest::SetUp();
  }
  void TearDown() override {
    pc_.reset();
    office_.reset();
    if (late_ > 0) ImpressSession::KillGroup(late_);
    unlink(ImpressPipeSocketPath(session_->PipeName()).c_str());
  }
  PcOptions Options() override {
    PcOptions options;
    options.presentationPorts = [this] { return office_->Ports(); };
    return options;
  }

  CSimulatedOffice standIn_;
  std::unique_ptr<CImpressOffice> office_;
  pid_t late_ = 0;
};

TEST_F(ImpressLateTest, AnImpressStartedLaterIsDrivenByThePhonesNextStart) {
  using Clock = std::chrono::steady_clock;
  auto link = Pair(Transport::DirectTcp, /*notes=*/true, /*expectedState=*/0);
  ASSERT_TRUE(link);
  // Five seconds of the stand-in alone: no presentation, nothing found.
  EXPECT_FALSE(WaitForState(*link, 1, std::chrono::seconds(5)));
  EXPECT_FALSE(office_->Link().IsConnected());

  const std::string deck = session_->WriteDeck("late.fodp", kDeck);
  late_ = session_->StartOffice(session_->PipeName(), deck);
  ASSERT_GT(late_, 0);
  const std::string socket = ImpressPipeSocketPath(session_->PipeName());
  ASSERT_TRUE(
      WaitUntil([&] { return access(socket.c_str(), F_OK) == 0; }, std::chrono::seconds(60)))
      << "the office made no pipe";
  const auto appeared = Clock::now();
  ASSERT_TRUE(WaitUntil([&] { return office_->Link().IsConnected(); }, std::chrono::seconds(10)));
  const auto pickUp =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - appeared);
  std::printf("late Impress picked up %lld ms after its pipe appeared\n",
              static_cast<long long>(pickUp.count()));
  RecordProperty("pick_up_ms", static_cast<int>(pickUp.count()));
  EXPECT_LT(pickUp, std::chrono::seconds(2));
  ASSERT_TRUE(WaitUntil([&] { return office_->Link().FindPresentation(nullptr); },
                        std::chrono::seconds(60)));
  EXPECT_EQ(office_->Describe().rfind("Impress: late", 0), 0u) << office_->Describe();

  ASSERT_TRUE(link->Send(R"({"msg":"start"})"));
  EXPECT_TRUE(WaitForState(*link, 3));
  EXPECT_TRUE(WaitForNote(*link, "Greet the room."));
  ASSERT_TRUE(link->Send(R"({"msg":"next"})"));
  EXPECT_TRUE(WaitForNote(*link, "Three points, ten minutes."));
  // The laser lands where the phone points, though the manager's screen is
  // the stand-in's: the show's area sits inside it.
  ASSERT_TRUE(link->Send(R"({"msg":"laser_down","x":0.3,"y":0.6})"));
  // A move that waits in the manager's queue longer than 100 ms is dropped
  // as stale: like a phone, the test keeps moving.
  EXPECT_TRUE(WaitUntil(
      [&] {
        if (!link->Send(R"({"msg":"laser_move","x":0.7,"y":0.2})")) return false;
        ImpressPointer p = office_->Pointer();
        return p.visible && std::fabs(p.x - 0.7) < 0.01 && std::fabs(p.y - 0.2) < 0.01;
      },
      kAnswer))
      << office_->Pointer().x << "," << office_->Pointer().y;
  ASSERT_TRUE(link->Send(R"({"msg":"laser_up"})"));

  // Gone again: let go within the same time, and the phone is told.
  ImpressSession::KillGroup(late_);
  late_ = 0;
  const auto killed = Clock::now();
  EXPECT_TRUE(WaitUntil([&] { return !office_->Link().IsConnected(); }, std::chrono::seconds(5)));
  EXPECT_LT(Clock::now() - killed, std::chrono::seconds(2));
  EXPECT_TRUE(WaitForState(*link, 0)) << "the phone was not told the presentation is gone";
  EXPECT_EQ(office_->Describe(), "");
}

}  // namespace
}  // namespace e2e
