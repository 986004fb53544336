// The terminal window in its line mode (stdin not a terminal), whose lines
// other programs read: the pairing address, state changes, the laser dot,
// and commands given as lines.
#ifndef _WIN32

#include <cstdio>
#include <cstdlib>

#include <boost/asio/io_context.hpp>

#include "tests/app/controller_fixture.h"
#include "ui/terminal/terminal_view.h"

namespace {

class TerminalViewTest : public ControllerTest {
 protected:
  void SetUp() override { out_ = open_memstream(&buffer_, &size_); }
  void TearDown() override {
    ControllerTest::TearDown();
    term.reset();
    std::fclose(out_);
    std::free(buffer_);
  }

  void StartTerminal(int updateState = 0) {
    Make(updateState);
    term = std::make_unique<CTerminalView>(io, *ctl, nullptr, nullptr, nullptr, false, out_);
    term->SetReports(&reports);
    ctl->AttachUi(&ui, term.get());
    ctl->InitWindow();
    Drain();
    RelayAt(0)->Notify([](INetSessionNotify* n) { n->OnStarted(true, 0); });
    Drain();
  }

  std::string Output() {
    std::fflush(out_);
    return std::string(buffer_, size_);
  }
  std::string Take() {
    std::string all = Output();
    std::string fresh = all.substr(taken_);
    taken_ = all.size();
    return fresh;
  }

  boost::asio::io_context io;
  std::unique_ptr<CTerminalView> term;

 private:
  std::FILE* out_ = nullptr;
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::size_t taken_ = 0;
};

}  // namespace

TEST_F(TerminalViewTest, PrintsPairingAddressAndStateChangesOnce) {
  StartTerminal();
  EXPECT_EQ(Take(),
            "pairing: http://base/tavmix/?os=1&id=r0&st=t0&sv=d1\n"
            "state: 3 WaitingForPhone 扫描二维码即可在手机控制PPT / 手机和电脑需连接网络\n");
  RelayAt(0)->Message(R"({"msg":"hello"})");
  Drain();
  EXPECT_EQ(Take(), "state: 4 Connected 连接成功 / 现在可以用手机控制你的PPT啦！\n");
}

TEST_F(TerminalViewTest, ShowsThePcDrawnLaser) {
  StartTerminal();
  pres->showRunning = true;
  RelayAt(0)->Message(R"({"msg":"laser_move","x":0.1,"y":0.1})");
  RelayAt(0)->Message(R"({"msg":"laser_down","x":0.5,"y":0.25})");
  RelayAt(0)->Message(R"({"msg":"laser_move","x":0.75,"y":0.5})");
  RelayAt(0)->Message(R"({"msg":"laser_up"})");
  Take();
  Drain();
  EXPECT_EQ(Take(),
            "state: 4 Connected 连接成功 / 现在可以用手机控制你的PPT啦！\n"
            "laser: show x 0.500, y 0.250\n"
            "laser: move x 0.750, y 0.500\n"
            "laser: hide\n");
}

TEST_F(TerminalViewTest, CommandLinesDriveTheWindow) {
  StartTerminal();
  term->OnLine("connect");  // no button while waiting
  term->OnLine("retry");
  EXPECT_TRUE(RelayAt(0)->Sent().empty());
  RelayAt(0)->Message(R"({"msg":"hello"})");
  Drain();
  Take();

  // Closing while connected asks first; "no" keeps the client running.
  term->OnLine("close");
  EXPECT_EQ(Take(), "close: 关闭窗口将断开手机和电脑的连接，您确认断开？ (yes/no)\n");
  term->OnLine("no");
  EXPECT_FALSE(term->Ended());
  term->OnLine("close\r");
  term->OnLine("yes");
  EXPECT_TRUE(term->Ended());
  EXPECT_EQ(Take(), "close: 关闭窗口将断开手机和电脑的连接，您确认断开？ (yes/no)\nclosed\n");
  auto calls = RelayAt(0)->Calls();
  EXPECT_EQ(calls[calls.size() - 2], R"(SendSync({"msg":"quit"}))");
}

TEST_F(TerminalViewTest, DisconnectKeySaysBye) {
  StartTerminal();
  RelayAt(0)->Message(R"({"msg":"hello"})");
  Drain();
  term->OnLine("c");
  EXPECT_EQ(RelayAt(0)->Sent().back(), R"(Send({"msg":"bye"},1))");
  EXPECT_EQ(ctl->GetState(), CMainController::Connecting);
}

class TerminalUpdateTest : public TerminalViewTest,
                           public ::testing::WithParamInterface<const char*> {};

// "yes" is the download button (1881 with 2 = 1, and the address to open),
// "no" the close button (1881 with 3 = 1).
TEST_P(TerminalUpdateTest, NoticeIsOfferedOnceAndItsAnswerReported) {
  const bool download = std::string(GetParam()) == "yes";
  StartTerminal(CMainController::kUpdateOptional);
  Take();
  term->OnLine("update");
  EXPECT_EQ(Take(),
            "update: Pivaro有新版本，需更新才能正常使用。\n请移步官网下载最新版本\n"
            "update: download from the website? (yes/no)\n");
  term->OnLine(GetParam());
  EXPECT_EQ(Take(), download ? "website: https://www.pivaro.invalid/\n" : "");
  auto records = reports.Records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().cmd, Report::ReportCmdUpdate);
  EXPECT_EQ(records.back().Int(download ? 2 : 3), 1);
  EXPECT_EQ(records.back().Int(download ? 3 : 2), -1);
  EXPECT_EQ(records.back().Int(99), 1);
  // The corner key is gone for the rest of the run; the client goes on.
  term->OnLine("update");
  term->OnLine("yes");
  EXPECT_EQ(reports.Records().size(), records.size());
  EXPECT_EQ(Take(), "");
  EXPECT_FALSE(term->Ended());
}

INSTANTIATE_TEST_SUITE_P(Answers, TerminalUpdateTest, ::testing::Values("yes", "no"));

#endif
