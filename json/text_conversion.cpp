// UTF-8 <-> UTF-16 for the wire. Well-formed text, which is all a peer that
// works sends, is converted here in one pass; anything else goes to the
// platform's converter, so what fails and how stays the platform's call.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "json/json.h"
#include "json/json_internal.h"
#include "json/json_scan.h"

namespace json_detail {

namespace {

constexpr unsigned kUtf8CodePage = 65001;

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Narrows [p, end) into `o` when every unit is below 0x80; false (with `o`
// partly written) otherwise.
bool NarrowAscii(const char16_t* p, const char16_t* end, char* o) {
#ifdef PIVARO_JSON_SSE2
  const char16_t* const begin = p;
  const __m128i nonAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
  const __m128i zero = _mm_setzero_si128();
  for (; end - p >= 16; p += 16, o += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    const __m128i high = _mm_and_si128(_mm_or_si128(a, b), nonAscii);
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, zero)) != 0xFFFF) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(a, b));
  }
  if (end - p >= 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, nonAscii), zero)) != 0xFFFF) {
      return false;
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(v, v));
    p += 8;
    o += 8;
  }
  if (p < end && end - begin >= 8) {
    // The rest as the last eight units, overlapping narrowed ones.
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 8));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, nonAscii), zero)) != 0xFFFF) {
      return false;
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o - (p - (end - 8))), _mm_packus_epi16(v, v));
    return true;
  }
#endif
  char16_t high = 0;
  for (; p < end; ++p) {
    high |= *p;
    *o++ = static_cast<char>(*p);
  }
  return high < 0x80;
}

}  // namespace

bool FastUtf8ToUtf16(const std::string& utf8, std::u16string& wide) {
  const unsigned char* const begin = reinterpret_cast<const unsigned char*>(utf8.data());
  const unsigned char* p = begin;
  const unsigned char* const end = p + utf8.size();
  // Never more code units than bytes. ASCII runs, most of a message, are
  // widened sixteen at a time on the same pass that checks them.
  std::u16string out(utf8.size(), u'\0');
  char16_t* o = &out[0];
  while (p < end) {
#ifdef PIVARO_JSON_SSE2
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
      if (high) {
        for (unsigned i = LowestBit(high); i; --i) *o++ = *p++;
        break;
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(v, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_unpackhi_epi8(v, zero));
      o += 16;
      p += 16;
    }
    if (p == end) break;
    if (end - p < 16 && end - begin >= 16) {
      // The last sixteen bytes, overlapping converted ones, when all are
      // ASCII: those already converted were then one unit each, right
      // before `o`.
      const unsigned char* const last = end - 16;
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(last));
      if (!_mm_movemask_epi8(v)) {
        char16_t* const at = o - (p - last);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 8), _mm_unpackhi_epi8(v, zero));
        o += end - p;
        break;
      }
    }
#endif
    const unsigned c = *p;
    if (c < 0x80) {
      *o++ = static_cast<char16_t>(c);
      ++p;
    } else if (c < 0xC2) {
      return false;  // a continuation byte, or the lead of an overlong pair
    } else if (c < 0xE0) {
      if (end - p < 2 || !IsContinuation(p[1])) return false;
      *o++ = static_cast<char16_t>(((c & 0x1F) << 6) | (p[1] & 0x3F));
      p += 2;
    } else if (c < 0xF0) {
      // E0 needs A0-BF after it (no overlong forms), ED 80-9F (no
      // surrogates).
      if (end - p < 3) return false;
      const unsigned c1 = p[1];
      if (c1 < (c == 0xE0 ? 0xA0u : 0x80u) || c1 > (c == 0xED ? 0x9Fu : 0xBFu)) return false;
      if (!IsContinuation(p[2])) return false;
      *o++ = static_cast<char16_t>(((c & 0x0F) << 12) | ((c1 & 0x3F) << 6) | (p[2] & 0x3F));
      p += 3;
    } else if (c < 0xF5) {
      // F0 needs 90-BF after it (no overlong forms), F4 80-8F (nothing
      // past U+10FFFF).
      if (end - p < 4) return false;
      const unsigned c1 = p[1];
      if (c1 < (c == 0xF0 ? 0x90u : 0x80u) || c1 > (c == 0xF4 ? 0x8Fu : 0xBFu)) return false;
      if (!IsContinuation(p[2]) || !IsContinuation(p[3])) return false;
      const std::uint32_t code =
          (((c & 0x07) << 18) | ((c1 & 0x3F) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu)) -
          0x10000;
      *o++ = static_cast<char16_t>(0xD800 + (code >> 10));
      *o++ = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
      p += 4;
    } else {
      return false;
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  wide.swap(out);
  return true;
}

bool FastUtf16ToUtf8(const std::u16string& wide, std::string& utf8) {
  if (wide.size() > std::numeric_limits<std::size_t>::max() / 3) return false;
  const char16_t* p = wide.data();
  const char16_t* const end = p + wide.size();
  {
    // ASCII first, narrowed on the pass that checks it, into a buffer of
    // the exact size; anything else starts over below.
    std::string out(wide.size(), '\0');
    if (NarrowAscii(p, end, &out[0])) {
      utf8.swap(out);
      return true;
    }
  }
  // Never more than three bytes per code unit (a pair of two gives four).
  std::string out(wide.size() * 3, '\0');
  char* o = &out[0];
  while (p < end) {
#ifdef PIVARO_JSON_SSE2
    const __m128i nonAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(v, nonAscii), zero);
      if (_mm_movemask_epi8(ascii) != 0xFFFF) break;
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(v, v));
      o += 8;
      p += 8;
    }
    if (p == end) break;
#endif
    const unsigned c = *p;
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
      ++p;
    } else if (c < 0x800) {
      *o++ = static_cast<char>(0xC0 | (c >> 6));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
      ++p;
    } else if (c < 0xD800 || c >= 0xE000) {
      *o++ = static_cast<char>(0xE0 | (c >> 12));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
      ++p;
    } else if (c < 0xDC00 && end - p >= 2 && p[1] >= 0xDC00 && p[1] < 0xE000) {
      const std::uint32_t code = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00u);
      *o++ = static_cast<char>(0xF0 | (code >> 18));
      *o++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (code & 0x3F));
      p += 2;
    } else {
      return false;  // a lone surrogate
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  utf8.swap(out);
  return true;
}

}  // namespace json_detail

bool ToWide(const std::string& narrow, unsigned codePage, std::u16string& wide) {
  if (codePage == json_detail::kUtf8CodePage && json_detail::FastUtf8ToUtf16(narrow, wide)) {
    return true;
  }
  return json_detail::SystemToWide(narrow, codePage, wide);
}

bool ToUtf8(const std::u16string& wide, std::string& utf8) {
  return json_detail::FastUtf16ToUtf8(wide, utf8) || json_detail::SystemToUtf8(wide, utf8);
}
