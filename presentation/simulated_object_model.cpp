// SIMULATION of a presentation application's object model: the automation
// objects it hands out and the members they answer, which is what the
// presentation back-end talks to. Not PowerPoint, not WPS: just enough to
// answer the members the back-end uses, with the failures a real one gives
// for a dead object, a wrong argument or an unknown member. Kept apart from
// the application's state (simulated_office.cpp) because the member switch
// is long and changes whenever the back-end uses a new member.
#include <cmath>
#include <thread>
#include <utility>

#include "presentation/simulated_office_impl.h"
#include "presentation/slide_art.h"

namespace {

using ObjectKind = CSimulatedPresentationApp::Impl::ObjectKind;

constexpr HResult kDisconnected = static_cast<HResult>(0x80010108);  // RPC_E_DISCONNECTED
constexpr HResult kInvalidArg = static_cast<HResult>(0x80070057);    // E_INVALIDARG
constexpr std::int32_t kWindowNormal = 1;
constexpr std::int32_t kWindowMaximized = 3;
// Presentation.Saved: PowerPoint's msoTrue and msoFalse.
constexpr std::int32_t kMsoTrue = -1;
constexpr std::int32_t kMsoFalse = 0;
// The largest picture side an export draws; larger asks are refused.
constexpr std::int64_t kMaxExportSide = 8192;

bool IsPng(const std::u16string& filter) {
  return filter.size() == 3 && (filter[0] | 0x20) == u'p' && (filter[1] | 0x20) == u'n' &&
         (filter[2] | 0x20) == u'g';
}

class SimulatedObject : public IAutomationObject {
 public:
  SimulatedObject(std::weak_ptr<CSimulatedPresentationApp> app, ObjectKind kind,
                  std::uint64_t generation, std::int32_t slide, std::int32_t placeholder)
      : app_(std::move(app)),
        kind_(kind),
        generation_(generation),
        slide_(slide),
        placeholder_(placeholder) {}

  HResult Invoke(const std::u16string& member, InvokeKind kind, const std::vector<AutoValue>& args,
                 AutoValue* result) override {
    auto app = app_.lock();
    if (!app) return kDisconnected;
    return app->impl().Invoke(kind_, generation_, slide_, placeholder_, member, kind, args, result);
  }

  HResult Advise(const InterfaceId& iid, std::shared_ptr<IAutomationEventSink> sink,
                 std::uint32_t* cookie) override {
    auto app = app_.lock();
    if (!app) return kDisconnected;
    if (kind_ != ObjectKind::Application || iid != kApplicationEventsIid) return kNoInterface;
    if (!sink) return kPointer;
    auto& impl = app->impl();
    std::lock_guard<std::mutex> guard(impl.lock);
    CSimulatedPresentationApp::Impl::Connection connection;
    connection.cookie = impl.nextCookie++;
    connection.sink = std::move(sink);
    // Like COM, events go to the advising thread's apartment.
    connection.apartment = CurrentApartment();
    impl.connections.push_back(connection);
    *cookie = connection.cookie;
    return kOk;
  }

  HResult Unadvise(const InterfaceId& iid, std::uint32_t cookie) override {
    auto app = app_.lock();
    if (!app) return kDisconnected;
    if (kind_ != ObjectKind::Application || iid != kApplicationEventsIid) return kNoInterface;
    auto& impl = app->impl();
    std::lock_guard<std::mutex> guard(impl.lock);
    for (auto it = impl.connections.begin(); it != impl.connections.end(); ++it) {
      if (it->cookie == cookie) {
        impl.connections.erase(it);
        return kOk;
      }
    }
    return kNoConnection;
  }

 private:
  std::weak_ptr<CSimulatedPresentationApp> app_;
  ObjectKind kind_;
  std::uint64_t generation_;
  std::int32_t slide_;
  std::int32_t placeholder_;
};

}  // namespace

AutomationPtr CSimulatedPresentationApp::Impl::MakeObject(ObjectKind objectKind,
                                                          std::uint64_t generation,
                                                          std::int32_t slide,
                                                          std::int32_t placeholder) {
  return std::make_shared<SimulatedObject>(self, objectKind, generation, slide, placeholder);
}

HResult CSimulatedPresentationApp::Impl::Invoke(ObjectKind objectKind, std::uint64_t generation,
                                                std::int32_t slide, std::int32_t placeholder,
                                                const std::u16string& member, InvokeKind kind,
                                                const std::vector<AutoValue>& args,
                                                AutoValue* result) {
  std::chrono::microseconds delay;
  {
    std::lock_guard<std::mutex> guard(lock);
    ++invocations;
    delay = latency;
  }
  // The cost of a cross-process call.
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  if (objectKind == ObjectKind::Slide && member == u"Export")
    return ExportSlide(generation, slide, kind, args);
  HResult hr;
  {
    std::lock_guard<std::mutex> guard(lock);
    auto failure = failures.find(member);
    if (failure != failures.end()) {
      hr = failure->second;
    } else {
      hr = InvokeLocked(objectKind, generation, slide, placeholder, member, kind, args, result);
    }
  }
  Flush();
  return hr;
}

HResult CSimulatedPresentationApp::Impl::InvokeLocked(
    ObjectKind objectKind, std::uint64_t generation, std::int32_t slide, std::int32_t placeholder,
    const std::u16string& member, InvokeKind invokeKind, const std::vector<AutoValue>& args,
    AutoValue* result) {
  const bool get = invokeKind == InvokeKind::PropertyGet;
  const bool method = invokeKind == InvokeKind::Method;
  const bool put = invokeKind == InvokeKind::PropertyPut;
  if ((get || method) && !args.empty() && member != u"Item" && member != u"GotoSlide")
    return kBadParamCount;
  if (put && args.size() != 1) return kBadParamCount;

  // Objects of a closed presentation or an ended show are dead.
  const bool presentationAlive = open && generation == presentationGeneration;
  const bool showAlive = showRunning && generation == showGeneration;
  auto number = [](double value) { return AutoValue::Float(static_cast<float>(value)); };
  auto notesOf = [&](std::int32_t index) -> const SimulatedSlide* {
    if (index < 1 || index > std::int32_t(presentation.slides.size())) return nullptr;
    return &presentation.slides[index - 1];
  };

  switch (objectKind) {
    case ObjectKind::Application:
      if (get && member == u"ActivePresentation") {
        if (!open) return kFail;
        *result = Obj(ObjectKind::Presentation, presentationGeneration);
        return kOk;
      }
      if (get && member == u"Version") {
        *result = AutoValue::Text(version);
        return kOk;
      }
      if (get && member == u"Visible") {
        *result = AutoValue::Bool(visible);
        return kOk;
      }
      if (put && member == u"Visible") {
        if (args[0].kind != AutoValue::Kind::Bool) return kTypeMismatch;
        visible = args[0].boolValue;
        return kOk;
      }
      break;
    case ObjectKind::Presentation:
      if (!presentationAlive) return kFail;
      if (get && member == u"SlideShowSettings") {
        *result = Obj(ObjectKind::Settings, generation);
        return kOk;
      }
      if (get && member == u"SlideShowWindow") {
        if (!showRunning) return kFail;
        *result = Obj(ObjectKind::ShowWindow, showGeneration);
        return kOk;
      }
      if (get && member == u"SlideMaster") {
        *result = Obj(ObjectKind::Master, generation);
        return kOk;
      }
      if (get && member == u"Name") {
        *result = AutoValue::Text(presentation.name);
        return kOk;
      }
      if (get && member == u"FullName") {
        const auto& full = presentation.fullName;
        *result = AutoValue::Text(full.empty() ? presentation.name : full);
        return kOk;
      }
      if (get && member == u"Saved")
        return *result = AutoValue::Int32(saved ? kMsoTrue : kMsoFalse), kOk;
      if (get && member == u"Slides") return *result = Obj(ObjectKind::Slides, generation), kOk;
      if (get && member == u"PageSetup")
        return *result = Obj(ObjectKind::PageSetup, generation), kOk;
      break;
    case ObjectKind::Slides:
      if (!presentationAlive) return kFail;
      if (get && member == u"Count")
        return *result = AutoValue::Int32(std::int32_t(presentation.slides.size())), kOk;
      if (method && member == u"Item") {
        if (args.size() != 1) return kBadParamCount;
        if (args[0].kind != AutoValue::Kind::Int32) return kTypeMismatch;
        if (!notesOf(args[0].intValue)) return kInvalidArg;
        *result = Obj(ObjectKind::Slide, generation, args[0].intValue);
        return kOk;
      }
      break;
    case ObjectKind::PageSetup:
      if (!presentationAlive) return kFail;
      if (get && member == u"SlideWidth") return *result = number(presentation.slideWidth), kOk;
      if (get && member == u"SlideHeight") return *result = number(presentation.slideHeight), kOk;
      break;
    case ObjectKind::Master:
      if (!presentationAlive) return kFail;
      if (get && member == u"Width") return *result = number(presentation.slideWidth), kOk;
      if (get && member == u"Height") return *result = number(presentation.slideHeight), kOk;
      break;
    case ObjectKind::Settings:
      if (!presentationAlive) return kFail;
      if (method && member == u"Run") {
        StartShowLocked();
        return kOk;
      }
      break;
    case ObjectKind::ShowWindow:
      if (!showAlive) return kFail;
      if (get && member == u"View") {
        *result = Obj(ObjectKind::View, generation);
        return kOk;
      }
      if (get && (member == u"Width" || member == u"Height")) {
        ScreenRect rect;
        if (!desktop->WindowRect(showWindow, &rect)) return kFail;
        // Points at 96 dots per inch.
        double pixels = member == u"Width" ? rect.right - rect.left : rect.bottom - rect.top;
        *result = number(pixels * 0.75);
        return kOk;
      }
      break;
    case ObjectKind::View:
      if (!showAlive) return kFail;
      if (method && member == u"Exit") return EndShowLocked(), kOk;
      if (method && member == u"Next") return NextLocked(), kOk;
      if (method && member == u"Previous") return PreviousLocked(), kOk;
      if (method && member == u"First") return GoToLocked(1, true), kOk;
      if (method && member == u"Last")
        return GoToLocked(std::int32_t(presentation.slides.size()), true), kOk;
      if (method && member == u"GotoSlide") {
        if (args.size() != 1) return kBadParamCount;
        if (args[0].kind != AutoValue::Kind::Int32) return kTypeMismatch;
        return GoToLocked(args[0].intValue, true) ? kOk : kInvalidArg;
      }
      if (put && member == u"PointerType") {
        if (args[0].kind != AutoValue::Kind::Int32) return kTypeMismatch;
        if (pointerType != args[0].intValue) Raise(kSimulatedPointerChanged, {});
        pointerType = args[0].intValue;
        return kOk;
      }
      if (get && member == u"PointerType") return *result = AutoValue::Int32(pointerType), kOk;
      if (get && member == u"Slide") {
        if (!notesOf(currentSlide)) return kFail;
        *result = Obj(ObjectKind::Slide, presentationGeneration, currentSlide);
        return kOk;
      }
      break;
    case ObjectKind::Slide:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (get && member == u"NotesPage")
        return *result = Obj(ObjectKind::NotesPage, generation, slide), kOk;
      if (get && member == u"SlideIndex") return *result = AutoValue::Int32(slide), kOk;
      break;
    case ObjectKind::NotesPage:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (get && member == u"Shapes")
        return *result = Obj(ObjectKind::Shapes, generation, slide), kOk;
      break;
    case ObjectKind::Shapes:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (get && member == u"Placeholders")
        return *result = Obj(ObjectKind::Placeholders, generation, slide), kOk;
      break;
    case ObjectKind::Placeholders:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (method && member == u"Item") {
        if (args.size() != 1) return kBadParamCount;
        if (args[0].kind != AutoValue::Kind::Int32) return kTypeMismatch;
        // 1 is the slide image, 2 the notes body.
        std::int32_t index = args[0].intValue;
        if (index != 1 && !(index == 2 && notesOf(slide)->hasNotesPlaceholder)) return kInvalidArg;
        *result = Obj(ObjectKind::Shape, generation, slide, index);
        return kOk;
      }
      break;
    case ObjectKind::Shape:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (get && member == u"TextFrame")
        return *result = Obj(ObjectKind::TextFrame, generation, slide, placeholder), kOk;
      break;
    case ObjectKind::TextFrame:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (get && member == u"TextRange")
        return *result = Obj(ObjectKind::TextRange, generation, slide, placeholder), kOk;
      break;
    case ObjectKind::TextRange:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (get && member == u"Text") {
        *result = AutoValue::Text(placeholder == 2 ? notesOf(slide)->notes : u"");
        return kOk;
      }
      break;
    case ObjectKind::DocumentWindow:
      if (!presentationAlive) return kFail;
      if (get && member == u"WindowState")
        return *result = AutoValue::Int32(maximized ? kWindowMaximized : kWindowNormal), kOk;
      break;
  }
  return kMemberNotFound;
}

// Slide.Export(FileName, FilterName, ScaleWidth, ScaleHeight): a PNG of the
// slide at that pixel size. A missing or non-positive width is the slide's
// size at 96 dpi, a missing or non-positive height keeps the slide's aspect.
HResult CSimulatedPresentationApp::Impl::ExportSlide(std::uint64_t generation, std::int32_t slide,
                                                     InvokeKind kind,
                                                     const std::vector<AutoValue>& args) {
  SlideArt art;
  std::u16string path;
  std::int64_t width = 0, height = 0;
  {
    std::unique_lock<std::mutex> guard(lock);
    if (holdExports) {
      ++heldExports;
      exportsChanged.notify_all();
      exportsChanged.wait(guard, [&] { return !holdExports; });
      --heldExports;
    }
    auto failure = failures.find(u"Export");
    if (failure != failures.end()) return failure->second;
    if (kind != InvokeKind::Method) return kMemberNotFound;
    if (!open || generation != presentationGeneration || slide < 1 ||
        slide > std::int32_t(presentation.slides.size()))
      return kFail;
    if (args.size() < 2 || args.size() > 4) return kBadParamCount;
    if (args[0].kind != AutoValue::Kind::Text || args[1].kind != AutoValue::Kind::Text)
      return kTypeMismatch;
    for (std::size_t i = 2; i < args.size(); ++i)
      if (args[i].kind != AutoValue::Kind::Int32) return kTypeMismatch;
    if (!IsPng(args[1].text) || args[0].text.empty()) return kInvalidArg;
    const double slideWidth = presentation.slideWidth, slideHeight = presentation.slideHeight;
    if (!(slideWidth > 0) || !(slideHeight > 0)) return kFail;
    width = args.size() > 2 ? args[2].intValue : 0;
    height = args.size() > 3 ? args[3].intValue : 0;
    if (width <= 0) width = std::llround(slideWidth * 96.0 / 72.0);
    if (height <= 0)
      height = std::max<std::int64_t>(1, std::llround(width * slideHeight / slideWidth));
    if (width > kMaxExportSide || height > kMaxExportSide) return kInvalidArg;
    path = args[0].text;
    art.presentation = presentation.name;
    art.title = presentation.slides[slide - 1].title;
    art.index = slide;
    art.count = std::int32_t(presentation.slides.size());
  }
  if (!RenderSlideArt(art, static_cast<int>(width), static_cast<int>(height), path)) return kFail;
  std::lock_guard<std::mutex> guard(lock);
  ++exports;
  return kOk;
}
