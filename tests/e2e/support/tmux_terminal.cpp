#include "tests/e2e/support/tmux_terminal.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/support/child_process.h"

namespace e2e {

namespace {

using namespace std::chrono_literals;

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

TmuxTerminal::TmuxTerminal() {
  char dir[] = "/tmp/pivaro-tmux-XXXXXX";
  if (::mkdtemp(dir)) dir_ = dir;
  socket_ = dir_ + "/tmux.sock";
}

TmuxTerminal::~TmuxTerminal() {
  if (started_) Tmux({"kill-server"});
  ::unlink(socket_.c_str());
  ::rmdir(dir_.c_str());
}

std::string TmuxTerminal::Tmux(const std::vector<std::string>& args, bool* ok) {
  std::vector<std::string> argv = {"tmux", "-S", socket_, "-f", "/dev/null"};
  argv.insert(argv.end(), args.begin(), args.end());
  // RunChild starts argv[0] by path.
  argv[0] = "/usr/bin/tmux";
  ChildResult r = RunChild(argv, {}, "", 10s);
  if (ok) *ok = r.started && !r.timedOut && r.exitCode == 0;
  return r.output;
}

bool TmuxTerminal::Start(const std::string& command, const std::vector<std::string>& env,
                         int columns, int rows) {
  std::string line = "exec env TERM=xterm-256color";  // env may name another
  for (const std::string& e : env) line += " " + ShellQuote(e);
  line += " sh -c " + ShellQuote(command);
  bool ok = false;
  Tmux({"new-session", "-d", "-x", std::to_string(columns), "-y", std::to_string(rows), line}, &ok);
  if (ok) Tmux({"set-option", "-g", "remain-on-exit", "on"});
  started_ = ok;
  return ok;
}

bool TmuxTerminal::SendKeys(const std::string& keys) {
  bool ok = false;
  Tmux({"send-keys", keys}, &ok);
  return ok;
}

bool TmuxTerminal::Resize(int columns, int rows) {
  bool ok = false;
  Tmux({"resize-window", "-x", std::to_string(columns), "-y", std::to_string(rows)}, &ok);
  return ok;
}

std::vector<std::string> TmuxTerminal::Screen() { return Rows(Tmux({"capture-pane", "-p"})); }

std::vector<std::string> TmuxTerminal::ScreenJoined() {
  return Rows(Tmux({"capture-pane", "-p", "-J"}));
}

std::vector<std::string> TmuxTerminal::Rows(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> rows;
  for (std::string row; std::getline(in, row);) {
    while (!row.empty() && row.back() == ' ') row.pop_back();
    rows.push_back(row);
  }
  return rows;
}

std::string TmuxTerminal::ScreenText() { return Tmux({"capture-pane", "-p"}); }

std::string TmuxTerminal::ScreenWithAttributes() { return Tmux({"capture-pane", "-p", "-e"}); }

std::string TmuxTerminal::Query(const std::string& format) {
  std::string out = Tmux({"display-message", "-p", format});
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool TmuxTerminal::WaitFor(const std::function<bool(const std::string&)>& done,
                           std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    if (done(ScreenText())) return true;
    std::this_thread::sleep_for(50ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

bool TmuxTerminal::WaitForText(const std::string& part, std::chrono::milliseconds limit) {
  return WaitFor([&part](const std::string& s) { return s.find(part) != std::string::npos; },
                 limit);
}

int TmuxTerminal::ProgramPid() {
  std::string shell = Query("#{pane_pid}");
  if (shell.empty()) return 0;
  std::ifstream children("/proc/" + shell + "/task/" + shell + "/children");
  int pid = 0;
  children >> pid;
  return pid;
}

}  // namespace e2e
