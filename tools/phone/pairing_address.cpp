#include "tools/phone/pairing_address.h"

#include <cstdio>

namespace phone {

std::string DirectEndpoint::AddressText() const {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
  return text;
}

std::string PairingAddress::Value(const std::string& key) const {
  for (const auto& p : params) {
    if (p.first == key) return p.second;
  }
  return {};
}

bool ParsePairingAddress(const std::string& text, PairingAddress& out, std::string* error) {
  static const std::string kMarker = "?os=1";
  // The marker is appended even to a base that already holds a "?", so the
  // last marker is the one that starts the parameters.
  std::size_t marker = text.rfind(kMarker);
  while (marker != std::string::npos) {
    std::size_t after = marker + kMarker.size();
    if (after == text.size() || text[after] == '&') break;
    marker = marker == 0 ? std::string::npos : text.rfind(kMarker, marker - 1);
  }
  if (marker == std::string::npos) {
    if (error) *error = "no \"?os=1\" in the pairing address";
    return false;
  }
  PairingAddress parsed;
  parsed.base = text.substr(0, marker);
  std::size_t pos = marker + kMarker.size();
  while (pos < text.size()) {
    // Every piece starts with "&".
    std::size_t start = pos + 1;
    std::size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    std::string piece = text.substr(start, end - start);
    // Scanners hand over the text with a trailing line end at times.
    while (!piece.empty() && (piece.back() == '\n' || piece.back() == '\r')) piece.pop_back();
    std::size_t eq = piece.find('=');
    if (eq == std::string::npos || eq == 0) {
      if (error) *error = "pairing parameter without key=value: \"" + piece + "\"";
      return false;
    }
    parsed.params.emplace_back(piece.substr(0, eq), piece.substr(eq + 1));
    pos = end;
  }
  out = std::move(parsed);
  return true;
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ReadHex(const std::string& text, std::size_t pos, std::size_t digits, std::uint32_t& value) {
  value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    int d = HexDigit(text[pos + i]);
    if (d < 0) return false;
    value = (value << 4) | static_cast<std::uint32_t>(d);
  }
  return true;
}
}  // namespace

bool DecodeDirectEndpoints(const std::string& sv, std::vector<DirectEndpoint>& out) {
  if (sv.size() % 12 != 0) return false;
  std::vector<DirectEndpoint> endpoints;
  for (std::size_t pos = 0; pos < sv.size(); pos += 12) {
    std::uint32_t address = 0;
    std::uint32_t port = 0;
    if (!ReadHex(sv, pos, 8, address) || !ReadHex(sv, pos + 8, 4, port)) return false;
    DirectEndpoint e;
    // The PC printed the network-order bytes as a little-endian integer, so
    // the lowest byte of the value is the first byte of the address.
    for (int i = 0; i < 4; ++i) e.address[i] = static_cast<std::uint8_t>(address >> (8 * i));
    e.port = static_cast<std::uint16_t>(port);
    endpoints.push_back(e);
  }
  out = std::move(endpoints);
  return true;
}

}  // namespace phone
