#include "app/pairing_address.h"

std::string BuildPairingAddress(const std::string& base, const std::vector<PairingParam>& primary,
                                const std::vector<PairingParam>& secondary) {
  std::string address = base + "?os=1";
  for (const auto* params : {&primary, &secondary}) {
    for (const PairingParam& p : *params) {
      address += '&';
      address += p.first;
      address += '=';
      address += p.second;
    }
  }
  return address;
}
