#include "net/secure_random.h"

#include <windows.h>

#include <bcrypt.h>

bool SecureRandomBytes(void* out, std::size_t size) {
  if (size > 0xFFFFFFFFu) return false;
  NTSTATUS status = BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(size),
                                    BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  return status >= 0;
}
