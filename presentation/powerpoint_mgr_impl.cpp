#include "presentation/powerpoint_mgr_impl.h"

#include "presentation/slide_deck.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr std::size_t kTitleChars = 260;
constexpr std::size_t kVersionBufferBytes = 32;
constexpr std::int32_t kMaximized = 3;

bool AsNumber(const AutoValue& value, double* number) {
  switch (value.kind) {
    case AutoValue::Kind::Float:
    case AutoValue::Kind::Double:
      *number = value.number;
      return true;
    case AutoValue::Kind::Int32:
      *number = value.intValue;
      return true;
    default:
      return false;
  }
}

// Truncates toward zero, clamped to the 32-bit range (NaN counts as 0) so
// that a strange value never makes the conversion undefined.
std::int32_t TruncateToInt32(double value) {
  if (std::isnan(value)) return 0;
  constexpr double lo = std::numeric_limits<std::int32_t>::min();
  constexpr double hi = std::numeric_limits<std::int32_t>::max();
  if (value <= lo) return std::numeric_limits<std::int32_t>::min();
  if (value >= hi) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

std::int32_t ClampToInt32(std::int64_t value) {
  if (value < std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  if (value > std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

// A counted copy of a cached object that lives until the end of the full
// expression, that is for the whole call it is passed to: the application
// may raise events inside a call, and their handling may drop the very
// object the call is running on.
AutomationPtr Hold(const AutomationPtr& object) { return object; }

// Releases the cached object first, so that a stale one is never reused.
// The parent is taken by value: it may be the object in `slot`'s field.
HResult ReadChild(AutomationPtr parent, const char16_t* member, AutomationPtr* slot) {
  slot->reset();
  if (!parent) return kFail;
  return GetObjectProperty(parent.get(), member, slot);
}

}  // namespace

bool IsApplicationGone(HResult hr) {
  switch (static_cast<std::uint32_t>(hr)) {
    case 0x80010007:  // RPC_E_SERVER_DIED
    case 0x80010012:  // RPC_E_SERVER_DIED_DNE
    case 0x80010108:  // RPC_E_DISCONNECTED
    case 0x800401FD:  // CO_E_OBJNOTCONNECTED
    case 0x800706BA:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BE:  // RPC_S_CALL_FAILED
    case 0x800706BF:  // RPC_S_CALL_FAILED_DNE
      return true;
    default:
      return false;
  }
}

HResult CPowerPointEventSink::Invoke(std::int32_t dispatchId,
                                     const std::vector<AutoValue>& reversedArgs) {
  if (BaseNotify* receiver = receiver_.load()) receiver->OnEvent(dispatchId, reversedArgs);
  return kOk;
}

void AtomicRect::Store(const ScreenRect& rect) {
  std::uint32_t seq = sequence_.load(std::memory_order_relaxed);
  sequence_.store(seq + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  left_.store(rect.left, std::memory_order_relaxed);
  top_.store(rect.top, std::memory_order_relaxed);
  right_.store(rect.right, std::memory_order_relaxed);
  bottom_.store(rect.bottom, std::memory_order_relaxed);
  sequence_.store(seq + 2, std::memory_order_release);
}

ScreenRect AtomicRect::Load() const {
  ScreenRect rect;
  for (;;) {
    std::uint32_t before = sequence_.load(std::memory_order_acquire);
    if (before & 1) continue;
    rect.left = left_.load(std::memory_order_relaxed);
    rect.top = top_.load(std::memory_order_relaxed);
    rect.right = right_.load(std::memory_order_relaxed);
    rect.bottom = bottom_.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (sequence_.load(std::memory_order_relaxed) == before) return rect;
  }
}

ScreenRect FitSlideInWindow(const ScreenRect& window, std::int32_t slideWidth,
                            std::int32_t slideHeight) {
  // An unreadable slide size would divide by zero: the slide then takes the
  // whole window.
  if (slideWidth <= 0 || slideHeight <= 0) return window;
  const std::int64_t W = std::int64_t{window.right} - window.left;
  const std::int64_t H = std::int64_t{window.bottom} - window.top;
  const std::int64_t w = slideWidth;
  const std::int64_t h = slideHeight;
  ScreenRect rect = window;
  if (H * w < W * h) {
    const std::int64_t width = H * w / h;
    rect.left = ClampToInt32(window.left + (W - width) / 2);
    rect.right = ClampToInt32(rect.left + width);
  } else {
    const std::int64_t height = W * h / w;
    rect.top = ClampToInt32(window.top + (H - height) / 2);
    rect.bottom = ClampToInt32(rect.top + height);
  }
  return rect;
}

void ToAbsoluteInput(std::int32_t px, std::int32_t py, std::int32_t screenWidth,
                     std::int32_t screenHeight, std::int32_t* dx, std::int32_t* dy) {
  *dx = screenWidth > 0 ? ClampToInt32(std::int64_t{px} * 65535 / screenWidth) : 0;
  *dy = screenHeight > 0 ? ClampToInt32(std::int64_t{py} * 65535 / screenHeight) : 0;
}

std::int32_t ParseVersionNumber(const std::u16string& version) {
  std::size_t i = 0;
  while (i < version.size() && (version[i] == u' ' || version[i] == u'\t')) ++i;
  std::int64_t number = 0;
  for (; i < version.size() && version[i] >= u'0' && version[i] <= u'9'; ++i) {
    number = number * 10 + (version[i] - u'0');
    if (number > std::numeric_limits<std::int32_t>::max())
      return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(number);
}

CPowerPointMgrImpl::CPowerPointMgrImpl(PowerPointType type, const PresentationPorts& ports)
    : type_(type), ports_(ports) {
  ReadScreenSize();
}

CPowerPointMgrImpl::~CPowerPointMgrImpl() {
  if (auto sink = sink_.lock()) sink->SetReceiver(nullptr);
}

void CPowerPointMgrImpl::ReadScreenSize() {
  std::int32_t width = 0, height = 0;
  if (ports_.desktop) ports_.desktop->VirtualScreenSize(&width, &height);
  screenWidth_.store(width);
  screenHeight_.store(height);
}

HResult CPowerPointMgrImpl::ReadActivePresentation() {
  HResult hr = ReadChild(application_, u"ActivePresentation", &activePresentation_);
  if (IsApplicationGone(hr)) ForgetApplication();
  return hr;
}

// The application died (or was killed) without ending its show, so no
// slide-show-end will ever come: without this the show would count as
// running for good, and every later command would go to dead proxies.
void CPowerPointMgrImpl::ForgetApplication() {
  if (auto sink = sink_.lock()) sink->SetReceiver(nullptr);
  sink_.reset();
  sinkCookie_ = 0;  // nothing left to unadvise
  ReleaseObjects();
  showRunning_.store(0);
  slideRect_.Store(ScreenRect());
  pointerType_.store(PointerNone);
  dropped_ = true;
  lastAttachTick_ = ports_.tickCount ? ports_.tickCount() : SystemTickCount();
}

void CPowerPointMgrImpl::ReattachIfDropped() {
  if (!dropped_ || application_) return;
  const std::uint32_t now = ports_.tickCount ? ports_.tickCount() : SystemTickCount();
  // Unsigned difference: right across a wrap of the tick counter.
  if (static_cast<std::uint32_t>(now - lastAttachTick_) < kReattachMs) return;
  lastAttachTick_ = now;
  Attach();
  if (application_) dropped_ = false;
}

HResult CPowerPointMgrImpl::ReadSlideShowSettings() {
  return ReadChild(activePresentation_, u"SlideShowSettings", &slideShowSettings_);
}

HResult CPowerPointMgrImpl::ReadSlideShowWindow() {
  return ReadChild(activePresentation_, u"SlideShowWindow", &slideShowWindow_);
}

HResult CPowerPointMgrImpl::ReadView() { return ReadChild(slideShowWindow_, u"View", &view_); }

void CPowerPointMgrImpl::RereadChain() {
  ReadActivePresentation();
  ReadSlideShowSettings();
  ReadSlideShowWindow();
  ReadView();
}

HResult CPowerPointMgrImpl::Attach() {
  static const char16_t* const kPowerPointClasses[] = {u"PowerPoint.Application", nullptr};
  static const char16_t* const kWpsClasses[] = {u"KWPP.Application", u"WPP.Application", nullptr};
  const char16_t* const* classes = type_ == Wps ? kWpsClasses : kPowerPointClasses;
  if (ports_.automation) {
    for (; *classes; ++classes) {
      AutomationPtr app;
      HResult hr = ports_.automation->Create(*classes, &app);
      if (Succeeded(hr) && app) {
        application_ = std::move(app);
        progId_ = *classes;
        break;
      }
      // Only an unknown class name sends us on to the next one; a class that
      // exists but cannot be created leaves this back-end inert.
      if (hr != kClassNotRegistered && hr != kInvalidProgId) break;
    }
  }

  ReadActivePresentation();
  ReadSlideShowSettings();
  ReadSlideShowWindow();
  HResult hr = ReadView();

  if (application_) {
    PutProperty(Hold(application_).get(), u"Visible", AutoValue::Bool(false));
    auto sink = std::make_shared<CPowerPointEventSink>();
    std::uint32_t cookie = 0;
    if (Succeeded(application_->Advise(kApplicationEventsIid, sink, &cookie))) {
      sinkCookie_ = cookie;
      sink->SetReceiver(this);
      sink_ = sink;
    }
  }

  ReadVersion();
  return hr;
}

void CPowerPointMgrImpl::UnadviseSink() {
  if (application_ && sinkCookie_ != 0) {
    if (auto sink = sink_.lock()) sink->SetReceiver(nullptr);
    application_->Unadvise(kApplicationEventsIid, sinkCookie_);
    sinkCookie_ = 0;
    sink_.reset();
  }
}

void CPowerPointMgrImpl::ReleaseObjects() {
  view_.reset();
  slideShowWindow_.reset();
  slideShowSettings_.reset();
  activePresentation_.reset();
  application_.reset();
}

bool CPowerPointMgrImpl::RefreshPresentation() {
  if (!application_) return false;
  ReadActivePresentation();
  return activePresentation_ != nullptr;
}

bool CPowerPointMgrImpl::IsShowActive() {
  if (!application_) return false;
  ReadActivePresentation();
  ReadSlideShowWindow();
  ReadView();
  return view_ != nullptr;
}

HResult CPowerPointMgrImpl::RunShow() {
  ReadActivePresentation();
  ReadSlideShowSettings();
  if (!slideShowSettings_) return kFail;
  HResult hr = CallMethod(Hold(slideShowSettings_).get(), u"Run", {}, nullptr);
  ActivateShowWindow();
  return hr;
}

HResult CPowerPointMgrImpl::ExitShow() {
  if (!view_) return kFail;
  return CallMethod(Hold(view_).get(), u"Exit", {}, nullptr);
}

HResult CPowerPointMgrImpl::Navigate(const char16_t* method) {
  ActivateShowWindow();
  if (!view_) return kFail;
  return CallMethod(Hold(view_).get(), method, {}, nullptr);
}

HResult CPowerPointMgrImpl::GotoSlide(std::int32_t index) {
  ActivateShowWindow();
  if (!view_) return kFail;
  return CallMethod(Hold(view_).get(), u"GotoSlide", {AutoValue::Int32(index)}, nullptr);
}

void CPowerPointMgrImpl::ReadPosition(std::uint64_t slideChanges, SlidePosition* position) {
  *position = SlidePosition();
  if (!activePresentation_) return;
  DeckFacts facts;
  const bool counted = ReadDeckFacts(Hold(activePresentation_).get(), &facts);
  position->count = facts.count;
  position->aspect = DeckAspect(facts);
  position->revision = DeckRevision(facts, slideChanges);
  // Slides by index and a page size to draw them at: what an export needs.
  position->images = counted && position->aspect > 0;
  if (!view_) return;
  AutomationPtr slide;
  AutoValue index;
  if (Succeeded(GetObjectProperty(Hold(view_).get(), u"Slide", &slide)) && slide &&
      Succeeded(GetProperty(slide.get(), u"SlideIndex", &index)) &&
      index.kind == AutoValue::Kind::Int32 && index.intValue >= 1)
    position->index = index.intValue;
}

HResult CPowerPointMgrImpl::NextSlide() { return Navigate(u"Next"); }
HResult CPowerPointMgrImpl::PreviousSlide() { return Navigate(u"Previous"); }
HResult CPowerPointMgrImpl::FirstSlide() { return Navigate(u"First"); }
HResult CPowerPointMgrImpl::LastSlide() { return Navigate(u"Last"); }

void CPowerPointMgrImpl::ActivateShowWindow() {
  if (!ports_.desktop) return;
  IDesktop& desktop = *ports_.desktop;
  // The other application's show window first, our own last, so that ours
  // ends up in front and receives the input that follows.
  const PowerPointType order[] = {type_ == Wps ? PowerPoint : Wps, type_};
  for (PowerPointType type : order) {
    WindowHandle window = FindShowWindow(desktop, type);
    if (!window) continue;
    desktop.ShowWindowCommand(window, kShowCommandShow);
    if (desktop.IsMinimized(window)) desktop.ShowWindowCommand(window, kShowCommandRestore);
    desktop.SetForeground(window);
    desktop.BringToTop(window);
  }
}

WindowHandle CPowerPointMgrImpl::FindShowWindow(IDesktop& desktop, PowerPointType type) {
  if (type == Wps) {
    for (WindowHandle w = desktop.FindTopWindow(0, u"QWidget"); w;
         w = desktop.FindTopWindow(w, u"QWidget")) {
      if (desktop.WindowTitle(w, kTitleChars).find(kWpsShowTitle) != std::u16string::npos) return w;
    }
    return 0;
  }
  for (const char16_t* cls : {u"paneClassDC", u"screenClass"}) {
    for (WindowHandle w = desktop.FindTopWindow(0, cls); w; w = desktop.FindTopWindow(w, cls)) {
      if (!(desktop.WindowStyle(w) & kStyleMinimizeBox)) return w;
    }
  }
  return 0;
}

HResult CPowerPointMgrImpl::ReadNotes(std::u16string* text) {
  text->clear();
  if (!view_) return kFail;
  AutomationPtr slide, notesPage, shapes, placeholders, frame, range;
  HResult hr = GetObjectProperty(Hold(view_).get(), u"Slide", &slide);
  if (Succeeded(hr)) hr = GetObjectProperty(slide.get(), u"NotesPage", &notesPage);
  if (Succeeded(hr)) hr = GetObjectProperty(notesPage.get(), u"Shapes", &shapes);
  if (Succeeded(hr)) hr = GetObjectProperty(shapes.get(), u"Placeholders", &placeholders);
  AutoValue body;
  if (Succeeded(hr)) {
    hr = CallMethod(placeholders.get(), u"Item", {AutoValue::Int32(2)}, &body);
    if (Succeeded(hr) && (body.kind != AutoValue::Kind::Object || !body.object)) hr = kFail;
  }
  if (Succeeded(hr)) hr = GetObjectProperty(body.object.get(), u"TextFrame", &frame);
  if (Succeeded(hr)) hr = GetObjectProperty(frame.get(), u"TextRange", &range);
  AutoValue value;
  if (Succeeded(hr)) hr = GetProperty(range.get(), u"Text", &value);
  if (Succeeded(hr) && value.kind == AutoValue::Kind::Text) *text = value.text;
  return hr;
}

std::u16string CPowerPointMgrImpl::ReadVersion() {
  if (version_.empty()) {
    if (type_ == Wps) {
      std::u16string text;
      if (ports_.registry &&
          ports_.registry->ReadUserString(kWpsVersionKey, u"Version", kVersionBufferBytes, &text))
        version_ = text;
    } else if (application_) {
      AutoValue value;
      if (Succeeded(GetProperty(Hold(application_).get(), u"Version", &value)) &&
          value.kind == AutoValue::Kind::Text)
        version_ = value.text;
    }
    versionNumber_.store(ParseVersionNumber(version_));
  }
  return version_;
}

void CPowerPointMgrImpl::ReadSlideSize(std::int32_t* width, std::int32_t* height) {
  *width = 0;
  *height = 0;
  AutomationPtr sized;
  if (type_ == PowerPoint) {
    if (!activePresentation_ ||
        Failed(GetObjectProperty(Hold(activePresentation_).get(), u"SlideMaster", &sized)))
      return;
  } else {
    sized = slideShowWindow_;
    if (!sized) return;
  }
  AutoValue value;
  double number = 0;
  if (Succeeded(GetProperty(sized.get(), u"Width", &value)) && AsNumber(value, &number))
    *width = TruncateToInt32(number);
  if (Succeeded(GetProperty(sized.get(), u"Height", &value)) && AsNumber(value, &number))
    *height = TruncateToInt32(number);
}

ScreenRect CPowerPointMgrImpl::ComputeSlideRect() {
  ScreenRect window;
  if (ports_.desktop) {
    WindowHandle handle = FindShowWindow(*ports_.desktop, type_);
    if (handle && !ports_.desktop->WindowRect(handle, &window)) window = ScreenRect();
  }
  std::int32_t width = 0, height = 0;
  ReadSlideSize(&width, &height);
  return FitSlideInWindow(window, width, height);
}

HResult CPowerPointMgrImpl::SetPointerType(PointerType pointer) {
  if (!view_) return kFail;
  HResult hr = PutProperty(Hold(view_).get(), u"PointerType",
                           AutoValue::Int32(pointer == PointerPen ? 2 : 0));
  if (Succeeded(hr)) pointerType_.store(pointer);
  return hr;
}

void CPowerPointMgrImpl::MapToScreen(double x, double y, std::int32_t* px, std::int32_t* py) const {
  const ScreenRect r = slideRect_.Load();
  *px = TruncateToInt32((double(r.right) - r.left) * x + r.left);
  *py = TruncateToInt32((double(r.bottom) - r.top) * y + r.top);
  if (*px <= r.left) *px = r.left + 1;
}

void CPowerPointMgrImpl::SendAbsoluteMouse(std::int32_t px, std::int32_t py, std::uint32_t flags) {
  InputRecord record;
  record.kind = InputRecord::Kind::Mouse;
  ToAbsoluteInput(px, py, screenWidth_.load(), screenHeight_.load(), &record.dx, &record.dy);
  record.flags = flags;
  if (ports_.desktop) ports_.desktop->SendInputRecord(record);
}

void CPowerPointMgrImpl::SendKey(std::uint16_t virtualKey, std::uint32_t flags) {
  InputRecord record;
  record.kind = InputRecord::Kind::Key;
  record.virtualKey = virtualKey;
  record.flags = flags;
  if (ports_.desktop) ports_.desktop->SendInputRecord(record);
}

void CPowerPointMgrImpl::Press(double x, double y) {
  if (CurrentPointerType() == PointerLaser) SendKey(kVirtualKeyControl, 0);
  std::int32_t px, py;
  MapToScreen(x, y, &px, &py);
  SendAbsoluteMouse(px, py, kMouseAbsolute | kMouseVirtualDesk | kMouseMove | kMouseLeftDown);
}

void CPowerPointMgrImpl::Move(double x, double y) {
  std::int32_t px, py;
  MapToScreen(x, y, &px, &py);
  SendAbsoluteMouse(px, py, kMouseAbsolute | kMouseVirtualDesk | kMouseMove);
}

void CPowerPointMgrImpl::Release() {
  InputRecord record;
  record.kind = InputRecord::Kind::Mouse;
  record.flags = kMouseVirtualDesk | kMouseLeftUp;
  if (ports_.desktop) ports_.desktop->SendInputRecord(record);
  if (CurrentPointerType() == PointerLaser) SendKey(kVirtualKeyControl, kKeyUp);
}

void CPowerPointMgrImpl::PressEraseKey() { SendKey(kVirtualKeyE, 0); }

void CPowerPointMgrImpl::OnEvent(std::int32_t eventId, const std::vector<AutoValue>& reversedArgs) {
  std::int32_t passed = -1;
  switch (eventId) {
    case EventPresentationClose:
    case EventPresentationOpen:
      if (type_ == PowerPoint) passed = eventId;
      break;
    case EventWindowActivate:
      if (type_ == Wps && !reversedArgs.empty() &&
          reversedArgs[0].kind == AutoValue::Kind::Object && reversedArgs[0].object) {
        AutoValue state;
        double number = 0;
        if (Succeeded(GetProperty(reversedArgs[0].object.get(), u"WindowState", &state)) &&
            AsNumber(state, &number) && number == kMaximized)
          passed = EventPresentationOpen;
      }
      break;
    case EventSlideShowBegin:
    case EventSlideShowNextSlide:
    case EventSlideShowEnd:
      passed = eventId;
      break;
    case EventPresentationBeforeClose:
    case EventWpsPresentationClose:
      if (type_ == Wps) passed = EventPresentationClose;
      break;
    default:
      break;
  }
  if (passed < 0) return;

  RereadChain();
  if (passed == EventSlideShowBegin) {
    ReadScreenSize();
    // The rectangle before the flag, so that a reader who sees the show
    // running also sees its rectangle.
    slideRect_.Store(ComputeSlideRect());
    showRunning_.store(1);
  } else if (passed == EventSlideShowEnd) {
    showRunning_.store(0);
  }
  if (handler_) handler_->OnPowerPointEvent(this, passed);
}
