// A real terminal for a program under test: a tmux server of the test's own
// (private socket), one window of a chosen size, keys sent as a person
// types them, and the screen read back as text. Every tmux call is bounded.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

class TmuxTerminal {
 public:
  TmuxTerminal();
  ~TmuxTerminal();  // ends the server and whatever runs in it
  TmuxTerminal(const TmuxTerminal&) = delete;
  TmuxTerminal& operator=(const TmuxTerminal&) = delete;

  // Runs `command` through sh in a window of columns x rows.
  bool Start(const std::string& command, const std::vector<std::string>& env, int columns,
             int rows);
  // tmux key names ("q", "Enter", "Escape", "C-c").
  bool SendKeys(const std::string& keys);
  bool Resize(int columns, int rows);
  // The visible screen, one string per row (trailing blanks trimmed).
  std::vector<std::string> Screen();
  std::string ScreenText();
  // The same with lines the terminal wrapped joined again, as a mouse
  // selection copies them.
  std::vector<std::string> ScreenJoined();
  // The same with the colours and attributes as escape sequences.
  std::string ScreenWithAttributes();
  // A tmux format of the pane, e.g. "#{alternate_on}", "#{cursor_flag}".
  std::string Query(const std::string& format);
  // Polls the screen until done(text) holds; false at the limit.
  bool WaitFor(const std::function<bool(const std::string&)>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10));
  bool WaitForText(const std::string& part,
                   std::chrono::milliseconds limit = std::chrono::seconds(10));
  // The pid of the shell's first child (the program), 0 when none.
  int ProgramPid();
  const std::string& Dir() const { return dir_; }

 private:
  std::string Tmux(const std::vector<std::string>& args, bool* ok = nullptr);
  static std::vector<std::string> Rows(const std::string& text);

  std::string dir_;
  std::string socket_;
  bool started_ = false;
};

}  // namespace e2e
