// The browser remote's routing rules, free of I/O: what a request target asks
// for (the page, the WebSocket, a slide picture, or a refusal), whether a
// token matches, the width a picture is served at, and which Origin may open
// the socket. The server in net/browser_remote.cpp acts on these answers;
// they are kept apart so that they can be tested without sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The widths a picture is served at: clamped to this range, then rounded up
// to a multiple of the step, so that phones of nearby sizes share pictures.
constexpr std::int32_t kSlidePictureMinWidth = 16;
constexpr std::int32_t kSlidePictureMaxWidth = 2048;
constexpr std::int32_t kSlidePictureWidthStep = 16;
// A deck revision in a picture's address: this many of [0-9a-z].
constexpr std::size_t kSlideRevisionLength = 10;

// Equality whose time depends only on the expected token's length.
bool TokensEqual(std::string_view given, std::string_view expected);

enum class BrowserRoute { Page, Socket, Picture, BadRequest, Forbidden, NotFound };

// A slide picture's address, as the server will look it up.
struct SlidePictureRequest {
  std::string revision;
  std::int32_t index = 0;
  std::int32_t width = 0;  // clamped and rounded up to the step
};

// What a request target asks for. "/r/<token>" is the page,
// "/ws/<token>?c=<id>" the socket (clientId gets the id) and
// "/r/<token>/slide/<revision>/<index>?w=<px>" a slide picture (picture gets
// it). A right prefix with a wrong token is Forbidden; a picture address with
// no usable width is BadRequest; anything else NotFound.
BrowserRoute RouteBrowserTarget(std::string_view target, std::string_view token,
                                std::string* clientId, SlidePictureRequest* picture = nullptr);

// The served width for a "w" value of decimal digits: clamped and rounded up
// to the step; -1 for anything that is not plain digits.
std::int32_t SlidePictureWidth(std::string_view digits);

// The page's own origin: Origin is "http://" + Host, and Host is an IPv4
// literal with this port (so a page of another site, even one whose name
// resolves to this PC, cannot open the socket).
bool BrowserOriginAllowed(std::string_view origin, std::string_view host, std::uint16_t port);
