#include <unistd.h>

#include "services/update_check.h"

namespace Report {

std::string ProgramPath() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return std::string();
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace Report
