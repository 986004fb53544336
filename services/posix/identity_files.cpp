// POSIX file operations for Global.db. Advisory locks stand in for the
// share modes other platforms have: readers take a shared lock, the writer
// an exclusive one, and neither waits for the other.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <openssl/evp.h>

#include "services/identity.h"

namespace Base {
namespace GUID {

Digest Md5(const void* data, std::size_t size) {
  Digest digest{};
  unsigned int length = 0;
  EVP_Digest(data, size, digest.data(), &length, EVP_md5(), nullptr);
  return digest;
}

namespace files {

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool ReadShared(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out,
                std::uint64_t& size) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  out.assign(limit, 0);
  std::size_t got = 0;
  while (got < limit) {
    ssize_t n = ::read(fd.get(), out.data() + got, limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return true;
}

bool WriteExclusive(const std::string& path, const std::vector<std::uint8_t>& data) {
  // Truncated only once the lock is held, so a reader never sees it empty.
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0) return false;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
  if (::ftruncate(fd.get(), 0) != 0) return false;
  return WriteAll(fd.get(), data.data(), data.size()) && ::fsync(fd.get()) == 0;
}

bool CopyReplacing(const std::string& from, const std::string& to) {
  std::vector<std::uint8_t> data;
  std::uint64_t size = 0;
  // The identity file is 52 bytes; anything beyond a small bound is not it.
  constexpr std::size_t kLimit = 4096;
  if (!ReadShared(from, kLimit, data, size) || size > kLimit) return false;
  return WriteExclusive(to, data);
}

bool Remove(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace files
}  // namespace GUID
}  // namespace Base
