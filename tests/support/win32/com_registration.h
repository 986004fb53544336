// Registers a COM local server class for the tests: ProgID -> CLSID ->
// LocalServer32 command line. Per-user classes (HKCU\Software\Classes) come
// first, as an installer without elevation would write them; where the class
// lookup does not read them (Wine 8 does not), the machine-wide classes root
// is used instead.
#pragma once

#include <string>

struct ComRegistration {
  std::wstring progId;
  std::wstring clsid;  // "{...}"
  bool perUser = false;
};

// Writes the class under a fresh CLSID; the command line gets
// "--clsid={...}" appended. False when neither root takes it or the lookup
// does not find it afterwards.
bool RegisterLocalServer(const std::wstring& progId, const std::wstring& commandLine,
                         ComRegistration* out);
// Removes what RegisterLocalServer wrote.
void UnregisterLocalServer(const ComRegistration& registration);
// Removes the class that `progId` names now, wherever it was written.
void UnregisterProgId(const std::wstring& progId);
