// Writing: the compact and pretty serializer and the number text of
// SetDouble.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "json/json.h"
#include "json/json_internal.h"
#include "json/json_scan.h"

namespace json_detail {

namespace {

// The letter written after a backslash for each character that is escaped;
// 0 for a character written as it is.
struct EscapeTable {
  char16_t letter[128] = {};
  constexpr EscapeTable() {
    constexpr char kPairs[][2] = {{'\b', 'b'}, {'\t', 't'}, {'\n', 'n'}, {'\f', 'f'},
                                  {'\r', 'r'}, {'"', '"'},  {'/', '/'},  {'\\', '\\'}};
    for (const auto& pair : kPairs) letter[static_cast<int>(pair[0])] = pair[1];
  }
};
constexpr EscapeTable kEscape;

void AppendEscaped(const std::u16string& text, std::u16string& out) {
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  while (p < end) {
    // Runs that need no escape are appended whole.
    const char16_t* run = p;
    while (p < end && !(*p < 0x80 && kEscape.letter[*p])) ++p;
    out.append(run, p);
    if (p == end) break;
    out += u'\\';
    out += kEscape.letter[*p++];
  }
}

// Raw text as received. Minifying stored escaped quotes as backslash +
// U+0001; they go out as the backslash + quote they came in as.
void AppendRaw(const std::u16string& raw, std::u16string& out) {
  if (Find(raw.data(), raw.data() + raw.size(), u'\x01') == raw.data() + raw.size()) {
    out += raw;
    return;
  }
  // Backslash pairs in order, the runs between them copied whole.
  out.reserve(out.size() + raw.size());
  const char16_t* p = raw.data();
  const char16_t* const end = p + raw.size();
  while (p < end) {
    const char16_t* slash = Find(p, end, u'\\');
    if (end - slash < 2) {
      out.append(p, end);
      break;
    }
    out.append(p, slash + 1);
    out += slash[1] == u'\x01' ? u'"' : slash[1];
    p = slash + 2;
  }
}

void AppendIndent(int indent, std::u16string& out) {
  out += u'\n';
  out.append(static_cast<std::size_t>(indent), u'\t');
}

// Literal for a scalar built without text (JsonNew(Null) and friends), so
// that the output stays valid JSON.
const char16_t* DefaultLiteral(const JsonValue& value) {
  switch (value.kind) {
    case JsonKind::Number:
      return u"0";
    case JsonKind::Boolean:
      return value.boolValue ? u"true" : u"false";
    default:
      return u"null";
  }
}

struct Frame {
  const JsonValue* value;
  int indent;
  std::uint32_t next;
};

class Writer {
 public:
  explicit Writer(std::u16string& out) : out_(out) {}

  // Writes the value; containers with children leave a frame on the stack
  // instead of recursing, so depth costs heap, not stack.
  void Open(JsonValue* value, int indent, bool omitName) {
    const bool pretty = indent >= 0;
    if (!omitName) {
      out_ += u'"';
      if (value->nameEscaped) {
        AppendEscaped(value->name, out_);
      } else {
        out_ += value->name;
      }
      out_ += pretty ? u"\" : " : u"\":";
    }
    if (!value->decoded && (!pretty || value->kind == JsonKind::String)) {
      if (value->rawVerbatim) {
        out_ += value->text;
      } else {
        AppendRaw(value->text, out_);
      }
      return;
    }
    if (value->kind == JsonKind::Array || value->kind == JsonKind::Object) Decode(value);
    switch (value->kind) {
      case JsonKind::String:
        out_ += u'"';
        if (value->textEscaped) {
          AppendEscaped(value->text, out_);
        } else {
          out_ += value->text;
        }
        out_ += u'"';
        return;
      case JsonKind::Array:
      case JsonKind::Object:
        out_ += value->kind == JsonKind::Array ? u'[' : u'{';
        if (value->children && value->children->count) {
          stack_.push_back(Frame{value, indent, 0});
        } else {
          out_ += value->kind == JsonKind::Array ? u']' : u'}';
        }
        return;
      default:
        if (value->text.empty()) {
          out_ += DefaultLiteral(*value);
        } else {
          out_ += value->text;
        }
    }
  }

  void Run() {
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      const JsonChildren& children = *frame.value->children;
      if (frame.next < children.count) {
        if (frame.next) out_ += u',';
        const int childIndent = frame.indent >= 0 ? frame.indent + 1 : -1;
        if (childIndent >= 0) AppendIndent(childIndent, out_);
        const bool omitName = frame.value->kind == JsonKind::Array;
        JsonValue* child = children.slots[frame.next++].get();
        Open(child, childIndent, omitName);  // may grow the stack: `frame` is stale now
      } else {
        if (frame.indent >= 0) AppendIndent(frame.indent, out_);
        out_ += frame.value->kind == JsonKind::Array ? u']' : u'}';
        stack_.pop_back();
      }
    }
  }

 private:
  std::u16string& out_;
  std::vector<Frame> stack_;
};

}  // namespace

std::u16string FormatDouble(double value) {
  std::string text;
  if (!std::isfinite(value)) {
    // JSON has no spelling for these; "null" keeps the message readable.
    text = "null";
  } else if (value > 0 && value < 18446744073709551616.0 &&
             value - static_cast<double>(static_cast<std::uint64_t>(value)) < 0.00001) {
    text = std::to_string(static_cast<std::uint64_t>(value));
  } else if (value >= -9223372036854775808.0 && value < 9223372036854775808.0 &&
             std::fabs(value - static_cast<double>(static_cast<std::int64_t>(value))) < 0.00001) {
    text = std::to_string(static_cast<std::int64_t>(value));
  } else {
    // Fixed notation with six fraction digits, independent of the locale's
    // decimal separator; the largest double needs 309 integer digits.
    char buffer[400];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    text.assign(buffer, result.ptr);
    std::size_t point = text.find('.');
    if (point != std::string::npos) {
      std::size_t last = text.find_last_not_of('0');
      text.resize(last == point ? point : last + 1);
    }
  }
  return std::u16string(text.begin(), text.end());
}

}  // namespace json_detail

std::u16string JsonPtr::ToText(int indent, bool omitName) const {
  std::u16string out;
  if (!value_) return out;
  json_detail::Writer writer(out);
  writer.Open(value_, indent < 0 ? -1 : indent, omitName);
  writer.Run();
  return out;
}

std::u16string JsonWrite(const JsonPtr& value) {
  if (!value || (value->kind != JsonKind::Array && value->kind != JsonKind::Object)) {
    return std::u16string();
  }
  // Unread and without escaped quotes: the text is the output.
  if (!value->decoded && value->rawVerbatim) return value->text;
  return value.ToText(-1, true);
}
