// Turns a command line typed at the phone ("next", "laser_down 0.5 0.5",
// a raw JSON object) into the JSON text of one message.
#pragma once

#include <string>

namespace phone {

enum class CommandKind {
  Empty,    // blank line or "#" comment: nothing to send
  Message,  // `json` holds one JSON object to send
  Sleep,    // "sleep MS": a pause in a script; `sleepMs` is set
  Invalid,  // `error` tells why
};

struct Command {
  CommandKind kind = CommandKind::Empty;
  std::string json;
  long sleepMs = 0;
  std::string error;
};

// The greeting that makes this phone the PC's phone; "note": 1 asks for the
// notes of each slide.
std::string HelloMessage(bool notes);

// Words: "hello" (the greeting, with the notes flag given), the names of
// the remote commands (those with x and y need two finite numbers), any
// other single word as a message of that name, a line starting with "{" as
// a raw JSON object.
Command ParseCommand(const std::string& line, bool notes);

}  // namespace phone
