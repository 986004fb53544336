#include <algorithm>
#include <cstdint>
#include <limits>
#include <set>

#include "presentation/process_list.h"

namespace {

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c; }

bool SameName(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return FoldAscii(x) == FoldAscii(y); });
}

}  // namespace

bool HasUserStartedWpp(IProcessList& list) {
  std::vector<ProcessEntry> processes;
  if (!list.Snapshot(u"wpp.exe", &processes)) return false;

  std::set<std::uint32_t> serviceHosts;
  struct Wpp {
    std::uint32_t parent;
    std::uint64_t created;
    bool byServiceHost;
  };
  std::vector<Wpp> wpps;
  for (const ProcessEntry& p : processes) {
    if (SameName(p.exeName, u"svchost.exe")) serviceHosts.insert(p.processId);
    if (SameName(p.exeName, u"wpp.exe") && p.creationTimeKnown)
      wpps.push_back({p.parentProcessId, p.creationTime, false});
  }

  // COM starts WPS through a service host; an instance older than every
  // such launch was started by the user.
  std::uint64_t earliest = std::numeric_limits<std::uint64_t>::max();
  for (Wpp& w : wpps) {
    if (serviceHosts.count(w.parent)) {
      w.byServiceHost = true;
      earliest = std::min(earliest, w.created);
    }
  }
  return std::any_of(wpps.begin(), wpps.end(),
                     [&](const Wpp& w) { return !w.byServiceHost && w.created < earliest; });
}
