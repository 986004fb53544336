// The broker under Wine: the build machine's own Mosquitto, a Unix program,
// which Wine starts as it would a Windows one. Wine hands back no handle
// that can wait for or end such a process, so the broker's shell writes its
// Unix process id to a file, signals go through kill(1), and whether the
// broker still runs (or is stopped) is read from /proc. Wine shows the Unix
// root as drive Z:, which is how the files are shared with the broker.
#include "tests/support/broker_process.h"

#include <windows.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace broker_process {
namespace {

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
  std::ifstream in(HostPath("/proc/" + std::to_string(pid) + "/stat"));
  std::string stat;
  if (!in || !std::getline(in, stat)) return 0;
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return 0;
  char state = stat[close + 2];
  return state == 'Z' || state == 'X' ? 0 : state;
}

bool Kill(pid_t pid, const char* name) {
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

}  // namespace

std::string MakeFolder() {
  static std::atomic<int> counter{0};
  std::string folder = "/tmp/pivaro-broker-w" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(GetTickCount()) + "-" + std::to_string(++counter);
  return CreateDirectoryA(HostPath(folder).c_str(), nullptr) ? folder : "";
}

std::string HostPath(const std::string& unixPath) {
  std::string path = "Z:" + unixPath;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

pid_t Start(const std::string& program, const std::string& conf, const std::string& folder,
            std::chrono::milliseconds limit, std::string* error) {
  const std::string pidFile = folder + "/pid";
  DeleteFileA(HostPath(pidFile).c_str());
  // The shell becomes the broker, so the id it writes is the broker's.
  if (!RunUnix("/bin/sh -c \"echo $$ > " + pidFile + "; exec " + program + " -c " + conf +
               " >/dev/null 2>&1\"")) {
    *error = "cannot start " + program + " through Wine";
    return -1;
  }
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(HostPath(pidFile));
    long pid = 0;
    if (in >> pid && pid > 0) return static_cast<pid_t>(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  *error = "the broker's shell wrote no process id in time";
  return -1;
}

bool Ended(pid_t pid) { return pid <= 0 || UnixState(pid) == 0; }

// kill(1) runs beside this process: every signal waits until the broker
// shows its effect, as it would at once on Linux.
bool Send(pid_t pid, Signal signal, std::chrono::milliseconds limit) {
  switch (signal) {
    case Signal::Pause:
      Kill(pid, "STOP");
      return WaitForState(pid, limit, [](char state) { return state == 'T' || !state; });
    case Signal::Resume:
      Kill(pid, "CONT");
      return WaitForState(pid, limit, [](char state) { return state != 'T'; });
    case Signal::Terminate:
      Kill(pid, "CONT");  // a paused broker must run to end
      Kill(pid, "TERM");
      break;
    case Signal::Kill:
      Kill(pid, "KILL");
      break;
  }
  return WaitForState(pid, limit, [](char state) { return state == 0; });
}

}  // namespace broker_process
