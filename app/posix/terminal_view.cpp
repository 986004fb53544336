#include "app/posix/terminal_view.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <istream>

#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/post.hpp>

#include "app/state_texts.h"
#include "json/json.h"
#include "presentation/powerpoint_mgr.h"
#include "presentation/simulated_office.h"

namespace {

termios g_savedTermios;

const char* StateName(CMainController::State s) {
  switch (s) {
    case CMainController::Connecting:
      return "Connecting";
    case CMainController::ConnectFailed:
      return "ConnectFailed";
    case CMainController::NetworkError:
      return "NetworkError";
    case CMainController::WaitingForPhone:
      return "WaitingForPhone";
    case CMainController::Connected:
      return "Connected";
  }
  return "?";
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  ToUtf8(text, out);
  return out;
}

std::string Fraction(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

// Dark text on a light background whatever the terminal's colours, so that
// a phone camera can read the code from the screen.
constexpr char kQrColours[] = "\x1b[30;107m";
constexpr char kReset[] = "\x1b[0m";
constexpr int kQuietZone = 4;

}  // namespace

CTerminalView::CTerminalView(boost::asio::io_context& io, CMainController& controller,
                             CPowerPointMgr* mgr,
                             std::shared_ptr<CSimulatedPresentationApp> powerPoint,
                             std::shared_ptr<CSimulatedPresentationApp> wps, bool interactive,
                             std::FILE* out)
    : io_(io),
      controller_(controller),
      mgr_(mgr),
      powerPoint_(std::move(powerPoint)),
      wps_(std::move(wps)),
      app_(powerPoint_ ? powerPoint_ : wps_),
      interactive_(interactive),
      out_(out),
      input_(io),
      signals_(io, SIGINT, SIGTERM),
      showPoll_(io) {}

CTerminalView::~CTerminalView() { Stop(); }

void CTerminalView::Start() {
  if (interactive_ && tcgetattr(STDIN_FILENO, &g_savedTermios) == 0) {
    termios raw = g_savedTermios;
    raw.c_lflag &= ~(ICANON | ECHO);  // keys one by one; Ctrl-C still a signal
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    rawMode_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    std::fputs("\x1b[?25l", out_);  // hide the cursor
  }
  boost::system::error_code ec;
  input_.assign(dup(STDIN_FILENO), ec);
  // A regular file or /dev/null cannot be waited on: then no commands.
  if (!ec) ReadInput();
  WaitSignal();
  PollShow();
  ScheduleRedraw();
}

void CTerminalView::Stop() {
  boost::system::error_code ec;
  input_.close(ec);
  signals_.cancel(ec);
  showPoll_.cancel();
  if (rawMode_) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTermios);
    rawMode_ = false;
    std::fputs("\x1b[?25h\n", out_);
    std::fflush(out_);
  }
}

void CTerminalView::ReadInput() {
  // Keys arrive one by one in raw mode, lines otherwise: read what is there.
  input_.async_read_some(
      inputBuffer_.prepare(256), [this](const boost::system::error_code& ec, std::size_t n) {
        if (ec) return;  // end of input: keep running
        inputBuffer_.commit(n);
        std::istream in(&inputBuffer_);
        if (interactive_) {
          char c;
          while (in.get(c)) OnKey(c);
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
  signals_.async_wait([this](const boost::system::error_code& ec, int) {
    if (ec) return;
    Close(true);  // an interrupt counts as a confirmed close
  });
}

void CTerminalView::PollShow() {
  // The simulated application has no window of its own to watch; the
  // presenter's view of it is polled.
  std::string show = ShowText();
  if (show != printedShow_) {
    printedShow_ = show;
    if (interactive_) {
      ScheduleRedraw();
    } else {
      Print("show: " + show);
    }
  }
  showPoll_.expires_after(std::chrono::milliseconds(200));
  showPoll_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec && !ended_) PollShow();
  });
}

std::string CTerminalView::ShowText() const {
  if (!app_) return "no presentation application";
  std::string text = app_ == wps_ ? "WPS-like: " : "PowerPoint-like: ";
  SimulatedAppState s = app_->Snapshot();
  if (!s.presentationOpen) return text + "no presentation open";
  text += Utf8(s.presentationName) + ", " + std::to_string(s.slideCount) + " slides";
  if (s.showRunning) {
    text += ", show running, slide " + std::to_string(s.currentSlide);
    // While the phone holds the pen down the view's pointer is the pen
    // (the application's own value 2).
    if (s.pointerType == 2) text += ", pen";
  } else {
    text += ", not showing";
  }
  return text;
}

std::string CTerminalView::LaserText() const {
  if (!laser_) return "off";
  std::string text = "x " + Fraction(laserX_) + ", y " + Fraction(laserY_);
  if (mgr_) {
    ScreenRect r = mgr_->GetShowRect();
    int px = r.left + static_cast<int>((r.right - r.left) * laserX_);
    int py = r.top + static_cast<int>((r.bottom - r.top) * laserY_);
    text += " (screen " + std::to_string(px) + ", " + std::to_string(py) + ")";
  }
  return text;
}

void CTerminalView::OnKey(char key) {
  if (ended_) return;
  if (askingClose_) {
    if (key == 'y' || key == 'Y') {
      Close(true);
    } else if (key == 'n' || key == 'N' || key == 27) {
      askingClose_ = false;
      ScheduleRedraw();
    }
    return;
  }
  std::shared_ptr<CSimulatedPresentationApp> app = app_;
  switch (key) {
    case 'c':
    case '\n':
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
      notice_ = Utf8(kAboutTitle) + ": " + Utf8(kAboutVersion) + "  " + Utf8(kWebsiteLabel) + " " +
                kOfficialWebsite;
      if (!interactive_) Print("about: " + notice_);
      break;
    case 'w':
      notice_ = std::string("website: ") + kOfficialWebsite;
      if (!interactive_) Print(notice_);
      break;
    case 'u':
      if (controller_.GetUpdateState() == CMainController::kUpdateOptional) {
        notice_ = Utf8(kUpdateNotice);
        if (!interactive_) Print("update: " + notice_);
      }
      break;
    case 'o':
      if (app) app->OpenPresentation(CSimulatedOffice::SamplePresentation());
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
    // The close dialog: only "关闭并断开" lets the client quit.
    askingClose_ = true;
    if (!interactive_) {
      Print("close: " + Utf8(kCloseQuestion) + " (yes/no)");
    }
    ScheduleRedraw();
    return;
  }
  askingClose_ = false;
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
  ended_ = true;
  Print("update: " + Utf8(kUpdateNotice));
  Print(std::string("website: ") + kOfficialWebsite);
  boost::asio::post(io_, [this] { io_.stop(); });
}

// --- the window's controls ---------------------------------------------------

void CTerminalView::ShowLoading(bool show) { loading_ = show; }
void CTerminalView::SetLoadingAnimation(bool run) {}
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
      Print("state: " + std::to_string(static_cast<int>(s)) + " " + StateName(s) + " " +
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

void CTerminalView::Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void CTerminalView::ScheduleRedraw() {
  if (!interactive_ || redrawPending_) return;
  redrawPending_ = true;
  boost::asio::post(io_, [this] {
    redrawPending_ = false;
    if (!ended_) Redraw();
  });
}

void CTerminalView::Redraw() {
  std::string out = "\x1b[H\x1b[2J";
  auto line = [&out](const std::string& s) {
    out += "  ";
    out += s;
    out += "\r\n";
  };
  CMainController::State state = controller_.GetState();
  StateTexts texts = TextsForState(state);
  out += "\r\n";
  line("\x1b[1m" + Utf8(kTitleText) + kReset);
  line("");
  if (askingClose_) {
    line("\x1b[1m" + Utf8(kCloseTitle) + kReset);
    line(Utf8(kCloseQuestion));
    line("[y] " + Utf8(kCloseConfirm) + "   [n] " + Utf8(kCancelText));
  } else {
    if (qr_) {
      const bool browser = browserQr_ && !browserSymbol_.Empty();
      for (const std::string& row :
           QrHalfBlockRows(browser ? browserSymbol_ : symbol_, kQuietZone)) {
        line(kQrColours + row + kReset);
      }
      if (!browser && symbol_.Empty()) line("(no QR code)");
      if (browser) {
        line("browser: " + browserAddress_ + "   [b] the app's code");
      } else {
        line("pairing: " + address_);
        if (!browserAddress_.empty()) line("[b] a code for the phone's browser, no app needed");
      }
    }
    if (loading_) line("... " + std::string(StateName(state)));
    if (state == CMainController::NetworkError) line("(!) ");
    if (state == CMainController::Connected) line("(ok)");
    line(Utf8(texts.first));
    line(Utf8(texts.second));
    if (retry_) line("[r] \x1b[4;34m" + Utf8(kRetryText) + kReset);
    std::string buttons;
    if (connectButton_) buttons += "[c] " + Utf8(connectCaption_) + "   ";
    if (cancel_) buttons += "[x] " + Utf8(kCancelText);
    if (!buttons.empty()) line(buttons);
  }
  line("");
  line("laser: " + LaserText());
  line("show:  " + ShowText());
  if (!notice_.empty()) line(notice_);
  line("");
  std::string keys =
      "keys: o open  s start  n/p slides  e end show  k other app  b browser code  a about  w "
      "website  q close";
  if (controller_.GetUpdateState() == CMainController::kUpdateOptional) keys += "  u update";
  line("\x1b[2m" + keys + kReset);
  std::fwrite(out.data(), 1, out.size(), out_);
  std::fflush(out_);
}
