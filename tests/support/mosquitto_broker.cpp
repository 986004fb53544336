// The broker fixture's portable part: its configuration, the choice of a
// free port (again when another test took it first), the readiness probe
// and the loopback socket checks. Starting and signalling the process is
// broker_process.h's, per platform.
#include "tests/support/mosquitto_broker.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/broker_process.h"

namespace {

const char kMosquitto[] = "/usr/sbin/mosquitto";

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
constexpr int kSendFlags = 0;
constexpr short kReadable = POLLRDNORM;
using PollEntry = WSAPOLLFD;
void CloseSocket(Socket s) { ::closesocket(s); }
int PollOne(PollEntry* entry, int timeoutMs) { return ::WSAPoll(entry, 1, timeoutMs); }
bool SocketsUp() {
  static const bool up = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return up;
}
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
constexpr int kSendFlags = MSG_NOSIGNAL;
constexpr short kReadable = POLLIN;
using PollEntry = pollfd;
void CloseSocket(Socket s) { ::close(s); }
int PollOne(PollEntry* entry, int timeoutMs) { return ::poll(entry, 1, timeoutMs); }
bool SocketsUp() { return true; }
#endif

// A TCP socket connected to 127.0.0.1:port (port 0: bound there instead),
// closed when it goes out of scope.
class LoopbackSocket {
 public:
  explicit LoopbackSocket(std::uint16_t port) {
    if (!SocketsUp()) return;
    s_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s_ == kNoSocket) return;
    address_.sin_family = AF_INET;
    address_.sin_port = htons(port);
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* a = reinterpret_cast<sockaddr*>(&address_);
    ok_ = port == 0 ? ::bind(s_, a, sizeof address_) == 0 : ::connect(s_, a, sizeof address_) == 0;
  }
  ~LoopbackSocket() {
    if (s_ != kNoSocket) CloseSocket(s_);
  }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  bool Ok() const { return ok_; }
  std::uint16_t BoundPort() {
    socklen_t length = sizeof address_;
    if (!ok_ || ::getsockname(s_, reinterpret_cast<sockaddr*>(&address_), &length) != 0) return 0;
    return ntohs(address_.sin_port);
  }
  bool SendAll(const void* data, int size) {
    return ::send(s_, static_cast<const char*>(data), size, kSendFlags) == size;
  }
  // Reads exactly `size` bytes that arrive in one piece within the limit.
  bool ReceiveWithin(void* data, int size, int timeoutMs) {
    PollEntry entry{};
    entry.fd = s_;
    entry.events = kReadable;
    return PollOne(&entry, timeoutMs) == 1 && ::recv(s_, static_cast<char*>(data), size, 0) == size;
  }

 private:
  Socket s_ = kNoSocket;
  sockaddr_in address_{};
  bool ok_ = false;
};

}  // namespace

std::uint16_t FreeLoopbackPort() { return LoopbackSocket(0).BoundPort(); }

bool LoopbackAccepts(std::uint16_t port) { return LoopbackSocket(port).Ok(); }

bool MqttBrokerAnswers(std::uint16_t port, int timeoutMs) {
  LoopbackSocket s(port);
  if (!s.Ok()) return false;
  // MQTT 3.1.1 CONNECT, clean session, keep-alive 10 s, client id "probe".
  const unsigned char connect[] = {0x10, 17, 0, 4, 'M', 'Q', 'T', 'T', 4,  2,
                                   0,    10, 0, 5, 'p', 'r', 'o', 'b', 'e'};
  unsigned char answer[4] = {};
  if (!s.SendAll(connect, sizeof connect) || !s.ReceiveWithin(answer, sizeof answer, timeoutMs)) {
    return false;
  }
  const unsigned char disconnect[] = {0xE0, 0};
  s.SendAll(disconnect, sizeof disconnect);
  return answer[0] == 0x20 && answer[3] == 0;
}

MosquittoBroker::MosquittoBroker(bool tcpNoDelay)
    : tcpNoDelay_(tcpNoDelay), dir_(broker_process::MakeFolder()) {}

MosquittoBroker::~MosquittoBroker() {
  Stop();
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(broker_process::HostPath(dir_), ignored);
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
    std::ofstream out(broker_process::HostPath(conf), std::ios::trunc | std::ios::binary);
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
  auto deadline = std::chrono::steady_clock::now() + limit;
  pid_ = broker_process::Start(kMosquitto, conf, dir_, limit, &error_);
  if (pid_ <= 0) return false;
  while (std::chrono::steady_clock::now() < deadline) {
    if (MqttBrokerAnswers(port_, 200)) return true;
    if (broker_process::Ended(pid_)) {
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
  broker_process::Send(pid_, broker_process::Signal::Kill, std::chrono::seconds(2));
  pid_ = -1;
}

// SIGTERM, and SIGKILL when the broker has not ended within a second.
void MosquittoBroker::Stop() {
  if (pid_ <= 0) return;
  if (!broker_process::Send(pid_, broker_process::Signal::Terminate, std::chrono::seconds(1))) {
    broker_process::Send(pid_, broker_process::Signal::Kill, std::chrono::seconds(2));
  }
  pid_ = -1;
}

void MosquittoBroker::Pause() {
  if (pid_ > 0) broker_process::Send(pid_, broker_process::Signal::Pause, std::chrono::seconds(2));
}

void MosquittoBroker::Resume() {
  if (pid_ > 0) broker_process::Send(pid_, broker_process::Signal::Resume, std::chrono::seconds(2));
}
