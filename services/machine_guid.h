// The machine GUID: 16 bytes derived from disk and network adapter data,
// shared with other programs through Global.db and cached for the process.
#pragma once

#include <cstdint>

namespace Base {
namespace GUID {

// Writes the 16-byte GUID; false only when out is null.
bool GetMachineGuid(std::uint8_t* out);
// Zero-fills the 260-character buffer, then writes the 32 lower-case
// hexadecimal digits; false when the buffer is null.
bool GetMachineGuidString(char* out260);
bool GetMachineGuidStringW(char16_t* out260);

}  // namespace GUID
}  // namespace Base
