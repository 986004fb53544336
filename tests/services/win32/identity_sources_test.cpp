// The Windows identity sources on the machine the tests run on (under Wine
// on the build machine): what each source yields, that it yields the same
// twice, the adapter rank read from the network class keys, the share modes
// of Global.db, and the GUID computed from these sources twice over.
#include <windows.h>
// After windows.h, which they need.
#include <iphlpapi.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "services/identity.h"

namespace Base {
namespace GUID {
namespace {

const char* Yes(bool b) { return b ? "yes" : "no"; }

bool IsAbsoluteFolder(const std::string& path) {
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         path[2] == '\\' && files::IsDirectory(path);
}

// What each source answers is printed, so that the test log says what this
// system provides; the checks are on format and stability.
TEST(IdentitySources, EachSourceAnswersAlikeTwice) {
  auto source = MakePlatformIdentitySource();

  std::vector<AdapterInfo> first, second;
  const bool listed = source->ListAdapters(first);
  EXPECT_EQ(source->ListAdapters(second), listed);
  std::printf("adapter list: %s, %zu adapters\n", Yes(listed), first.size());
  ASSERT_EQ(first.size(), second.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    std::printf("  type %u rank %d address %s\n", static_cast<unsigned>(first[i].type),
                first[i].rank, MacText(first[i].address).c_str());
    EXPECT_EQ(first[i].type, second[i].type);
    EXPECT_EQ(first[i].rank, second[i].rank);
    EXPECT_EQ(first[i].address, second[i].address);
    EXPECT_GE(first[i].rank, 0);
    EXPECT_LE(first[i].rank, kWorstAdapterRank);
  }

  HardwareAddress netbios{}, again{};
  const bool haveNetbios = source->NetBiosAddress(netbios);
  EXPECT_EQ(source->NetBiosAddress(again), haveNetbios);
  std::printf("NetBIOS adapter status: %s %s\n", Yes(haveNetbios),
              haveNetbios ? MacText(netbios).c_str() : "");
  if (haveNetbios) {
    EXPECT_EQ(netbios, again);
    EXPECT_NE(netbios, HardwareAddress{});
  }

  const HardwareAddress chosen = ChooseHardwareAddress(*source);
  EXPECT_EQ(ChooseHardwareAddress(*source), chosen);
  const std::string mac = MacText(chosen);
  ASSERT_EQ(mac.size(), 12u);
  for (char c : mac) EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(c)) && !std::isupper(c));
  std::printf("chosen address: %s%s\n", mac.c_str(),
              chosen == kFallbackAddress ? " (the fixed fallback)" : "");

  DiskIdentity disk, diskAgain;
  const DWORD diskStart = GetTickCount();
  const bool haveDisk = source->ReadDiskIdentity(disk);
  std::printf("disk identity search: %lu ms\n",
              static_cast<unsigned long>(GetTickCount() - diskStart));
  EXPECT_EQ(source->ReadDiskIdentity(diskAgain), haveDisk);
  std::printf("disk identity: %s %s\n", Yes(haveDisk),
              haveDisk ? IdentityText(&disk, mac).c_str() : "");
  if (haveDisk) {
    EXPECT_EQ(disk.serial, diskAgain.serial);
    EXPECT_EQ(disk.model, diskAgain.model);
    EXPECT_EQ(disk.firmware, diskAgain.firmware);
  }

  const std::string primary = source->PrimaryDataFolder();
  const std::string alternate = source->AlternateDataFolder();
  std::printf("data folders: %s | %s\n", primary.c_str(), alternate.c_str());
  EXPECT_TRUE(IsAbsoluteFolder(primary)) << primary;
  EXPECT_TRUE(IsAbsoluteFolder(alternate)) << alternate;
  EXPECT_NE(primary, alternate);
  EXPECT_EQ(source->PrimaryDataFolder(), primary);
}

// The rank of an adapter comes from its key under the network class; the
// keys are written for the first listed adapter and removed again.
TEST(IdentitySources, AdapterRankFromTheNetworkClassKey) {
  std::vector<BYTE> buffer(64 * 1024);
  ULONG size = static_cast<ULONG>(buffer.size());
  auto* list = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data());
  if (GetAdaptersInfo(list, &size) != ERROR_SUCCESS) GTEST_SKIP() << "no adapter list here";
  const std::string key = std::string(
                              "System\\CurrentControlSet\\Control\\Network\\"
                              "{4D36E972-E325-11CE-BFC1-08002BE10318}\\") +
                          list->AdapterName;
  const std::string connection = key + "\\Connection";

  struct Case {
    const char* what;
    bool write;
    DWORD subType;
    const char* pnp;
    int rank;
  } const cases[] = {
      {"no key", false, 0, nullptr, 3},
      {"wired PCI", true, 1, "PCI\\VEN_8086&DEV_100E", 0},
      {"wireless", true, 2, "PCI\\VEN_8086&DEV_4229", 1},
      {"wired USB", true, 1, "USB\\VID_0B95&PID_1790", 2},
      {"wired without PnP id", true, 1, nullptr, 3},
      {"unknown subtype", true, 7, "PCI\\VEN_1", 3},
  };
  auto source = MakePlatformIdentitySource();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
    if (c.write) {
      HKEY handle;
      if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, connection.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                          &handle, nullptr) != ERROR_SUCCESS)
        GTEST_SKIP() << "the machine's network class key is not writable here";
      RegSetValueExA(handle, "MediaSubType", 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&c.subType), sizeof c.subType);
      if (c.pnp)
        RegSetValueExA(handle, "PnpInstanceID", 0, REG_SZ, reinterpret_cast<const BYTE*>(c.pnp),
                       static_cast<DWORD>(std::strlen(c.pnp) + 1));
      RegCloseKey(handle);
    }
    std::vector<AdapterInfo> adapters;
    ASSERT_TRUE(source->ListAdapters(adapters));
    ASSERT_FALSE(adapters.empty());
    EXPECT_EQ(adapters[0].rank, c.rank);
  }
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
}

// The share modes other programs rely on: a reader of Global.db lets other
// readers in but no writer; our writer lets nobody in.
TEST(IdentityFiles, ShareModesAgainstAnotherHandle) {
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  wchar_t wide[MAX_PATH];
  ASSERT_NE(GetTempFileNameW(temp, L"gdb", 0, wide), 0u);
  char narrow[MAX_PATH * 3];
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
  const std::string path = narrow;
  const std::vector<std::uint8_t> bytes(52, 0x5A);
  ASSERT_TRUE(files::WriteExclusive(path, bytes));

  struct Case {
    const char* holder;
    DWORD access;
    DWORD share;
    bool read;
    bool write;
  } const cases[] = {
      {"nobody", 0, 0, true, true},
      {"a reader sharing reads", GENERIC_READ, FILE_SHARE_READ, true, false},
      {"a reader sharing all", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, true, false},
      {"a writer sharing reads", GENERIC_WRITE, FILE_SHARE_READ, false, false},
      {"a writer sharing all", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, false, false},
      {"an exclusive writer", GENERIC_WRITE, 0, false, false},
      {"an exclusive reader", GENERIC_READ, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.holder);
    HANDLE held = INVALID_HANDLE_VALUE;
    if (c.access) {
      held = CreateFileW(wide, c.access, c.share, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(held, INVALID_HANDLE_VALUE);
    }
    std::vector<std::uint8_t> out;
    std::uint64_t size = 0;
    EXPECT_EQ(files::ReadShared(path, 64, out, size), c.read);
    if (c.read) {
      EXPECT_EQ(size, bytes.size());
      EXPECT_EQ(out, bytes);
    }
    EXPECT_EQ(files::WriteExclusive(path, bytes), c.write);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  }
  EXPECT_TRUE(files::Remove(path));
}

// The platform's hardware sources with Global.db kept in a folder of the
// test's own, so that a computation can start without a file.
class RedirectedSource : public IIdentitySource {
 public:
  explicit RedirectedSource(std::string folder)
      : platform_(MakePlatformIdentitySource()), folder_(std::move(folder)) {}
  bool ListAdapters(std::vector<AdapterInfo>& out) override { return platform_->ListAdapters(out); }
  bool NetBiosAddress(HardwareAddress& out) override { return platform_->NetBiosAddress(out); }
  bool ReadDiskIdentity(DiskIdentity& out) override { return platform_->ReadDiskIdentity(out); }
  std::string PrimaryDataFolder() override { return folder_ + "\\all"; }
  std::string AlternateDataFolder() override { return folder_ + "\\user"; }

 private:
  std::unique_ptr<IIdentitySource> platform_;
  std::string folder_;
};

std::string FreshFolder(const char* name) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  std::string folder =
      std::string(temp) + "pivaro-identity-" + std::to_string(GetCurrentProcessId()) + "-" + name;
  CreateDirectoryA(folder.c_str(), nullptr);
  CreateDirectoryA((folder + "\\all").c_str(), nullptr);
  CreateDirectoryA((folder + "\\user").c_str(), nullptr);
  return folder;
}

void RemoveFolder(const std::string& folder) {
  const std::string file = folder + "\\all\\Kelto\\Common\\Global.db";
  DeleteFileA(file.c_str());
  for (const char* sub : {"\\all\\Kelto\\Common", "\\all\\Kelto", "\\all", "\\user\\Kelto\\Common",
                          "\\user\\Kelto", "\\user", ""})
    RemoveDirectoryA((folder + sub).c_str());
}

std::string GuidOf(IIdentitySource* source) {
  CSeqIDGen holder{std::unique_ptr<IIdentitySource>(source)};
  Digest guid{};
  EXPECT_TRUE(holder.GetGuid(guid.data()));
  return GuidText(guid);
}

// Two computations from nothing agree (the sources are stable), and a third
// that finds the file written by the first agrees too.
TEST(IdentitySources, GuidIsTheSameOnEveryRun) {
  const std::string a = FreshFolder("a"), b = FreshFolder("b");
  const std::string first = GuidOf(new RedirectedSource(a));
  const std::string second = GuidOf(new RedirectedSource(b));
  const std::string fromFile = GuidOf(new RedirectedSource(a));
  std::printf("machine GUID from the sources here: %s\n", first.c_str());
  ASSERT_EQ(first.size(), 32u);
  for (char c : first)
    EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(c)) && !std::isupper(c));
  EXPECT_EQ(second, first);
  EXPECT_EQ(fromFile, first);
  EXPECT_TRUE(files::Exists(a + "\\all\\Kelto\\Common\\Global.db"));
  RemoveFolder(a);
  RemoveFolder(b);
}

}  // namespace
}  // namespace GUID
}  // namespace Base
