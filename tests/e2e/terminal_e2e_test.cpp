// The real pivaro program in a real terminal (tmux): the full screen drawn
// in place, the keys listed for each state, the QR code surviving a resize,
// and the terminal given back intact after a quit and after SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/support/child_process.h"
#include "tests/e2e/support/tmux_terminal.h"
#include "tests/services/test_http_server.h"
#include "tests/support/mosquitto_broker.h"

#if defined(PIVARO_PROGRAM) && defined(PIVARO_PHONE_PROGRAM)

namespace e2e {
namespace {

using namespace std::chrono_literals;

// A loopback port free for both TCP and UDP a moment ago, so this copy of
// the program never competes for the fixed LAN port with another test.
unsigned short FreeDirectPort() {
  boost::asio::io_context io;
  for (int attempt = 0; attempt < 20; ++attempt) {
    boost::asio::ip::tcp::acceptor tcp(io, {boost::asio::ip::tcp::v4(), 0});
    unsigned short port = tcp.local_endpoint().port();
    boost::system::error_code ec;
    boost::asio::ip::udp::socket udp(io);
    udp.open(boost::asio::ip::udp::v4(), ec);
    udp.bind({boost::asio::ip::udp::v4(), port}, ec);
    if (!ec) return port;
  }
  return 0;
}

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

// The rows of the QR code: those made of half blocks only.
std::vector<std::string> QrRows(const std::vector<std::string>& screen) {
  std::vector<std::string> rows;
  for (const std::string& row : screen) {
    if (row.find("\u2588") != std::string::npos || row.find("\u2580") != std::string::npos) {
      if (row.find_first_not_of(" \xe2\x96\x80\x84\x88") == std::string::npos) rows.push_back(row);
    }
  }
  return rows;
}

class TerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "tmux is not installed";
    ASSERT_TRUE(broker_.Start()) << broker_.Error();
    port_ = FreeDirectPort();
    ASSERT_NE(port_, 0);
    env_ = {"PIVARO_RELAY_URI=" + broker_.Uri(), "XDG_RUNTIME_DIR=" + term_.Dir(),
            "PIVARO_DIRECT_PORT=" + std::to_string(port_)};
  }

  // The program, then the terminal's settings as the shell sees them after
  // it ended.
  bool Launch(int columns = 100, int rows = 50) {
    std::string command = std::string(PIVARO_PROGRAM) + "; echo exit=$?; stty -a; sleep 30";
    return term_.Start(command, env_, columns, rows) && term_.WaitForText("Waiting for a phone");
  }

  std::string Lock() const { return term_.Dir() + "/pivaro.lock"; }

  MosquittoBroker broker_;
  TmuxTerminal term_;
  unsigned short port_ = 0;
  std::vector<std::string> env_;
};

TEST_F(TerminalTest, OneFrameInPlaceWithTheKeysOfEachStateAndTheTerminalBackAfterQuit) {
  ASSERT_TRUE(Launch()) << term_.ScreenText();
  EXPECT_EQ(term_.Query("#{alternate_on} #{cursor_flag}"), "1 0");
  ASSERT_TRUE(term_.WaitForText("relay: broker reached")) << term_.ScreenText();
  ASSERT_TRUE(term_.WaitForText("LAN: port " + std::to_string(port_) + " bound"))
      << term_.ScreenText();
  std::string screen = term_.ScreenText();
  EXPECT_EQ(Count(screen, "Pivaro"), 1) << screen;
  EXPECT_NE(screen.find("扫描二维码即可在手机控制PPT"), std::string::npos) << screen;
  EXPECT_NE(screen.find("q close   a about   w website"), std::string::npos) << screen;
  EXPECT_FALSE(QrRows(term_.Screen()).empty()) << screen;

  // The presenter's keys change one line; nothing scrolls.
  ASSERT_TRUE(term_.SendKeys("o"));
  ASSERT_TRUE(term_.SendKeys("s"));
  ASSERT_TRUE(term_.WaitForText("show running, slide 1 of 5")) << term_.ScreenText();
  ASSERT_TRUE(term_.SendKeys("n"));
  ASSERT_TRUE(term_.WaitForText("show running, slide 2 of 5")) << term_.ScreenText();
  screen = term_.ScreenText();
  EXPECT_EQ(Count(screen, "Pivaro"), 1) << screen;
  EXPECT_EQ(Count(screen, "show:"), 1) << screen;

  // A phone over the relay: the state and its keys change in place.
  // The address is wider than the screen: it wraps, and is copied whole.
  std::string address;
  for (const std::string& row : term_.ScreenJoined()) {
    std::size_t at = row.find("pairing: ");
    if (at != std::string::npos) address = row.substr(at + 9);
  }
  ASSERT_NE(address.find("?os=1&id="), std::string::npos) << address;
  InteractiveChild phone;
  ASSERT_TRUE(phone.Start(
      {PIVARO_PHONE_PROGRAM, address, "--relay", "--keep", "--wait", "500", "next", "sleep 20000"},
      env_));
  ASSERT_TRUE(term_.WaitForText("c 断开连接 disconnect", 15s)) << term_.ScreenText();
  screen = term_.ScreenText();
  EXPECT_NE(screen.find("Connected"), std::string::npos) << screen;
  EXPECT_NE(screen.find("连接成功"), std::string::npos) << screen;
  EXPECT_NE(screen.find("q close (asks)"), std::string::npos) << screen;
  EXPECT_TRUE(QrRows(term_.Screen()).empty()) << screen;

  // Closing asks first; 'n' keeps the client, 'y' closes.
  ASSERT_TRUE(term_.SendKeys("q"));
  ASSERT_TRUE(term_.WaitForText("关闭窗口将断开手机和电脑的连接，您确认断开？"))
      << term_.ScreenText();
  EXPECT_NE(term_.ScreenText().find("y 关闭并断开 close and disconnect"), std::string::npos);
  // An arrow key is one sequence, not an Esc that would cancel.
  ASSERT_TRUE(term_.SendKeys("Up"));
  ASSERT_TRUE(term_.SendKeys("x"));    // a key the question ignores, drawn after the arrow
  std::this_thread::sleep_for(200ms);  // a window in which the question must not go
  EXPECT_NE(term_.ScreenText().find("您确认断开"), std::string::npos) << term_.ScreenText();
  ASSERT_TRUE(term_.SendKeys("n"));
  ASSERT_TRUE(term_.WaitForText("c 断开连接 disconnect")) << term_.ScreenText();
  ASSERT_TRUE(term_.SendKeys("q"));
  ASSERT_TRUE(term_.WaitForText("您确认断开")) << term_.ScreenText();
  ASSERT_TRUE(term_.SendKeys("y"));

  // The shell's screen is back, with nothing of the program's left on it,
  // the cursor shown and the line discipline as it was.
  ASSERT_TRUE(term_.WaitForText("exit=0", 15s)) << term_.ScreenText();
  EXPECT_EQ(term_.Query("#{alternate_on} #{cursor_flag}"), "0 1");
  screen = term_.ScreenText();
  EXPECT_EQ(screen.find("您确认断开"), std::string::npos) << screen;
  EXPECT_NE(screen.find(" icanon"), std::string::npos) << screen;
  EXPECT_NE(screen.find(" echo "), std::string::npos) << screen;
  EXPECT_NE(access(Lock().c_str(), F_OK), 0) << "the lock file is left behind";
}

TEST_F(TerminalTest, TooSmallSaysWhatItNeedsAndTheCodeComesBackWhole) {
  ASSERT_TRUE(Launch()) << term_.ScreenText();
  ASSERT_TRUE(term_.WaitForText("relay: broker reached")) << term_.ScreenText();
  std::vector<std::string> before = QrRows(term_.Screen());
  ASSERT_GE(before.size(), 10u) << term_.ScreenText();

  // Short of rows for everything, the code and its status still fit.
  ASSERT_TRUE(term_.Resize(100, 33));
  ASSERT_TRUE(term_.WaitFor([](const std::string& s) {
    return s.find("show:") == std::string::npos;
  })) << term_.ScreenText();
  EXPECT_EQ(QrRows(term_.Screen()), before) << term_.ScreenText();
  EXPECT_NE(term_.ScreenText().find("relay: broker reached"), std::string::npos);
  EXPECT_NE(term_.ScreenText().find("q close"), std::string::npos);

  ASSERT_TRUE(term_.Resize(40, 20));
  ASSERT_TRUE(term_.WaitForText("Terminal too small.")) << term_.ScreenText();
  std::string screen = term_.ScreenText();
  EXPECT_NE(screen.find("Needs "), std::string::npos) << screen;
  EXPECT_NE(screen.find("has 40 x 20"), std::string::npos) << screen;
  EXPECT_TRUE(QrRows(term_.Screen()).empty()) << screen;

  ASSERT_TRUE(term_.Resize(120, 60));
  ASSERT_TRUE(term_.WaitFor([](const std::string& s) {
    return s.find("Terminal too small") == std::string::npos &&
           s.find("pairing:") != std::string::npos;
  })) << term_.ScreenText();
  EXPECT_EQ(QrRows(term_.Screen()), before) << term_.ScreenText();
  EXPECT_EQ(Count(term_.ScreenText(), "Pivaro"), 1) << term_.ScreenText();
}

TEST_F(TerminalTest, NoColorDrawsWithoutAnyColourOrAttribute) {
  env_.push_back("NO_COLOR=1");
  ASSERT_TRUE(Launch()) << term_.ScreenText();
  ASSERT_TRUE(term_.WaitForText("relay: broker reached")) << term_.ScreenText();
  EXPECT_FALSE(QrRows(term_.Screen()).empty()) << term_.ScreenText();
  EXPECT_EQ(term_.ScreenWithAttributes().find('\x1b'), std::string::npos);
  env_.pop_back();
}

TEST_F(TerminalTest, ADumbTerminalGetsTheLineMode) {
  env_.push_back("TERM=dumb");
  ASSERT_TRUE(term_.Start(std::string(PIVARO_PROGRAM) + "; echo exit=$?; sleep 30", env_, 100, 30));
  ASSERT_TRUE(term_.WaitForText("state: 3 WaitingForPhone")) << term_.ScreenText();
  EXPECT_EQ(term_.Query("#{alternate_on}"), "0");
  ASSERT_TRUE(term_.SendKeys("close"));
  ASSERT_TRUE(term_.SendKeys("Enter"));
  EXPECT_TRUE(term_.WaitForText("exit=0")) << term_.ScreenText();
  env_.pop_back();
}

TEST_F(TerminalTest, SignalsAndCrashesGiveTheTerminalBack) {
  auto signal = [](int sig) {
    return [sig](TmuxTerminal& t) {
      int pid = t.ProgramPid();
      if (pid > 0) ::kill(pid, sig);
    };
  };
  const struct {
    const char* name;
    std::function<void(TmuxTerminal&)> end;
    const char* exit;  // a close, or death by the signal itself
  } ways[] = {
      {"SIGTERM", signal(SIGTERM), "exit=0"},
      {"SIGHUP", signal(SIGHUP), "exit=0"},
      {"Ctrl-C", [](TmuxTerminal& t) { t.SendKeys("C-c"); }, "exit=0"},
      {"SIGSEGV", signal(SIGSEGV), "exit=139"},
      {"SIGABRT", signal(SIGABRT), "exit=134"},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    TmuxTerminal term;
    std::vector<std::string> env = env_;
    env[1] = "XDG_RUNTIME_DIR=" + term.Dir();
    // The shell outlives a Ctrl-C meant for the program, to report on it;
    // a crash leaves no core file behind.
    std::string command = "trap true INT; ulimit -c 0; " + std::string(PIVARO_PROGRAM) +
                          "; echo exit=$?; stty -a; sleep 30";
    ASSERT_TRUE(term.Start(command, env, 100, 50));
    ASSERT_TRUE(term.WaitForText("Waiting for a phone")) << term.ScreenText();
    ASSERT_NE(term.ProgramPid(), 0);
    way.end(term);
    ASSERT_TRUE(term.WaitForText(way.exit, 15s)) << term.ScreenText();
    EXPECT_EQ(term.Query("#{alternate_on} #{cursor_flag}"), "0 1");
    std::string screen = term.ScreenText();
    EXPECT_EQ(screen.find("Waiting for a phone"), std::string::npos) << screen;
    EXPECT_NE(screen.find(" icanon"), std::string::npos) << screen;
    EXPECT_NE(screen.find(" echo "), std::string::npos) << screen;
  }
}

// A copy of the program whose service base (the file beside it) is a local
// update service, so the start-up check and its answers can be watched.
class UpdateTerminalTest : public TerminalTest {
 protected:
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string ProgramWithService(unsigned short port) {
    char dir[] = "/tmp/pivaro-update-XXXXXX";
    if (!::mkdtemp(dir)) return "";
    dir_ = dir;
    std::filesystem::copy_file(PIVARO_PROGRAM, dir_ + "/pivaro");
    std::ofstream(dir_ + "/{22A3B84B-929B-4344-B628-A44482DD10B5}.txt")
        << "http://127.0.0.1:" << port << "/tavmix/";
    return dir_ + "/pivaro";
  }
  std::string dir_;
};

TEST_F(UpdateTerminalTest, SlowServiceOptionalAndRequiredUpdatesAsAPresenterSeesThem) {
  const struct {
    const char* name;
    const char* document;  // null: the service accepts and never answers
    std::function<void(TmuxTerminal&)> check;
  } cases[] = {
      {"slow service", nullptr,
       [](TmuxTerminal& t) {
         EXPECT_TRUE(t.WaitForText("Checking for updates...", 4s)) << t.ScreenText();
         // The check gives up after its receive limit; the client then runs.
         EXPECT_TRUE(t.WaitForText("Waiting for a phone", 15s)) << t.ScreenText();
         EXPECT_EQ(t.ScreenText().find("u update"), std::string::npos);
       }},
      {"optional", R"([["1.0",2],["1.1.0.65",1]])",
       [](TmuxTerminal& t) {
         ASSERT_TRUE(t.WaitForText("u update")) << t.ScreenText();
         t.SendKeys("u");
         ASSERT_TRUE(t.WaitForText("A new version is available.")) << t.ScreenText();
         EXPECT_NE(t.ScreenText().find("Pivaro有新版本，需更新才能正常使用。"), std::string::npos);
         t.SendKeys("d");
         ASSERT_TRUE(t.WaitForText("website: https://www.pivaro.invalid/")) << t.ScreenText();
         // Taken once, the offer is gone; the client goes on.
         EXPECT_EQ(t.ScreenText().find("u update"), std::string::npos) << t.ScreenText();
         EXPECT_NE(t.ScreenText().find("Waiting for a phone"), std::string::npos);
       }},
      {"required", R"({"a":["1.1.0.65",2]})",
       [](TmuxTerminal& t) {
         ASSERT_TRUE(t.WaitForText("This version must be updated")) << t.ScreenText();
         EXPECT_EQ(t.ScreenText().find("Waiting for a phone"), std::string::npos);
         t.SendKeys("Escape");
         ASSERT_TRUE(t.WaitForText("exit=0")) << t.ScreenText();
         EXPECT_EQ(t.Query("#{alternate_on} #{cursor_flag}"), "0 1");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string document = c.document ? c.document : "";
    test::TestHttpServer service([&document](const std::string&) {
      if (document.empty()) {
        test::Reply silent;
        silent.silent = true;
        return silent;
      }
      return test::Answer(200, document);
    });
    std::string program = ProgramWithService(service.Port());
    ASSERT_FALSE(program.empty());
    TmuxTerminal term;
    std::vector<std::string> env = env_;
    env[1] = "XDG_RUNTIME_DIR=" + term.Dir();
    ASSERT_TRUE(term.Start(program + "; echo exit=$?; sleep 30", env, 120, 50));
    c.check(term);
    TearDown();
  }
}

TEST_F(TerminalTest, HelpAndVersionNeedNoTerminalAndStartNothing) {
  ChildResult help = RunChild({PIVARO_PROGRAM, "--help"}, env_, "", 10s);
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.output.rfind("Usage: pivaro", 0), 0u) << help.output;
  ChildResult version = RunChild({PIVARO_PROGRAM, "--version"}, env_, "", 10s);
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.output, "pivaro 1.1.0.65\n");
  ChildResult bad = RunChild({PIVARO_PROGRAM, "--bogus"}, env_, "", 10s);
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_EQ(bad.output, "");
  EXPECT_NE(access(Lock().c_str(), F_OK), 0);
}

}  // namespace
}  // namespace e2e

#endif
