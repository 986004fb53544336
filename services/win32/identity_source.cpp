// The Windows machine as an identity source: the IP Helper adapter list with
// each adapter's rank from the network class key, NetBIOS adapter status,
// the disk's identify data through four device I/O control routes, and the
// all-users and per-user application-data folders.
#include <windows.h>
// After windows.h, which they need.
#include <iphlpapi.h>
#include <nb30.h>
#include <shlobj.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "services/identity.h"

namespace Base {
namespace GUID {

namespace {

constexpr int kMaxDrives = 16;
constexpr DWORD kSmartGetVersion = 0x74080;
constexpr DWORD kSmartRcvDriveData = 0x7C088;
constexpr DWORD kScsiMiniport = 0x4D008;
constexpr DWORD kScsiMiniportIdentify = 0x1B0501;
constexpr DWORD kStorageQueryProperty = 0x2D1400;
constexpr BYTE kIdentifyDevice = 0xEC;
constexpr BYTE kIdentifyPacketDevice = 0xA1;
// Both the SMART answer and the miniport's carry a 16-byte head before the
// 512 bytes of identify data.
constexpr std::size_t kAnswerHead = 16;
constexpr std::size_t kIdentifySize = 512;
constexpr std::size_t kMiniportHead = 28;

std::string Utf8(const wchar_t* wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

class Device {
 public:
  Device(const wchar_t* path, DWORD access, DWORD share)
      : h_(CreateFileW(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~Device() {
    if (ok()) CloseHandle(h_);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  bool Control(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize) {
    DWORD returned = 0;
    return DeviceIoControl(h_, code, in, inSize, out, outSize, &returned, nullptr) != 0;
  }

 private:
  HANDLE h_;
};

DWORD ReadU32(const BYTE* p) {
  DWORD v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Rank from "<class key>\<adapter>\Connection": wired PCI 0, MediaSubType
// 2 (wireless) 1, other wired 2, anything unreadable 3.
int AdapterRank(const char* adapterName) {
  char subkey[260];
  std::snprintf(subkey, sizeof subkey,
                "System\\CurrentControlSet\\Control\\Network\\"
                "{4D36E972-E325-11CE-BFC1-08002BE10318}\\%s\\Connection",
                adapterName);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return kWorstAdapterRank;
  }
  int rank = kWorstAdapterRank;
  DWORD subType = 0;
  DWORD size = sizeof subType;
  DWORD type = 0;
  if (RegQueryValueExA(key, "MediaSubType", nullptr, &type, reinterpret_cast<BYTE*>(&subType),
                       &size) == ERROR_SUCCESS &&
      size == sizeof subType) {
    if (subType == 2) {
      rank = 1;
    } else if (subType == 1) {
      char pnp[260] = {};
      DWORD pnpSize = sizeof pnp - 1;
      if (RegQueryValueExA(key, "PnpInstanceID", nullptr, &type, reinterpret_cast<BYTE*>(pnp),
                           &pnpSize) == ERROR_SUCCESS) {
        rank = std::strncmp(pnp, "PCI", 3) == 0 ? 0 : 2;
      }
    }
  }
  RegCloseKey(key);
  return rank;
}

bool ByWay1(int drive, DiskIdentity& out) {
  wchar_t path[64];
  swprintf(path, 64, L"\\\\.\\PhysicalDrive%d", drive);
  Device dev(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (!dev.ok()) return false;
  BYTE version[24] = {};
  if (!dev.Control(kSmartGetVersion, nullptr, 0, version, sizeof version)) return false;
  BYTE deviceMap = version[3];
  if (deviceMap == 0) return false;
  BYTE request[32] = {};
  DWORD bufferSize = kIdentifySize;
  std::memcpy(request, &bufferSize, 4);
  request[5] = 1;                                // sector count
  request[9] = BYTE(0xA0 | ((drive & 1) << 4));  // drive-head register
  request[10] = ((deviceMap >> drive) & 0x10) ? kIdentifyPacketDevice : kIdentifyDevice;
  request[12] = BYTE(drive);
  BYTE answer[kAnswerHead + kIdentifySize] = {};
  if (!dev.Control(kSmartRcvDriveData, request, sizeof request, answer, sizeof answer)) {
    return false;
  }
  if (ReadU32(answer) <= 46) return false;
  out = DiskIdentityFromIdentifyData(answer + kAnswerHead, kIdentifySize);
  return true;
}

bool ByWay2(int controller, DiskIdentity& out) {
  wchar_t path[64];
  swprintf(path, 64, L"\\\\.\\Scsi%d:", controller);
  Device dev(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (!dev.ok()) return false;
  bool found = false;
  for (int drive = 0; drive < 2; ++drive) {
    BYTE block[kMiniportHead + kAnswerHead + kIdentifySize + 1] = {};
    DWORD header = kMiniportHead;
    std::memcpy(block, &header, 4);
    std::memcpy(block + 4, "SCSIDISK", 8);
    DWORD timeout = 10000;
    std::memcpy(block + 12, &timeout, 4);
    DWORD code = kScsiMiniportIdentify;
    std::memcpy(block + 16, &code, 4);
    DWORD length = kAnswerHead + kIdentifySize + 1;
    std::memcpy(block + 24, &length, 4);
    block[kMiniportHead + 10] = kIdentifyDevice;
    block[kMiniportHead + 12] = BYTE(drive);
    if (!dev.Control(kScsiMiniport, block, kMiniportHead + 32, block, sizeof block)) continue;
    const BYTE* identify = block + kMiniportHead + kAnswerHead;
    if (identify[27 * 2] == 0) continue;
    out = DiskIdentityFromIdentifyData(identify, kIdentifySize);
    found = true;  // drive 1, when it answers too, wins
  }
  return found;
}

bool ByWay3(int drive, DiskIdentity& out) {
  wchar_t path[64];
  swprintf(path, 64, L"\\\\.\\PhysicalDrive%d", drive);
  Device dev(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (!dev.ok()) return false;
  BYTE query[12] = {};  // device property, standard query
  std::vector<BYTE> descriptor(2048, 0);
  const std::size_t size = descriptor.size();
  if (!dev.Control(kStorageQueryProperty, query, sizeof query, descriptor.data(), DWORD(size))) {
    return false;
  }
  DiskIdentity disk;
  disk.model = DecodeDescriptorField(DescriptorText(descriptor.data(), size, 16), false);
  disk.firmware = DecodeDescriptorField(DescriptorText(descriptor.data(), size, 20), false);
  disk.serial = DecodeDescriptorField(DescriptorText(descriptor.data(), size, 24), true);
  auto alnum = [&](std::size_t i) {
    return i < disk.serial.size() && std::isalnum(static_cast<unsigned char>(disk.serial[i]));
  };
  if (!alnum(0) && !alnum(19)) return false;
  out = disk;
  return true;
}

bool ByWay4(int drive, DiskIdentity& out) {
  wchar_t path[64];
  swprintf(path, 64, L"\\\\.\\PhysicalDrive%d", drive);
  Device dev(path, GENERIC_READ | GENERIC_WRITE,
             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (!dev.ok()) return false;
  BYTE version[24] = {};
  if (!dev.Control(kSmartGetVersion, nullptr, 0, version, sizeof version)) return false;
  BYTE block[kAnswerHead + kIdentifySize + 17] = {};
  block[10] = kIdentifyDevice;
  if (!dev.Control(kSmartRcvDriveData, block, 33, block, sizeof block)) return false;
  if (ReadU32(block) <= 46) return false;
  out = DiskIdentityFromIdentifyData(block + kAnswerHead, kIdentifySize);
  return true;
}

std::string SpecialFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathW(nullptr, path, csidl, TRUE)) return std::string();
  return Utf8(path);
}

class CWin32IdentitySource : public IIdentitySource {
 public:
  bool ListAdapters(std::vector<AdapterInfo>& out) override {
    // Loaded by full path so that no other iphlpapi.dll is picked up.
    wchar_t dir[MAX_PATH] = {};
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    std::wstring path(dir);
    if (path.back() != L'\\') path += L'\\';
    path += L"iphlpapi.dll";
    HMODULE lib = LoadLibraryW(path.c_str());
    if (!lib) return false;
    using GetAdaptersInfoFn = DWORD(WINAPI*)(PIP_ADAPTER_INFO, PULONG);
    auto getAdaptersInfo = reinterpret_cast<GetAdaptersInfoFn>(
        reinterpret_cast<void*>(GetProcAddress(lib, "GetAdaptersInfo")));
    bool ok = false;
    if (getAdaptersInfo) {
      static_assert(alignof(IP_ADAPTER_INFO) <= alignof(std::max_align_t), "alignment");
      std::vector<std::max_align_t> buffer(10368 / sizeof(std::max_align_t) + 1);
      ULONG size = 10368;
      auto* list = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data());
      if (getAdaptersInfo(list, &size) == ERROR_SUCCESS) {
        ok = true;
        out.clear();
        for (PIP_ADAPTER_INFO a = list; a; a = a->Next) {
          AdapterInfo info;
          info.type = a->Type;
          info.rank = AdapterRank(a->AdapterName);
          std::memcpy(info.address.data(), a->Address, 6);
          out.push_back(info);
        }
      }
    }
    FreeLibrary(lib);
    return ok;
  }

  bool NetBiosAddress(HardwareAddress& out) override {
    LANA_ENUM lanas{};
    NCB ncb{};
    ncb.ncb_command = NCBENUM;
    ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&lanas);
    ncb.ncb_length = sizeof lanas;
    if (Netbios(&ncb) != NRC_GOODRET) return false;
    for (int i = int(lanas.length) - 1; i >= 0; --i) {
      UCHAR lana = lanas.lana[i];
      std::memset(&ncb, 0, sizeof ncb);
      ncb.ncb_command = NCBRESET;
      ncb.ncb_lana_num = lana;
      if (Netbios(&ncb) != NRC_GOODRET) continue;
      BYTE status[600] = {};
      std::memset(&ncb, 0, sizeof ncb);
      ncb.ncb_command = NCBASTAT;
      ncb.ncb_lana_num = lana;
      ncb.ncb_callname[0] = '*';
      ncb.ncb_buffer = status;
      ncb.ncb_length = sizeof status;
      if (Netbios(&ncb) != NRC_GOODRET) continue;
      HardwareAddress address;
      std::memcpy(address.data(), status, 6);
      if (address != HardwareAddress{}) {
        out = address;
        return true;
      }
    }
    return false;
  }

  bool ReadDiskIdentity(DiskIdentity& out) override {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) return false;
#pragma GCC diagnostic pop
    for (auto way : {ByWay1, ByWay2, ByWay3, ByWay4}) {
      for (int n = 0; n < kMaxDrives; ++n) {
        if (way(n, out)) return true;
      }
    }
    return false;
  }

  std::string PrimaryDataFolder() override { return SpecialFolder(CSIDL_COMMON_APPDATA); }
  std::string AlternateDataFolder() override { return SpecialFolder(CSIDL_APPDATA); }
};

}  // namespace

std::unique_ptr<IIdentitySource> MakePlatformIdentitySource() {
  return std::make_unique<CWin32IdentitySource>();
}

}  // namespace GUID
}  // namespace Base
