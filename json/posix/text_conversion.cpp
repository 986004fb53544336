// Narrow <-> wide conversion without Windows, for what the portable fast
// paths leave over: UTF-8 through Boost.Locale's header-only UTF
// conversion, the system code page (0) through the locale's charset.
#include <iconv.h>
#include <langinfo.h>

#include <boost/locale/encoding_utf.hpp>
#include <cerrno>
#include <cstring>
#include <string>
#include <type_traits>

#include "json/json.h"
#include "json/json_internal.h"

namespace {

constexpr unsigned kUtf8CodePage = 65001;

// Pure ASCII, the usual case on the wire, is the same in UTF-8 and UTF-16.
template <typename Out, typename In>
bool CopyAscii(const std::basic_string<In>& in, std::basic_string<Out>& out) {
  for (In c : in) {
    if (static_cast<std::make_unsigned_t<In>>(c) >= 0x80) return false;
  }
  out.assign(in.begin(), in.end());
  return true;
}

template <typename Out, typename In>
bool ConvertUtf(const std::basic_string<In>& in, std::basic_string<Out>& out) {
  if (CopyAscii(in, out)) return true;
  try {
    // `stop` throws on any malformed sequence instead of dropping it.
    std::basic_string<Out> converted =
        boost::locale::conv::utf_to_utf<Out>(in, boost::locale::conv::stop);
    out.swap(converted);
    return true;
  } catch (const boost::locale::conv::conversion_error&) {
    return false;
  }
}

bool IsUtf8Charset(const char* charset) {
  return strcasecmp(charset, "UTF-8") == 0 || strcasecmp(charset, "utf8") == 0;
}

// Converts text in the locale's charset to UTF-8 with iconv.
bool LocaleToUtf8(const std::string& in, const char* charset, std::string& out) {
  iconv_t cd = iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string converted;
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  char buffer[1024];
  bool ok = true;
  while (srcLeft > 0) {
    char* dst = buffer;
    std::size_t dstLeft = sizeof buffer;
    std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    converted.append(buffer, dst);
    if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
      ok = false;  // invalid or truncated sequence
      break;
    }
  }
  iconv_close(cd);
  if (ok) out.swap(converted);
  return ok;
}

}  // namespace

namespace json_detail {

bool SystemToWide(const std::string& narrow, unsigned codePage, std::u16string& wide) {
  if (codePage == kUtf8CodePage) return ConvertUtf(narrow, wide);
  if (codePage != 0) return false;
  const char* charset = nl_langinfo(CODESET);
  if (IsUtf8Charset(charset)) return ConvertUtf(narrow, wide);
  std::string utf8;
  return LocaleToUtf8(narrow, charset, utf8) && ConvertUtf(utf8, wide);
}

bool SystemToUtf8(const std::u16string& wide, std::string& utf8) { return ConvertUtf(wide, utf8); }

}  // namespace json_detail
