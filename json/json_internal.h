// Pieces shared by the files of the JSON library; not for its users.
#pragma once

#include <cstdint>
#include <string>

#include "json/json.h"

namespace json_detail {

// Containers deeper than this below the parsed root decode to a failed Null.
constexpr std::uint16_t kMaxDepth = 512;

// A value in the state of `new JsonValue`, from the thread's pool of
// released ones when it has one.
JsonValue* NewValue();
// Called when the last handle to a value goes: pools the value or deletes
// it.
void ReleaseValue(JsonValue* value);

// Splits a container or decodes a scalar the first time it is read.
void Decode(JsonValue* value);

// Turns the value into the Null left behind by anything that cannot be
// classified or decoded.
void MakeFailedNull(JsonValue* value);

// Adds a slot holding `child` (8 slots first, doubling when full).
void AddChild(JsonChildren& children, JsonPtr&& child);

// Drops the children array and every handle in it without recursion, so
// that arbitrarily deep trees can be released.
void FreeChildren(JsonChildren* children);

JsonValue* DeepCopy(const JsonValue* source);

inline bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
inline bool IsOctal(char16_t c) { return c >= u'0' && c <= u'7'; }

// The value of a hexadecimal digit, or -1 for any other character.
inline int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Whether a member's text classifies as a number: the tolerant syntax, with
// octal (017), hexadecimal (0x1A) and the bare spellings "-", "+", "." and
// "1e+" too.
bool IsNumberSyntax(const std::u16string& text);

// The value of a plain decimal, -?digits(.digits)?, in one pass; false for
// any other text and for the rare plain decimal that needs the general path
// of ParseNumberPrefix, whose double it equals whenever it answers.
bool ReadPlainNumber(const std::u16string& text, double& result);

// The longest decimal floating-point prefix of the text (after leading
// white space); 0 when there is none. Independent of the process locale.
double ParseNumberPrefix(const std::u16string& text);

// Decimal digits for SetDouble: whole numbers without a fraction, others in
// fixed notation with six fraction digits and trailing zeros cut.
std::u16string FormatDouble(double value);

std::u16string Unescape(const char16_t* begin, const char16_t* end, bool& sawBackslash);

// Conversions of well-formed text without the system's converter: ASCII
// runs eight or sixteen units at a time, other characters one by one.
// They return false, leaving the output unchanged, on anything that is not
// well-formed (a malformed or truncated sequence, an overlong form, a
// surrogate coded in UTF-8, a lone surrogate), which the system conversion
// then judges.
bool FastUtf8ToUtf16(const std::string& utf8, std::u16string& wide);
bool FastUtf16ToUtf8(const std::u16string& wide, std::string& utf8);

// The platform's conversions (Windows code pages; Boost.Locale and iconv
// elsewhere), with their own rules for what fails.
bool SystemToWide(const std::string& narrow, unsigned codePage, std::u16string& wide);
bool SystemToUtf8(const std::u16string& wide, std::string& utf8);

}  // namespace json_detail
