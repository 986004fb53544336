// Reading: the minify pre-pass, the bracket check, lazy splitting of
// containers, classification of members and decoding of scalars.
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "json/json.h"
#include "json/json_internal.h"
#include "json/json_scan.h"

namespace json_detail {

namespace {

constexpr char16_t kEscapedQuote = u'\x01';
constexpr std::size_t kNotFound = std::u16string::npos;

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsOctal(char16_t c) { return c >= u'0' && c <= u'7'; }

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

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

bool AllOf(const std::u16string& text, std::size_t from, bool (*accept)(char16_t)) {
  for (std::size_t i = from; i < text.size(); ++i) {
    if (!accept(text[i])) return false;
  }
  return true;
}

bool IsSignOrDigit(char16_t c) { return c == u'+' || c == u'-' || IsDigit(c); }

// Tolerant number syntax: also octal (017), hexadecimal (0x1A) and the
// bare spellings "-", "+", "." and "1e+".
bool IsNumberSyntax(const std::u16string& text) {
  const std::size_t n = text.size();
  if (n == 0) return false;
  bool point = false;
  bool exponent = false;
  std::size_t i = 1;
  char16_t first = text[0];
  if (first == u'.') {
    point = true;
  } else if (first == u'0') {
    if (n == 1) return true;
    char16_t second = text[1];
    if (second == u'.') {
      point = true;
      i = 2;
    } else if (second >= u'1' && second <= u'7') {
      return AllOf(text, 1, IsOctal);
    } else if (second == u'x') {
      return AllOf(text, 2, [](char16_t c) { return HexValue(c) >= 0; });
    } else if (second == u'E' || second == u'e') {
      if (n < 3 || !IsSignOrDigit(text[2])) return false;
      exponent = true;
      i = 3;
    } else {
      return false;
    }
  } else if (!(first == u'+' || first == u'-' || (first >= u'1' && first <= u'9'))) {
    return false;
  }
  for (; i < n; ++i) {
    char16_t c = text[i];
    if (IsDigit(c)) continue;
    if (c == u'.') {
      if (point || exponent) return false;
      point = true;
    } else if (c == u'E' || c == u'e') {
      if (exponent || i + 1 >= n || !IsSignOrDigit(text[i + 1])) return false;
      exponent = true;
      ++i;
    } else {
      return false;
    }
  }
  return true;
}

// Powers of ten that a double holds exactly.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The double of a decimal read as `digits` digits (the first 19 of them in
// `mantissa`) times 10^scale, whose digits and point are the text
// [first, last). At most 19 digits worth at most 2^53 and a scale within
// 22 make both operands exact, so the one multiplication or division is
// rounded once, correctly, and gives the same double as a full conversion.
// Longer digit strings, as the shortest text of a double often has
// (0.30000000000000004), go to from_chars when the text is plain digits
// with a fraction (`plain`: no exponent, no bare point), which is exactly
// the text the general path would hand to it. False for anything else.
bool DecimalValue(std::uint64_t mantissa, int digits, int scale, const char16_t* first,
                  const char16_t* last, bool plain, double& value) {
  if (digits <= 19 && mantissa <= (std::uint64_t{1} << 53)) {
    if (scale < -22 || scale > 22) return false;
    const double m = static_cast<double>(mantissa);
    value = scale < 0 ? m / kExactPowers[-scale] : m * kExactPowers[scale];
    return true;
  }
  char narrow[64];
  if (!plain || last - first > static_cast<std::ptrdiff_t>(sizeof narrow)) return false;
  char* o = narrow;
  for (const char16_t* q = first; q < last; ++q) *o++ = static_cast<char>(*q);
  return std::from_chars(narrow, o, value).ec == std::errc();
}

// The value of a plain decimal, -?digits(.digits)?, without a leading zero
// before another digit; false for anything else and for the rare plain
// decimal whose conversion needs the general path. What phones send as
// coordinates and counts is all plain, so the split classifies and decodes
// such a number in one pass, giving exactly the double that
// ParseNumberPrefix gives for the same text.
bool ReadPlainNumber(const std::u16string& text, double& result) {
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  const bool negative = *p == u'-';
  if (negative) ++p;
  const char16_t* const first = p;
  if (p == end || (*p == u'0' && end - p > 1 && IsDigit(p[1]))) return false;
  std::uint64_t mantissa = 0;
  int digits = 0;
  int scale = 0;
  for (; p < end; ++p, ++digits) {
    const unsigned d = static_cast<unsigned>(*p - u'0');
    if (d > 9) break;
    if (digits < 19) mantissa = mantissa * 10 + d;
  }
  if (digits == 0) return false;
  if (p < end) {
    if (*p != u'.' || end - p < 2) return false;
    for (++p; p < end; ++p, ++digits, --scale) {
      const unsigned d = static_cast<unsigned>(*p - u'0');
      if (d > 9) return false;
      if (digits < 19) mantissa = mantissa * 10 + d;
    }
  }
  double value = 0.0;
  if (!DecimalValue(mantissa, digits, scale, first, end, true, value)) return false;
  result = negative ? -value : value;
  return true;
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
    switch (c) {
      case kEscapedQuote:
        out += u'"';
        break;
      case u'b':
        out += u'\b';
        break;
      case u'f':
        out += u'\f';
        break;
      case u'n':
        out += u'\n';
        break;
      case u'r':
        out += u'\r';
        break;
      case u't':
        out += u'\t';
        break;
      case u'v':
        out += u'\v';
        break;
      case u'x':
      case u'u': {
        // Up to 2 (\x) or 4 (\u) hexadecimal digits, as many as are
        // valid; without any the letter stands for itself.
        int left = c == u'x' ? 2 : 4;
        int digits = 0;
        unsigned unit = 0;
        for (; left && p < end && HexValue(*p) >= 0; --left, ++p, ++digits) {
          unit = unit * 16 + HexValue(*p);
        }
        out += digits ? static_cast<char16_t>(unit) : c;
        break;
      }
      default:
        if (IsOctal(c)) {
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
  }
  return out;
}

namespace {

// The common case of ParseNumberPrefix: a signed decimal, perhaps with an
// exponent, that DecimalValue converts. Returns false for anything else.
bool ParseShortNumber(const char16_t* p, const char16_t* end, double& result) {
  while (p < end && (*p == u' ' || (*p >= u'\t' && *p <= u'\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == u'+' || *p == u'-')) negative = *p++ == u'-';
  std::uint64_t mantissa = 0;
  int digits = 0;
  int scale = 0;
  const char16_t* const first = p;
  for (; p < end && IsDigit(*p); ++p, ++digits) {
    if (digits < 19) mantissa = mantissa * 10 + static_cast<unsigned>(*p - u'0');
  }
  bool barePoint = false;
  if (p < end && *p == u'.') {
    for (++p; p < end && IsDigit(*p); ++p, ++digits, --scale) {
      if (digits < 19) mantissa = mantissa * 10 + static_cast<unsigned>(*p - u'0');
    }
    barePoint = scale == 0;
  }
  if (digits == 0) {
    result = 0.0;
    return true;
  }
  const char16_t* const digitsEnd = p;
  const bool exponentMark = p < end && (*p == u'e' || *p == u'E');
  if (exponentMark) {
    const char16_t* q = p + 1;
    bool negativeExponent = false;
    if (q < end && (*q == u'+' || *q == u'-')) negativeExponent = *q++ == u'-';
    int exponent = 0;
    for (; q < end && IsDigit(*q); ++q) {
      if (exponent > 1000) return false;
      exponent = exponent * 10 + (*q - u'0');
    }
    scale += negativeExponent ? -exponent : exponent;
  }
  double value = 0.0;
  if (!DecimalValue(mantissa, digits, scale, first, digitsEnd, !barePoint && !exponentMark,
                    value)) {
    return false;
  }
  result = negative ? -value : value;
  return true;
}

}  // namespace

double ParseNumberPrefix(const std::u16string& text) {
  double fast = 0.0;
  if (ParseShortNumber(text.data(), text.data() + text.size(), fast)) return fast;
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < n && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  // The number in ASCII, each character taken from one of the text: on the
  // stack for any number of sensible length.
  char local[64];
  std::string heap;
  char* digits = local;
  if (n + 1 > sizeof local) {
    heap.resize(n + 1);
    digits = &heap[0];
  }
  std::size_t size = 0;
  auto put = [&](char c) { digits[size++] = c; };
  std::size_t intDigits = 0;
  while (i < n && IsDigit(text[i])) put(static_cast<char>(text[i++])), ++intDigits;
  std::size_t fracDigits = 0;
  if (i < n && text[i] == u'.') {
    std::size_t mark = size;
    put('.');
    ++i;
    while (i < n && IsDigit(text[i])) put(static_cast<char>(text[i++])), ++fracDigits;
    if (fracDigits == 0) size = mark;
  }
  if (intDigits + fracDigits == 0) return 0.0;
  long exponent = 0;
  if (i < n && (text[i] == u'e' || text[i] == u'E')) {
    std::size_t j = i + 1;
    bool negativeExponent = false;
    if (j < n && (text[j] == u'+' || text[j] == u'-')) negativeExponent = text[j++] == u'-';
    if (j < n && IsDigit(text[j])) {
      put('e');
      if (negativeExponent) put('-');
      for (; j < n && IsDigit(text[j]); ++j) {
        put(static_cast<char>(text[j]));
        if (exponent < 100000) exponent = exponent * 10 + (text[j] - u'0');
      }
      if (negativeExponent) exponent = -exponent;
    }
  }
  double value = 0.0;
  auto [ptr, error] = std::from_chars(digits, digits + size, value);
  (void)ptr;
  if (error == std::errc::result_out_of_range) {
    // Overflow gives infinity and underflow zero, as strtod does; which one
    // follows from the position of the first significant digit.
    std::size_t lead = 0;
    for (std::size_t k = 0; k < size; ++k) {
      if (digits[k] == '.') continue;
      if (digits[k] != '0') break;
      ++lead;
    }
    long magnitude = static_cast<long>(intDigits) - static_cast<long>(lead) + exponent;
    value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (error != std::errc()) {
    value = 0.0;
  }
  return negative ? -value : value;
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
