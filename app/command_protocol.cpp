// The conversation with the phone: what each of its messages does, and the
// "state" and "note" messages that answer it from the presentation manager.
#include <cmath>
#include <cstdint>
#include <utility>

#include "app/controller.h"
#include "app/state_texts.h"

namespace {

JsonPtr NumberMember(const std::u16string& name, std::int32_t value) {
  JsonPtr n = JsonNew(JsonKind::Number);
  n.SetName(name);
  n.SetInt(value);
  return n;
}

// "x" then "y" as finite numbers; anything else leaves the command undone.
bool ReadPoint(const JsonPtr& message, double* x, double* y) {
  JsonPtr* px = message.Find(u"x");
  if (!px || px->Kind() != JsonKind::Number) return false;
  JsonPtr* py = message.Find(u"y");
  if (!py || py->Kind() != JsonKind::Number) return false;
  *x = px->AsDouble();
  *y = py->AsDouble();
  return std::isfinite(*x) && std::isfinite(*y);
}

}  // namespace

JsonPtr CMainController::MakeStateMessage(bool appFound, bool showRunning, bool userStartedWpp) {
  JsonPtr m = MakeMessage(u"state");
  std::int32_t value = (appFound ? 1 : 0) + (showRunning ? 2 : 0);
  m.Append(NumberMember(u"state", value));
  if (value == 0 && userStartedWpp) m.Append(JsonNewString(u"error", kWpsOpenedFirstText));
  return m;
}

JsonPtr CMainController::MakeSlideMember(const SlidePosition& position) {
  JsonPtr slide = JsonNew(JsonKind::Object);
  slide.SetName(u"slide");
  slide.Append(NumberMember(u"index", position.index));
  slide.Append(NumberMember(u"count", position.count));
  JsonPtr aspect = JsonNew(JsonKind::Number);
  aspect.SetName(u"aspect");
  // Four decimals place a slide to well under a pixel on any phone.
  aspect.SetDouble(std::isfinite(position.aspect) && position.aspect > 0
                       ? std::round(position.aspect * 10000) / 10000
                       : 0.0);
  slide.Append(aspect);
  slide.Append(JsonNewString(u"revision",
                             std::u16string(position.revision.begin(), position.revision.end())));
  JsonPtr images = JsonNew(JsonKind::Boolean);
  images.SetName(u"images");
  images->boolValue = position.images;
  images->decoded = true;
  slide.Append(images);
  return slide;
}

JsonPtr CMainController::MakeNoteMessage(const std::u16string& notes) {
  JsonPtr m = MakeMessage(u"note");
  m.Append(JsonNewString(u"note", notes));
  return m;
}

void CMainController::SendToPhone(JsonPtr message, std::int32_t cookie) {
  if (SessionRef primary = sessions_.Primary()) primary->Send(message, cookie);
}

void CMainController::OnMessage(SessionType from, JsonPtr& message) {
  {
    // A session that lost the greeting race may still deliver until the UI
    // thread has detached it; it no longer speaks for the phone.
    std::lock_guard<std::mutex> lock(fieldsLock_);
    if (sessions_.RetiredSenderLocked(from)) return;
  }

  State next = Connected;
  std::u16string name;
  if (JsonPtr* msg = message.Find(u"msg"); msg && msg->Kind() == JsonKind::String) {
    name = msg->AsString();
  }
  IPresentationControl& show = *presentation_;
  double x = 0, y = 0;
  if (name == u"hello") {
    if (!OnHello(from, message)) return;
  } else if (name == u"bye") {
    if (SessionRef primary = sessions_.Primary()) primary->DropPeer();
    next = WaitingForPhone;
  } else if (name == u"start") {
    show.StartShow();
  } else if (name == u"laser_move") {
    if (ReadPoint(message, &x, &y) && show.IsShowRunning()) {
      if (show.HasNativeLaser()) {
        show.PointerMove(x, y);
      } else {
        PostMoveLaser(x, y);
      }
    }
  } else if (name == u"pen_move") {
    if (ReadPoint(message, &x, &y)) show.PointerMove(x, y);
  } else if (name == u"stop") {
    show.ExitShow();
  } else if (name == u"next") {
    show.NextSlide();
  } else if (name == u"prev") {
    show.PreviousSlide();
  } else if (name == u"first") {
    show.FirstSlide();
  } else if (name == u"last") {
    show.LastSlide();
  } else if (name == u"laser_down") {
    if (ReadPoint(message, &x, &y) && show.IsShowRunning()) {
      if (show.HasNativeLaser()) {
        show.PointerDown(PointerLaser, x, y);
      } else {
        PostShowLaser(x, y);
      }
    }
  } else if (name == u"pen_down") {
    if (ReadPoint(message, &x, &y)) show.PointerDown(PointerPen, x, y);
  } else if (name == u"laser_up") {
    if (show.HasNativeLaser()) {
      show.PointerUp();
    } else {
      PostHideLaser();
    }
  } else if (name == u"pen_up") {
    show.PointerUp();
  } else if (name == u"erase") {
    show.EraseInk();
  } else if (name == u"goto") {
    GoToSlide(message);
  }
  // Any message, known or not, shows that the phone is there. A change
  // posted before (the previous phone's loss, say) may still be on its way
  // to the window; it must not have the last word over this message.
  if (next != GetState() || next != lastPostedState_.load()) PostState(next);
}

bool CMainController::OnHello(SessionType from, JsonPtr& message) {
  std::shared_ptr<INetSession> loser;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    // Checked again under the lock that settles the race: of two greetings
    // at the same moment, the first to get here wins.
    if (sessions_.RetiredSenderLocked(from)) return false;
    loser = sessions_.GreetLocked(from);
    // Stopped from now on: it no longer counts as a transport that can pair.
    if (loser) starts_.Forget(loser.get());
    notesWanted_ = false;
    if (JsonPtr* note = message.Find(u"note")) {
      notesWanted_ = static_cast<std::uint32_t>(note->AsInt64()) == 1;
    }
  }
  if (loser) PostToUi([this, loser] { sessions_.DetachRetired(loser, kPlainCookie); });
  presentation_->QueryState();
  // The phone has answered our own "hello" after a reconnect.
  if (GetState() == Connecting) PostKillTimer(kHelloTimer);
  return true;
}

// --- answers from the presentation manager -----------------------------------

SlidePosition CMainController::Position() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return position_;
}

JsonPtr CMainController::BrowserStateMessage(const JsonPtr& appState,
                                             const SlidePosition& position) {
  JsonPtr browser = JsonParse(JsonWrite(appState));  // a tree of its own
  browser.Append(MakeSlideMember(position));
  return browser;
}

void CMainController::GoToSlide(const JsonPtr& message) {
  const JsonPtr* slide = message.Find(u"slide");
  if (!slide || slide->Kind() != JsonKind::Number) return;
  const double n = slide->AsDouble();
  const std::int32_t count = Position().count;
  if (!(n >= 1 && n <= count) || n != std::floor(n)) return;
  presentation_->GotoSlide(static_cast<std::int32_t>(n));
}

void CMainController::OnSlidePosition(const SlidePosition& position) {
  slideImages_->OnPosition(position);
  LastState last;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    if (position == position_) return;
    position_ = position;
    last = lastState_;
  }
  // Only a browser hears of the move; the app's phones get what they always
  // got. Before the first "state" there is nothing to repeat. The move itself
  // says whether a show runs (its state answer may still be on its way).
  if (!last.known) return;
  const bool showRunning = position.index > 0;
  const bool appFound = last.appFound || showRunning;
  JsonPtr state =
      MakeStateMessage(appFound, showRunning, last.userStartedWpp && !appFound && !showRunning);
  JsonPtr none;
  JsonPtr browser = BrowserStateMessage(state, position);
  if (SessionRef primary = sessions_.Primary()) primary->SendByKind(none, browser, kPlainCookie);
}

void CMainController::OnSlideImage(const SlideImage& image) { slideImages_->OnImage(image); }

void CMainController::AnswerState(bool appFound, bool showRunning) {
  bool userStartedWpp = !appFound && !showRunning && presentation_->HasUserStartedWpp();
  JsonPtr app = MakeStateMessage(appFound, showRunning, userStartedWpp);
  SlidePosition position;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    lastState_ = LastState{true, appFound, showRunning, userStartedWpp};
    position = position_;
  }
  JsonPtr browser = BrowserStateMessage(app, position);
  if (SessionRef primary = sessions_.Primary()) primary->SendByKind(app, browser, kPlainCookie);
  if (showRunning) {
    if (NotesWanted()) presentation_->RequestNotes();
  } else {
    // A PC-drawn laser dot never outlives the show.
    PostHideLaser();
  }
}

void CMainController::OnState(bool appFound, bool showRunning) {
  AnswerState(appFound, showRunning);
}

void CMainController::OnCommandFailed(bool appFound, bool showRunning) {
  AnswerState(appFound, showRunning);
  if (!showRunning) PostHideLaser();
}

void CMainController::OnNotes(const std::u16string& notes) {
  if (!NotesWanted()) return;
  SendToPhone(MakeNoteMessage(notes), kPlainCookie);
}

void CMainController::OnPresentationEvent(PowerPointType type, std::int32_t eventId) {
  if (eventId == EventSlideShowNextSlide) {
    if (NotesWanted()) presentation_->RequestNotes();
    return;
  }
  // A burst of events yields one fresh "state" once 20 ms pass quietly.
  PostTimer(kQueryStateTimer, kQueryStateDelayMs);
  if (eventId == EventSlideShowBegin) presentation_->RequestVersion(type);
}
