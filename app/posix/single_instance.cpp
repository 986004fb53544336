#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

std::string CSingleInstance::LockPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) return std::string(runtime) + "/pivaro.lock";
  return "/tmp/pivaro-" + std::to_string(static_cast<unsigned long>(getuid())) + ".lock";
}

bool CSingleInstance::Acquire() {
  if (fd_ >= 0) return true;
  const std::string path = LockPath();
  // The holder removes the file when it ends. A copy that opened the file
  // just before that would lock a name nobody else can see, so the lock
  // counts only when it is on the file the path names now; otherwise the
  // path is tried again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return true;  // no lock to be had: run as the only copy
    int rc;
    do {
      rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      bool held = errno == EWOULDBLOCK;
      close(fd);
      return !held;
    }
    struct stat locked;
    struct stat named;
    if (fstat(fd, &locked) == 0 && stat(path.c_str(), &named) == 0 &&
        locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
      fd_ = fd;
      path_ = path;
      return true;
    }
    close(fd);
  }
  return true;  // the file keeps vanishing under us: run as the only copy
}

void CSingleInstance::Release() {
  if (fd_ >= 0) {
    // Removed while still locked, so no other copy can take it in between.
    unlink(path_.c_str());
    close(fd_);
    fd_ = -1;
  }
}

void CSingleInstance::BringOtherToFront() {}
