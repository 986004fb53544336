// Global.db as any local program may have written it, read through the real
// file code from a folder of the fuzzer's own. Short files and unknown
// versions are absent; version 1 is taken as it is; version 2 only when one
// of its digests matches this machine; and what Write stores always reads
// back as the same identity.
//
// Input: 1 byte choosing the MAC text, 1 byte of serial length, the serial,
// then the file's contents.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "services/identity.h"
#include "tests/fuzz/fuzz_support.h"

using fuzz::Check;
using namespace Base::GUID;

namespace {

void RemoveFolder();

// On a memory file system where there is one: the writer syncs every file,
// which on a disk would limit the run to a few hundred inputs a second.
const std::string& Folder() {
  // Never destroyed: RemoveFolder still needs it at exit.
  static const std::string* folder = [] {
    std::string name = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    name += "/global_db_fuzz.XXXXXX";
    Check(mkdtemp(&name[0]) != nullptr);
    std::atexit(RemoveFolder);
    return new std::string(name);
  }();
  return *folder;
}

void RemoveFolder() {
  const std::string common = Folder() + "/Kelto/Common";
  std::remove((common + "/Global.db").c_str());
  rmdir(common.c_str());
  rmdir((Folder() + "/Kelto").c_str());
  rmdir(Folder().c_str());
}

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  Check(f != nullptr);
  Check(std::fwrite(data, 1, size, f) == size);
  Check(std::fclose(f) == 0);
}

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::string mac = (data[0] & 1) ? "1a2b3c4d5e6f" : "00155d010203";
  const std::size_t serialSize = std::min<std::size_t>(data[1] % 32, size - 2);
  const std::string serial(reinterpret_cast<const char*>(data + 2), serialSize);
  const std::uint8_t* file = data + 2 + serialSize;
  const std::size_t fileSize = size - 2 - serialSize;

  std::mutex fileMutex;
  // No alternate folder: only the file written here is read.
  CIdentityFile store(Folder(), std::string(), fileMutex);
  const std::string path = store.PrimaryPath();
  Check(!path.empty());
  WriteFile(path, file, fileSize);

  Digest guid{};
  const CIdentityFile::Found found = store.Read(serial, mac, guid);
  const std::uint32_t version = fileSize >= 4 ? Le32(file) : 0;
  if (fileSize < CIdentityFile::kVersion1Size || (version != 1 && version != 2) ||
      (version == 2 && fileSize < CIdentityFile::kVersion2Size)) {
    Check(found == CIdentityFile::Found::No);
  } else if (version == 1) {
    Check(found == CIdentityFile::Found::Version1);
  } else {
    Digest mac16, serial16;
    std::memcpy(mac16.data(), file + 20, 16);
    std::memcpy(serial16.data(), file + 36, 16);
    const bool matches = mac16 == Md5(mac.data(), mac.size()) || serial16 == SerialDigest(serial);
    Check((found == CIdentityFile::Found::Version2) == matches);
    if (!matches) Check(found == CIdentityFile::Found::No);
  }
  if (found != CIdentityFile::Found::No) Check(std::memcmp(guid.data(), file + 4, 16) == 0);

  // Written back (as an upgrade or a fresh identity would be), the file is
  // version 2, 52 bytes, and reads as the same identity on this machine.
  Digest stored = found != CIdentityFile::Found::No ? guid : Md5(file, fileSize);
  Check(store.Write(stored, serial, mac));
  std::FILE* f = std::fopen(path.c_str(), "rb");
  Check(f != nullptr);
  std::fseek(f, 0, SEEK_END);
  Check(std::ftell(f) == long(CIdentityFile::kVersion2Size));
  std::fclose(f);
  Digest again{};
  Check(store.Read(serial, mac, again) == CIdentityFile::Found::Version2 && again == stored);
  return 0;
}
