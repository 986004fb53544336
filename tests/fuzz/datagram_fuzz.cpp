// The datagram decoder on arbitrary datagrams: it accepts exactly the
// datagrams that hold one whole frame, yields the text the frame carries,
// and a counted frame re-encodes to the datagram itself. libFuzzer's buffer
// has exactly the input's size, so a read past it is reported.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "net/direct_frame.h"
#include "tests/fuzz/fuzz_support.h"

using fuzz::Check;

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  std::string text = "untouched";
  const bool ok = DecodeDatagram(bytes, size, text);

  const bool whole = size >= kFrameHeaderSize && std::memcmp(data, "VRMX", 4) == 0 &&
                     std::uint64_t(Le32(data + 4)) + kFrameHeaderSize == size;
  Check(ok == whole);
  if (!ok) {
    Check(text == "untouched");
    return 0;
  }
  const std::uint32_t kind = Le32(data + 8);
  std::string payload(bytes + kFrameHeaderSize, size - kFrameHeaderSize);
  if (kind != kFrameKindCounted) payload = payload.substr(0, payload.find('\0'));
  Check(text == payload);
  if (kind == kFrameKindCounted && Le32(data + 12) == 0) {
    Check(EncodeFrame(text) == std::string(bytes, size));
  }

  // A payload becomes a message only as a JSON object from valid UTF-8.
  JsonPtr message;
  std::u16string wide;
  const bool decoded = DecodeMessage(text, message);
  if (!ToWide(text, 65001, wide)) Check(!decoded);
  if (decoded) Check(message.Kind() == JsonKind::Object);
  return 0;
}
