// The process list from /proc: name (comm), parent id and start time (clock
// ticks since boot) from /proc/<pid>/stat.
#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "presentation/process_list.h"

namespace {

// Names compared here are ASCII; other bytes cannot match and become '?'.
std::u16string Widen(const std::string& text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (unsigned char c : text) wide.push_back(c < 0x80 ? char16_t(c) : u'?');
  return wide;
}

// "pid (comm) state ppid ... starttime": comm may hold spaces and
// parentheses, so the fields are counted from its last ')'.
bool ParseStat(const std::string& stat, ProcessEntry* entry) {
  std::size_t open = stat.find('(');
  std::size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  entry->exeName = Widen(stat.substr(open + 1, close - open - 1));
  std::istringstream rest(stat.substr(close + 1));
  std::string field;
  // Fields from 3 (state) on; ppid is 4, starttime 22.
  for (int index = 3; rest >> field; ++index) {
    if (index == 4)
      entry->parentProcessId = static_cast<std::uint32_t>(std::strtoul(field.c_str(), nullptr, 10));
    if (index == 22) {
      entry->creationTime = std::strtoull(field.c_str(), nullptr, 10);
      entry->creationTimeKnown = true;
      return true;
    }
  }
  return false;
}

class ProcProcessList : public IProcessList {
 public:
  bool Snapshot(const std::u16string& /*timesFor*/, std::vector<ProcessEntry>* processes) override {
    processes->clear();
    DIR* dir = opendir("/proc");
    if (!dir) return false;
    while (dirent* item = readdir(dir)) {
      char* end = nullptr;
      unsigned long pid = std::strtoul(item->d_name, &end, 10);
      if (end == item->d_name || *end != '\0') continue;
      std::ifstream file(std::string("/proc/") + item->d_name + "/stat");
      std::string stat;
      if (!std::getline(file, stat)) continue;  // the process has ended meanwhile
      ProcessEntry entry;
      entry.processId = static_cast<std::uint32_t>(pid);
      if (ParseStat(stat, &entry)) processes->push_back(std::move(entry));
    }
    closedir(dir);
    return true;
  }
};

}  // namespace

std::shared_ptr<IProcessList> CreateSystemProcessList() {
  return std::make_shared<ProcProcessList>();
}
