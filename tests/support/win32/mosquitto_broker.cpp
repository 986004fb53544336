// The broker fixture for the Windows tests, which run under Wine: the broker
// is the build machine's own Mosquitto, a Unix program, which Wine starts
// through CreateProcess as it would a Windows one. Wine hands back no handle
// that can wait for or end such a process, so the broker's shell writes its
// Unix process id to a file, signals go through kill(1), and whether the
// broker still runs (or is stopped) is read from /proc. Wine shows the Unix
// root as drive Z:, which is how the files are shared with the broker.
#include "tests/support/mosquitto_broker.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

const char kMosquitto[] = "/usr/sbin/mosquitto";

struct Winsock {
  Winsock() {
    WSADATA data;
    ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  bool ok = false;
};

bool WinsockUp() {
  static Winsock winsock;
  return winsock.ok;
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

std::string WindowsPath(const std::string& unixPath) {
  std::string path = "Z:" + unixPath;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// Starts a Unix program. Wine's CreateProcess, given a Unix program, starts
// it and then resumes and closes a thread handle it never opened: a stale
// value that may name any handle of the caller (seen closing one of the
// socket layer's and one of Paho's, after which sockets fail or a client's
// connect is never answered). So the program is started by Wine's
// "start /unix", which loses that handle instead of this process; start.exe
// ends once it has started the program and is waited for, within a bound.
bool RunUnix(const std::string& commandLine) {
  char system[MAX_PATH];
  UINT length = GetSystemDirectoryA(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  std::string line = std::string(system) + "\\start.exe /unix " + commandLine;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  bool ended = WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ended;
}

// The state letter of a Unix process ('R', 'S', 'T', ...); 0 when it has
// ended (gone, or a zombie waiting for its parent).
char UnixState(pid_t pid) {
  std::ifstream in(WindowsPath("/proc/" + std::to_string(pid) + "/stat"));
  std::string stat;
  if (!in || !std::getline(in, stat)) return 0;
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return 0;
  char state = stat[close + 2];
  return state == 'Z' || state == 'X' ? 0 : state;
}

bool Signal(pid_t pid, const char* name) {
  return RunUnix(std::string("/bin/kill -") + name + " " + std::to_string(pid));
}

// Waits until the process's state satisfies `done`, at most `limit`.
template <typename Done>
bool WaitForState(pid_t pid, std::chrono::milliseconds limit, Done done) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done(UnixState(pid))) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool Ended(char state) { return state == 0; }

}  // namespace

std::uint16_t FreeLoopbackPort() {
  if (!WinsockUp()) return 0;
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return 0;
  sockaddr_in a = Loopback(0);
  int len = sizeof a;
  std::uint16_t port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::closesocket(s);
  return port;
}

bool LoopbackAccepts(std::uint16_t port) {
  if (!WinsockUp()) return false;
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in a = Loopback(port);
  bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::closesocket(s);
  return ok;
}

bool MqttBrokerAnswers(std::uint16_t port, int timeoutMs) {
  if (!WinsockUp()) return false;
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in a = Loopback(port);
  bool ok = false;
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    // MQTT 3.1.1 CONNECT, clean session, keep-alive 10 s, client id "probe".
    const char connect[] = {0x10, 17, 0, 4, 'M', 'Q', 'T', 'T', 4,  2,
                            0,    10, 0, 5, 'p', 'r', 'o', 'b', 'e'};
    char answer[4] = {};
    WSAPOLLFD p{s, POLLRDNORM, 0};
    if (::send(s, connect, sizeof connect, 0) == sizeof connect && WSAPoll(&p, 1, timeoutMs) == 1 &&
        ::recv(s, answer, sizeof answer, 0) == 4) {
      ok = answer[0] == 0x20 && answer[3] == 0;
      const char disconnect[] = {static_cast<char>(0xE0), 0};
      ::send(s, disconnect, sizeof disconnect, 0);
    }
  }
  ::closesocket(s);
  return ok;
}

MosquittoBroker::MosquittoBroker(bool tcpNoDelay) : tcpNoDelay_(tcpNoDelay) {
  static std::atomic<int> counter{0};
  std::string dir = "/tmp/pivaro-broker-w" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(GetTickCount()) + "-" + std::to_string(++counter);
  if (CreateDirectoryA(WindowsPath(dir).c_str(), nullptr)) dir_ = dir;
}

MosquittoBroker::~MosquittoBroker() {
  Stop();
  if (!dir_.empty()) {
    DeleteFileA(WindowsPath(dir_ + "/mosquitto.conf").c_str());
    DeleteFileA(WindowsPath(dir_ + "/mosquitto.log").c_str());
    DeleteFileA(WindowsPath(dir_ + "/pid").c_str());
    RemoveDirectoryA(WindowsPath(dir_).c_str());
  }
}

bool MosquittoBroker::Start(std::chrono::milliseconds limit) {
  if (Running()) return true;
  // A port picked here may be taken by a test running beside this one
  // before the broker binds it: then pick again.
  const bool pickPort = port_ == 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (pickPort) port_ = FreeLoopbackPort();
    if (Launch(limit) || !pickPort || Running()) break;
  }
  return Running();
}

bool MosquittoBroker::Launch(std::chrono::milliseconds limit) {
  if (dir_.empty()) {
    error_ = "no temporary folder";
    return false;
  }
  if (port_ == 0) {
    error_ = "no free loopback port";
    return false;
  }
  const std::string conf = dir_ + "/mosquitto.conf";
  const std::string pidFile = dir_ + "/pid";
  {
    std::ofstream out(WindowsPath(conf), std::ios::trunc | std::ios::binary);
    out << "listener " << port_ << " 127.0.0.1\n"
        << "allow_anonymous true\n"
        << "set_tcp_nodelay " << (tcpNoDelay_ ? "true" : "false") << "\n"
        << "persistence false\n"
        << "log_dest file " << dir_ << "/mosquitto.log\n";
    if (!out) {
      error_ = "cannot write " + conf;
      return false;
    }
  }
  DeleteFileA(WindowsPath(pidFile).c_str());
  // The shell becomes the broker, so the id it writes is the broker's.
  if (!RunUnix("/bin/sh -c \"echo $$ > " + pidFile + "; exec " + kMosquitto + " -c " + conf +
               " >/dev/null 2>&1\"")) {
    error_ = std::string("cannot start ") + kMosquitto + " through Wine";
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (pid_ <= 0 && std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(WindowsPath(pidFile));
    long pid = 0;
    if (in >> pid && pid > 0) {
      pid_ = static_cast<pid_t>(pid);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (pid_ <= 0) {
    error_ = "the broker's shell wrote no process id in time";
    return false;
  }
  while (std::chrono::steady_clock::now() < deadline) {
    if (MqttBrokerAnswers(port_, 200)) return true;
    if (UnixState(pid_) == 0) {
      pid_ = -1;
      error_ = "mosquitto ended at start (port " + std::to_string(port_) + " taken?)";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error_ = "mosquitto did not answer in time";
  Stop();
  return false;
}

void MosquittoBroker::Kill() {
  if (pid_ <= 0) return;
  Signal(pid_, "KILL");
  WaitForState(pid_, std::chrono::seconds(2), Ended);
  pid_ = -1;
}

void MosquittoBroker::Stop() {
  if (pid_ <= 0) return;
  Signal(pid_, "CONT");  // a paused broker must run to end
  Signal(pid_, "TERM");
  if (!WaitForState(pid_, std::chrono::seconds(1), Ended)) {
    Signal(pid_, "KILL");
    WaitForState(pid_, std::chrono::seconds(2), Ended);
  }
  pid_ = -1;
}

// kill(1) runs beside this process: both wait until the broker shows the
// state asked for, as the signal would have left it at once on Linux.
void MosquittoBroker::Pause() {
  if (pid_ <= 0) return;
  Signal(pid_, "STOP");
  WaitForState(pid_, std::chrono::seconds(2), [](char state) { return state == 'T' || !state; });
}

void MosquittoBroker::Resume() {
  if (pid_ <= 0) return;
  Signal(pid_, "CONT");
  WaitForState(pid_, std::chrono::seconds(2), [](char state) { return state != 'T'; });
}
