#include <windows.h>

#include "services/update_check.h"

namespace Report {

std::string ProgramPath() {
  char buffer[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  return std::string(buffer, n);
}

}  // namespace Report
