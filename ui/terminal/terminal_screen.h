// The terminal as a full screen: raw keys, the alternate screen with the
// cursor hidden, and frames drawn in place, rewriting only the rows that
// changed. Whatever way the program ends (a clean exit, a termination or a
// crash signal) the terminal is put back as it was found.
#pragma once

#include <termios.h>

#include <cstdio>
#include <string>
#include <vector>

struct TerminalSize {
  int columns = 80;
  int rows = 24;
};

class CTerminalScreen {
 public:
  // Keys come from inFd; frames go to out, which must be a terminal for
  // Size() to be real.
  CTerminalScreen(int inFd, std::FILE* out);
  ~CTerminalScreen();
  CTerminalScreen(const CTerminalScreen&) = delete;
  CTerminalScreen& operator=(const CTerminalScreen&) = delete;

  // Raw keys (Ctrl-C still a signal), alternate screen, hidden cursor.
  // False when the input is not a terminal; the screen then stays as it is.
  bool Enter();
  // Idempotent; also what the signal handlers do.
  void Leave();
  bool Active() const { return active_; }

  TerminalSize Size() const;
  // Draws lines from the top row; each line should fit the width.
  void Present(const std::vector<std::string>& lines);
  // The next Present repaints every row (after a resize or a resume).
  void Invalidate() { full_ = true; }

 private:
  int inFd_;
  std::FILE* out_;
  termios saved_{};
  bool active_ = false;
  bool full_ = true;
  std::vector<std::string> shown_;
};

// A row that begins with kWrapHead is written with the terminal's own line
// wrapping on, so that a text wider than the screen (the pairing address)
// flows on into the rows below it as one line that a mouse selection copies
// whole. Those rows begin with kWrapTail and are left to it.
constexpr char kWrapHead = '\x02';
constexpr char kWrapTail = '\x03';

// The bytes that turn `before` into `after` on screen: each changed row is
// cleared and rewritten, rows no longer used are cleared. With `full`, every row is written.
std::string FrameUpdate(const std::vector<std::string>& before,
                        const std::vector<std::string>& after, bool full);

// Columns that a UTF-8 line takes: escape sequences take none, East Asian
// wide characters two, everything else one.
int DisplayWidth(const std::string& line);
// The line cut to at most `columns` columns, with "…" where it was cut.
std::string FitWidth(const std::string& line, int columns);
// Text from outside (a presentation's title, a file name, notes) with every
// control character (C0, DEL, C1) replaced by U+FFFD, so that it cannot move
// the cursor, change colours or retitle the terminal.
std::string PrintableText(const std::string& utf8);
