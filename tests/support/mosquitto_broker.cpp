#include "tests/support/mosquitto_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

const char kMosquitto[] = "/usr/sbin/mosquitto";

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Waits for the child at most `limit`; true when it has ended.
bool Reap(pid_t pid, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || r < 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

std::uint16_t FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

bool LoopbackAccepts(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in a = Loopback(port);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

bool MqttBrokerAnswers(std::uint16_t port, int timeoutMs) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in a = Loopback(port);
  bool ok = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    // MQTT 3.1.1 CONNECT, clean session, keep-alive 10 s, client id "probe".
    const unsigned char connect[] = {0x10, 17, 0, 4, 'M', 'Q', 'T', 'T', 4,  2,
                                     0,    10, 0, 5, 'p', 'r', 'o', 'b', 'e'};
    unsigned char answer[4] = {};
    pollfd p{fd, POLLIN, 0};
    if (::send(fd, connect, sizeof connect, MSG_NOSIGNAL) == sizeof connect &&
        ::poll(&p, 1, timeoutMs) == 1 && ::recv(fd, answer, sizeof answer, 0) == 4) {
      ok = answer[0] == 0x20 && answer[3] == 0;
      const unsigned char disconnect[] = {0xE0, 0};
      ::send(fd, disconnect, sizeof disconnect, MSG_NOSIGNAL);
    }
  }
  ::close(fd);
  return ok;
}

MosquittoBroker::MosquittoBroker(bool tcpNoDelay) : tcpNoDelay_(tcpNoDelay) {
  char pattern[] = "/tmp/pivaro-broker-XXXXXX";
  if (char* made = ::mkdtemp(pattern)) dir_ = made;
}

MosquittoBroker::~MosquittoBroker() {
  Stop();
  if (!dir_.empty()) {
    std::remove((dir_ + "/mosquitto.conf").c_str());
    std::remove((dir_ + "/mosquitto.log").c_str());
    ::rmdir(dir_.c_str());
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
  {
    std::ofstream out(conf, std::ios::trunc);
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
  const char* argv[] = {kMosquitto, "-c", conf.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    error_ = std::string("cannot start ") + kMosquitto;
    return false;
  }
  pid_ = pid;
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (MqttBrokerAnswers(port_, 200)) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
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
  ::kill(pid_, SIGKILL);
  Reap(pid_, std::chrono::seconds(2));
  pid_ = -1;
}

void MosquittoBroker::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGCONT);  // a paused broker must run to end
  ::kill(pid_, SIGTERM);
  if (!Reap(pid_, std::chrono::seconds(1))) {
    ::kill(pid_, SIGKILL);
    Reap(pid_, std::chrono::seconds(2));
  }
  pid_ = -1;
}

void MosquittoBroker::Pause() {
  if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void MosquittoBroker::Resume() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}
