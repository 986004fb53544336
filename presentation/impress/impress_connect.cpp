// Finding the office: the pipe's name and socket path, the checks that the
// socket there is the user's own before anything reaches it, starting an
// office on a pipe of a random name when none answers, attaching the remote
// bridge and the document listener, and how often a lost office is looked
// for again (often while looking is cheap, backing off while attempts run
// into the call limit of a hung office). A started office runs in its own
// process group under a private umask, so that it can be ended as a whole
// and its socket is the user's alone.
#include <errno.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/connection/Connector.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/theGlobalEventBroadcaster.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <rtl/bootstrap.hxx>

#include "net/secure_random.h"
#include "presentation/impress/impress_uno.h"

extern char** environ;

using namespace impress_uno;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;

namespace {

constexpr auto kHandOverLimit = std::chrono::seconds(5);
constexpr auto kStartPoll = std::chrono::milliseconds(250);

// A pipe name nobody can guess: 128 bits from the system's secure source.
// Empty when that source fails; there is no weaker fallback.
std::string RandomPipeName() {
  unsigned char bytes[16];
  if (!SecureRandomBytes(bytes, sizeof bytes)) return std::string();
  std::string name = "pivaro-";
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char b : bytes) {
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name;
}

// The program's path as exec finds it, looked up before fork: a child of a
// threaded process may only make async-signal-safe calls.
std::string FindProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::string all = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= all.size();) {
    std::size_t end = all.find(':', start);
    if (end == std::string::npos) end = all.size();
    std::string folder = all.substr(start, end - start);
    std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

std::string Octal(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "0%03o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

// The process's own UNO environment, which the remote bridge is built in.
// Made once: the URE's bootstrap is not meant to run twice.
Reference<css::uno::XComponentContext> impress_uno::LocalContext() {
  static Reference<css::uno::XComponentContext> context = [] {
    setenv("URE_BOOTSTRAP", "vnd.sun.star.pathname:" PIVARO_LO_PROGRAM "/fundamentalrc", 0);
    try {
      return cppu::defaultBootstrap_InitialComponentContext();
    } catch (const css::uno::Exception&) {
      return Reference<css::uno::XComponentContext>();
    }
  }();
  return context;
}

std::string DefaultImpressPipeName() { return "pivaro-" + std::to_string(getuid()); }

std::string ImpressPipeSocketPath(const std::string& pipeName) {
  // The office's own rule: /tmp when it may be written, else /var/tmp, else
  // the folder its bootstrap variable names; the user's number in the name
  // when the user has a password entry.
  std::string folder;
  if (access("/tmp", W_OK) == 0) {
    folder = "/tmp";
  } else if (access("/var/tmp", W_OK) == 0) {
    folder = "/var/tmp";
  } else {
    OUString configured;
    if (rtl::Bootstrap::get("OSL_SOCKET_PATH", configured))
      folder = OUStringToOString(configured, RTL_TEXTENCODING_UTF8).getStr();
  }
  std::string path = folder + "/OSL_PIPE_";
  struct passwd entry;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    path += std::to_string(found->pw_uid) + "_";
  return path + pipeName;
}

PipeSocketVerdict CheckPipeSocket(const std::string& path, uid_t uid, std::string* reason) {
  auto refuse = [reason](std::string why) {
    if (reason) *reason = std::move(why);
    return PipeSocketVerdict::Refused;
  };
  struct stat socketStat;
  if (lstat(path.c_str(), &socketStat) != 0) {
    if (errno == ENOENT) return PipeSocketVerdict::Absent;
    return refuse(std::string("it cannot be examined (") + std::strerror(errno) + ")");
  }
  if (S_ISLNK(socketStat.st_mode)) return refuse("it is a symbolic link");
  if (!S_ISSOCK(socketStat.st_mode)) return refuse("it is not a socket");
  if (socketStat.st_uid != uid)
    return refuse("it belongs to uid " + std::to_string(socketStat.st_uid) +
                  ", not to this user (uid " + std::to_string(uid) + ")");
  if (socketStat.st_mode & (S_IWGRP | S_IWOTH))
    return refuse("group or others may write to it (mode " + Octal(socketStat.st_mode) + ")");
  // Our socket stays ours only where no one else may rename or remove it:
  // a folder of ours or root's, open to others only with the sticky bit.
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  struct stat folderStat;
  if (stat(folder.c_str(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode))
    return refuse("its folder " + folder + " cannot be examined");
  if (folderStat.st_uid != uid && folderStat.st_uid != 0)
    return refuse("its folder " + folder + " belongs to uid " + std::to_string(folderStat.st_uid));
  if ((folderStat.st_mode & (S_IWGRP | S_IWOTH)) && !(folderStat.st_mode & S_ISVTX))
    return refuse("others may replace it: its folder " + folder + " is writable by them (mode " +
                  Octal(folderStat.st_mode) + ")");
  return PipeSocketVerdict::Trusted;
}

bool CImpressLink::Uno::ConnectNow() {
  // The bridge writes to the office's pipe with plain writes: an office
  // that dies mid-call would otherwise end this whole program with SIGPIPE
  // instead of failing the call.
  static const bool pipeSignalIgnored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  static_cast<void>(pipeSignalIgnored);
  if (connected.load()) return true;
  // The office we started, while it is there, else the presenter's own.
  std::vector<std::string> pipes;
  {
    std::lock_guard<std::mutex> guard(infoLock);
    if (!startedPipe.empty()) pipes.push_back(startedPipe);
  }
  pipes.push_back(options.pipeName);
  std::string refused;
  bool ok = false;
  for (const std::string& pipe : pipes) {
    // Nothing, not even the connection, reaches a socket that may be
    // someone else's: it would learn the deck's address and answer for it.
    const std::string path = ImpressPipeSocketPath(pipe);
    std::string reason;
    const PipeSocketVerdict verdict = CheckPipeSocket(path, getuid(), &reason);
    if (verdict == PipeSocketVerdict::Refused && refused.empty())
      refused = "refused the pipe " + path + ": " + reason;
    if (verdict == PipeSocketVerdict::Trusted && ConnectTo(pipe)) {
      ok = true;
      break;
    }
  }
  std::lock_guard<std::mutex> guard(infoLock);
  refusal = ok ? std::string() : refused;
  return ok;
}

bool CImpressLink::Uno::ConnectTo(const std::string& pipeName) {
  ForgetOffice();
  Reference<css::uno::XComponentContext> local = LocalContext();
  if (!local.is()) return false;
  try {
    OUString pipe = "pipe,name=" + ToOu(pipeName);
    Reference<css::connection::XConnection> connection =
        css::connection::Connector::create(local)->connect(pipe);
    Reference<css::bridge::XBridge> b =
        css::bridge::BridgeFactory::create(local)->createBridge("", "urp", connection, nullptr);
    Reference<css::lang::XComponent> component(b, UNO_QUERY_THROW);
    const std::uint32_t gen = ++generation;
    component->addEventListener(MakeBridgeWatch(weak_from_this(), gen));
    {
      std::lock_guard<std::mutex> guard(bridgeLock);
      bridge = component;
    }
    remote.set(b->getInstance("StarOffice.ComponentContext"), UNO_QUERY_THROW);
    desktop = css::frame::Desktop::create(remote);
    broadcaster.set(css::frame::theGlobalEventBroadcaster::get(remote), UNO_QUERY);
    if (broadcaster.is()) {
      documentListener = MakeDocumentWatch(weak_from_this());
      broadcaster->addDocumentEventListener(documentListener);
    }
    connected.store(true);
    // A show that already runs (Pivaro restarted, or the office found
    // again) is taken over.
    WatchShow();
    return true;
  } catch (const css::uno::Exception&) {
    ForgetOffice();
    return false;
  }
}

bool CImpressLink::Uno::StartOffice() {
  const std::string pipeName = RandomPipeName();
  const std::string program = FindProgram(options.officeProgram);
  if (pipeName.empty() || program.empty()) return false;
  std::vector<std::string> args = {
      options.officeProgram, "--accept=pipe,name=" + pipeName + ";urp;StarOffice.ComponentContext",
      "--norestore", "--nologo", "--nodefault"};
  if (!options.profileUrl.empty()) args.push_back("-env:UserInstallation=" + options.profileUrl);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Its own process group, so that the office and the launcher's children
    // can be ended together; a private umask, so that the pipe's socket and
    // whatever else the office makes in shared folders are the user's alone.
    setpgid(0, 0);
    umask(077);
    signal(SIGPIPE, SIG_DFL);
    execve(program.c_str(), argv.data(), environ);
    _exit(127);
  }
  setpgid(pid, pid);  // either side may get there first
  {
    std::lock_guard<std::mutex> guard(infoLock);
    startedPipe = pipeName;
  }
  started.store(pid);
  return true;
}

bool CImpressLink::Connect(bool start) {
  if (Run([](Uno& u) { return u.ConnectNow(); })) return true;
  if (!start) return false;
  if (!Run([](Uno& u) { return u.StartOffice(); })) return false;
  auto deadline = std::chrono::steady_clock::now() + uno_->options.startLimit;
  bool launcherGone = false;
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kStartPoll);
    // A launcher that ended has either handed over to an office that was
    // already running, which then answers soon, or failed (no display, say):
    // it is not waited for the whole start limit.
    if (pid_t pid = uno_->started.load();
        pid && !launcherGone && waitpid(pid, nullptr, WNOHANG) == pid) {
      launcherGone = true;
      deadline = std::min(deadline, std::chrono::steady_clock::now() + kHandOverLimit);
    }
    if (Run([](Uno& u) { return u.ConnectNow(); })) return true;
  }
  return false;
}

bool CImpressLink::Reconnect() {
  if (IsConnected()) return true;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> guard(uno_->infoLock);
    if (now < uno_->nextReconnect) return false;
    uno_->nextReconnect = now + uno_->reconnectInterval;
  }
  const bool ok = Connect(false);
  const bool costly = std::chrono::steady_clock::now() - now >= uno_->options.callLimit / 2;
  std::lock_guard<std::mutex> guard(uno_->infoLock);
  uno_->reconnectInterval =
      ok || !costly ? std::chrono::duration_cast<std::chrono::milliseconds>(kReconnectInterval)
                    : std::clamp<std::chrono::milliseconds>(uno_->reconnectInterval * 2, kHungPause,
                                                            kReconnectIntervalMax);
  return ok;
}

bool CImpressLink::IsConnected() const { return uno_->connected.load(); }

std::string CImpressLink::Refusal() const {
  std::lock_guard<std::mutex> guard(uno_->infoLock);
  return uno_->refusal;
}

std::string CImpressLink::PipeName() const {
  std::lock_guard<std::mutex> guard(uno_->infoLock);
  return uno_->startedPipe.empty() ? uno_->options.pipeName : uno_->startedPipe;
}

pid_t CImpressLink::StartedProcess() const { return uno_->started.load(); }
