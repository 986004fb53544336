// Global.db, the identity file other programs on the PC share. Little-endian:
//   version 1: u32 1, guid[16]                                   (20 bytes)
//   version 2: u32 2, guid[16], md5(mac)[16], md5(serial)[16]    (52 bytes)
#include <cstring>

#include "services/identity.h"

namespace Base {
namespace GUID {

namespace {

constexpr std::uint32_t kVersion1 = 1;
constexpr std::uint32_t kVersion2 = 2;

std::uint32_t ReadU32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

void AppendU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void AppendDigest(std::vector<std::uint8_t>& out, const Digest& d) {
  out.insert(out.end(), d.begin(), d.end());
}

// Creates "<folder>/Kelto/Common" one missing component at a time, then
// names the file in it.
std::string BuildPath(const std::string& folder) {
  if (folder.empty()) return std::string();
  std::string path = folder;
  while (path.size() > 1 && path.back() == kPathSeparator) path.pop_back();
  for (const char* part : {"Kelto", "Common"}) {
    path += kPathSeparator;
    path += part;
    if (!files::IsDirectory(path)) files::MakeDirectory(path);
  }
  return path + kPathSeparator + "Global.db";
}

}  // namespace

CIdentityFile::CIdentityFile(std::string primaryFolder, std::string alternateFolder,
                             std::mutex& fileMutex)
    : primaryFolder_(std::move(primaryFolder)),
      alternateFolder_(std::move(alternateFolder)),
      fileMutex_(fileMutex) {}

std::string CIdentityFile::PrimaryPath() const { return BuildPath(primaryFolder_); }
std::string CIdentityFile::AlternatePath() const { return BuildPath(alternateFolder_); }

CIdentityFile::Found CIdentityFile::Read(const std::string& serial, const std::string& macText,
                                         Digest& guid) {
  std::lock_guard<std::mutex> hold(fileMutex_);
  std::vector<std::uint8_t> data;
  std::uint64_t size = 0;
  std::string primary = PrimaryPath();
  if (primary.empty() || !files::ReadShared(primary, kVersion2Size, data, size)) {
    std::string alternate = AlternatePath();
    if (alternate.empty()) return Found::No;
    // The alternate file only holds the identity while the shared folder
    // could not be written; once it can, the file moves there. It is then
    // read from where it now is, so the moved identity is kept.
    bool moved = !primary.empty() && !files::Exists(primary) && files::Exists(alternate) &&
                 files::CopyReplacing(alternate, primary);
    if (moved) files::Remove(alternate);
    if (!files::ReadShared(moved ? primary : alternate, kVersion2Size, data, size)) {
      return Found::No;
    }
  }
  return Parse(data, size, serial, macText, guid);
}

CIdentityFile::Found CIdentityFile::Parse(const std::vector<std::uint8_t>& data, std::uint64_t size,
                                          const std::string& serial, const std::string& macText,
                                          Digest& guid) {
  if (size < kVersion1Size || data.size() < kVersion1Size) return Found::No;
  std::uint32_t version = ReadU32(data.data());
  if (version == kVersion1) {
    std::memcpy(guid.data(), data.data() + 4, guid.size());
    return Found::Version1;
  }
  if (version != kVersion2 || data.size() < kVersion2Size) return Found::No;
  Digest storedMac;
  Digest storedSerial;
  std::memcpy(storedMac.data(), data.data() + 20, 16);
  std::memcpy(storedSerial.data(), data.data() + 36, 16);
  // One matching half is enough: the identity survives a change of either
  // the adapter or the disk, not of both.
  if (storedMac != Md5(macText.data(), macText.size()) && storedSerial != SerialDigest(serial)) {
    return Found::No;
  }
  std::memcpy(guid.data(), data.data() + 4, guid.size());
  return Found::Version2;
}

bool CIdentityFile::Write(const Digest& guid, const std::string& serial,
                          const std::string& macText) {
  std::vector<std::uint8_t> data;
  data.reserve(kVersion2Size);
  AppendU32(data, kVersion2);
  AppendDigest(data, guid);
  AppendDigest(data, Md5(macText.data(), macText.size()));
  AppendDigest(data, SerialDigest(serial));

  std::lock_guard<std::mutex> hold(fileMutex_);
  std::string primary = PrimaryPath();
  if (!primary.empty() && files::WriteExclusive(primary, data)) return true;
  std::string alternate = AlternatePath();
  return !alternate.empty() && files::WriteExclusive(alternate, data);
}

}  // namespace GUID
}  // namespace Base
