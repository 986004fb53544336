// The process list from a Toolhelp snapshot; creation times from
// GetProcessTimes for the processes asked about.
#include <windows.h>

#include <tlhelp32.h>

#include "presentation/process_list.h"

namespace {

bool SameNameIgnoringCase(const wchar_t* a, const std::u16string& b) {
  return lstrcmpiW(a, reinterpret_cast<const wchar_t*>(b.c_str())) == 0;
}

class ToolhelpProcessList : public IProcessList {
 public:
  bool Snapshot(const std::u16string& timesFor, std::vector<ProcessEntry>* processes) override {
    processes->clear();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
      ProcessEntry p;
      p.processId = entry.th32ProcessID;
      p.parentProcessId = entry.th32ParentProcessID;
      p.exeName = reinterpret_cast<const char16_t*>(entry.szExeFile);
      if (!timesFor.empty() && SameNameIgnoringCase(entry.szExeFile, timesFor)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID);
        if (process) {
          FILETIME created, exited, kernel, user;
          if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
            p.creationTimeKnown = true;
            p.creationTime = (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
          }
          CloseHandle(process);
        }
      }
      processes->push_back(std::move(p));
    }
    CloseHandle(snapshot);
    return true;
  }
};

}  // namespace

std::shared_ptr<IProcessList> CreateSystemProcessList() {
  return std::make_shared<ToolhelpProcessList>();
}
