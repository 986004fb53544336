// The broker as a child process: spawned, signalled, reaped.
#include "tests/support/broker_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace broker_process {
namespace {

// Whether the child has ended, reaping it if so.
bool Reaped(pid_t pid) {
  int status = 0;
  pid_t r = ::waitpid(pid, &status, WNOHANG);
  return r == pid || r < 0;
}

}  // namespace

std::string MakeFolder() {
  char pattern[] = "/tmp/pivaro-broker-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  return made ? made : "";
}

std::string HostPath(const std::string& unixPath) { return unixPath; }

pid_t Start(const std::string& program, const std::string& conf, const std::string&,
            std::chrono::milliseconds, std::string* error) {
  const char* argv[] = {program.c_str(), "-c", conf.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    *error = "cannot start " + program;
    return -1;
  }
  return pid;
}

bool Ended(pid_t pid) { return pid <= 0 || Reaped(pid); }

bool Send(pid_t pid, Signal signal, std::chrono::milliseconds limit) {
  switch (signal) {
    case Signal::Pause:
      return ::kill(pid, SIGSTOP) == 0;
    case Signal::Resume:
      return ::kill(pid, SIGCONT) == 0;
    case Signal::Terminate:
      ::kill(pid, SIGCONT);  // a paused broker must run to end
      ::kill(pid, SIGTERM);
      break;
    case Signal::Kill:
      ::kill(pid, SIGKILL);
      break;
  }
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!Reaped(pid)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace broker_process
