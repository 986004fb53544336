// Pieces shared by the files of the JSON library; not for its users.
#pragma once

#include <cstdint>
#include <string>

#include "json/json.h"

namespace json_detail {

// Containers deeper than this below the parsed root decode to a failed Null.
constexpr std::uint16_t kMaxDepth = 512;

// Splits a container or decodes a scalar the first time it is read.
void Decode(JsonValue* value);

// Turns the value into the Null left behind by anything that cannot be
// classified or decoded.
void MakeFailedNull(JsonValue* value);

// Adds a slot holding `child` (8 slots first, doubling when full).
void AddChild(JsonChildren& children, JsonPtr child);

// Drops the children array and every handle in it without recursion, so
// that arbitrarily deep trees can be released.
void FreeChildren(JsonChildren* children);

JsonValue* DeepCopy(const JsonValue* source);

// The longest decimal floating-point prefix of the text (after leading
// white space); 0 when there is none. Independent of the process locale.
double ParseNumberPrefix(const std::u16string& text);

// Decimal digits for SetDouble: whole numbers without a fraction, others in
// fixed notation with six fraction digits and trailing zeros cut.
std::u16string FormatDouble(double value);

std::u16string Unescape(const char16_t* begin, const char16_t* end, bool& sawBackslash);

}  // namespace json_detail
