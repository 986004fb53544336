// Bytes from the operating system's cryptographically secure source
// (getrandom on Linux, BCryptGenRandom on Windows). There is deliberately no
// weaker fallback: a caller that gets false must not offer what needed them.
#pragma once

#include <cstddef>

bool SecureRandomBytes(void* out, std::size_t size);
