// The simulated application's deck members, reached through the automation
// port as the manager and its exporter reach them: the deck's facts, slides
// by index, and a slide's picture with the sizes and refusals of Export.
#include <filesystem>

#include <gtest/gtest.h>

#include "presentation/simulated_office.h"
#include "presentation/slide_deck.h"
#include "slide_files.h"

inline void PrintTo(SimulatedAppKind kind, std::ostream* out) {
  *out << (kind == SimulatedAppKind::PowerPointLike ? "PowerPoint-like" : "WPS-like");
}

namespace {

namespace fs = std::filesystem;

constexpr HResult kInvalidArg = static_cast<HResult>(0x80070057);  // E_INVALIDARG

AutomationPtr Child(const AutomationPtr& parent, const std::u16string& member) {
  AutomationPtr child;
  if (parent) GetObjectProperty(parent.get(), member, &child);
  return child;
}

AutoValue Read(const AutomationPtr& object, const std::u16string& member) {
  AutoValue value;
  if (object) GetProperty(object.get(), member, &value);
  return value;
}

AutomationPtr Item(const AutomationPtr& slides, std::int32_t index, HResult* hr = nullptr) {
  AutoValue value;
  HResult result = CallMethod(slides.get(), u"Item", {AutoValue::Int32(index)}, &value);
  if (hr) *hr = result;
  return value.object;
}

class SimulatedSlidesTest : public ::testing::TestWithParam<SimulatedAppKind> {
 protected:
  void SetUp() override {
    app = GetParam() == SimulatedAppKind::PowerPointLike ? office.InstallPowerPoint()
                                                         : office.InstallWps();
    SimulatedPresentation deck = CSimulatedOffice::WideSamplePresentation();
    deck.fullName = u"/decks/Sample.pptx";
    app->OpenPresentation(deck);
    AutomationPtr application = app->CreateApplicationObject();
    presentation = Child(application, u"ActivePresentation");
    ASSERT_TRUE(presentation);
  }

  CSimulatedOffice office;
  std::shared_ptr<CSimulatedPresentationApp> app;
  AutomationPtr presentation;
  TemporaryFolder folder;
};

TEST_P(SimulatedSlidesTest, DeckFactsAndSlidesByIndex) {
  DeckFacts facts;
  ASSERT_TRUE(ReadDeckFacts(presentation.get(), &facts));
  EXPECT_EQ(facts.fullName, u"/decks/Sample.pptx");
  EXPECT_TRUE(facts.saved);
  EXPECT_EQ(facts.count, 5);
  EXPECT_EQ(facts.width, 720.0);
  EXPECT_EQ(facts.height, 405.0);
  ASSERT_TRUE(app->EditSlide(2, u"Agenda, revised"));
  ASSERT_TRUE(ReadDeckFacts(presentation.get(), &facts));
  EXPECT_FALSE(facts.saved);

  AutomationPtr slides = Child(presentation, u"Slides");
  for (auto [index, ok] : {std::pair{0, false}, {1, true}, {5, true}, {6, false}}) {
    HResult hr = kOk;
    AutomationPtr slide = Item(slides, index, &hr);
    EXPECT_EQ(Succeeded(hr), ok) << index;
    EXPECT_EQ(Read(slide, u"SlideIndex").intValue, ok ? index : 0);
  }
}

TEST_P(SimulatedSlidesTest, ExportWritesAPngOfTheAskedSizeOrRefuses) {
  AutomationPtr slide = Item(Child(presentation, u"Slides"), 2);
  ASSERT_TRUE(slide);
  struct Case {
    const char* what;
    std::vector<AutoValue> extra;  // after FileName
    HResult hr;
    std::int32_t width, height;
  };
  const Case cases[] = {
      {"both sides",
       {AutoValue::Text(u"PNG"), AutoValue::Int32(640), AutoValue::Int32(360)},
       kOk,
       640,
       360},
      {"width only keeps the aspect",
       {AutoValue::Text(u"png"), AutoValue::Int32(1080)},
       kOk,
       1080,
       608},
      {"no size: 96 dpi", {AutoValue::Text(u"Png")}, kOk, 960, 540},
      {"zero width: 96 dpi", {AutoValue::Text(u"PNG"), AutoValue::Int32(0)}, kOk, 960, 540},
      {"other filter", {AutoValue::Text(u"JPG"), AutoValue::Int32(64)}, kInvalidArg, 0, 0},
      {"too wide", {AutoValue::Text(u"PNG"), AutoValue::Int32(9000)}, kInvalidArg, 0, 0},
      {"width as text", {AutoValue::Text(u"PNG"), AutoValue::Text(u"64")}, kTypeMismatch, 0, 0},
      {"no filter", {}, kBadParamCount, 0, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path file = folder.path() / ("slide" + std::to_string(++n) + ".png");
    std::vector<AutoValue> args{AutoValue::Text(file.u16string())};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    EXPECT_EQ(CallMethod(slide.get(), u"Export", args, nullptr), c.hr);
    PngSize size = ReadPngSize(FileBytes(file));
    EXPECT_EQ(size.width, c.width);
    EXPECT_EQ(size.height, c.height);
    EXPECT_EQ(fs::exists(file), Succeeded(c.hr));
  }

  // A failing application leaves no file; a closed deck's slide is dead.
  app->FailMember(u"Export", kFail);
  const fs::path failed = folder.path() / "failed.png";
  EXPECT_EQ(CallMethod(slide.get(), u"Export",
                       {AutoValue::Text(failed.u16string()), AutoValue::Text(u"PNG")}, nullptr),
            kFail);
  EXPECT_FALSE(fs::exists(failed));
  app->FailMember(u"Export", kOk);
  app->ClosePresentation();
  EXPECT_EQ(CallMethod(slide.get(), u"Export",
                       {AutoValue::Text(failed.u16string()), AutoValue::Text(u"PNG")}, nullptr),
            kFail);
}

INSTANTIATE_TEST_SUITE_P(BothApplications, SimulatedSlidesTest,
                         ::testing::Values(SimulatedAppKind::PowerPointLike,
                                           SimulatedAppKind::WpsLike),
                         [](const auto& info) {
                           return info.param == SimulatedAppKind::PowerPointLike ? "PowerPoint"
                                                                                 : "Wps";
                         });

}  // namespace
