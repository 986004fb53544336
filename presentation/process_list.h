// The process-list port and the WPS start-order check built on it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct ProcessEntry {
  std::uint32_t processId = 0;
  std::uint32_t parentProcessId = 0;
  std::u16string exeName;  // executable file name without folder
  // Creation time in any monotonic unit shared by all entries of a snapshot
  // (FILETIME on Windows, clock ticks since boot on Linux); only compared.
  bool creationTimeKnown = false;
  std::uint64_t creationTime = 0;
};

class IProcessList {
 public:
  virtual ~IProcessList() = default;
  // Fills `processes` with a snapshot of all processes; false when no
  // snapshot can be taken. Creation times are read only for the processes
  // whose name matches `timesFor` (case-insensitive), since opening a
  // process costs more than listing it.
  virtual bool Snapshot(const std::u16string& timesFor, std::vector<ProcessEntry>* processes) = 0;
};

// True when a WPS Presentation (wpp.exe) runs that was started before any
// wpp.exe launched by a service host (svchost.exe), i.e. by the user before
// COM could start it for us.
bool HasUserStartedWpp(IProcessList& processes);

// The process list of this machine (/proc on Linux, Toolhelp on Windows).
std::shared_ptr<IProcessList> CreateSystemProcessList();
