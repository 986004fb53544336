// Number reading, kept apart from the parser because it is a correctness
// area of its own: the tolerant syntax that makes a member a number (octal,
// hexadecimal and the bare spellings included), the one-pass value of the
// plain decimals that phones send, and the locale-free longest decimal
// prefix that every other number text decodes to. The fast paths must give
// exactly the double the general path gives for the same text, which is
// easiest to keep true with all of them side by side.
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

#include "json/json_internal.h"

namespace json_detail {

namespace {

bool AllOf(const std::u16string& text, std::size_t from, bool (*accept)(char16_t)) {
  for (std::size_t i = from; i < text.size(); ++i) {
    if (!accept(text[i])) return false;
  }
  return true;
}

bool IsSignOrDigit(char16_t c) { return c == u'+' || c == u'-' || IsDigit(c); }

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

}  // namespace json_detail
