#include "net/secure_random.h"

#include <errno.h>
#include <sys/random.h>

bool SecureRandomBytes(void* out, std::size_t size) {
  auto* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    ssize_t got = getrandom(p, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}
