// The Impress pipe's socket sits in a folder every user may write to, so
// whatever is found at its path is checked before the link knocks: real
// sockets, files and folders made in a private folder, and a fake office
// listening where the link looks, which must see nothing when it is refused.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "presentation/impress/impress_link.h"

namespace {

constexpr uid_t kOtherUid = 65534;  // nobody

// A listening Unix socket at `path`; -1 when it cannot be made.
int Listen(const std::string& path, mode_t mode) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  path.copy(address.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0 ||
      chmod(path.c_str(), mode) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool IsRoot() { return geteuid() == 0; }

class PipeSocketCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/pivaro-pipecheck-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
  }
  void TearDown() override {
    for (int fd : sockets_) close(fd);
    if (!folder_.empty()) {
      const std::string command = "rm -rf '" + folder_ + "'";
      EXPECT_EQ(std::system(command.c_str()), 0);
    }
  }
  std::string Socket(const std::string& path, mode_t mode) {
    const int fd = Listen(path, mode);
    EXPECT_GE(fd, 0) << path;
    if (fd >= 0) sockets_.push_back(fd);
    return path;
  }
  std::string Folder(const std::string& name, mode_t mode) {
    const std::string path = folder_ + "/" + name;
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }

  std::string folder_;
  std::vector<int> sockets_;
};

TEST_F(PipeSocketCheckTest, OnlyAPrivateSocketOfOursIsTrusted) {
  const uid_t me = geteuid();
  struct Case {
    const char* what;
    std::string path;
    bool needsRoot;
    PipeSocketVerdict verdict;
    const char* reason;  // part of the refusal
  };
  std::vector<Case> cases = {
      {"our private socket", Socket(folder_ + "/private", 0700), false, PipeSocketVerdict::Trusted,
       ""},
      {"ours, readable by all", Socket(folder_ + "/readable", 0755), false,
       PipeSocketVerdict::Trusted, ""},
      {"nothing there", folder_ + "/absent", false, PipeSocketVerdict::Absent, ""},
      {"group-writable", Socket(folder_ + "/group", 0770), false, PipeSocketVerdict::Refused,
       "group or others may write to it (mode 0770)"},
      {"writable by all", Socket(folder_ + "/all", 0777), false, PipeSocketVerdict::Refused,
       "(mode 0777)"},
      {"sticky folder open to all", Socket(Folder("sticky", 01777) + "/s", 0700), false,
       PipeSocketVerdict::Trusted, ""},
      {"folder open to all without the sticky bit", Socket(Folder("open", 0777) + "/s", 0700),
       false, PipeSocketVerdict::Refused, "others may replace it"},
  };
  {
    const std::string file = folder_ + "/file";
    const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    cases.push_back({"a plain file", file, false, PipeSocketVerdict::Refused, "not a socket"});
    const std::string link = folder_ + "/link";
    ASSERT_EQ(symlink((folder_ + "/private").c_str(), link.c_str()), 0);
    cases.push_back(
        {"a link to our socket", link, false, PipeSocketVerdict::Refused, "symbolic link"});
  }
  if (IsRoot()) {
    // A squatter's socket, left open to all so that anyone could connect.
    const std::string squatted = Socket(folder_ + "/squatted", 0777);
    EXPECT_EQ(lchown(squatted.c_str(), kOtherUid, kOtherUid), 0);
    cases.push_back({"another user's socket", squatted, true, PipeSocketVerdict::Refused,
                     "it belongs to uid 65534, not to this user (uid 0)"});
    const std::string theirs = Folder("theirs", 0755);
    const std::string inTheirs = Socket(theirs + "/s", 0700);
    EXPECT_EQ(chown(theirs.c_str(), kOtherUid, kOtherUid), 0);
    cases.push_back({"our socket in another user's folder", inTheirs, true,
                     PipeSocketVerdict::Refused, "belongs to uid 65534"});
  } else {
    std::printf("[  SKIPPED ] sockets of another user: making them needs root\n");
  }

  for (const Case& c : cases) {
    std::string reason;
    EXPECT_EQ(CheckPipeSocket(c.path, me, &reason), c.verdict) << c.what << ": " << reason;
    EXPECT_NE(reason.find(c.reason), std::string::npos) << c.what << ": " << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << c.what;
  }
  // The same private socket checked for another user is someone else's.
  std::string reason;
  EXPECT_EQ(CheckPipeSocket(folder_ + "/private", me + 1, &reason), PipeSocketVerdict::Refused);
  EXPECT_NE(reason.find("belongs to uid " + std::to_string(me)), std::string::npos) << reason;
}

TEST(ImpressPipePath, IsTheOfficesOwnPathForThisUser) {
  // LibreOffice's rule on a machine whose /tmp may be written.
  ASSERT_EQ(access("/tmp", W_OK), 0);
  EXPECT_EQ(ImpressPipeSocketPath("pivaro-7"),
            "/tmp/OSL_PIPE_" + std::to_string(getuid()) + "_pivaro-7");
  EXPECT_EQ(DefaultImpressPipeName(), "pivaro-" + std::to_string(getuid()));
}

// A fake office where the link looks for the pipe: it counts connections
// and the bytes they bring.
class FakeOffice {
 public:
  FakeOffice(const std::string& pipeName, mode_t mode)
      : path_(ImpressPipeSocketPath(pipeName)), fd_(Listen(path_, mode)) {}
  ~FakeOffice() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  bool Ready() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

  // The bytes of a connection made within `limit`; -1 when none came.
  long BytesWithin(std::chrono::milliseconds limit) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) != 1) return -1;
    const int peer = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0) return -1;
    // What the bridge sends at once; then the connection is dropped.
    long total = 0;
    char buffer[4096];
    pollfd q{peer, POLLIN, 0};
    if (poll(&q, 1, 2000) == 1) total = std::max<long>(0, read(peer, buffer, sizeof buffer));
    close(peer);
    return total;
  }

 private:
  std::string path_;
  int fd_;
};

std::string UniquePipe(const char* what) {
  static std::atomic<int> counter{0};
  return std::string("pivaro-check-") + what + "-" + std::to_string(getpid()) + "-" +
         std::to_string(counter++);
}

TEST(ImpressPipeLink, NothingReachesARefusedPipeAndTheRefusalSaysWhy) {
  struct Case {
    const char* what;
    mode_t mode;
    bool squatted;
    const char* reason;
  };
  const Case cases[] = {
      {"squatted", 0777, true, "belongs to uid 65534"},
      {"group-writable", 0770, false, "group or others may write"},
  };
  for (const Case& c : cases) {
    if (c.squatted && !IsRoot()) {
      std::printf("[  SKIPPED ] %s pipe: making another user's socket needs root\n", c.what);
      continue;
    }
    const std::string pipe = UniquePipe(c.what);
    FakeOffice fake(pipe, c.mode);
    ASSERT_TRUE(fake.Ready()) << c.what;
    if (c.squatted) {
      ASSERT_EQ(lchown(fake.Path().c_str(), kOtherUid, kOtherUid), 0);
    }

    ImpressLinkOptions options;
    options.pipeName = pipe;
    CImpressLink link(options);
    EXPECT_FALSE(link.Connect(false)) << c.what;
    EXPECT_FALSE(link.IsConnected());
    const std::string refusal = link.Refusal();
    EXPECT_NE(refusal.find(fake.Path()), std::string::npos) << c.what << ": " << refusal;
    EXPECT_NE(refusal.find(c.reason), std::string::npos) << c.what << ": " << refusal;
    EXPECT_EQ(refusal.find('\n'), std::string::npos);
    EXPECT_EQ(fake.BytesWithin(std::chrono::milliseconds(300)), -1)
        << c.what << ": the link connected to a refused pipe";
  }
}

// The control for the case above: the same fake, private and ours, is
// connected to and hears the bridge; its silence then fails the attempt.
TEST(ImpressPipeLink, APrivatePipeOfOursIsConnectedTo) {
  const std::string pipe = UniquePipe("private");
  FakeOffice fake(pipe, 0700);
  ASSERT_TRUE(fake.Ready());
  ImpressLinkOptions options;
  options.pipeName = pipe;
  options.callLimit = std::chrono::milliseconds(3000);
  CImpressLink link(options);
  auto attempt = std::async(std::launch::async, [&link] { return link.Connect(false); });
  EXPECT_GT(fake.BytesWithin(std::chrono::milliseconds(5000)), 0);
  ASSERT_EQ(attempt.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(attempt.get());
  EXPECT_EQ(link.Refusal(), "");
}

TEST(ImpressPipeLink, NoPipeAtAllIsNoRefusal) {
  ImpressLinkOptions options;
  options.pipeName = UniquePipe("absent");
  CImpressLink link(options);
  EXPECT_FALSE(link.Connect(false));
  EXPECT_EQ(link.Refusal(), "");
}

}  // namespace
