// Reading: the minify pre-pass, the bracket check, lazy splitting of
// containers, classification of members and decoding of scalars. A parse
// only minifies and checks the outer brackets; each container is split the
// first time it is read, so a message whose members are passed on as raw
// text costs no more than that pass. Number texts are judged and read by
// json_number.cpp.
#include <stdexcept>
#include <string>

#include "json/json.h"
#include "json/json_internal.h"
#include "json/json_scan.h"

namespace json_detail {

namespace {

constexpr char16_t kEscapedQuote = u'\x01';

// What a backslash and this letter stand for; 0 for a letter that is not a
// one-letter escape (an escaped quote is stored as kEscapedQuote).
struct UnescapeTable {
  char16_t unit[128] = {};
  constexpr UnescapeTable() {
    constexpr char16_t kPairs[][2] = {{u'b', u'\b'},        {u'f', u'\f'}, {u'n', u'\n'},
                                      {u'r', u'\r'},        {u't', u'\t'}, {u'v', u'\v'},
                                      {kEscapedQuote, u'"'}};
    for (const auto& pair : kPairs) unit[pair[0]] = pair[1];
  }
};
constexpr UnescapeTable kUnescape;

constexpr std::size_t kNotFound = std::u16string::npos;

// Characters outside strings that the minifier copies unchanged: printable
// ASCII except the quote and the comment starters.
struct PlainTable {
  bool plain[128] = {};
  constexpr PlainTable() {
    for (int c = 0x21; c <= 0x7E; ++c) plain[c] = c != '"' && c != '#' && c != '/';
  }
};
constexpr PlainTable kPlain;

// Drops white space and comments outside strings. An escaped quote inside a
// string is stored as backslash + U+0001 so that later scans can skip
// strings by looking for the next plain double quote.
//
// The output never grows past the input, so the input is copied once and
// compacted in place: a received message is usually compact already, and
// then nothing after the copy is written at all.
void Minify(const std::u16string& in, std::u16string& out, bool& escapedQuotes) {
  escapedQuotes = false;
  out.assign(in);
  if (out.empty() || IsCompact(out.data(), out.data() + out.size())) return;
  char16_t* const base = &out[0];
  char16_t* o = base;
  const char16_t* p = base;
  const char16_t* const end = base + out.size();
  // Moves [p, to) down to o; a no-op while nothing has been dropped.
  auto keep = [&](const char16_t* to) {
    if (o != p) std::char_traits<char16_t>::move(o, p, static_cast<std::size_t>(to - p));
    o += to - p;
    p = to;
  };
  while (p < end) {
    char16_t c = *p;
    if (c < 0x80 && kPlain.plain[c]) {
      *o++ = *p++;
      continue;
    }
    if (c == u'"') {
      keep(p + 1);
      for (;;) {
        keep(FindEither(p, end, u'"', u'\\'));
        if (p == end) break;
        if (*p == u'"') {
          keep(p + 1);
          break;
        }
        keep(p + 1);  // the backslash
        if (p == end) break;
        // A U+0001 that came escaped reads back as a quote too.
        if (*p == u'"' || *p == kEscapedQuote) escapedQuotes = true;
        *o++ = *p == u'"' ? kEscapedQuote : *p;
        ++p;
      }
      continue;
    }
    if (c == u'\t' || c == u'\n' || c == u'\r' || c == u' ') {
      ++p;
      continue;
    }
    bool lineComment = c == u'#';
    if (c == u'/') {
      const char16_t next = p + 1 < end ? p[1] : u'\0';
      if (next == u'*') {
        const char16_t* q = p + 2;
        while (q + 1 < end && !(q[0] == u'*' && q[1] == u'/')) ++q;
        if (q + 1 >= end) break;  // unterminated: the text ends here
        p = q + 2;
        continue;
      }
      if (next != u'/') break;
      lineComment = true;
    }
    if (lineComment) {
      p = Find(p, end, u'\n');
      if (p == end) break;
      ++p;
      continue;
    }
    break;  // any other character outside a string ends the text
  }
  out.resize(static_cast<std::size_t>(o - base));
}

// Index of the first of the target characters at nesting depth 0 from
// `start`, or kNotFound when a closing bracket at depth 0 or the end of the
// text comes first. Strings are skipped whole (escaped quotes no longer
// look like quotes after minifying); a bracket skips to its partner,
// counting only brackets of its own shape. `target1` and `target2` are each
// ',' or ':'.
std::size_t FindAtDepth0(const std::u16string& text, std::size_t start, char16_t target1,
                         char16_t target2) {
  const char16_t* const base = text.data();
  const char16_t* const end = base + text.size();
  for (const char16_t* p = FindStructural(base + start, end); p < end;
       p = FindStructural(p + 1, end)) {
    char16_t c = *p;
    if (c == target1 || c == target2) return static_cast<std::size_t>(p - base);
    if (c == u'"') {
      p = Find(p + 1, end, u'"');
      if (p == end) return kNotFound;
    } else if (c == u'[' || c == u'{') {
      const char16_t open = c;
      const char16_t close = c == u'[' ? u']' : u'}';
      std::size_t depth = 1;
      while (depth) {
        p = FindStructural(p + 1, end);
        if (p == end) return kNotFound;
        c = *p;
        if (c == open) {
          ++depth;
        } else if (c == close) {
          --depth;
        } else if (c == u'"') {
          p = Find(p + 1, end, u'"');
          if (p == end) return kNotFound;
        }
      }
    } else if (c == u']' || c == u'}') {
      return kNotFound;
    }
  }
  return kNotFound;
}

// Classifies a new value whose name, raw text and depth are set.
void Classify(JsonValue* value) {
  const std::u16string& t = value->text;
  if (t.empty()) {
    value->decoded = true;
    return;
  }
  const char16_t first = t.front();
  const char16_t last = t.back();
  if (first == u'"' && last == u'"' && t.size() >= 2) {
    value->kind = JsonKind::String;
  } else if (first == u'F' || first == u'f' || first == u'T' || first == u't') {
    if (t == u"false" || t == u"true") {
      value->kind = JsonKind::Boolean;
      value->boolValue = t[0] == u't';
      value->decoded = true;
    } else {
      MakeFailedNull(value);
    }
  } else if (first == u'N' || first == u'n') {
    if (t == u"null") {
      value->decoded = true;
    } else {
      MakeFailedNull(value);
    }
  } else if ((first == u'[' && last == u']') || (first == u'{' && last == u'}')) {
    value->kind = first == u'[' ? JsonKind::Array : JsonKind::Object;
  } else if ((IsDigit(first) || first == u'-') && ReadPlainNumber(t, value->number)) {
    value->kind = JsonKind::Number;
    value->decoded = true;
  } else if (IsNumberSyntax(t)) {
    value->kind = JsonKind::Number;
  } else {
    MakeFailedNull(value);
  }
}

void DecodeArray(JsonValue* value) {
  const std::u16string& text = value->text;
  const std::uint16_t childDepth = value->depth + 1;
  if (text.size() > 2) {
    std::size_t start = 1;
    for (;;) {
      std::size_t end = FindAtDepth0(text, start, u',', u':');
      if (end != kNotFound && text[end] == u':') {
        MakeFailedNull(value);
        return;
      }
      std::size_t stop = end == kNotFound ? text.size() - 1 : end;
      // A new value's strings are empty: appending fills them without the
      // general replace that assign goes through.
      JsonPtr child(NewValue());
      child->text.append(text.data() + start, stop - start);
      child->depth = childDepth;
      child->rawVerbatim = value->rawVerbatim;
      Classify(child.get());
      AddChild(*value->children, std::move(child));
      if (end == kNotFound) break;
      start = end + 1;
    }
  }
  value->text.clear();
}

void DecodeObject(JsonValue* value) {
  const std::u16string& text = value->text;
  const std::uint16_t childDepth = value->depth + 1;
  const char16_t* const base = text.data();
  const char16_t* const end = base + text.size();
  if (text.size() >= 3) {
    std::size_t keyStart = 1;
    for (;;) {
      // The usual member is a quoted key without escapes, a colon right
      // after it and maybe a string value; those are found with one string
      // search each. Anything else takes the general depth scan, which
      // finds the same positions for the usual shape.
      std::size_t colon = kNotFound;
      JsonPtr child(NewValue());
      if (base[keyStart] == u'"') {
        const char16_t* close = FindEither(base + keyStart + 1, end, u'"', u'\\');
        if (close + 1 < end && *close == u'"' && close[1] == u':') {
          colon = static_cast<std::size_t>(close + 1 - base);
          child->name.append(base + keyStart + 1,
                             static_cast<std::size_t>(close - base - keyStart - 1));
        }
      }
      if (colon == kNotFound) {
        colon = FindAtDepth0(text, keyStart, u':', u':');
        if (colon == kNotFound) {
          MakeFailedNull(value);
          return;
        }
        // The key ends before the character in front of the colon (its
        // closing quote) and loses its first character (the opening quote).
        std::size_t keyEnd = colon >= keyStart + 1 ? colon - 1 : keyStart;
        std::size_t nameBegin = keyStart + 1 <= keyEnd ? keyStart + 1 : keyEnd;
        child->name = Unescape(base + nameBegin, base + keyEnd, child->nameEscaped);
      }
      std::size_t resume = colon + 1;
      if (resume < text.size() && base[resume] == u'"') {
        const char16_t* close = Find(base + resume + 1, end, u'"');
        if (close != end) resume = static_cast<std::size_t>(close + 1 - base);
      }
      // What follows a skipped string decides at once; the scan from there
      // would stop at the same place.
      std::size_t comma;
      const char16_t next = resume < text.size() ? base[resume] : u'\0';
      if (resume > colon + 1 && next == u',') {
        comma = resume;
      } else if (resume > colon + 1 && (next == u'}' || next == u']')) {
        comma = kNotFound;
      } else {
        comma = FindAtDepth0(text, resume, u',', u',');
      }
      std::size_t stop = comma == kNotFound ? text.size() - 1 : comma;
      child->text.append(base + colon + 1, stop - colon - 1);
      child->depth = childDepth;
      child->rawVerbatim = value->rawVerbatim;
      Classify(child.get());
      AddChild(*value->children, std::move(child));
      if (comma == kNotFound) break;
      keyStart = comma + 1;
    }
  }
  value->text.clear();
}

void DecodeString(JsonValue* value) {
  const std::u16string& text = value->text;
  if (text.size() < 2 || text.front() != u'"' || text.back() != u'"') {
    MakeFailedNull(value);
    return;
  }
  if (Find(text.data(), text.data() + text.size(), u'\\') == text.data() + text.size()) {
    // Nothing to unescape: drop the quotes in place.
    value->text.pop_back();
    value->text.erase(0, 1);
    value->textEscaped = false;
  } else {
    bool sawBackslash = false;
    std::u16string unescaped =
        Unescape(text.data() + 1, text.data() + text.size() - 1, sawBackslash);
    value->text = std::move(unescaped);
    value->textEscaped = sawBackslash;
  }
  value->decoded = true;
}

}  // namespace

std::u16string Unescape(const char16_t* p, const char16_t* end, bool& sawBackslash) {
  sawBackslash = false;
  if (p == end) return std::u16string();
  const char16_t* slash = Find(p, end, u'\\');
  if (slash == end) return std::u16string(p, end);
  std::u16string out;
  out.reserve(static_cast<std::size_t>(end - p));
  while (p < end) {
    // Runs without a backslash are copied whole.
    slash = Find(p, end, u'\\');
    out.append(p, slash);
    p = slash;
    if (p == end) break;
    char16_t c = *p++;
    sawBackslash = true;
    if (p == end) {
      // A backslash closing the text has nothing to escape: keep it.
      out += c;
      break;
    }
    c = *p++;
    if (c < 128 && kUnescape.unit[c]) {
      out += kUnescape.unit[c];
    } else if (c == u'x' || c == u'u') {
      // Up to 2 (\x) or 4 (\u) hexadecimal digits, as many as are valid;
      // without any the letter stands for itself.
      int left = c == u'x' ? 2 : 4;
      int digits = 0;
      unsigned unit = 0;
      for (; left && p < end && HexValue(*p) >= 0; --left, ++p, ++digits) {
        unit = unit * 16 + HexValue(*p);
      }
      out += digits ? static_cast<char16_t>(unit) : c;
    } else if (IsOctal(c)) {
      // This digit and up to two more octal digits.
      unsigned unit = c - u'0';
      for (int left = 2; left && p < end && IsOctal(*p); --left, ++p) {
        unit = unit * 8 + (*p - u'0');
      }
      out += static_cast<char16_t>(unit);
    } else {
      out += c;  // \" \\ \/ and any unknown escape stand for the character
    }
  }
  return out;
}

void Decode(JsonValue* value) {
  if (value->decoded) return;
  switch (value->kind) {
    case JsonKind::String:
      DecodeString(value);
      return;
    case JsonKind::Number:
      value->number = ParseNumberPrefix(value->text);
      value->decoded = true;
      return;
    case JsonKind::Array:
    case JsonKind::Object:
      if (value->depth >= kMaxDepth) {
        MakeFailedNull(value);
        return;
      }
      // Unread containers have no children array yet: most of them are
      // passed on as raw text and never need one.
      if (!value->children) value->children = new JsonChildren;
      if (value->kind == JsonKind::Array) {
        DecodeArray(value);
      } else {
        DecodeObject(value);
      }
      // A failed split has already left a decoded Null behind.
      value->decoded = true;
      return;
    default:
      MakeFailedNull(value);
  }
}

}  // namespace json_detail

JsonPtr JsonParse(const std::u16string& text) {
  bool escapedQuotes = false;
  // Minified straight into the root, whose buffer a pooled value brings.
  JsonPtr root(json_detail::NewValue());
  std::u16string& minified = root->text;
  json_detail::Minify(text, minified, escapedQuotes);
  const bool bracketed =
      minified.size() >= 2 && ((minified.front() == u'[' && minified.back() == u']') ||
                               (minified.front() == u'{' && minified.back() == u'}'));
  if (!bracketed) throw std::invalid_argument("");
  root->kind = minified.front() == u'[' ? JsonKind::Array : JsonKind::Object;
  root->rawVerbatim = !escapedQuotes;
  return root;
}
