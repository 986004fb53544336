#include "tools/phone/phone_command.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "json/json.h"

namespace phone {

namespace {
const char* const kPointMessages[] = {"laser_down", "laser_move", "pen_down", "pen_move"};

bool IsPointMessage(const std::string& word) {
  for (const char* name : kPointMessages) {
    if (word == name) return true;
  }
  return false;
}

// A message name goes into the JSON text unescaped, so it is held to the
// characters the protocol's own names use.
bool IsPlainName(const std::string& word) {
  if (word.empty() || word.size() > 64) return false;
  for (char c : word) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool ReadCoordinate(const std::string& token, std::string& text) {
  double value = 0;
  auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (ec != std::errc() || end != token.data() + token.size() || !std::isfinite(value)) {
    return false;
  }
  char buffer[64];
  auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  text.assign(buffer, written.ptr);
  return true;
}

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

Command Invalid(std::string why) {
  Command c;
  c.kind = CommandKind::Invalid;
  c.error = std::move(why);
  return c;
}
}  // namespace

std::string HelloMessage(bool notes) {
  return notes ? R"({"msg":"hello","note":1})" : R"({"msg":"hello"})";
}

Command ParseCommand(const std::string& rawLine, bool notes) {
  Command cmd;
  std::string line = Trim(rawLine);
  if (line.empty() || line[0] == '#') return cmd;

  if (line[0] == '{') {
    std::u16string wide;
    if (!ToWide(line, 65001, wide)) return Invalid("not UTF-8");
    try {
      JsonPtr value = JsonParse(wide);
      if (value.Kind() != JsonKind::Object) return Invalid("not a JSON object");
    } catch (const std::exception&) {
      return Invalid("not a JSON object");
    }
    cmd.kind = CommandKind::Message;
    cmd.json = line;
    return cmd;
  }

  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  const std::string& name = words[0];

  if (name == "sleep") {
    char* end = nullptr;
    long ms = words.size() == 2 ? std::strtol(words[1].c_str(), &end, 10) : -1;
    if (words.size() != 2 || *end != '\0' || ms < 0 || ms > 600000) {
      return Invalid("sleep takes milliseconds (0 to 600000)");
    }
    cmd.kind = CommandKind::Sleep;
    cmd.sleepMs = ms;
    return cmd;
  }
  if (name == "hello" && words.size() == 1) {
    cmd.kind = CommandKind::Message;
    cmd.json = HelloMessage(notes);
    return cmd;
  }
  if (!IsPlainName(name)) return Invalid("not a message name: " + name);
  if (IsPointMessage(name)) {
    std::string x, y;
    if (words.size() != 3 || !ReadCoordinate(words[1], x) || !ReadCoordinate(words[2], y)) {
      return Invalid(name + " takes two numbers: x y");
    }
    cmd.kind = CommandKind::Message;
    cmd.json = R"({"msg":")" + name + R"(","x":)" + x + R"(,"y":)" + y + "}";
    return cmd;
  }
  if (words.size() != 1) return Invalid(name + " takes no arguments");
  cmd.kind = CommandKind::Message;
  cmd.json = R"({"msg":")" + name + "\"}";
  return cmd;
}

}  // namespace phone
