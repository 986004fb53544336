// The portable half of the machine identity: which hardware address counts,
// how disk data is turned into text, and the text that is hashed.
#include <cstdio>
#include <cstring>

#include "services/identity.h"

namespace Base {
namespace GUID {

namespace {

bool IsAllZero(const HardwareAddress& address) {
  for (std::uint8_t b : address) {
    if (b != 0) return false;
  }
  return true;
}

// The C locale's classes, independent of the process locale.
bool IsPrintable(unsigned char c) { return c >= 0x20 && c < 0x7F; }
bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
char Lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : char(c); }

std::string Trim(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Drivers that return the descriptor text as hexadecimal digits give two
// digits per character; a zero pair ends the text.
bool DecodeHexPairs(const std::string& field, std::string& out) {
  std::string decoded;
  for (std::size_t i = 0; i < field.size(); i += 2) {
    int digits[2];
    for (int k = 0; k < 2; ++k) {
      // A lone last digit pairs with the terminating zero, which is no digit.
      unsigned char c = i + k < field.size() ? static_cast<unsigned char>(field[i + k]) : 0;
      digits[k] = IsSpace(c) ? 0 : HexValue(static_cast<unsigned char>(Lower(c)));
      if (digits[k] < 0) return false;
    }
    unsigned char byte = static_cast<unsigned char>(digits[0] * 16 + digits[1]);
    if (byte == 0) break;
    if (!IsPrintable(byte)) return false;
    decoded.push_back(static_cast<char>(byte));
  }
  out = decoded;
  return true;
}

}  // namespace

Digest SerialDigest(const std::string& serial) {
  if (serial.empty()) return Digest{};
  return Md5(serial.data(), serial.size());
}

bool ChooseAdapterAddress(const std::vector<AdapterInfo>& adapters, HardwareAddress& out) {
  HardwareAddress chosen{};
  int chosenRank = kWorstAdapterRank;
  bool any = false;
  for (const AdapterInfo& adapter : adapters) {
    bool preferredType = adapter.type == kAdapterTypeEthernet || adapter.type == kAdapterTypePpp;
    if (!any || (preferredType && adapter.rank < chosenRank)) {
      chosen = adapter.address;
      chosenRank = adapter.rank;
      any = true;
    }
  }
  if (!any || IsAllZero(chosen)) return false;
  out = chosen;
  return true;
}

HardwareAddress ChooseHardwareAddress(IIdentitySource& source) {
  HardwareAddress address{};
  std::vector<AdapterInfo> adapters;
  if (source.ListAdapters(adapters) && ChooseAdapterAddress(adapters, address)) return address;
  if (source.NetBiosAddress(address) && !IsAllZero(address)) return address;
  return kFallbackAddress;
}

std::string MacText(const HardwareAddress& address) {
  char text[13] = {};
  for (std::size_t i = 0; i < address.size(); ++i) {
    std::snprintf(text + 2 * i, 3, "%02x", address[i]);
  }
  return text;
}

std::string GuidText(const Digest& guid) {
  char text[33] = {};
  for (std::size_t i = 0; i < guid.size(); ++i) {
    std::snprintf(text + 2 * i, 3, "%02x", guid[i]);
  }
  return text;
}

std::string IdentityText(const DiskIdentity* disk, const std::string& macText) {
  if (!disk) return macText + "#QVM";
  return disk->serial + "#" + disk->model + "#" + disk->firmware + "#" + macText + "#QVM";
}

std::string IdentifyDataField(const std::uint8_t* data, std::size_t size, int firstWord,
                              int lastWord) {
  std::string field;
  for (int word = firstWord; word <= lastWord; ++word) {
    std::size_t at = static_cast<std::size_t>(word) * 2;
    if (!data || at + 1 >= size) break;
    field.push_back(static_cast<char>(data[at + 1]));
    field.push_back(static_cast<char>(data[at]));
  }
  // The field is a C string to everyone who reads it: it ends at a zero.
  std::size_t zero = field.find('\0');
  if (zero != std::string::npos) field.resize(zero);
  while (!field.empty() && field.back() == ' ') field.pop_back();
  return field;
}

DiskIdentity DiskIdentityFromIdentifyData(const std::uint8_t* data, std::size_t size) {
  DiskIdentity disk;
  disk.serial = IdentifyDataField(data, size, 10, 19);
  disk.firmware = IdentifyDataField(data, size, 23, 26);
  disk.model = IdentifyDataField(data, size, 27, 46);
  return disk;
}

std::string DecodeDescriptorField(const std::string& rawField, bool isSerial) {
  // Fields are decoded into 256-character buffers: at most 255 characters.
  constexpr std::size_t kMaxChars = 255;
  std::string field = rawField.substr(0, rawField.find('\0'));
  std::string text;
  if (!DecodeHexPairs(field, text)) {
    text.clear();
    for (unsigned char c : field) {
      if (!IsPrintable(c)) {
        text.clear();
        break;
      }
      text.push_back(static_cast<char>(c));
    }
  }
  if (text.size() > kMaxChars) text.resize(kMaxChars);
  if (isSerial && !text.empty()) {
    // An odd length swaps its last character with the terminating zero,
    // which then ends the text one character earlier.
    if (text.size() % 2 != 0) text.pop_back();
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) std::swap(text[i], text[i + 1]);
  }
  return Trim(text);
}

std::string DescriptorText(const std::uint8_t* descriptor, std::size_t size, std::size_t offsetAt) {
  if (!descriptor || offsetAt > size || size - offsetAt < 4) return std::string();
  const std::uint8_t* at = descriptor + offsetAt;
  std::size_t offset = std::size_t(at[0]) | std::size_t(at[1]) << 8 | std::size_t(at[2]) << 16 |
                       std::size_t(at[3]) << 24;
  if (offset == 0 || offset >= size) return std::string();
  const char* text = reinterpret_cast<const char*>(descriptor + offset);
  const void* zero = std::memchr(text, 0, size - offset);
  return std::string(text, zero ? static_cast<const char*>(zero) - text : size - offset);
}

}  // namespace GUID
}  // namespace Base
