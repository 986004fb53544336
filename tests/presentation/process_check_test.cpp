#include <gtest/gtest.h>

#include "presentation/process_list.h"

#ifndef _WIN32
#include <unistd.h>
#else
#include <process.h>
#endif

namespace {

class FakeProcessList : public IProcessList {
 public:
  bool Snapshot(const std::u16string&, std::vector<ProcessEntry>* out) override {
    *out = processes;
    return ok;
  }
  void Add(std::uint32_t pid, std::uint32_t parent, std::u16string name, std::uint64_t created,
           bool timesKnown = true) {
    processes.push_back({pid, parent, std::move(name), timesKnown, created});
  }
  std::vector<ProcessEntry> processes;
  bool ok = true;
};

TEST(ProcessCheck, NoWppOrNoSnapshotMeansNo) {
  FakeProcessList list;
  list.Add(4, 0, u"System", 1);
  list.Add(600, 4, u"svchost.exe", 2);
  EXPECT_FALSE(HasUserStartedWpp(list));
  list.Add(900, 1200, u"wpp.exe", 5);
  list.ok = false;
  EXPECT_FALSE(HasUserStartedWpp(list));
}

TEST(ProcessCheck, WppStartedByTheUserAlone) {
  FakeProcessList list;
  list.Add(600, 4, u"svchost.exe", 2);
  list.Add(1200, 1, u"explorer.exe", 3);
  list.Add(900, 1200, u"WPP.EXE", 50);
  EXPECT_TRUE(HasUserStartedWpp(list));
}

TEST(ProcessCheck, WppStartedThroughComOnly) {
  FakeProcessList list;
  list.Add(600, 4, u"SvcHost.exe", 2);
  list.Add(900, 600, u"wpp.exe", 50);
  EXPECT_FALSE(HasUserStartedWpp(list));
}

TEST(ProcessCheck, UserInstanceOlderThanTheComOne) {
  FakeProcessList list;
  list.Add(600, 4, u"svchost.exe", 2);
  list.Add(1200, 1, u"explorer.exe", 3);
  list.Add(900, 1200, u"wpp.exe", 40);
  list.Add(901, 600, u"wpp.exe", 60);
  EXPECT_TRUE(HasUserStartedWpp(list));
}

TEST(ProcessCheck, UserInstanceYoungerThanTheComOne) {
  FakeProcessList list;
  list.Add(600, 4, u"svchost.exe", 2);
  list.Add(1200, 1, u"explorer.exe", 3);
  list.Add(900, 1200, u"wpp.exe", 80);
  list.Add(901, 600, u"wpp.exe", 60);
  EXPECT_FALSE(HasUserStartedWpp(list));
}

TEST(ProcessCheck, WppWhoseTimesCannotBeReadIsLeftOut) {
  FakeProcessList list;
  list.Add(900, 1200, u"wpp.exe", 0, false);
  EXPECT_FALSE(HasUserStartedWpp(list));
}

TEST(ProcessCheck, SystemListHoldsThisProcessWithItsParent) {
  auto list = CreateSystemProcessList();
  std::vector<ProcessEntry> processes;
  ASSERT_TRUE(list->Snapshot(u"wpp.exe", &processes));
#ifndef _WIN32
  const std::uint32_t self = static_cast<std::uint32_t>(getpid());
  const std::uint32_t parent = static_cast<std::uint32_t>(getppid());
#else
  const std::uint32_t self = static_cast<std::uint32_t>(_getpid());
  const std::uint32_t parent = 0;
#endif
  bool found = false;
  for (const ProcessEntry& p : processes) {
    if (p.processId != self) continue;
    found = true;
    EXPECT_FALSE(p.exeName.empty());
    if (parent) {
      EXPECT_EQ(p.parentProcessId, parent);
    }
  }
  EXPECT_TRUE(found);
  EXPECT_GT(processes.size(), 1u);
}

}  // namespace
