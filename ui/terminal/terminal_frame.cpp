// What the full screen shows: the title, the state by name beside its
// texts and the QR code or a dialog, then at the foot the transports, the
// show, the laser and the keys that work right now. A terminal too small
// for all of it gets a note of the size it needs instead. The show and
// laser lines are the same texts the line mode prints.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/state_texts.h"
#include "presentation/powerpoint_mgr.h"
#include "presentation/simulated_office.h"
#include "ui/terminal/terminal_texts.h"
#include "ui/terminal/terminal_view.h"
#include "ui/terminal/transport_status.h"

namespace {

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
constexpr char kMargin[] = "  ";
constexpr int kTitleColumn = 24;  // where the Chinese texts start
constexpr const char* kSpinFrames[] = {"\u280b", "\u2819", "\u2839", "\u2838", "\u283c",
                                       "\u2834", "\u2826", "\u2827", "\u2807", "\u280f"};
constexpr unsigned kSpinFrameCount = sizeof kSpinFrames / sizeof kSpinFrames[0];

// Without colours the code is drawn the other way round: a light module is
// an inked character, which reads right on the usual dark background.
std::vector<std::string> LightInkRows(const CQRSymbol& symbol, int quiet) {
  std::vector<std::string> rows;
  const int n = symbol.Width();
  for (int r = -quiet; r < n + quiet; r += 2) {
    std::string row;
    for (int c = -quiet; c < n + quiet; ++c) {
      bool top = !symbol.IsDark(r, c);
      bool bottom = r + 1 < n + quiet ? !symbol.IsDark(r + 1, c) : false;
      row += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string PadTo(const std::string& text, int columns) {
  int w = DisplayWidth(text);
  return w >= columns ? text + " " : text + std::string(columns - w, ' ');
}

}  // namespace

void CTerminalView::Redraw() {
  if (!screen_ || !screen_->Active()) return;
  screen_->Present(Frame(screen_->Size()));
}

std::string CTerminalView::Style(const char* sgr, const std::string& text) const {
  if (!colour_) return text;
  return std::string(sgr) + text + kReset;
}

std::string CTerminalView::KeyHelp() const {
  std::vector<std::string> keys;
  auto key = [&](const char* k, const std::string& what) {
    keys.push_back(Style("\x1b[1m", k) + " " + what);
  };
  switch (dialog_) {
    case Dialog::Close:
      key("y", Utf8(kCloseConfirm) + " close and disconnect");
      key("n", Utf8(kCancelText) + " cancel");
      break;
    case Dialog::About:
      key("w", "website");
      key("Enter", "OK");
      break;
    case Dialog::Update:
      key("d", "download (website)");
      key("Esc", updateRequired_ ? "close (the program ends)" : "close");
      break;
    case Dialog::None:
      if (connectButton_)
        key("c", Utf8(connectCaption_) + (controller_.GetState() == CMainController::Connected
                                              ? " disconnect"
                                              : " reconnect"));
      if (retry_) key("r", "retry");
      if (cancel_) key("x", Utf8(kCancelText) + " cancel");
      if (qr_ && !browserAddress_.empty())
        key("b", browserQr_ ? "the app's code" : "browser code (no app needed)");
      key("q", controller_.GetState() == CMainController::Connected ? "close (asks)" : "close");
      key("a", "about");
      key("w", "website");
      if (updateOffered_) key("u", "update");
      break;
  }
  std::string line;
  for (const std::string& k : keys) line += (line.empty() ? "" : "   ") + k;
  return line;
}

void CTerminalView::AddStateLines(std::vector<std::string>& lines, std::vector<bool>& loose) const {
  CMainController::State state = controller_.GetState();
  StateTexts texts = TextsForState(state);
  auto add = [&](const std::string& s, bool isLoose = false) {
    lines.push_back(kMargin + s);
    loose.push_back(isLoose);
  };
  const bool browser = browserQr_ && !browserSymbol_.Empty();
  const CQRSymbol& shown = browser ? browserSymbol_ : symbol_;
  if (qr_) {
    if (shown.Empty()) {
      add("(no QR code: the pairing address is empty)");
    } else {
      std::vector<std::string> rows =
          colour_ ? QrHalfBlockRows(shown, kQuietZone) : LightInkRows(shown, kQuietZone);
      for (const std::string& row : rows) add(colour_ ? kQrColours + row + kReset : row);
    }
    add("");
  }
  std::string marker = state == CMainController::Connected       ? Style("\x1b[32m", "\u2714 ")
                       : state == CMainController::NetworkError  ? Style("\x1b[33m", "! ")
                       : state == CMainController::ConnectFailed ? Style("\x1b[33m", "! ")
                       : state == CMainController::Connecting
                           ? std::string(kSpinFrames[spinFrame_ % kSpinFrameCount]) + " "
                           : "\u25a3 ";
  add(PadTo(marker + Style("\x1b[1m", LabelOfState(state).title), kTitleColumn) +
      Utf8(texts.first));
  add(std::string(kTitleColumn, ' ') + Utf8(texts.second));
  if (qr_ && !address_.empty()) {
    // Whole, however narrow the screen: the phone simulator is given it.
    std::string shownAddress = browser ? "browser: " + browserAddress_ : "pairing: " + address_;
    lines.push_back(kWrapHead + std::string(kMargin) + Style("\x1b[2m", shownAddress));
    loose.push_back(true);
  }
  std::string buttons;
  if (retry_) buttons += "[r] " + Style("\x1b[4;34m", Utf8(kRetryText)) + "   ";
  if (connectButton_) buttons += "[c] " + Utf8(connectCaption_) + "   ";
  if (cancel_) buttons += "[x] " + Utf8(kCancelText);
  if (!buttons.empty()) {
    add("");
    add(buttons);
  }
}

void CTerminalView::AddDialogLines(std::vector<std::string>& lines) const {
  auto add = [&](const std::string& s) { lines.push_back(kMargin + s); };
  switch (dialog_) {
    case Dialog::Close:
      add(Style("\x1b[1m", Utf8(kCloseTitle)) + "  (close Pivaro)");
      add("");
      add(Utf8(kCloseQuestion));
      add("Closing disconnects the phone from this PC.");
      add("");
      add("[y] " + Utf8(kCloseConfirm) + "   [n] " + Utf8(kCancelText));
      break;
    case Dialog::About:
      add(Style("\x1b[1m", Utf8(kAboutTitle)) + "  (about)");
      add("");
      add(Utf8(kAboutVersion));
      add("Pivaro drives a slide show from a phone.");
      add("Presentation application: simulated (Linux)");
      add(Utf8(kWebsiteLabel) + " " + kOfficialWebsite);
      add("");
      add("[Enter] OK");
      break;
    case Dialog::Update: {
      add(Style("\x1b[1m", Utf8(kUpdateTitle)) + "  (update)");
      add("");
      std::string notice = Utf8(kUpdateNotice);
      std::size_t nl = notice.find('\n');
      add(notice.substr(0, nl));
      if (nl != std::string::npos) add(notice.substr(nl + 1));
      add(updateRequired_ ? "This version must be updated; the program ends after this notice."
                          : "A new version is available.");
      add("");
      add("[d] " + Utf8(kDownloadButton) + " (download)   [Esc] " + Utf8(kCloseTooltip) +
          " (close)");
      break;
    }
    case Dialog::None:
      break;
  }
}

std::vector<std::string> CTerminalView::Frame(const TerminalSize& size) const {
  std::vector<std::string> lines;
  std::vector<bool> loose;  // may be cut to the width without harm
  // Lines that go, with every blank one, when the screen is short of rows.
  std::vector<std::size_t> spare;
  auto add = [&](const std::string& s, bool isLoose = false) {
    lines.push_back(s.empty() ? s : kMargin + s);
    loose.push_back(isLoose);
  };
  auto addSpare = [&](const std::string& s) {
    spare.push_back(lines.size());
    add(s, true);
  };
  add("");
  addSpare(PadTo(Style("\x1b[1m", Utf8(kTitleText)), kTitleColumn) +
           Style("\x1b[2m", "phone remote for slide shows"));
  add("");
  if (dialog_ != Dialog::None) {
    AddDialogLines(lines);
    loose.resize(lines.size(), false);
  } else {
    AddStateLines(lines, loose);
  }
  add("");
  // The rest sits at the foot of the screen, wherever the body ends, so
  // the status and the keys stay put while the state changes above them.
  std::size_t footer = lines.size();
  std::string rule;
  for (int i = 0; i < std::min(size.columns - 4, 76); ++i) rule += "\u2500";
  addSpare(Style("\x1b[2m", rule));
  if (status_) add(Style("\x1b[2m", status_->Text()), true);
  const CMainController::State state = controller_.GetState();
  if (state == CMainController::WaitingForPhone && !transportNote_.empty()) {
    add(Style("\x1b[33m", transportNote_ + " (the relay is retried in the background)"), true);
  }
  if (state == CMainController::Connected && !phone_.empty()) {
    add("phone: " + phone_ + "  (held by this address; 'c' disconnects and refuses it)", true);
  }
  addSpare("show:  " + ShowText());
  addSpare("laser: " + LaserText());
  if (!notice_.empty()) add(notice_, true);
  add("");
  add(KeyHelp(), true);
  if (dialog_ == Dialog::None && app_) {
    addSpare(Style("\x1b[2m", std::string("presenter: o open  s start  n/p slide  e end  k ") +
                                  (app_ == wps_ ? "PowerPoint-like" : "WPS-like")));
  }
  if (static_cast<std::size_t>(std::max(size.rows, 0)) < lines.size() + 1) {
    // Short of rows: the code and what it takes to use it come first.
    std::vector<std::string> kept;
    std::vector<bool> keptLoose;
    std::size_t keptFooter = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].empty() || std::find(spare.begin(), spare.end(), i) != spare.end()) continue;
      if (i < footer) ++keptFooter;
      kept.push_back(lines[i]);
      keptLoose.push_back(loose[i]);
    }
    lines.swap(kept);
    loose.swap(keptLoose);
    footer = keptFooter;
  }

  // A wrapping line takes as many rows as the width makes it.
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty() || lines[i][0] != kWrapHead || size.columns <= 0) continue;
    const int width = DisplayWidth(lines[i].substr(1));
    const std::size_t tails = static_cast<std::size_t>((width - 1) / size.columns);
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(i) + 1, tails,
                 std::string(1, kWrapTail));
    loose.insert(loose.begin() + static_cast<std::ptrdiff_t>(i) + 1, tails, true);
    if (footer > i) footer += tails;
    i += tails;
  }

  int needColumns = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!loose[i]) needColumns = std::max(needColumns, DisplayWidth(lines[i]) + 2);
  }
  const int needRows = static_cast<int>(lines.size());
  if (size.columns < needColumns || size.rows < needRows) {
    // A code cut by the edge would not scan: say what it takes instead.
    std::vector<std::string> small = {
        "",
        kMargin + Style("\x1b[1m", Utf8(kTitleText)) + "  " +
            LabelOfState(controller_.GetState()).title,
        "",
        std::string(kMargin) + "Terminal too small.",
        std::string(kMargin) + "Needs " + std::to_string(needColumns) + " x " +
            std::to_string(needRows) + ", has " + std::to_string(size.columns) + " x " +
            std::to_string(size.rows) + ".",
        std::string(kMargin) + "Enlarge the window.",
        "",
        kMargin + KeyHelp()};
    lines = small;
  } else if (static_cast<int>(lines.size()) + 1 < size.rows) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(footer),
                 static_cast<std::size_t>(size.rows - 1) - lines.size(), std::string());
  }
  if (static_cast<int>(lines.size()) > size.rows) lines.resize(size.rows);
  for (std::string& line : lines) {
    if (line.empty() || (line[0] != kWrapHead && line[0] != kWrapTail)) {
      line = FitWidth(line, size.columns);
    }
  }
  return lines;
}

std::string CTerminalView::ShowText() const {
  if (!externalShow_.empty()) return PrintableText(externalShow_);
  if (!app_) return "no presentation application";
  std::string text = app_ == wps_ ? "WPS-like: " : "PowerPoint-like: ";
  SimulatedAppState s = app_->Snapshot();
  if (!s.presentationOpen) return text + "no presentation open";
  text += PrintableText(Utf8(s.presentationName)) + ", " + std::to_string(s.slideCount) + " slides";
  if (s.showRunning) {
    text += ", show running, slide " + std::to_string(s.currentSlide) + " of " +
            std::to_string(s.slideCount);
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
