// The decoders of what a disk driver reports: ATA identify data, a storage
// descriptor's text offsets and its text fields. Buffers have exactly the
// input's size, so a read past them is reported. The decoded text is plain
// printable text without surrounding white space, and a descriptor field
// given as hexadecimal pairs decodes to the text they spell.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "services/identity.h"
#include "tests/fuzz/fuzz_support.h"

using fuzz::Check;
using namespace Base::GUID;

namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsPrintable(char c) { return c >= 0x20 && c < 0x7F; }

void CheckDecoded(const std::string& text) {
  Check(text.size() <= 255);
  for (char c : text) Check(IsPrintable(c));
  if (!text.empty()) Check(!IsSpace(text.front()) && !IsSpace(text.back()));
}

void CheckField(const std::string& field, std::size_t words) {
  Check(field.size() <= 2 * words);
  Check(field.find('\0') == std::string::npos);
  Check(field.empty() || field.back() != ' ');
}

std::string Hex(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && IsSpace(s.back())) s.pop_back();
  std::size_t begin = 0;
  while (begin < s.size() && IsSpace(s[begin])) ++begin;
  return s.substr(begin);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DiskIdentity disk = DiskIdentityFromIdentifyData(data, size);
  CheckField(disk.serial, 10);
  CheckField(disk.firmware, 4);
  CheckField(disk.model, 20);

  for (std::size_t at : {16u, 20u, 24u}) {
    const std::string text = DescriptorText(data, size, at);
    Check(text.find('\0') == std::string::npos);
    if (!text.empty()) {
      std::uint32_t offset = std::uint32_t(data[at]) | std::uint32_t(data[at + 1]) << 8 |
                             std::uint32_t(data[at + 2]) << 16 | std::uint32_t(data[at + 3]) << 24;
      Check(offset < size && size - offset >= text.size());
      Check(std::memcmp(data + offset, text.data(), text.size()) == 0);
    }
    CheckDecoded(DecodeDescriptorField(text, false));
    CheckDecoded(DecodeDescriptorField(text, true));
  }

  const std::string field(reinterpret_cast<const char*>(data), size);
  CheckDecoded(DecodeDescriptorField(field, false));
  CheckDecoded(DecodeDescriptorField(field, true));

  // Printable text spelt as hexadecimal pairs comes back as itself; a serial
  // comes back with the characters of each pair swapped.
  std::string plain;
  for (char c : field) {
    if (!IsPrintable(c) || plain.size() == 255) break;
    plain.push_back(c);
  }
  Check(DecodeDescriptorField(Hex(plain), false) == Trimmed(plain));
  std::string swapped = plain;
  if (swapped.size() % 2) swapped.pop_back();
  for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
  Check(DecodeDescriptorField(Hex(plain), true) == Trimmed(swapped));
  return 0;
}
