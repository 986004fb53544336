#include "tests/support/impress_session.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "presentation/impress/impress_link.h"

extern char** environ;

namespace {

constexpr int kDisplayWaitMs = 10000;
constexpr int kDisplayAttempts = 10;

bool OnPath(const char* program) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string all = path;
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t end = all.find(':', start);
    if (end == std::string::npos) end = all.size();
    std::string candidate = all.substr(start, end - start) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A fresh profile asks nothing at start: no first-start wizard, no tip of
// the day, no document recovery.
constexpr char kProfileSettings[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="ShowTipOfTheDay" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="FirstRun" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Setup/Office"><prop oor:name="ooSetupInstCompleted" oor:op="fuse"><value>true</value></prop></item>
<item oor:path="/org.openoffice.Office.Recovery/RecoveryInfo"><prop oor:name="Enabled" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="UseOpenCL" oor:op="fuse"><value>false</value></prop></item>
</oor:items>
)";

}  // namespace

ImpressSession::ImpressSession() {
  if (!OnPath("soffice")) {
    unavailable_ = "LibreOffice (soffice) is not installed: apt-get install libreoffice-impress";
    return;
  }
  char folder[] = "/tmp/pivaro-impress-XXXXXX";
  if (!mkdtemp(folder)) {
    unavailable_ = "cannot make a temporary folder";
    return;
  }
  folder_ = folder;
  pipeName_ = "pivaro-test-" + std::to_string(getpid()) + "-" + folder_.substr(folder_.size() - 6);
  const std::string profile = folder_ + "/profile";
  mkdir(profile.c_str(), 0700);
  mkdir((profile + "/user").c_str(), 0700);
  std::ofstream(profile + "/user/registrymodifications.xcu") << kProfileSettings;
  profileUrl_ = "file://" + profile;
  if (!StartDisplay()) unavailable_ = "no X display: set DISPLAY or install xvfb";
}

ImpressSession::~ImpressSession() {
  for (pid_t office : offices_) KillGroup(office);
  if (xvfb_) {
    kill(xvfb_, SIGTERM);
    waitpid(xvfb_, nullptr, 0);
    unsetenv("DISPLAY");
  }
  if (!folder_.empty()) {
    std::string command = "rm -rf '" + folder_ + "'";
    if (std::system(command.c_str()) != 0)
      std::fprintf(stderr, "could not remove %s\n", folder_.c_str());
  }
}

bool ImpressSession::StartDisplay() {
  const char* display = std::getenv("DISPLAY");
  if (display && *display) return true;
  if (!OnPath("Xvfb")) return false;
  // A display number of our own choosing, taken through the server's lock
  // file: of two servers started on one number at once, one fails.
  const int first = 100 + static_cast<int>(getpid() % 400) + 3 * displaysTried_++;
  for (int attempt = 0; attempt < kDisplayAttempts; ++attempt) {
    const std::string number = std::to_string(first + attempt * 7);
    if (access(("/tmp/.X" + number + "-lock").c_str(), F_OK) == 0) continue;
    if (StartXvfb(number) && OwnsDisplay(number)) {
      setenv("DISPLAY", (":" + number).c_str(), 1);
      return true;
    }
    if (xvfb_) {
      kill(xvfb_, SIGKILL);
      waitpid(xvfb_, nullptr, 0);
      xvfb_ = 0;
    }
  }
  return false;
}

bool ImpressSession::ReplaceDisplay() {
  if (!xvfb_) return std::getenv("DISPLAY") != nullptr;
  std::fprintf(stderr, "the office could not open display %s; starting another\n",
               std::getenv("DISPLAY"));
  kill(xvfb_, SIGTERM);
  waitpid(xvfb_, nullptr, 0);
  xvfb_ = 0;
  unsetenv("DISPLAY");
  return StartDisplay();
}

bool ImpressSession::StartXvfb(const std::string& number) {
  std::string name = ":" + number;
  char* argv[] = {const_cast<char*>("Xvfb"), name.data(), const_cast<char*>("-screen"),
                  const_cast<char*>("0"), const_cast<char*>("1280x800x24"),
                  const_cast<char*>("-nolisten"), const_cast<char*>("tcp"),
                  // An X server resets when its last client leaves and
                  // refuses connections meanwhile: an office started right
                  // after another ended would find no display.
                  const_cast<char*>("-noreset"), nullptr};
  // Ends with this process, even when a test runner kills it on a timeout.
  const pid_t parent = getpid();
  xvfb_ = fork();
  if (xvfb_ < 0) {
    xvfb_ = 0;
    return false;
  }
  if (xvfb_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    execvp("Xvfb", argv);
    _exit(127);
  }
  return true;
}

// The display is ours once its lock file names our server and its socket is
// there; a server that lost the number ends instead.
bool ImpressSession::OwnsDisplay(const std::string& number) {
  const std::string lock = "/tmp/.X" + number + "-lock";
  const std::string socket = "/tmp/.X11-unix/X" + number;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kDisplayWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(xvfb_, nullptr, WNOHANG) != 0) {
      xvfb_ = 0;
      return false;
    }
    std::ifstream in(lock);
    long pid = 0;
    if (in >> pid && pid == xvfb_ && access(socket.c_str(), F_OK) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string ImpressSession::WriteDeck(const std::string& name,
                                      const std::vector<ImpressDeckSlide>& slides) {
  std::string path = folder_ + "/" + name;
  std::ofstream out(path);
  out << R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"
 xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0"
 xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0"
 xmlns:presentation="urn:oasis:names:tc:opendocument:xmlns:presentation:1.0"
 office:version="1.3" office:mimetype="application/vnd.oasis.opendocument.presentation">
<office:automatic-styles>
 <style:page-layout style:name="PM1"><style:page-layout-properties fo:page-width="28cm" fo:page-height="15.75cm" style:print-orientation="landscape"/></style:page-layout>
</office:automatic-styles>
<office:master-styles><style:master-page style:name="Default" style:page-layout-name="PM1"/></office:master-styles>
<office:body><office:presentation>
)";
  int index = 1;
  for (const ImpressDeckSlide& slide : slides) {
    out << "<draw:page draw:name=\"page" << index++ << "\" draw:master-page-name=\"Default\">\n"
        << " <draw:frame svg:x=\"2cm\" svg:y=\"2cm\" svg:width=\"24cm\" svg:height=\"4cm\">"
        << "<draw:text-box><text:p>" << Escape(slide.title)
        << "</text:p></draw:text-box></draw:frame>\n"
        << " <presentation:notes><draw:frame presentation:class=\"notes\" svg:x=\"2cm\" "
           "svg:y=\"14cm\" svg:width=\"17cm\" svg:height=\"10cm\"><draw:text-box><text:p>"
        << Escape(slide.notes) << "</text:p></draw:text-box></draw:frame></presentation:notes>\n"
        << "</draw:page>\n";
  }
  out << "</office:presentation></office:body></office:document>\n";
  return path;
}

pid_t ImpressSession::StartOffice(const std::string& pipeName, const std::string& document) {
  std::vector<std::string> args = {
      "soffice",     "--accept=pipe,name=" + pipeName + ";urp;StarOffice.ComponentContext",
      "--norestore", "--nologo",
      "--nodefault", "-env:UserInstallation=" + profileUrl_};
  if (!document.empty()) args.push_back(document);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return 0;
  if (pid == 0) {
    setpgid(0, 0);
    umask(077);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  setpgid(pid, pid);
  Adopt(pid);
  return pid;
}

std::string ImpressSession::ConvertDeck(const std::string& path, const std::string& format) {
  const std::string out = folder_ + "/converted";
  mkdir(out.c_str(), 0700);
  // A profile apart from the session's: an office running on that one would
  // otherwise be handed the conversion.
  std::vector<std::string> args = {"soffice",
                                   "--headless",
                                   "--norestore",
                                   "-env:UserInstallation=file://" + folder_ + "/convert-profile",
                                   "--convert-to",
                                   format,
                                   "--outdir",
                                   out,
                                   path};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return std::string();
  if (pid == 0) {
    setpgid(0, 0);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  setpgid(pid, pid);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  int status = -1;
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!ended) {
    KillGroup(pid);
    return std::string();
  }
  std::string name = path.substr(path.rfind('/') + 1);
  name = name.substr(0, name.rfind('.')) + "." + format;
  const std::string converted = out + "/" + name;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && access(converted.c_str(), R_OK) == 0
             ? converted
             : std::string();
}

void ImpressSession::KillGroup(pid_t leader, int seconds) {
  if (leader <= 0) return;
  kill(-leader, SIGKILL);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    pid_t r = waitpid(leader, nullptr, WNOHANG);
    // Gone, or not our child (reaped earlier): the group is signalled.
    if (r == leader || r < 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // soffice.bin may outlive its launcher for a moment; its group goes too.
  kill(-leader, SIGKILL);
}

void ImpressSession::EndOffice(CImpressLink& link) {
  KillGroup(link.StartedProcess());
  unlink(ImpressPipeSocketPath(link.PipeName()).c_str());
}
