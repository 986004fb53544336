#include "tests/net/support/mosquitto_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 1;
}

}  // namespace

bool MqttBrokerAnswers(int port, int timeoutMs) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    // MQTT 3.1.1 CONNECT, clean session, keep-alive 10 s, client id "probe".
    const unsigned char connect[] = {0x10, 17, 0, 4, 'M', 'Q', 'T', 'T', 4,  2,
                                     0,    10, 0, 5, 'p', 'r', 'o', 'b', 'e'};
    unsigned char answer[4] = {};
    if (::send(fd, connect, sizeof connect, MSG_NOSIGNAL) == sizeof connect &&
        WaitReadable(fd, timeoutMs) && ::recv(fd, answer, sizeof answer, 0) == 4) {
      ok = answer[0] == 0x20 && answer[3] == 0;
      const unsigned char disconnect[] = {0xE0, 0};
      ::send(fd, disconnect, sizeof disconnect, MSG_NOSIGNAL);
    }
  }
  ::close(fd);
  return ok;
}

const char* MosquittoBroker::Executable() {
  return ::access("/usr/sbin/mosquitto", X_OK) == 0 ? "/usr/sbin/mosquitto" : "mosquitto";
}

MosquittoBroker::MosquittoBroker(bool tcpNoDelay) {
  char pattern[] = "/tmp/pivaro-broker-XXXXXX";
  if (::mkdtemp(pattern)) dir_ = pattern;
  port_ = FreeLoopbackPort();
  config_ = dir_ + "/mosquitto.conf";
  std::ofstream conf(config_);
  conf << "listener " << port_ << " 127.0.0.1\n"
       << "allow_anonymous true\n"
       << "set_tcp_nodelay " << (tcpNoDelay ? "true" : "false") << "\n"
       << "persistence false\n"
       << "log_dest none\n";
  conf.close();
  Start();
}

MosquittoBroker::~MosquittoBroker() {
  Stop();
  if (!dir_.empty()) {
    ::unlink(config_.c_str());
    ::rmdir(dir_.c_str());
  }
}

std::string MosquittoBroker::Uri() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

bool MosquittoBroker::Start() {
  if (pid_ > 0) return true;
  if (port_ == 0) return false;
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::execlp(Executable(), Executable(), "-c", config_.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid < 0) return false;
  pid_ = pid;
  // Bounded: 100 probes, each with a short wait.
  for (int i = 0; i < 100; ++i) {
    if (MqttBrokerAnswers(port_, 200)) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Stop();
  return false;
}

void MosquittoBroker::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGCONT);
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

void MosquittoBroker::Pause() {
  if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void MosquittoBroker::Resume() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}
