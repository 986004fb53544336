// The pairing parameter `sv` of the direct session: every local IPv4 address
// with the port, 12 lower-case hex digits each, so that a phone on the same
// network can try them in turn.
#pragma once

#include <cstdint>
#include <string>

// One address, its 4 bytes in network order: "%08x%04x" of those bytes read
// as a little-endian integer and the port (192.168.1.5 -> "0501a8c0" + port).
std::string DirectPairingPiece(const unsigned char address[4], std::uint16_t port);

// The pieces of every IPv4 address of this host's name, in resolver order;
// empty when none is found.
std::string LocalDirectPairingValue(std::uint16_t port);
