// Narrow <-> wide conversion through the Windows code-page functions, for
// what the portable fast paths leave over.
#include <windows.h>

#include <climits>
#include <string>

#include "json/json.h"
#include "json/json_internal.h"

namespace json_detail {

// Both functions measure first and convert second; a conversion that does
// not produce exactly the measured length counts as a failure. Malformed
// input fails instead of turning into replacement characters.
bool SystemToWide(const std::string& narrow, unsigned codePage, std::u16string& wide) {
  if (narrow.empty()) {
    wide.clear();
    return true;
  }
  if (narrow.size() > INT_MAX) return false;
  const int inLength = static_cast<int>(narrow.size());
  const int length =
      MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, narrow.data(), inLength, nullptr, 0);
  if (length <= 0) return false;
  std::u16string converted(static_cast<std::size_t>(length), u'\0');
  const int written = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, narrow.data(), inLength,
                                          reinterpret_cast<wchar_t*>(&converted[0]), length);
  if (written != length) return false;
  wide.swap(converted);
  return true;
}

bool SystemToUtf8(const std::u16string& wide, std::string& utf8) {
  if (wide.empty()) {
    utf8.clear();
    return true;
  }
  if (wide.size() > INT_MAX) return false;
  const int inLength = static_cast<int>(wide.size());
  const wchar_t* in = reinterpret_cast<const wchar_t*>(wide.data());
  const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, in, inLength, nullptr, 0,
                                         nullptr, nullptr);
  if (length <= 0) return false;
  std::string converted(static_cast<std::size_t>(length), '\0');
  const int written = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, in, inLength,
                                          &converted[0], length, nullptr, nullptr);
  if (written != length) return false;
  utf8.swap(converted);
  return true;
}

}  // namespace json_detail
