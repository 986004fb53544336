#include "ui/terminal/terminal_view.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <mutex>

#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/post.hpp>

#include "app/state_texts.h"
#include "presentation/powerpoint_mgr.h"
#include "presentation/simulated_office.h"
#include "ui/terminal/terminal_texts.h"
#include "ui/terminal/transport_status.h"

namespace {

constexpr int kSpinMs = 100;  // a frame of the loading animation

bool ColourWanted() {
  const char* no = std::getenv("NO_COLOR");
  return !(no && *no);
}

}  // namespace

// Tells the view's loop that a simulated application changed; runs on
// whichever thread raised the event, so it only hands over.
class CTerminalView::ShowWatcher : public IAutomationEventSink,
                                   public std::enable_shared_from_this<ShowWatcher> {
 public:
  ShowWatcher(boost::asio::io_context& io, CTerminalView* view) : io_(io), view_(view) {}
  HResult Invoke(std::int32_t, const std::vector<AutoValue>&) override {
    std::lock_guard<std::mutex> lock(lock_);
    if (view_ && !pending_) {
      pending_ = true;
      std::shared_ptr<ShowWatcher> self = shared_from_this();
      boost::asio::post(io_, [self] {
        CTerminalView* view;
        {
          std::lock_guard<std::mutex> lock(self->lock_);
          self->pending_ = false;
          view = self->view_;
        }
        if (view) view->OnShowChanged();
      });
    }
    return kOk;
  }
  void Detach() {
    std::lock_guard<std::mutex> lock(lock_);
    view_ = nullptr;
  }

 private:
  boost::asio::io_context& io_;
  std::mutex lock_;
  CTerminalView* view_;
  bool pending_ = false;
};

CTerminalView::CTerminalView(boost::asio::io_context& io, CMainController& controller,
                             CPowerPointMgr* mgr,
                             std::shared_ptr<CSimulatedPresentationApp> powerPoint,
                             std::shared_ptr<CSimulatedPresentationApp> wps, bool interactive,
                             std::FILE* out, CTerminalScreen* screen)
    : io_(io),
      controller_(controller),
      mgr_(mgr),
      powerPoint_(std::move(powerPoint)),
      wps_(std::move(wps)),
      app_(powerPoint_ ? powerPoint_ : wps_),
      interactive_(interactive),
      out_(out),
      screen_(screen),
      colour_(ColourWanted()),
      input_(io),
      signals_(io, SIGINT, SIGTERM),
      spinner_(io) {
  if (interactive_ && !screen_) {
    ownScreen_ = std::make_unique<CTerminalScreen>(STDIN_FILENO, out_);
    screen_ = ownScreen_.get();
  }
  updateOffered_ = controller_.GetUpdateState() == CMainController::kUpdateOptional;
}

CTerminalView::~CTerminalView() { Stop(); }

void CTerminalView::SetTransportStatus(TransportStatus* status) {
  status_ = status;
  if (!status_) return;
  boost::asio::io_context* io = &io_;
  status_->OnChange([this, io] { boost::asio::post(*io, [this] { ScheduleRedraw(); }); });
}

void CTerminalView::Start() {
  if (interactive_) {
    screen_->Enter();
    boost::system::error_code ec;
    signals_.add(SIGHUP, ec);
    signals_.add(SIGWINCH, ec);
    signals_.add(SIGTSTP, ec);
  } else {
    boost::system::error_code ec;
    signals_.add(SIGHUP, ec);
  }
  boost::system::error_code ec;
  input_.assign(dup(STDIN_FILENO), ec);
  // A regular file or /dev/null cannot be waited on: then no commands.
  if (!ec) ReadInput();
  WaitSignal();
  WatchShows();
  OnShowChanged();
  ScheduleRedraw();
}

void CTerminalView::Stop() {
  boost::system::error_code ec;
  input_.close(ec);
  signals_.cancel(ec);
  spinning_ = false;
  spinner_.cancel();
  if (status_) status_->OnChange(nullptr);
  if (watcher_) watcher_->Detach();
  for (auto& w : watched_) w.first->Unadvise(kApplicationEventsIid, w.second);
  watched_.clear();
  if (screen_ && screen_->Active()) {
    screen_->Leave();
    for (const std::string& line : afterExit_) Print(line);
  }
  afterExit_.clear();
}

void CTerminalView::ReadInput() {
  // Keys arrive one by one in raw mode, lines otherwise: read what is there.
  input_.async_read_some(
      inputBuffer_.prepare(256), [this](const boost::system::error_code& ec, std::size_t n) {
        if (ec) {
          // End of input. A required update cannot wait for an answer that
          // will never come: it counts as closing the notice.
          if (ec != boost::asio::error::operation_aborted && updateRequired_ &&
              dialog_ == Dialog::Update) {
            AnswerUpdate(2);
          }
          return;
        }
        inputBuffer_.commit(n);
        std::istream in(&inputBuffer_);
        if (interactive_) {
          char c;
          while (in.get(c)) {
            if (c == 27 && (in.peek() == '[' || in.peek() == 'O')) {
              // An arrow or function key arrives as one sequence; it means
              // nothing here and must not count as Esc.
              in.get(c);
              while (in.get(c) && !(c >= 0x40 && c <= 0x7E)) {
              }
              continue;
            }
            OnKey(c);
          }
          inputBuffer_.consume(inputBuffer_.size());
        } else {
          std::string data(boost::asio::buffers_begin(inputBuffer_.data()),
                           boost::asio::buffers_end(inputBuffer_.data()));
          std::size_t used = 0;
          for (std::size_t nl; (nl = data.find('\n', used)) != std::string::npos; used = nl + 1) {
            OnLine(data.substr(used, nl - used));
          }
          inputBuffer_.consume(used);
          // A line without end longer than this is junk.
          if (inputBuffer_.size() > 4096) {
            inputBuffer_.consume(inputBuffer_.size());
          }
        }
        if (!ended_) ReadInput();
      });
}

void CTerminalView::WaitSignal() {
  signals_.async_wait([this](const boost::system::error_code& ec, int sig) {
    if (ec) return;
    OnSignal(sig);
    if (!ended_) WaitSignal();
  });
}

void CTerminalView::OnSignal(int sig) {
  switch (sig) {
    case SIGWINCH:
      if (screen_) screen_->Invalidate();
      ScheduleRedraw();
      break;
    case SIGTSTP:
      // Ctrl-Z: hand the shell its screen back while stopped.
      if (screen_) screen_->Leave();
      raise(SIGSTOP);
      if (screen_ && !ended_) screen_->Enter();
      ScheduleRedraw();
      break;
    default:
      // Ctrl-C, a termination request or a lost terminal close at once.
      if (updateRequired_) {
        AnswerUpdate(2);
      } else {
        Close(true);
      }
      break;
  }
}

void CTerminalView::WatchShows() {
  // The simulated application has no window of its own to watch; its
  // application events say when the presenter's view of it changed.
  watcher_ = std::make_shared<ShowWatcher>(io_, this);
  for (const auto& app : {powerPoint_, wps_}) {
    if (!app) continue;
    AutomationPtr object = app->CreateApplicationObject();
    std::uint32_t cookie = 0;
    if (object && Succeeded(object->Advise(kApplicationEventsIid, watcher_, &cookie))) {
      watched_.emplace_back(object, cookie);
    }
  }
}

void CTerminalView::OnShowChanged() {
  std::string show = ShowText();
  if (show == printedShow_) return;
  printedShow_ = show;
  if (interactive_) {
    ScheduleRedraw();
  } else {
    Print("show: " + show);
  }
}

void CTerminalView::SetShowText(const std::string& text) {
  externalShow_ = text;
  OnShowChanged();
}

// --- keys and dialogs --------------------------------------------------------

void CTerminalView::OnKey(char key) {
  if (ended_) return;
  if (dialog_ != Dialog::None) {
    DialogKey(key);
    return;
  }
  std::shared_ptr<CSimulatedPresentationApp> app = app_;
  switch (key) {
    case 'c':
    case '\n':
    case '\r':
      if (connectButton_) controller_.OnConnectButton();
      break;
    case 'r':
      if (retry_) controller_.OnRetryOrCancel();
      break;
    case 'x':
      if (cancel_) controller_.OnRetryOrCancel();
      break;
    case 'q':
      Close(false);
      break;
    case 'a':
      if (interactive_) {
        dialog_ = Dialog::About;
      } else {
        Print("about: " + Utf8(kAboutTitle) + ": " + Utf8(kAboutVersion) + "  " +
              Utf8(kWebsiteLabel) + " " + kOfficialWebsite);
      }
      break;
    case 'w':
      notice_ = std::string("website: ") + kOfficialWebsite;
      if (!interactive_) Print(notice_);
      break;
    case 'u':
      if (updateOffered_) OpenUpdate();
      break;
    case 'o':
      if (app) app->OpenPresentation(CSimulatedOffice::WideSamplePresentation());
      break;
    case 's':
      if (app) app->StartShow();
      break;
    case 'n':
      if (app) app->NextSlide();
      break;
    case 'p':
      if (app) app->PreviousSlide();
      break;
    case 'e':
      if (app) app->EndShow();
      break;
    case 'k':
      if (powerPoint_ && wps_) app_ = app_ == wps_ ? powerPoint_ : wps_;
      OnShowChanged();
      break;
    case 'b':
      browserQr_ = !browserQr_;
      if (!interactive_ && !browserAddress_.empty()) Print("browser: " + browserAddress_);
      break;
    default:
      return;
  }
  ScheduleRedraw();
}

void CTerminalView::DialogKey(char key) {
  constexpr char kEsc = 27;
  switch (dialog_) {
    case Dialog::Close:
      // Only "关闭并断开" lets the client quit.
      if (key == 'y' || key == 'Y') {
        Close(true);
      } else if (key == 'n' || key == 'N' || key == 'q' || key == kEsc) {
        dialog_ = Dialog::None;
      }
      break;
    case Dialog::About:
      if (key == 'w') {
        notice_ = std::string("website: ") + kOfficialWebsite;
      } else if (key == '\n' || key == '\r' || key == 'q' || key == 'a' || key == kEsc) {
        dialog_ = Dialog::None;
      }
      break;
    case Dialog::Update:
      if (key == 'd' || key == 'y' || key == 'Y' || key == '\n' || key == '\r') {
        AnswerUpdate(1);
      } else if (key == 'n' || key == 'N' || key == 'q' || key == kEsc) {
        AnswerUpdate(2);
      }
      break;
    case Dialog::None:
      break;
  }
  ScheduleRedraw();
}

void CTerminalView::OpenUpdate() {
  // The corner key works once, as the window's update corner hides itself.
  updateOffered_ = false;
  dialog_ = Dialog::Update;
  if (!interactive_) {
    Print("update: " + Utf8(kUpdateNotice));
    Print("update: download from the website? (yes/no)");
  }
}

void CTerminalView::AnswerUpdate(int result) {
  if (dialog_ != Dialog::Update) return;
  dialog_ = Dialog::None;
  // 1881: 2 = 1 after the download button, 3 = 1 after the close button.
  if (reports_) {
    if (Report::IReportData* data = reports_->CreateData(Report::ReportCmdUpdate)) {
      data->PutValues(2, result == 1 ? Report::Field::UpdateDownload : Report::Field::UpdateClose,
                      Report::Int, 1, Report::Field::Marker, Report::Int, 1);
      reports_->SendData(data, Report::Queued, 0, 0);
      reports_->ReleaseData(data);
    }
  }
  const std::string website = std::string("website: ") + kOfficialWebsite;
  if (result == 1) {
    // A terminal has no browser to open: the address is shown to be opened.
    notice_ = website;
    if (!interactive_) Print(website);
    if (updateRequired_)
      afterExit_.push_back("Download the new version from " + std::string(kOfficialWebsite));
  }
  if (updateRequired_) {
    ended_ = true;
    if (!interactive_) Print("closed");
    boost::asio::post(io_, [this] { io_.stop(); });
  }
  ScheduleRedraw();
}

void CTerminalView::OnLine(const std::string& raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  static const std::pair<const char*, char> kWords[] = {
      {"connect", 'c'}, {"retry", 'r'}, {"cancel", 'x'}, {"close", 'q'},
      {"yes", 'y'},     {"no", 'n'},    {"about", 'a'},  {"website", 'w'},
      {"update", 'u'},  {"open", 'o'},  {"start", 's'},  {"next", 'n'},
      {"prev", 'p'},    {"end", 'e'},   {"switch", 'k'}, {"browser", 'b'}};
  for (const auto& w : kWords) {
    if (line == w.first) return OnKey(w.second);
  }
  if (line.size() == 1) OnKey(line[0]);
}

void CTerminalView::Close(bool confirmed) {
  if (ended_) return;
  if (!confirmed && controller_.GetState() == CMainController::Connected) {
    dialog_ = Dialog::Close;
    if (!interactive_) {
      Print("close: " + Utf8(kCloseQuestion) + " (yes/no)");
    }
    ScheduleRedraw();
    return;
  }
  dialog_ = Dialog::None;
  closeConfirmed_ = true;
  controller_.OnClose();
  closeConfirmed_ = false;
}

void CTerminalView::EndDialog(int result) {
  ended_ = true;
  if (!interactive_) Print("closed");
  // The controller still says goodbye to the phone after this returns; the
  // loop ends once that call is done.
  boost::asio::post(io_, [this] { io_.stop(); });
}

void CTerminalView::RunRequiredUpdate() {
  updateRequired_ = true;
  if (interactive_) {
    dialog_ = Dialog::Update;
    ScheduleRedraw();
    return;
  }
  // Line mode: the notice and the address, then the program ends.
  ended_ = true;
  Print("update: " + Utf8(kUpdateNotice));
  Print(std::string("website: ") + kOfficialWebsite);
  boost::asio::post(io_, [this] { io_.stop(); });
}

// --- the window's controls ---------------------------------------------------

void CTerminalView::ShowLoading(bool show) { loading_ = show; }
void CTerminalView::SetLoadingAnimation(bool run) {
  if (!interactive_ || run == spinning_) return;
  spinning_ = run;
  if (run) {
    Spin();
  } else {
    spinner_.cancel();
  }
}

void CTerminalView::Spin() {
  spinner_.expires_after(std::chrono::milliseconds(kSpinMs));
  spinner_.async_wait([this](const boost::system::error_code& ec) {
    if (ec || !spinning_ || ended_) return;
    ++spinFrame_;
    ScheduleRedraw();
    Spin();
  });
}
void CTerminalView::ShowRetryText(bool show) { retry_ = show; }
void CTerminalView::ShowConnectButton(bool show) { connectButton_ = show; }
void CTerminalView::SetConnectButtonText(const std::u16string& caption) {
  connectCaption_ = caption;
}
void CTerminalView::ShowCancelText(bool show) { cancel_ = show; }
void CTerminalView::ShowQrCode(bool show) { qr_ = show; }

void CTerminalView::SetPairingAddress(const std::string& address) {
  address_ = address;
  symbol_.Encode(address);
  if (!interactive_ && !address.empty() && address != printedAddress_) {
    printedAddress_ = address;
    Print("pairing: " + address);
  }
  ScheduleRedraw();
}

void CTerminalView::SetBrowserAddress(const std::string& address) {
  if (address == browserAddress_) return;
  browserAddress_ = address;
  browserSymbol_.Encode(address);
  if (!interactive_ && !address.empty()) Print("browser: " + address);
  ScheduleRedraw();
}

void CTerminalView::Invalidate() {
  if (!interactive_) {
    CMainController::State s = controller_.GetState();
    if (s != printedState_) {
      printedState_ = s;
      StateTexts t = TextsForState(s);
      Print("state: " + std::to_string(static_cast<int>(s)) + " " + LabelOfState(s).name + " " +
            Utf8(t.first) + " / " + Utf8(t.second));
    }
  }
  ScheduleRedraw();
}

void CTerminalView::ShowLaser(double x, double y) {
  laser_ = true;
  laserX_ = x;
  laserY_ = y;
  if (!interactive_) Print("laser: show " + LaserText());
  ScheduleRedraw();
}

void CTerminalView::MoveLaser(double x, double y) {
  if (!laser_) return;  // a move never creates the dot
  laserX_ = x;
  laserY_ = y;
  if (!interactive_) Print("laser: move " + LaserText());
  ScheduleRedraw();
}

void CTerminalView::HideLaser() {
  if (!laser_) return;
  laser_ = false;
  if (!interactive_) Print("laser: hide");
  ScheduleRedraw();
}

// --- drawing -----------------------------------------------------------------

void CTerminalView::SetTransportNote(const std::u16string& note) {
  std::string text = note.empty() ? std::string() : Utf8(note);
  if (text == transportNote_) return;
  transportNote_ = text;
  if (!interactive_) {
    Print("note: " + (text.empty() ? std::string("-") : text));
  } else {
    ScheduleRedraw();
  }
}

void CTerminalView::SetPhoneDescription(const std::u16string& who) {
  std::string text = PrintableText(Utf8(who));
  if (text == phone_) return;
  phone_ = text;
  if (!interactive_) {
    if (!text.empty()) Print("phone: " + text);
  } else {
    ScheduleRedraw();
  }
}

void CTerminalView::Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void CTerminalView::ScheduleRedraw() {
  if (!interactive_ || redrawPending_) return;
  redrawPending_ = true;
  // Changes that come together (a state change sets several controls) are
  // drawn as one frame.
  boost::asio::post(io_, [this] {
    redrawPending_ = false;
    if (!ended_) Redraw();
  });
}
