// The machine GUID holder and the three public entry points. Whatever the
// hardware or the file system refuse, a GUID is always produced.
#include "services/machine_guid.h"

#include <algorithm>
#include <cstring>

#include "services/identity.h"

namespace Base {
namespace GUID {

CSeqIDGen::CSeqIDGen(std::unique_ptr<IIdentitySource> source) : source_(std::move(source)) {}

CSeqIDGen::~CSeqIDGen() = default;

CSeqIDGen& CSeqIDGen::Instance() {
  static CSeqIDGen holder(MakePlatformIdentitySource());
  return holder;
}

bool CSeqIDGen::GetGuid(std::uint8_t* out) {
  if (!out) return false;
  {
    std::lock_guard<std::mutex> hold(cacheMutex_);
    if (cached_) {
      std::memcpy(out, cached_->data(), cached_->size());
      return true;
    }
  }
  // Computed outside the cache lock: two first callers may both compute,
  // and arrive at the same value.
  Digest guid = Compute();
  {
    std::lock_guard<std::mutex> hold(cacheMutex_);
    cached_ = std::make_unique<Digest>(guid);
  }
  std::memcpy(out, guid.data(), guid.size());
  return true;
}

Digest CSeqIDGen::Compute() {
  std::string macText = MacText(ChooseHardwareAddress(*source_));
  DiskIdentity disk;
  bool haveDisk = source_->ReadDiskIdentity(disk);
  if (!haveDisk) disk = DiskIdentity();

  CIdentityFile file(source_->PrimaryDataFolder(), source_->AlternateDataFolder(), fileMutex_);
  Digest guid{};
  switch (file.Read(disk.serial, macText, guid)) {
    case CIdentityFile::Found::Version1:
      file.Write(guid, disk.serial, macText);
      return guid;
    case CIdentityFile::Found::Version2:
      return guid;
    case CIdentityFile::Found::No:
      break;
  }
  std::string text = IdentityText(haveDisk ? &disk : nullptr, macText);
  guid = Md5(text.data(), text.size());
  // A failed write only means the GUID is recomputed next time.
  file.Write(guid, disk.serial, macText);
  return guid;
}

bool GetMachineGuid(std::uint8_t* out) { return CSeqIDGen::Instance().GetGuid(out); }

namespace {

template <typename Char>
bool WriteGuidText(Char* out260) {
  if (!out260) return false;
  constexpr std::size_t kBufferChars = 260;
  std::fill(out260, out260 + kBufferChars, Char(0));
  Digest guid{};
  GetMachineGuid(guid.data());
  std::string text = GuidText(guid);
  for (std::size_t i = 0; i < text.size(); ++i) out260[i] = static_cast<Char>(text[i]);
  return true;
}

}  // namespace

bool GetMachineGuidString(char* out260) { return WriteGuidText(out260); }
bool GetMachineGuidStringW(char16_t* out260) { return WriteGuidText(out260); }

}  // namespace GUID
}  // namespace Base
