#include "tools/phone/frame_codec.h"

#include <algorithm>
#include <cstring>

namespace phone {

namespace {
void PutLe32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

std::uint32_t GetLe32(const char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

// Kind 1 is counted text; any other kind ends at the first zero byte.
std::string PayloadText(std::string body, std::uint32_t kind) {
  if (kind != 1) {
    std::size_t zero = body.find('\0');
    if (zero != std::string::npos) body.resize(zero);
  }
  return body;
}
}  // namespace

std::string EncodeFrame(const std::string& payload) {
  std::string frame = "VRMX";
  frame.reserve(kFrameHeaderSize + payload.size());
  PutLe32(frame, static_cast<std::uint32_t>(payload.size()));
  PutLe32(frame, 1);
  PutLe32(frame, 0);
  frame += payload;
  return frame;
}

FrameReader::Result FrameReader::Feed(const char* data, std::size_t size, std::size_t& used,
                                      std::string& payload) {
  used = 0;
  if (bad_) return Result::Bad;
  while (used < size) {
    if (!haveHeader_) {
      std::size_t take = std::min(kFrameHeaderSize - header_.size(), size - used);
      header_.append(data + used, take);
      used += take;
      if (header_.size() < kFrameHeaderSize) return Result::NeedMore;
      if (std::memcmp(header_.data(), "VRMX", 4) != 0) {
        bad_ = true;
        return Result::Bad;
      }
      length_ = GetLe32(header_.data() + 4);
      kind_ = GetLe32(header_.data() + 8);
      if (length_ >= kFramePayloadLimit) {
        bad_ = true;
        return Result::Bad;
      }
      haveHeader_ = true;
      body_.clear();
    }
    std::size_t take = std::min<std::size_t>(length_ - body_.size(), size - used);
    body_.append(data + used, take);
    used += take;
    if (body_.size() == length_) {
      payload = PayloadText(std::move(body_), kind_);
      body_.clear();
      header_.clear();
      haveHeader_ = false;
      return Result::Frame;
    }
  }
  return Result::NeedMore;
}

bool DecodeDatagram(const char* data, std::size_t size, std::string& payload) {
  if (size < kFrameHeaderSize || std::memcmp(data, "VRMX", 4) != 0) return false;
  std::uint32_t length = GetLe32(data + 4);
  if (static_cast<std::size_t>(length) + kFrameHeaderSize != size) return false;
  payload = PayloadText(std::string(data + kFrameHeaderSize, length), GetLe32(data + 8));
  return true;
}

}  // namespace phone
