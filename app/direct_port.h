// PIVARO_DIRECT_PORT moves the LAN port of the program's direct session for
// a demonstration or a test beside another copy; the product itself always
// uses its fixed port. 0 takes free ports, for tests that need no app phone.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "net/direct_frame.h"

inline std::uint16_t DirectPortFromEnvironment() {
  const char* env = std::getenv("PIVARO_DIRECT_PORT");
  if (!env || !*env) return kDirectPort;
  char* end = nullptr;
  unsigned long port = std::strtoul(env, &end, 10);
  return *end == '\0' && port < 65536 ? static_cast<std::uint16_t>(port) : kDirectPort;
}
