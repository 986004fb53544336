// Resident memory of this process, for tests and benchmarks that show a
// flood leaves it flat.
#pragma once

#include <cstdio>

// In KiB (Linux /proc), 0 where the system does not say.
inline long ResidentKib() {
  long kib = 0;
#ifdef __linux__
  if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
    }
    std::fclose(f);
  }
#endif
  return kib;
}
