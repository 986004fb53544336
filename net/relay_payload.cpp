#include "net/relay_payload.h"

#include <exception>

namespace {

std::u16string MemberText(const JsonPtr& object, const char16_t* name) {
  JsonPtr* member = object.Find(name);
  return member ? member->AsString() : std::u16string();
}

}  // namespace

bool RelayPayloadSizeAccepted(long long length) {
  return length > 0 && static_cast<unsigned long long>(length) <= kMaxRelayPayload;
}

bool DecodeRelayPayload(const char* data, std::size_t size, RelayPayload& out) {
  if (!data || !RelayPayloadSizeAccepted(static_cast<long long>(size))) return false;
  try {
    std::u16string text;
    if (!ToWide(std::string(data, size), 65001, text)) return false;
    JsonPtr message = JsonParse(text);
    if (message.Kind() != JsonKind::Object) return false;
    out.src = MemberText(message, u"src");
    out.dst = MemberText(message, u"dst");
    out.msg = MemberText(message, u"msg");
    out.message = std::move(message);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

RelayVerdict DecideRelayPayload(const RelayPayload& payload, const std::u16string& self,
                                std::u16string& peerId) {
  // Everything published on the topic comes back to every subscriber, this
  // PC's own publications and the will ("*") included.
  if (payload.dst != self || payload.src.empty() || payload.msg.empty()) {
    return RelayVerdict::Drop;
  }
  // No phone speaks with the PC's own id. Taken as the phone, it would make
  // every publication of the PC come back to it as a command.
  if (payload.src == self) return RelayVerdict::Drop;
  if (peerId.empty()) peerId = payload.src;
  if (payload.src != peerId) return RelayVerdict::Busy;
  if (payload.msg == u"lost") {
    peerId.clear();
    return RelayVerdict::PeerLost;
  }
  return RelayVerdict::Deliver;
}
