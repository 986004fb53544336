#include "net/direct_frame.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace {

const unsigned char kMagic[4] = {'V', 'R', 'M', 'X'};

std::uint32_t ReadLe32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void WriteLe32(std::uint32_t v, char* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// Payload growth step: a peer that announces megabytes but sends little only
// costs what it actually sent.
constexpr std::size_t kReserveStep = 64 * 1024;

}  // namespace

bool DecodeFrameHeader(const unsigned char* p, DirectFrameHeader& header) {
  if (std::memcmp(p, kMagic, sizeof kMagic) != 0) return false;
  header.length = ReadLe32(p + 4);
  header.kind = ReadLe32(p + 8);
  header.reserved = ReadLe32(p + 12);
  return true;
}

std::string FramePayloadText(std::uint32_t kind, const char* payload, std::size_t size) {
  if (kind == kFrameKindCounted) return std::string(payload, size);
  const char* end = static_cast<const char*>(std::memchr(payload, 0, size));
  return std::string(payload, end ? static_cast<std::size_t>(end - payload) : size);
}

bool DecodeDatagram(const char* data, std::size_t size, std::string& text) {
  DirectFrameHeader header;
  if (size < kFrameHeaderSize ||
      !DecodeFrameHeader(reinterpret_cast<const unsigned char*>(data), header) ||
      static_cast<std::uint64_t>(header.length) + kFrameHeaderSize != size) {
    return false;
  }
  text = FramePayloadText(header.kind, data + kFrameHeaderSize, header.length);
  return true;
}

std::string EncodeFrame(const std::string& utf8) {
  std::string frame(kFrameHeaderSize + utf8.size(), '\0');
  std::memcpy(&frame[0], kMagic, sizeof kMagic);
  WriteLe32(static_cast<std::uint32_t>(utf8.size()), &frame[4]);
  WriteLe32(kFrameKindCounted, &frame[8]);
  WriteLe32(0, &frame[12]);
  std::memcpy(&frame[kFrameHeaderSize], utf8.data(), utf8.size());
  return frame;
}

std::string EncodeMessageFrame(const JsonPtr& message) {
  std::u16string text = JsonWrite(message);
  std::string utf8;
  if (text.empty() || !ToUtf8(text, utf8)) return std::string();
  return EncodeFrame(utf8);
}

bool DecodeMessage(const std::string& utf8, JsonPtr& message) {
  std::u16string wide;
  if (!ToWide(utf8, 65001, wide)) return false;
  try {
    JsonPtr parsed = JsonParse(wide);
    if (parsed.Kind() != JsonKind::Object) return false;
    message = std::move(parsed);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

FrameReader::Status FrameReader::Feed(const char* data, std::size_t size, std::size_t& used) {
  used = 0;
  if (invalid_) return Status::Invalid;
  if (headerFill_ < kFrameHeaderSize) {
    std::size_t take = std::min(kFrameHeaderSize - headerFill_, size);
    std::memcpy(header_ + headerFill_, data, take);
    headerFill_ += take;
    used = take;
    if (headerFill_ < kFrameHeaderSize) return Status::NeedMore;
    if (!DecodeFrameHeader(header_, current_) || current_.length > kMaxTcpPayload) {
      invalid_ = true;
      return Status::Invalid;
    }
    payload_.clear();
    payload_.reserve(std::min<std::size_t>(current_.length, kReserveStep));
  }
  std::size_t take = std::min<std::size_t>(current_.length - payload_.size(), size - used);
  payload_.append(data + used, take);
  used += take;
  if (payload_.size() < current_.length) return Status::NeedMore;
  text_ = FramePayloadText(current_.kind, payload_.data(), payload_.size());
  payload_.clear();
  if (payload_.capacity() > kReserveStep) payload_.shrink_to_fit();
  headerFill_ = 0;
  return Status::Frame;
}

void FrameReader::Discard() {
  std::string().swap(payload_);
  std::string().swap(text_);
  headerFill_ = 0;
  invalid_ = true;
}

void FrameReader::ReleaseText() {
  if (text_.capacity() > kReserveStep) std::string().swap(text_);
}
