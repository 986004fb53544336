// The direct session's own messages and the limits its transports share.
// Internal to the direct session's files.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "json/json.h"
#include "net/direct_frame.h"
#include "net/session.h"

namespace direct {

constexpr std::int32_t kHeartbeatAllowance = 3;  // ticks after the last conn or heartbeat
constexpr auto kRetryDelay = std::chrono::milliseconds(50);

inline const std::u16string kNotConnectedText = u"未建立连接。";

// {"msg": "error", "error": text}
inline JsonPtr Error(const std::u16string& text) {
  JsonPtr message = MakeMessage(u"error");
  message.Append(JsonNewString(u"error", text));
  return message;
}

// The answer to a second phone, framed (a browser gets the text after the
// header).
inline std::string BusyFrame() { return EncodeMessageFrame(Error(kBusyText)); }

inline std::u16string MemberText(const JsonPtr& message, const std::u16string& name) {
  const JsonPtr* member = message.Find(name);
  return member ? member->AsString() : std::u16string();
}

}  // namespace direct
