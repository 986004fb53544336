// Machine identity internals: the hardware sources (a port per platform), the
// decoding of what disks report, the shared Global.db file and the
// process-wide holder behind GetMachineGuid.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Base {
namespace GUID {

using Digest = std::array<std::uint8_t, 16>;
using HardwareAddress = std::array<std::uint8_t, 6>;

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Used when neither the adapter list nor NetBIOS yields an address.
constexpr HardwareAddress kFallbackAddress = {0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F};

// Interface types as the adapter list reports them.
constexpr std::uint32_t kAdapterTypeEthernet = 6;
constexpr std::uint32_t kAdapterTypePpp = 23;
constexpr int kWorstAdapterRank = 3;

struct DiskIdentity {
  std::string serial;
  std::string model;
  std::string firmware;
};

struct AdapterInfo {
  std::uint32_t type = 0;
  // 0 wired PCI, 1 wireless, 2 wired elsewhere (USB...), 3 anything else.
  int rank = kWorstAdapterRank;
  HardwareAddress address{};
};

// What the machine tells about itself. One implementation per platform;
// tests use their own.
class IIdentitySource {
 public:
  virtual ~IIdentitySource() = default;
  // Adapters in the order the system lists them; false when the list
  // cannot be had.
  virtual bool ListAdapters(std::vector<AdapterInfo>& out) = 0;
  // The first non-zero adapter status address, or false.
  virtual bool NetBiosAddress(HardwareAddress& out) = 0;
  // The first disk that identifies itself, or false.
  virtual bool ReadDiskIdentity(DiskIdentity& out) = 0;
  // Folders under which "Kelto/Common/Global.db" is kept: shared by every
  // user, and the current user's own. Empty when the folder cannot be had.
  virtual std::string PrimaryDataFolder() = 0;
  virtual std::string AlternateDataFolder() = 0;
};

std::unique_ptr<IIdentitySource> MakePlatformIdentitySource();

// RFC 1321 digest (platform crypto library).
Digest Md5(const void* data, std::size_t size);
// MD5 of the text, or 16 zero bytes for an empty serial number.
Digest SerialDigest(const std::string& serial);

// The first adapter is taken whatever its type; a later one replaces it only
// when it is Ethernet or PPP and strictly better ranked. False when the
// chosen address is all zero (or there is none).
bool ChooseAdapterAddress(const std::vector<AdapterInfo>& adapters, HardwareAddress& out);
// Adapter list, then NetBIOS, then kFallbackAddress.
HardwareAddress ChooseHardwareAddress(IIdentitySource& source);
// 12 lower-case hexadecimal digits.
std::string MacText(const HardwareAddress& address);
// "serial#model#firmware#mac#QVM", or "mac#QVM" without a disk.
std::string IdentityText(const DiskIdentity* disk, const std::string& macText);

// A field of ATA identify data (256 little-endian words): each word's high
// byte first, cut at the first zero byte, trailing spaces removed.
std::string IdentifyDataField(const std::uint8_t* data, std::size_t size, int firstWord,
                              int lastWord);
// Serial (words 10-19), firmware (23-26) and model (27-46).
DiskIdentity DiskIdentityFromIdentifyData(const std::uint8_t* data, std::size_t size);
// A storage device descriptor's text field: hexadecimal pairs are decoded
// to the characters they stand for, anything else is taken literally;
// serial numbers also have the characters of each pair swapped. Leading and
// trailing white space is removed.
std::string DecodeDescriptorField(const std::string& field, bool isSerial);
// The zero-ended text a storage device descriptor points at through the
// 32-bit little-endian offset stored at offsetAt; empty for offset 0 or an
// offset outside the descriptor. Never reads past descriptor + size.
std::string DescriptorText(const std::uint8_t* descriptor, std::size_t size, std::size_t offsetAt);

// File operations on paths in the platform's narrow encoding (UTF-8).
namespace files {
bool IsDirectory(const std::string& path);
bool MakeDirectory(const std::string& path);
bool Exists(const std::string& path);
// Reads at most `limit` bytes, letting other readers in but no writer.
// False when the file cannot be opened or read; `size` is the whole size.
bool ReadShared(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out,
                std::uint64_t& size);
// Creates or replaces the file, letting nobody else in while writing.
bool WriteExclusive(const std::string& path, const std::vector<std::uint8_t>& data);
bool CopyReplacing(const std::string& from, const std::string& to);
bool Remove(const std::string& path);
}  // namespace files

// Global.db: version 2 (guid, MAC digest, serial digest) is written;
// version 1 (guid only) is read and upgraded by the caller.
class CIdentityFile {
 public:
  enum class Found { No, Version1, Version2 };
  static constexpr std::size_t kVersion1Size = 20;
  static constexpr std::size_t kVersion2Size = 52;

  CIdentityFile(std::string primaryFolder, std::string alternateFolder, std::mutex& fileMutex);

  // Builds "<folder>/Kelto/Common/Global.db", creating missing folders;
  // empty when the folder is unknown.
  std::string PrimaryPath() const;
  std::string AlternatePath() const;

  Found Read(const std::string& serial, const std::string& macText, Digest& guid);
  bool Write(const Digest& guid, const std::string& serial, const std::string& macText);

 private:
  static Found Parse(const std::vector<std::uint8_t>& data, std::uint64_t size,
                     const std::string& serial, const std::string& macText, Digest& guid);

  std::string primaryFolder_;
  std::string alternateFolder_;
  std::mutex& fileMutex_;
};

// The process-wide holder: computes the GUID on first request and serves
// the cached copy afterwards.
class CSeqIDGen {
 public:
  explicit CSeqIDGen(std::unique_ptr<IIdentitySource> source);
  virtual ~CSeqIDGen();
  CSeqIDGen(const CSeqIDGen&) = delete;
  CSeqIDGen& operator=(const CSeqIDGen&) = delete;

  static CSeqIDGen& Instance();

  bool GetGuid(std::uint8_t* out);

 private:
  Digest Compute();

  std::unique_ptr<IIdentitySource> source_;
  std::mutex cacheMutex_;
  std::mutex fileMutex_;
  std::unique_ptr<Digest> cached_;
};

// 32 lower-case hexadecimal digits.
std::string GuidText(const Digest& guid);

}  // namespace GUID
}  // namespace Base
