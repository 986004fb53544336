// The browser remote's routing rules (declared in net/browser_routes.h):
// plain string work on a request target, a token and the Origin and Host
// headers, with no sockets, so that every rule can be checked alone.
#include "net/browser_routes.h"

#include <algorithm>

#include <boost/asio/ip/address_v4.hpp>

namespace {

constexpr std::size_t kMaxClientId = 64;

bool IsIdCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// The value of "c" in a query, if it is a plain id; anything else is no id.
std::string ClientIdFrom(std::string_view query) {
  while (!query.empty()) {
    std::size_t end = query.find('&');
    std::string_view pair = query.substr(0, end);
    if (pair.substr(0, 2) == "c=") {
      std::string_view id = pair.substr(2);
      if (id.size() > kMaxClientId) return std::string();
      for (char c : id) {
        if (!IsIdCharacter(c)) return std::string();
      }
      return std::string(id);
    }
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  return std::string();
}

}  // namespace

bool TokensEqual(std::string_view given, std::string_view expected) {
  if (expected.empty()) return false;
  unsigned difference = given.size() != expected.size() ? 1u : 0u;
  const std::size_t n = given.size();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    // Always as many steps as the token has characters, whatever was given.
    unsigned char g = n ? static_cast<unsigned char>(given[i % n]) : 0;
    difference |= g ^ static_cast<unsigned char>(expected[i]);
  }
  return difference == 0;
}

std::int32_t SlidePictureWidth(std::string_view digits) {
  if (digits.empty()) return -1;
  std::int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    // Saturates: any longer number is as far over the range as this one.
    value = std::min<std::int64_t>(value * 10 + (c - '0'), kSlidePictureMaxWidth + 1);
  }
  std::int64_t clamped =
      std::clamp<std::int64_t>(value, kSlidePictureMinWidth, kSlidePictureMaxWidth);
  std::int64_t step = kSlidePictureWidthStep;
  return static_cast<std::int32_t>((clamped + step - 1) / step * step);
}

namespace {

bool IsRevision(std::string_view text) {
  if (text.size() != kSlideRevisionLength) return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); });
}

// A 1-based slide number of plain digits; 0 for anything else.
std::int32_t SlideIndex(std::string_view text) {
  if (text.empty() || text.size() > 9) return 0;
  std::int32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "slide/<revision>/<index>" below the page, with its query.
BrowserRoute RoutePicture(std::string_view rest, std::string_view query,
                          SlidePictureRequest* picture) {
  constexpr std::string_view kSlide = "slide/";
  if (rest.substr(0, kSlide.size()) != kSlide) return BrowserRoute::NotFound;
  rest.remove_prefix(kSlide.size());
  std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return BrowserRoute::NotFound;
  std::string_view revision = rest.substr(0, slash);
  std::int32_t index = SlideIndex(rest.substr(slash + 1));
  if (!IsRevision(revision) || index < 1) return BrowserRoute::NotFound;
  // Exactly one "w", whatever else the query holds.
  std::int32_t width = -1;
  int widths = 0;
  while (!query.empty()) {
    std::size_t end = query.find('&');
    std::string_view pair = query.substr(0, end);
    if (pair.substr(0, 2) == "w=") {
      ++widths;
      width = SlidePictureWidth(pair.substr(2));
    } else if (pair == "w") {
      ++widths;
    }
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  if (widths != 1 || width < 0) return BrowserRoute::BadRequest;
  if (picture) {
    picture->revision = std::string(revision);
    picture->index = index;
    picture->width = width;
  }
  return BrowserRoute::Picture;
}

}  // namespace

BrowserRoute RouteBrowserTarget(std::string_view target, std::string_view token,
                                std::string* clientId, SlidePictureRequest* picture) {
  std::string_view path = target;
  std::string_view query;
  std::size_t mark = target.find('?');
  if (mark != std::string_view::npos) {
    path = target.substr(0, mark);
    query = target.substr(mark + 1);
  }
  if (path.substr(0, 3) == "/r/") {
    std::string_view rest = path.substr(3);
    std::size_t slash = rest.find('/');
    if (!TokensEqual(rest.substr(0, slash), token)) return BrowserRoute::Forbidden;
    if (slash == std::string_view::npos) return BrowserRoute::Page;
    return RoutePicture(rest.substr(slash + 1), query, picture);
  }
  if (path.substr(0, 4) == "/ws/") {
    if (!TokensEqual(path.substr(4), token)) return BrowserRoute::Forbidden;
    if (clientId) *clientId = ClientIdFrom(query);
    return BrowserRoute::Socket;
  }
  return BrowserRoute::NotFound;
}

bool BrowserOriginAllowed(std::string_view origin, std::string_view host, std::uint16_t port) {
  constexpr std::string_view kScheme = "http://";
  if (origin.substr(0, kScheme.size()) != kScheme || origin.substr(kScheme.size()) != host) {
    return false;
  }
  std::size_t colon = host.rfind(':');
  if (colon == std::string_view::npos || host.substr(colon + 1) != std::to_string(port)) {
    return false;
  }
  boost::system::error_code ec;
  boost::asio::ip::make_address_v4(std::string(host.substr(0, colon)), ec);
  return !ec;
}
