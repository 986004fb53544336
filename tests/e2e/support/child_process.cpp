#include "tests/e2e/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace e2e {
namespace {

// Starts argv[0] with pipes on its standard input and output; the parent's
// ends go to `toChild` and `fromChild`. -1 when it could not be started.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
            int& toChild, int& fromChild) {
  int out[2], in[2];
  // Close-on-exec, so later children do not hold this child's pipes open;
  // the dup2 onto 0 and 1 clears the flag for the child itself.
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  if (::pipe2(in, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return -1;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envText;
  // A variable given in extraEnv replaces the inherited one (getenv takes
  // the first match).
  auto overridden = [&extraEnv](const std::string& entry) {
    std::string key = entry.substr(0, entry.find('=') + 1);
    for (const auto& e : extraEnv) {
      if (e.compare(0, key.size(), key) == 0) return true;
    }
    return false;
  };
  for (char** e = environ; *e; ++e) {
    if (!overridden(*e)) envText.emplace_back(*e);
  }
  for (const auto& e : extraEnv) envText.push_back(e);
  std::vector<char*> env;
  for (auto& e : envText) env.push_back(e.data());
  env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    return -1;
  }
  toChild = in[1];
  fromChild = out[0];
  return pid;
}

}  // namespace

ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                     const std::string& input, std::chrono::milliseconds limit) {
  ChildResult result;
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  pid_t pid = Spawn(argv, extraEnv, in[1], out[0]);
  if (pid < 0) return result;
  result.started = true;
  // The input is small: one write, then end of file.
  if (!input.empty()) {
    ssize_t ignored = ::write(in[1], input.data(), input.size());
    (void)ignored;
  }
  ::close(in[1]);

  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready <= 0) continue;
    char buffer[4096];
    ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  if (result.timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  // After end of output the child is ending; give it a bounded moment.
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
      return result;
    }
    ::usleep(10000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return result;
}

InteractiveChild::~InteractiveChild() {
  if (input_ >= 0) ::close(input_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (reader_.joinable()) reader_.join();
}

bool InteractiveChild::Start(const std::vector<std::string>& argv,
                             const std::vector<std::string>& extraEnv) {
  int fromChild = -1;
  pid_ = Spawn(argv, extraEnv, input_, fromChild);
  if (pid_ < 0) return false;
  // A child that ends early must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  reader_ = std::thread([this, fromChild] { ReadOutput(fromChild); });
  return true;
}

void InteractiveChild::ReadOutput(int fd) {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    partial_.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = partial_.find('\n')) != std::string::npos) {
      lines_.push_back(partial_.substr(0, end));
      partial_.erase(0, end + 1);
    }
    changed_.notify_all();
  }
  ::close(fd);
}

bool InteractiveChild::WriteLine(const std::string& line) {
  if (input_ < 0) return false;
  std::string text = line + "\n";
  return ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool InteractiveChild::WaitForLine(const std::string& prefix, std::string& line,
                                   std::chrono::milliseconds limit, std::size_t from,
                                   std::size_t* index) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::size_t next = from;
  return changed_.wait_for(lock, limit, [&] {
    for (; next < lines_.size(); ++next) {
      if (lines_[next].compare(0, prefix.size(), prefix) == 0) {
        line = lines_[next];
        if (index) *index = next;
        return true;
      }
    }
    return false;
  });
}

int InteractiveChild::WaitExit(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ::usleep(10000);
  }
  return -1;
}

std::string InteractiveChild::Output() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string all;
  for (const auto& l : lines_) all += l + "\n";
  return all + partial_;
}

}  // namespace e2e
