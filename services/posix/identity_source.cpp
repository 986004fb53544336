// The Linux machine as an identity source: adapters from getifaddrs and
// sysfs, disks from udev's database or sysfs, and the folders of Global.db
// under /var/lib (every user) and $XDG_DATA_HOME or ~/.local/share (the
// user's own, used when /var/lib cannot be written). Linux has no NetBIOS
// adapter status, so that source yields nothing.
#include <dirent.h>
#include <ifaddrs.h>
#include <limits.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

#include "services/identity.h"

namespace Base {
namespace GUID {

namespace {

constexpr std::uint32_t kAdapterTypeOther = 1;
constexpr std::uint32_t kAdapterTypeWireless = 71;
constexpr int kMaxDisks = 16;

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::string text(256, '\0');
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::string Trimmed(const std::string& text) {
  const char* space = " \t\r\n\v\f";
  std::size_t begin = text.find_first_not_of(space);
  if (begin == std::string::npos) return std::string();
  std::size_t end = text.find_last_not_of(space);
  return text.substr(begin, end - begin + 1);
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return std::string();
  return resolved;
}

bool IsDirectoryPath(const std::string& path) { return files::IsDirectory(path); }

// Wired adapters on the PCI bus rank best, then wireless ones, then wired
// adapters elsewhere (USB); virtual adapters have no device at all.
AdapterInfo DescribeAdapter(const std::string& name, unsigned short hardwareType) {
  AdapterInfo info;
  std::string base = "/sys/class/net/" + name;
  std::string device = RealPath(base + "/device");
  bool wireless = IsDirectoryPath(base + "/wireless") || IsDirectoryPath(base + "/phy80211");
  if (hardwareType == ARPHRD_PPP) {
    info.type = kAdapterTypePpp;
  } else if (hardwareType == ARPHRD_ETHER) {
    info.type = wireless ? kAdapterTypeWireless : kAdapterTypeEthernet;
  } else {
    info.type = kAdapterTypeOther;
  }
  if (device.empty()) {
    info.rank = kWorstAdapterRank;
  } else if (wireless) {
    info.rank = 1;
  } else if (device.rfind("/sys/devices/pci", 0) == 0 && device.find("/usb") == std::string::npos) {
    info.rank = 0;
  } else {
    info.rank = 2;
  }
  return info;
}

// udev keeps the properties of block device "b<major>:<minor>" as
// "E:KEY=value" lines.
std::map<std::string, std::string> UdevProperties(const std::string& disk) {
  std::map<std::string, std::string> props;
  std::string dev = Trimmed(ReadSmallFile("/sys/block/" + disk + "/dev"));
  if (dev.empty()) return props;
  std::ifstream in("/run/udev/data/b" + dev);
  std::string line;
  for (int lines = 0; lines < 512 && std::getline(in, line); ++lines) {
    if (line.rfind("E:", 0) != 0) continue;
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    props[line.substr(2, eq - 2)] = Trimmed(line.substr(eq + 1));
  }
  return props;
}

std::string FirstOf(std::initializer_list<std::string> candidates) {
  for (const std::string& c : candidates) {
    if (!c.empty()) return c;
  }
  return std::string();
}

bool IsPhysicalDiskName(const std::string& name) {
  for (const char* prefix : {"loop", "ram", "zram", "dm-", "md", "sr", "nbd", "fd"}) {
    if (name.rfind(prefix, 0) == 0) return false;
  }
  return !name.empty() && name[0] != '.';
}

class CLinuxIdentitySource : public IIdentitySource {
 public:
  bool ListAdapters(std::vector<AdapterInfo>& out) override {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    std::vector<std::pair<unsigned, AdapterInfo>> found;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
      if (!it->ifa_addr || it->ifa_addr->sa_family != AF_PACKET) continue;
      if (it->ifa_flags & IFF_LOOPBACK) continue;
      auto* link = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
      if (link->sll_halen != 6) continue;
      AdapterInfo info = DescribeAdapter(it->ifa_name, link->sll_hatype);
      std::memcpy(info.address.data(), link->sll_addr, 6);
      found.emplace_back(static_cast<unsigned>(link->sll_ifindex), info);
    }
    ::freeifaddrs(list);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    out.clear();
    for (const auto& f : found) out.push_back(f.second);
    return true;
  }

  bool NetBiosAddress(HardwareAddress&) override { return false; }

  bool ReadDiskIdentity(DiskIdentity& out) override {
    DIR* dir = ::opendir("/sys/block");
    if (!dir) return false;
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
      if (IsPhysicalDiskName(entry->d_name)) names.push_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    if (names.size() > static_cast<std::size_t>(kMaxDisks)) names.resize(kMaxDisks);
    for (const std::string& name : names) {
      std::string base = "/sys/block/" + name;
      auto udev = UdevProperties(name);
      DiskIdentity disk;
      disk.serial =
          FirstOf({udev["ID_SERIAL_SHORT"], Trimmed(ReadSmallFile(base + "/device/serial")),
                   Trimmed(ReadSmallFile(base + "/serial"))});
      if (disk.serial.empty()) continue;
      disk.model = FirstOf({Trimmed(ReadSmallFile(base + "/device/model")), udev["ID_MODEL"]});
      disk.firmware = FirstOf({Trimmed(ReadSmallFile(base + "/device/firmware_rev")),
                               Trimmed(ReadSmallFile(base + "/device/rev")), udev["ID_REVISION"]});
      out = disk;
      return true;
    }
    return false;
  }

  std::string PrimaryDataFolder() override { return "/var/lib"; }

  std::string AlternateDataFolder() override {
    const char* xdg = ::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    std::string home;
    if (const char* h = ::getenv("HOME")) home = h;
    if (home.empty()) {
      if (passwd* pw = ::getpwuid(::getuid())) home = pw->pw_dir ? pw->pw_dir : "";
    }
    if (home.empty()) return std::string();
    // ~/.local/share, created like the rest of the path when missing.
    std::string local = home + "/.local";
    if (!files::IsDirectory(local)) files::MakeDirectory(local);
    std::string share = local + "/share";
    if (!files::IsDirectory(share)) files::MakeDirectory(share);
    return share;
  }
};

}  // namespace

std::unique_ptr<IIdentitySource> MakePlatformIdentitySource() {
  return std::make_unique<CLinuxIdentitySource>();
}

}  // namespace GUID
}  // namespace Base
