// The pairing address a phone scans: the service base, "?os=1", then
// "&key=value" for every parameter of the primary session and then of the
// secondary one. Nothing is escaped: the sessions give plain tokens, and the
// base is taken as it is (a line end in an override file included).
#pragma once

#include <string>
#include <vector>

#include "net/session.h"

std::string BuildPairingAddress(const std::string& base, const std::vector<PairingParam>& primary,
                                const std::vector<PairingParam>& secondary);
