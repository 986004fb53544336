// The PowerPoint object model as far as the presentation manager walks it,
// answered from Impress over the link: the application, the active
// presentation with its slides and page setup, the show's window, view and
// current slide, the notes' placeholders and their text. Each object is a
// role in that chain; walking to a child is only a name, and the office is
// asked at the ends (a step, the notes' text, a slide's export). While no
// office answers, the application hands every call to the stand-in.
#include <string>

#include "json/json.h"

#include "presentation/impress/impress_office_shared.h"

namespace impress_office {
namespace {

constexpr std::uint32_t kPenColour = 0xFF0000;
constexpr std::int32_t kNotesBodyPlaceholder = 2;
constexpr double kPointsPerHundredthMm = 72.0 / 2540.0;
// Saved: PowerPoint's msoTrue and msoFalse.
constexpr std::int32_t kMsoTrue = -1;
constexpr std::int32_t kMsoFalse = 0;
// An export that names no width: PowerPoint's own default is the slide's
// size at 96 dpi; a full-HD width serves every phone.
constexpr std::int64_t kDefaultExportWidth = 1920;

enum class Role {
  Application,
  Presentation,
  Settings,
  ShowWindow,
  View,
  Slide,
  NotesPage,
  Shapes,
  Placeholders,
  NotesBody,
  TextFrame,
  TextRange,
  Master,
  Slides,     // the presentation's slides
  SlideItem,  // one of them, by its 1-based index
  PageSetup,
};

struct Child {
  Role parent;
  const char16_t* member;
  Role child;
};

// The object chains the manager walks; each step is only a name, the work
// is done at the ends (ActivePresentation, the view's methods, the text).
constexpr Child kChildren[] = {
    {Role::Presentation, u"SlideShowSettings", Role::Settings},
    {Role::Presentation, u"SlideMaster", Role::Master},
    {Role::Presentation, u"Slides", Role::Slides},
    {Role::Presentation, u"PageSetup", Role::PageSetup},
    {Role::ShowWindow, u"View", Role::View},
    {Role::View, u"Slide", Role::Slide},
    {Role::Slide, u"NotesPage", Role::NotesPage},
    {Role::NotesPage, u"Shapes", Role::Shapes},
    {Role::Shapes, u"Placeholders", Role::Placeholders},
    {Role::NotesBody, u"TextFrame", Role::TextFrame},
    {Role::TextFrame, u"TextRange", Role::TextRange},
};

class ImpressObject : public IAutomationObject {
 public:
  ImpressObject(std::shared_ptr<CImpressOffice::Shared> shared, Role role,
                AutomationPtr standIn = nullptr, std::int32_t index = 0)
      : shared_(std::move(shared)), role_(role), standIn_(std::move(standIn)), index_(index) {}

  HResult Invoke(const std::u16string& member, InvokeKind kind, const std::vector<AutoValue>& args,
                 AutoValue* result) override {
    // While no office answers, the stand-in is the application; what it
    // hands out is its own, so only the application needs this.
    if (standIn_ && !shared_->Impress()) return standIn_->Invoke(member, kind, args, result);
    if (result) *result = AutoValue();
    CImpressLink& link = *shared_->link;
    if (kind == InvokeKind::PropertyGet) {
      for (const Child& c : kChildren) {
        if (c.parent == role_ && member == c.member) return Make(c.child, result);
      }
    }
    switch (role_) {
      case Role::Application:
        if (member == u"ActivePresentation") {
          // Where the office went away, this is where it is found again.
          if (!link.IsConnected()) link.Reconnect();
          if (!link.FindPresentation(nullptr)) return kFail;
          return Make(Role::Presentation, result);
        }
        if (member == u"Version") {
          std::u16string version = link.Version();
          if (version.empty()) return kFail;
          if (result) *result = AutoValue::Text(std::move(version));
          return kOk;
        }
        // The presenter's own Impress stays as it is.
        if (member == u"Visible" && kind == InvokeKind::PropertyPut) return kOk;
        break;
      case Role::Presentation:
        if (member == u"SlideShowWindow") {
          if (!link.IsShowRunning()) return kFail;
          return Make(Role::ShowWindow, result);
        }
        if (member == u"FullName" && kind == InvokeKind::PropertyGet) {
          std::u16string path;
          if (!link.DocumentPath(&path)) return kFail;
          if (result) *result = AutoValue::Text(std::move(path));
          return kOk;
        }
        if (member == u"Saved" && kind == InvokeKind::PropertyGet) {
          bool modified = false;
          if (!link.IsModified(&modified)) return kFail;
          if (result) *result = AutoValue::Int32(modified ? kMsoFalse : kMsoTrue);
          return kOk;
        }
        break;
      case Role::Slides:
        if (member == u"Count" && kind == InvokeKind::PropertyGet) {
          std::int32_t count = 0;
          if (!link.SlideCount(&count)) return kFail;
          if (result) *result = AutoValue::Int32(count);
          return kOk;
        }
        if (member == u"Item") {
          if (args.size() != 1) return kBadParamCount;
          if (args[0].kind != AutoValue::Kind::Int32) return kTypeMismatch;
          std::int32_t count = 0;
          if (!link.SlideCount(&count)) return kFail;
          if (args[0].intValue < 1 || args[0].intValue > count) return kFail;
          if (result)
            *result = AutoValue::Object(std::make_shared<ImpressObject>(shared_, Role::SlideItem,
                                                                        nullptr, args[0].intValue));
          return kOk;
        }
        break;
      case Role::SlideItem:
        if (member == u"Export" && kind == InvokeKind::Method) return Export(args);
        if (member == u"SlideIndex" && kind == InvokeKind::PropertyGet) {
          if (result) *result = AutoValue::Int32(index_);
          return kOk;
        }
        break;
      case Role::PageSetup:
        if (member == u"SlideWidth" || member == u"SlideHeight")
          return SlideSide(member == u"SlideWidth", result);
        break;
      case Role::Settings:
        if (member == u"Run") return link.StartShow() ? kOk : kFail;
        break;
      case Role::View:
        if (member == u"Next") return Done(link.Step(ImpressStep::Next));
        if (member == u"Previous") return Done(link.Step(ImpressStep::Previous));
        if (member == u"First") return Done(link.Step(ImpressStep::First));
        if (member == u"Last") return Done(link.Step(ImpressStep::Last));
        if (member == u"Exit") return Done(link.EndShow());
        if (member == u"GotoSlide" && kind == InvokeKind::Method) {
          if (args.size() != 1) return kBadParamCount;
          if (args[0].kind != AutoValue::Kind::Int32) return kTypeMismatch;
          return Done(link.GotoSlide(args[0].intValue - 1));
        }
        if (member == u"PointerType" && kind == InvokeKind::PropertyPut)
          return PutPointerType(args);
        break;
      case Role::Slide:
        if (member == u"SlideIndex" && kind == InvokeKind::PropertyGet) {
          std::int32_t index = 0, count = 0;
          if (!link.Position(&index, &count)) return kFail;
          if (result) *result = AutoValue::Int32(index + 1);
          return kOk;
        }
        break;
      case Role::Placeholders:
        if (member == u"Item") {
          if (args.size() != 1) return kBadParamCount;
          if (args[0].kind != AutoValue::Kind::Int32) return kTypeMismatch;
          if (args[0].intValue != kNotesBodyPlaceholder) return kFail;
          return Make(Role::NotesBody, result);
        }
        break;
      case Role::TextRange:
        if (member == u"Text") {
          std::u16string text;
          if (!link.ReadNotes(&text)) return kFail;
          if (result) *result = AutoValue::Text(std::move(text));
          return kOk;
        }
        break;
      case Role::Master:
        if (member == u"Width" || member == u"Height") return SlideSide(member == u"Width", result);
        break;
      default:
        break;
    }
    return kUnknownName;
  }

  HResult Advise(const InterfaceId& iid, std::shared_ptr<IAutomationEventSink> sink,
                 std::uint32_t* cookie) override {
    if (role_ != Role::Application || iid != kApplicationEventsIid) return kNoInterface;
    if (!sink || !cookie) return kPointer;
    Connection connection;
    connection.sink = sink;
    connection.apartment = CurrentApartment();
    // Both applications' events reach the sink: each says what changed on
    // its side, and the manager reads the state from whichever answers.
    if (standIn_ && Succeeded(standIn_->Advise(iid, sink, &connection.standInCookie)))
      connection.standIn = standIn_;
    std::lock_guard<std::mutex> guard(shared_->lock);
    *cookie = shared_->nextCookie++;
    shared_->connections[*cookie] = std::move(connection);
    return kOk;
  }

  HResult Unadvise(const InterfaceId& iid, std::uint32_t cookie) override {
    if (role_ != Role::Application || iid != kApplicationEventsIid) return kNoInterface;
    Connection connection;
    {
      std::lock_guard<std::mutex> guard(shared_->lock);
      auto found = shared_->connections.find(cookie);
      if (found == shared_->connections.end()) return kNoConnection;
      connection = std::move(found->second);
      shared_->connections.erase(found);
    }
    if (connection.standIn) connection.standIn->Unadvise(iid, connection.standInCookie);
    return kOk;
  }

 private:
  HResult Make(Role role, AutoValue* result) {
    if (result) *result = AutoValue::Object(std::make_shared<ImpressObject>(shared_, role));
    return kOk;
  }
  static HResult Done(bool ok) { return ok ? kOk : kFail; }

  // The slide's width or height in points, as PowerPoint gives them.
  HResult SlideSide(bool width, AutoValue* result) {
    std::int32_t w = 0, h = 0;
    if (!shared_->link->SlideSize(&w, &h)) return kFail;
    const double points = (width ? w : h) * kPointsPerHundredthMm;
    if (result) *result = AutoValue::Float(static_cast<float>(points));
    return kOk;
  }

  HResult PutPointerType(const std::vector<AutoValue>& args) {
    if (args.size() != 1) return kBadParamCount;
    if (args[0].kind != AutoValue::Kind::Int32) return kTypeMismatch;
    const bool pen = args[0].intValue == 2;
    if (!pen) shared_->SettleAfterStroke();
    if (!shared_->link->SetPen(pen, kPenColour)) return kFail;
    std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->pointer.pen = pen;
    return kOk;
  }

  // Slide.Export(FileName, FilterName, ScaleWidth, ScaleHeight): a PNG of
  // the slide at that pixel size; a height of 0 keeps the slide's aspect.
  HResult Export(const std::vector<AutoValue>& args) {
    if (args.size() < 2 || args.size() > 4) return kBadParamCount;
    if (args[0].kind != AutoValue::Kind::Text || args[1].kind != AutoValue::Kind::Text)
      return kTypeMismatch;
    for (std::size_t i = 2; i < args.size(); ++i)
      if (args[i].kind != AutoValue::Kind::Int32) return kTypeMismatch;
    if (!EqualsAscii(args[1].text, "png")) return kFail;
    std::string path;
    if (!ToUtf8(args[0].text, path)) return kFail;
    CImpressLink& link = *shared_->link;
    std::int32_t slideWidth = 0, slideHeight = 0;
    if (!link.SlideSize(&slideWidth, &slideHeight)) return kFail;
    std::int64_t width = args.size() > 2 ? args[2].intValue : 0;
    std::int64_t height = args.size() > 3 ? args[3].intValue : 0;
    if (width <= 0) width = kDefaultExportWidth;
    if (height <= 0) height = (width * slideHeight + slideWidth / 2) / slideWidth;
    if (width > CImpressLink::kMaxExportSide || height > CImpressLink::kMaxExportSide) return kFail;
    return Done(link.ExportSlide(index_ - 1, path, static_cast<std::int32_t>(width),
                                 static_cast<std::int32_t>(std::max<std::int64_t>(height, 1))));
  }

  static bool EqualsAscii(const std::u16string& text, const char* lower) {
    std::size_t i = 0;
    for (; lower[i]; ++i) {
      if (i >= text.size()) return false;
      char16_t c = text[i];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      if (c != static_cast<char16_t>(lower[i])) return false;
    }
    return i == text.size();
  }

  std::shared_ptr<CImpressOffice::Shared> shared_;
  const Role role_;
  const AutomationPtr standIn_;
  const std::int32_t index_;  // SlideItem: 1-based
};

class ImpressFactory : public IAutomationFactory {
 public:
  explicit ImpressFactory(std::shared_ptr<CImpressOffice::Shared> shared)
      : shared_(std::move(shared)) {}
  HResult Create(const std::u16string& progId, AutomationPtr* application) override {
    IAutomationFactory* standIn = shared_->standIn.automation.get();
    if (progId != u"PowerPoint.Application")
      return standIn ? standIn->Create(progId, application) : kClassNotRegistered;
    AutomationPtr standInApp;
    if (standIn && !Succeeded(standIn->Create(progId, &standInApp))) standInApp.reset();
    *application = std::make_shared<ImpressObject>(shared_, Role::Application, standInApp);
    return kOk;
  }

 private:
  std::shared_ptr<CImpressOffice::Shared> shared_;
};

}  // namespace

std::shared_ptr<IAutomationFactory> MakeAutomationFactory(
    std::shared_ptr<CImpressOffice::Shared> shared) {
  return std::make_shared<ImpressFactory>(std::move(shared));
}

}  // namespace impress_office
