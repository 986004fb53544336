#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
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
  int fd = open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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
  fd_ = fd;
  return true;
}

void CSingleInstance::Release() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

void CSingleInstance::BringOtherToFront() {}
