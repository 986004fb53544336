// The phone's reading of the pairing address that the PC shows as a QR code:
// base, "?os=1", then "&key=value" pieces from both sessions.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace phone {

// One PC endpoint of the direct session, decoded from a 12-digit piece of
// `sv`. The address is kept as its four bytes in network order.
struct DirectEndpoint {
  std::uint8_t address[4] = {0, 0, 0, 0};
  std::uint16_t port = 0;

  std::string AddressText() const;  // dotted quad
};

struct PairingAddress {
  std::string base;  // everything before "?os=1", exactly as shown
  std::vector<std::pair<std::string, std::string>> params;  // in address order

  // First value of the key, or empty text.
  std::string Value(const std::string& key) const;

  bool HasRelay() const { return !Value("id").empty() && !Value("st").empty(); }
  bool HasDirect() const { return !Value("sv").empty(); }

  // Relay: the shared topic and the PC's client id (its address in src/dst).
  std::string Topic() const { return "kestil/" + Value("id") + "/" + Value("st"); }
  std::string PcClientId() const { return Value("id") + "_" + Value("st"); }
};

// False (with a reason) when the text holds no "?os=1" marker or a piece
// without "=". Keys are not required here; the transports check theirs.
bool ParsePairingAddress(const std::string& text, PairingAddress& out, std::string* error);

// Decodes `sv`: 12 lower- or upper-case hex digits per endpoint, the first 8
// the address bytes read as a little-endian integer, the last 4 the port.
// False for a length that is not a multiple of 12 or a non-hex digit.
bool DecodeDirectEndpoints(const std::string& sv, std::vector<DirectEndpoint>& out);

}  // namespace phone
