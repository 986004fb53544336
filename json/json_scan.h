// Searches over UTF-16 text that look at eight code units per step where
// SSE2 is available (every x86-64 target), and one at a time elsewhere.
// Strings dominate phone messages, and inside a string only a quote or a
// backslash matters, so these searches carry most of the parsing work.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define PIVARO_JSON_SSE2 1
#endif

namespace json_detail {

#ifdef PIVARO_JSON_SSE2
inline unsigned LowestBit(unsigned mask) {
#if defined(__GNUC__) || defined(__clang__)
  return static_cast<unsigned>(__builtin_ctz(mask));
#else
  unsigned bit = 0;
  while (!(mask & 1u)) mask >>= 1, ++bit;
  return bit;
#endif
}
#endif

// First code unit equal to `a` or `b` in [p, end), or `end`.
inline const char16_t* FindEither(const char16_t* p, const char16_t* end, char16_t a, char16_t b) {
#ifdef PIVARO_JSON_SSE2
  const __m128i va = _mm_set1_epi16(static_cast<short>(a));
  const __m128i vb = _mm_set1_epi16(static_cast<short>(b));
  if (end - p >= 8) {
    // The last block overlaps the one before when the length is not a
    // multiple of eight; its first units were already found clear.
    const char16_t* const last = end - 8;
    for (;;) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i hit = _mm_or_si128(_mm_cmpeq_epi16(v, va), _mm_cmpeq_epi16(v, vb));
      const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
      if (mask) return p + LowestBit(mask) / 2;
      if (p == last) return end;
      p = end - p >= 16 ? p + 8 : last;
    }
  }
#endif
  for (; p < end; ++p) {
    if (*p == a || *p == b) return p;
  }
  return end;
}

inline const char16_t* Find(const char16_t* p, const char16_t* end, char16_t c) {
  return FindEither(p, end, c, c);
}

// Units that shape the text outside strings: quote, comma, colon and the
// four brackets.
inline bool IsStructuralUnit(char16_t c) {
  return c == u'"' || c == u',' || c == u':' || c == u'[' || c == u']' || c == u'{' || c == u'}';
}

// First structural unit in [p, end), or `end`: what the depth scans skip
// between the places they have to look at. Numbers and literals are passed
// sixteen units at a time.
inline const char16_t* FindStructural(const char16_t* p, const char16_t* end) {
#ifdef PIVARO_JSON_SSE2
  if (end - p >= 16) {
    // Packing saturates units from 0x80 up to 0x00 or 0xFF, neither of
    // which is structural; OR-ing 0x20 folds [ and ] onto { and }.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i comma = _mm_set1_epi8(',');
    const __m128i colon = _mm_set1_epi8(':');
    const __m128i open = _mm_set1_epi8('{');
    const __m128i close = _mm_set1_epi8('}');
    const __m128i fold = _mm_set1_epi8(0x20);
    auto hits = [&](const char16_t* at) {
      const __m128i v = _mm_packus_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)),
                                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 8)));
      const __m128i folded = _mm_or_si128(v, fold);
      const __m128i a = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, comma));
      const __m128i b = _mm_or_si128(_mm_cmpeq_epi8(folded, open), _mm_cmpeq_epi8(folded, close));
      return static_cast<unsigned>(
          _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_cmpeq_epi8(v, colon))));
    };
    for (; end - p >= 16; p += 16) {
      const unsigned mask = hits(p);
      if (mask) return p + LowestBit(mask);
    }
    if (p == end) return end;
    // The rest as the last sixteen units; those before `p` were clear.
    const char16_t* const last = end - 16;
    const unsigned mask = hits(last) >> (p - last);
    return mask ? p + LowestBit(mask) : end;
  }
#endif
  for (; p < end; ++p) {
    if (IsStructuralUnit(*p)) return p;
  }
  return end;
}

// Characters outside strings that the minifier drops or stops at: all but
// printable ASCII, and the comment starters.
inline bool IsSpecialOutside(char16_t c) { return c < 0x21 || c > 0x7E || c == u'#' || c == u'/'; }

// True when the minifier would give the text back unchanged: no backslash
// is followed by a quote or U+0001 (so quotes alone delimit strings, and
// nothing is rewritten), and everything the minifier would
// drop or stop at lies inside a string. Phones send compact text, so this
// is the usual case.
inline bool IsCompact(const char16_t* p, const char16_t* end) {
  bool inside = false;
#ifdef PIVARO_JSON_SSE2
  {
    // First the cheaper question: is there nothing special at all, inside
    // strings or out? Then quotes need not be tracked. Sixteen units are
    // packed into sixteen bytes for the test; packing saturates every unit
    // from 0x80 up to 0x00 or 0xFF, both outside the printable range.
    const __m128i low = _mm_set1_epi8(0x21);
    const __m128i span = _mm_set1_epi8(0x7E - 0x21);
    const __m128i zero = _mm_setzero_si128();
    const __m128i hash = _mm_set1_epi8('#');
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i backslash = _mm_set1_epi8('\\');
    auto check = [&](const char16_t* at, __m128i bad) {
      const __m128i v = _mm_packus_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)),
                                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 8)));
      // Non-zero exactly outside 0x21-0x7E.
      bad = _mm_or_si128(bad, _mm_subs_epu8(_mm_sub_epi8(v, low), span));
      const __m128i marks = _mm_or_si128(_mm_cmpeq_epi8(v, hash), _mm_cmpeq_epi8(v, slash));
      return _mm_or_si128(bad, _mm_or_si128(marks, _mm_cmpeq_epi8(v, backslash)));
    };
    if (end - p >= 16) {
      // Blocks are checked in fours between tests, and the first test that
      // finds something hands over to the full scan below.
      auto clear = [&](__m128i bad) {
        return _mm_movemask_epi8(_mm_cmpeq_epi8(bad, zero)) == 0xFFFF;
      };
      __m128i bad = zero;
      const char16_t* q = p;
      for (; end - q >= 64 && clear(bad); q += 64) {
        bad = check(q + 48, check(q + 32, check(q + 16, check(q, bad))));
      }
      for (; end - q >= 16; q += 16) bad = check(q, bad);
      if (q != end) bad = check(end - 16, bad);  // the rest, overlapping checked units
      if (clear(bad)) return true;
    }
  }
#endif
#ifdef PIVARO_JSON_SSE2
  const __m128i quote = _mm_set1_epi16(u'"');
  const __m128i backslash = _mm_set1_epi16(u'\\');
  const __m128i hash = _mm_set1_epi16(u'#');
  const __m128i slash = _mm_set1_epi16(u'/');
  // Unsigned order through the signed comparisons SSE2 has.
  const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
  const __m128i below = _mm_set1_epi16(static_cast<short>(0x21 ^ 0x8000));
  const __m128i above = _mm_set1_epi16(static_cast<short>(0x7E ^ 0x8000));
  auto special = [&](__m128i v) {
    const __m128i s = _mm_xor_si128(v, flip);
    const __m128i out = _mm_or_si128(_mm_cmplt_epi16(s, below), _mm_cmpgt_epi16(s, above));
    return _mm_or_si128(out, _mm_or_si128(_mm_cmpeq_epi16(v, hash), _mm_cmpeq_epi16(v, slash)));
  };
  const __m128i controlA = _mm_set1_epi16(0x01);
  unsigned carry = 0;         // all ones while a string is open at the block start
  unsigned pendingSlash = 0;  // 1 when the previous block ended in a backslash
  for (; end - p >= 16; p += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    const __m128i slashA = _mm_cmpeq_epi16(a, backslash);
    const __m128i slashB = _mm_cmpeq_epi16(b, backslash);
    const __m128i quoteA = _mm_cmpeq_epi16(a, quote);
    const __m128i quoteB = _mm_cmpeq_epi16(b, quote);
    const unsigned slashes =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(slashA, slashB)));
    unsigned quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(quoteA, quoteB)));
    if (slashes | pendingSlash) {
      // What may not follow a backslash: a quote, which the minifier
      // rewrites (and which would not end a string), or U+0001, which the
      // writer would turn into one. Every other quote then delimits a
      // string, even after an escaped backslash.
      const unsigned barred = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_packs_epi16(_mm_or_si128(quoteA, _mm_cmpeq_epi16(a, controlA)),
                                            _mm_or_si128(quoteB, _mm_cmpeq_epi16(b, controlA)))));
      if (((slashes << 1) | pendingSlash) & barred) return false;
    }
    pendingSlash = slashes >> 15;
    const unsigned specials =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(special(a), special(b))));
    // Bit i of the prefix XOR is the parity of the quotes up to i: set
    // inside a string (for a character that is not itself a quote).
    quotes ^= quotes << 1;
    quotes ^= quotes << 2;
    quotes ^= quotes << 4;
    quotes ^= quotes << 8;
    const unsigned insideMask = (quotes ^ carry) & 0xFFFF;
    if (specials & ~insideMask) return false;
    carry = (insideMask & 0x8000) ? 0xFFFF : 0;
  }
  inside = carry != 0;
  bool afterSlash = pendingSlash != 0;
#else
  bool afterSlash = false;
#endif
  for (; p < end; ++p) {
    const char16_t c = *p;
    if (afterSlash && (c == u'"' || c == 0x01)) return false;
    afterSlash = c == u'\\';
    if (c == u'"') {
      inside = !inside;
    } else if (!inside && IsSpecialOutside(c)) {
      return false;
    }
  }
  return true;
}

}  // namespace json_detail
