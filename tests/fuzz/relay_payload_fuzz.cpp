// A payload from the relay topic, as anyone who knows the topic can publish
// it, against a PC with or without an attached phone. The size limit holds
// before any parsing; only messages addressed to this PC count; the first
// writer becomes the phone and nobody else speaks for it; "lost" detaches
// exactly the attached phone; and the PC's own publications, which come
// back on the topic, are never taken for the phone's.
//
// Input: 1 byte of setup (bit 0: a phone is attached, bit 1: the attached
// phone is the payload's sender, bit 2: also try it grown past the size
// limit), then the payload.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/relay_payload.h"
#include "tests/fuzz/fuzz_support.h"

using fuzz::Check;

namespace {

const std::u16string kSelf = u"0123456789abcdef0123456789abcdef_1700000000_42";
const std::u16string kOtherPhone = u"phone-b";

RelayVerdict Decide(const std::string& payload, std::u16string& peer, RelayPayload& in) {
  if (!DecodeRelayPayload(payload.data(), payload.size(), in)) return RelayVerdict::Drop;
  return DecideRelayPayload(in, kSelf, peer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t setup = data[0];
  const std::string payload(reinterpret_cast<const char*>(data + 1), size - 1);

  if (setup & 4) {
    // Grown past the limit, the same payload is refused before anything is
    // copied or parsed.
    std::string big = payload;
    big.resize(kMaxRelayPayload + 1 + setup % 7, ' ');
    RelayPayload ignored;
    fuzz::AllocationWatch watch;
    Check(!DecodeRelayPayload(big.data(), big.size(), ignored));
    Check(watch.LargestSoFar() == 0);
  }

  RelayPayload in;
  const bool decoded = DecodeRelayPayload(payload.data(), payload.size(), in);
  if (payload.empty()) Check(!decoded);
  if (!decoded) return 0;
  Check(in.message.Kind() == JsonKind::Object);

  std::u16string peer;
  if (setup & 1) peer = (setup & 2) && !in.src.empty() ? in.src : kOtherPhone;
  const std::u16string before = peer;
  const RelayVerdict verdict = DecideRelayPayload(in, kSelf, peer);

  // Addressed to this PC, by someone other than the PC itself.
  const bool addressed = in.dst == kSelf && !in.src.empty() && in.src != kSelf && !in.msg.empty();
  if (!addressed) {
    Check(verdict == RelayVerdict::Drop && peer == before);
    return 0;
  }
  const std::u16string owner = before.empty() ? in.src : before;
  switch (verdict) {
    case RelayVerdict::Drop:
      Check(false);
      break;
    case RelayVerdict::Busy:
      Check(in.src != owner && peer == before && !before.empty());
      break;
    case RelayVerdict::PeerLost:
      Check(in.src == owner && in.msg == u"lost" && peer.empty());
      break;
    case RelayVerdict::Deliver: {
      Check(in.src == owner && in.msg != u"lost" && peer == owner);
      // What reaches the command protocol is the object the phone sent.
      Check(in.message.Kind() == JsonKind::Object && in.message.Find(u"msg") != nullptr);
      break;
    }
  }

  // The PC's own publication to the phone comes back on the topic and is
  // never taken for a message from the phone.
  if (verdict == RelayVerdict::Deliver) {
    JsonPtr own = JsonNew(JsonKind::Object);
    own.Append(JsonNewString(u"msg", in.msg));
    own.Append(JsonNewString(u"src", kSelf));
    own.Append(JsonNewString(u"dst", peer));
    std::string echo;
    Check(ToUtf8(JsonWrite(own), echo));
    std::u16string peerEcho = peer;
    RelayPayload back;
    if (RelayPayloadSizeAccepted(static_cast<long long>(echo.size()))) {
      Check(Decide(echo, peerEcho, back) == RelayVerdict::Drop && peerEcho == peer);
    }
  }
  return 0;
}
