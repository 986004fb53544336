// What the relay session makes of one payload that arrived on the shared
// topic: the size check, the decoding, and the `src`/`dst` rules that decide
// whether it is for this PC and from its phone. Nothing here touches Paho,
// so the rules can be tested and fuzzed alone.
#pragma once

#include <cstddef>
#include <string>

#include "json/json.h"

// Phones send small commands; anything this large is not one of them and is
// dropped before it is copied or parsed.
constexpr std::size_t kMaxRelayPayload = 256 * 1024;

// Whether a payload of this length (as Paho reports it) is looked at at all.
bool RelayPayloadSizeAccepted(long long length);

struct RelayPayload {
  JsonPtr message;
  std::u16string src;
  std::u16string dst;
  std::u16string msg;
};

// UTF-8 text of one JSON object with its `src`, `dst` and `msg` read as text
// (absent members read as empty). False for anything else, oversized
// payloads included; never throws.
bool DecodeRelayPayload(const char* data, std::size_t size, RelayPayload& out);

enum class RelayVerdict {
  Drop,      // not for this PC, or incomplete
  Busy,      // another phone is attached: answer `src` with the busy error
  PeerLost,  // the attached phone left; peerId has been cleared
  Deliver,   // a message of the attached phone for the command protocol
};

// Applies the addressing rules to a decoded payload. peerId is the attached
// phone (empty: none); the first phone that writes to the PC becomes it.
// A payload that names the PC itself as its sender is dropped.
RelayVerdict DecideRelayPayload(const RelayPayload& payload, const std::u16string& self,
                                std::u16string& peerId);
