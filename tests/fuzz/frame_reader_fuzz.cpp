// The TCP frame reader fed a byte stream in pieces the input chooses. The
// frames it yields are compared with a plain reading of the whole stream,
// a refused header is refused as soon as its 16th byte arrives, a length at
// or over the limit is never accepted, nothing is allocated for a payload
// beyond what has actually arrived, and a yielded counted frame re-encodes
// to the very bytes it came from.
//
// Input: 4 bytes of split seed, then the stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "net/direct_frame.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using fuzz::Check;

struct Expected {
  std::size_t begin = 0;  // header offset in the stream
  std::size_t end = 0;    // one past the payload
  DirectFrameHeader header;
  std::string text;
};

struct Reading {
  std::vector<Expected> frames;
  // Stream offset just after the header that makes the reader refuse, or 0.
  std::size_t invalidAt = 0;
};

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

// The stream read whole, from the wire format alone.
Reading ReadWhole(const std::uint8_t* data, std::size_t size) {
  Reading r;
  std::size_t pos = 0;
  while (size - pos >= kFrameHeaderSize) {
    const std::uint8_t* h = data + pos;
    std::uint32_t length = Le32(h + 4);
    if (std::memcmp(h, "VRMX", 4) != 0 || length >= 10u * 1024 * 1024) {
      r.invalidAt = pos + kFrameHeaderSize;
      break;
    }
    if (size - pos - kFrameHeaderSize < length) break;
    Expected e;
    e.begin = pos;
    e.end = pos + kFrameHeaderSize + length;
    e.header.length = length;
    e.header.kind = Le32(h + 8);
    e.header.reserved = Le32(h + 12);
    const char* payload = reinterpret_cast<const char*>(h + kFrameHeaderSize);
    e.text = std::string(payload, length);
    if (e.header.kind != 1) e.text = e.text.substr(0, e.text.find('\0'));
    r.frames.push_back(e);
    pos = e.end;
  }
  return r;
}

// A payload becomes a message only as a JSON object from valid UTF-8.
void CheckMessage(const std::string& text) {
  JsonPtr message;
  std::u16string wide;
  const bool decoded = DecodeMessage(text, message);
  if (!ToWide(text, 65001, wide)) Check(!decoded);
  if (decoded) Check(message.Kind() == JsonKind::Object);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Chunker chunks(fuzz::ReadSeed(data, size));
  const Reading expected = ReadWhole(data, size);

  FrameReader reader;
  std::vector<std::string> yielded;
  std::size_t consumed = 0;
  bool invalid = false;
  std::size_t frameStart = 0;  // stream offset where the frame in progress began
  while (consumed < size && !invalid) {
    const std::size_t piece = chunks.Next(size - consumed);
    std::size_t offset = 0;
    // Each call stops after at most one frame, so a piece takes at most
    // piece / 16 + 1 calls.
    for (std::size_t calls = 0; offset < piece; ++calls) {
      Check(calls <= piece / kFrameHeaderSize + 1);
      std::size_t used = 0;
      FrameReader::Status status;
      {
        fuzz::AllocationWatch watch;
        status = reader.Feed(reinterpret_cast<const char*>(data + consumed + offset),
                             piece - offset, used);
        // What one frame may cost: its growth step plus twice what of it has
        // arrived; never the length the header merely announces.
        const std::size_t arrived = consumed + offset + used - frameStart;
        Check(watch.LargestSoFar() <= 64 * 1024 + 2 * arrived + 64);
      }
      Check(used <= piece - offset);
      offset += used;
      // What the reader holds for a frame in progress is bounded the same way.
      const std::size_t arrived = consumed + offset - frameStart;
      if (status == FrameReader::Status::NeedMore) {
        Check(reader.InProgress() == (arrived > 0));
        Check(reader.BufferedBytes() <= 64 * 1024 + 2 * arrived + 64);
      }
      if (status == FrameReader::Status::Invalid) {
        invalid = true;
        break;
      }
      if (status == FrameReader::Status::NeedMore) {
        Check(offset == piece);
        break;
      }
      yielded.push_back(reader.Text());
      frameStart = consumed + offset;
    }
    consumed += offset;
  }

  Check(yielded.size() == expected.frames.size());
  for (std::size_t i = 0; i < yielded.size(); ++i) {
    const Expected& e = expected.frames[i];
    Check(yielded[i] == e.text);
    Check(e.header.length < 10u * 1024 * 1024);
    const std::string raw(reinterpret_cast<const char*>(data + e.begin), e.end - e.begin);
    if (e.header.kind == kFrameKindCounted && e.header.reserved == 0) {
      Check(EncodeFrame(yielded[i]) == raw);
    }
    // Whatever the sender wrote, the text travels unchanged when framed anew.
    std::string again = EncodeFrame(yielded[i]);
    std::string text;
    Check(DecodeDatagram(again.data(), again.size(), text) && text == yielded[i]);
    CheckMessage(yielded[i]);
  }
  Check(invalid == (expected.invalidAt != 0));
  if (invalid) {
    // Refused on the header's last byte, not later and not earlier.
    Check(consumed == expected.invalidAt);
    std::size_t used = 1;
    Check(reader.Feed("VRMX", 4, used) == FrameReader::Status::Invalid && used == 0);
  }
  return 0;
}
