#include "ui/terminal/terminal_screen.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kEnter[] = "\x1b[?1049h\x1b[?7l\x1b[?25l\x1b[H\x1b[2J";
constexpr char kLeave[] = "\x1b[0m\x1b[?7h\x1b[?25h\x1b[?1049l";

// What a signal handler needs to put the terminal back; written before the
// handlers are installed and only read by them.
volatile std::sig_atomic_t g_active = 0;
int g_inFd = -1;
int g_outFd = -1;
termios g_saved;

void RestoreFromSignal() {
  if (!g_active) return;
  g_active = 0;
  // Only async-signal-safe calls here.
  ssize_t ignored = write(g_outFd, kLeave, sizeof kLeave - 1);
  (void)ignored;
  tcsetattr(g_inFd, TCSANOW, &g_saved);
}

// A crash or an untrapped termination: restore, then die of the same
// signal with its default action (core dump included).
void OnFatalSignal(int sig) {
  RestoreFromSignal();
  std::signal(sig, SIG_DFL);
  raise(sig);
}

void RestoreAtExit() { RestoreFromSignal(); }

const int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGQUIT,
                             // Until the program's own handlers take these
                             // over (and if they never do), they end it here.
                             SIGINT, SIGTERM, SIGHUP};

void InstallHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnFatalSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (int sig : kFatalSignals) sigaction(sig, &action, nullptr);
  std::atexit(RestoreAtExit);
}

// A code point's columns: the East Asian wide and fullwidth blocks take
// two. Box drawing and block elements take one.
int CodePointWidth(unsigned cp) {
  if (cp < 0x1100) return 1;
  if (cp <= 0x115F || (cp >= 0x2E80 && cp <= 0xA4CF && cp != 0x303F) ||
      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) ||
      (cp >= 0x20000 && cp <= 0x3FFFD)) {
    return 2;
  }
  return 1;
}

// Length of the escape sequence at line[i] (an ESC), 1 when it is not one.
std::size_t EscapeLength(const std::string& line, std::size_t i) {
  if (i + 1 < line.size() && line[i + 1] == '[') {
    std::size_t j = i + 2;
    while (j < line.size() && (static_cast<unsigned char>(line[j]) < 0x40 ||
                               static_cast<unsigned char>(line[j]) > 0x7E)) {
      ++j;
    }
    return j < line.size() ? j - i + 1 : line.size() - i;
  }
  return 1;
}

// Decodes the code point at line[i]; n gets its byte length. Bytes that are
// not UTF-8 count as one column each.
unsigned DecodeAt(const std::string& line, std::size_t i, std::size_t& n) {
  unsigned char c = static_cast<unsigned char>(line[i]);
  int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  if (i + extra >= line.size()) extra = 0;
  unsigned cp = extra ? (c & (0x3F >> extra)) : c;
  for (int k = 1; k <= extra; ++k)
    cp = (cp << 6) | (static_cast<unsigned char>(line[i + k]) & 0x3F);
  n = static_cast<std::size_t>(extra) + 1;
  return cp;
}

}  // namespace

std::string PrintableText(const std::string& utf8) {
  static const char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c == 0x7F) {
      out += kReplacement;
    } else if (c == 0xC2 && i + 1 < utf8.size() &&
               static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      out += kReplacement;  // U+0080..U+009F, the C1 controls (CSI among them)
      ++i;
    } else {
      out += utf8[i];
    }
  }
  return out;
}

int DisplayWidth(const std::string& line) {
  int width = 0;
  for (std::size_t i = 0; i < line.size();) {
    if (line[i] == '\x1b') {
      i += EscapeLength(line, i);
      continue;
    }
    std::size_t n;
    width += CodePointWidth(DecodeAt(line, i, n));
    i += n;
  }
  return width;
}

std::string FitWidth(const std::string& line, int columns) {
  if (DisplayWidth(line) <= columns) return line;
  std::string out;
  int width = 0;
  const int room = columns - 1;  // for the ellipsis
  for (std::size_t i = 0; i < line.size();) {
    if (line[i] == '\x1b') {
      std::size_t n = EscapeLength(line, i);
      out.append(line, i, n);  // attributes still switch off after the cut
      i += n;
      continue;
    }
    std::size_t n;
    int w = CodePointWidth(DecodeAt(line, i, n));
    if (width + w > room) {
      i += n;
      continue;
    }
    out.append(line, i, n);
    width += w;
    i += n;
  }
  if (columns > 0) out += "\u2026";
  return out;
}

std::string FrameUpdate(const std::vector<std::string>& before,
                        const std::vector<std::string>& after, bool full) {
  std::string out;
  if (full) out += "\x1b[H\x1b[2J";
  const std::size_t rows = std::max(before.size(), after.size());
  for (std::size_t i = 0; i < rows; ++i) {
    const bool had = i < before.size();
    const bool has = i < after.size();
    if (!full && has && had && before[i] == after[i]) continue;
    if (!has && (full || before[i].empty())) continue;
    if (full && has && after[i].empty()) continue;
    if (has && !after[i].empty() && after[i][0] == kWrapTail) {
      // The head above has written it, or has not changed.
      continue;
    }
    if (has && !after[i].empty() && after[i][0] == kWrapHead) {
      std::size_t tails = 0;
      while (i + 1 + tails < after.size() && !after[i + 1 + tails].empty() &&
             after[i + 1 + tails][0] == kWrapTail) {
        ++tails;
      }
      for (std::size_t r = i; r <= i + tails; ++r) {
        out += "\x1b[" + std::to_string(r + 1) + ";1H\x1b[2K";
      }
      out +=
          "\x1b[" + std::to_string(i + 1) + ";1H\x1b[?7h" + after[i].substr(1) + "\x1b[0m\x1b[?7l";
      continue;
    }
    // Cleared before it is written: a line that fills the last column
    // leaves the cursor on it, and clearing after would erase that column.
    out += "\x1b[" + std::to_string(i + 1) + ";1H\x1b[2K";
    if (has) out += after[i] + "\x1b[0m";
  }
  return out;
}

CTerminalScreen::CTerminalScreen(int inFd, std::FILE* out) : inFd_(inFd), out_(out) {}

CTerminalScreen::~CTerminalScreen() { Leave(); }

bool CTerminalScreen::Enter() {
  if (active_) return true;
  if (tcgetattr(inFd_, &saved_) != 0) return false;
  termios raw = saved_;
  raw.c_lflag &= ~(ICANON | ECHO);  // keys one by one; Ctrl-C still a signal
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // The handlers read these: set them before the screen can need them.
  g_inFd = inFd_;
  g_outFd = fileno(out_);
  g_saved = saved_;
  InstallHandlers();
  if (tcsetattr(inFd_, TCSANOW, &raw) != 0) return false;
  std::fputs(kEnter, out_);
  std::fflush(out_);
  active_ = true;
  g_active = 1;
  full_ = true;
  shown_.clear();
  return true;
}

void CTerminalScreen::Leave() {
  if (!active_) return;
  active_ = false;
  g_active = 0;
  std::fputs(kLeave, out_);
  std::fflush(out_);
  tcsetattr(inFd_, TCSANOW, &saved_);
}

TerminalSize CTerminalScreen::Size() const {
  TerminalSize size;
  winsize ws{};
  if (ioctl(fileno(out_), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
    size.columns = ws.ws_col;
    size.rows = ws.ws_row;
  }
  return size;
}

void CTerminalScreen::Present(const std::vector<std::string>& lines) {
  if (!active_) return;
  std::string update = FrameUpdate(shown_, lines, full_);
  full_ = false;
  shown_ = lines;
  if (update.empty()) return;
  std::fwrite(update.data(), 1, update.size(), out_);
  std::fflush(out_);
}
