#include "tests/support/win32/com_registration.h"

#include <windows.h>

#include <objbase.h>

namespace {

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

bool SetDefault(HKEY root, const std::wstring& key, const std::wstring& value) {
  HKEY handle;
  if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS)
    return false;
  LONG rc = RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return rc == ERROR_SUCCESS;
}

std::wstring Base(bool perUser) { return perUser ? L"Software\\Classes\\" : L""; }
HKEY Root(bool perUser) { return perUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT; }

}  // namespace

bool RegisterLocalServer(const std::wstring& progId, const std::wstring& commandLine,
                         ComRegistration* out) {
  GUID guid;
  if (FAILED(CoCreateGuid(&guid))) return false;
  ComRegistration r;
  r.progId = progId;
  r.clsid = GuidText(guid);
  const std::wstring command = commandLine + L" --clsid=" + r.clsid;
  for (bool perUser : {true, false}) {
    r.perUser = perUser;
    HKEY root = Root(perUser);
    const std::wstring base = Base(perUser);
    const std::wstring classKey = base + L"CLSID\\" + r.clsid;
    bool written = SetDefault(root, base + progId + L"\\CLSID", r.clsid) &&
                   SetDefault(root, classKey, progId) &&
                   SetDefault(root, classKey + L"\\ProgID", progId) &&
                   SetDefault(root, classKey + L"\\LocalServer32", command);
    CLSID found;
    if (written && SUCCEEDED(CLSIDFromProgID(progId.c_str(), &found)) &&
        GuidText(found) == r.clsid) {
      *out = r;
      return true;
    }
    UnregisterLocalServer(r);
  }
  return false;
}

void UnregisterLocalServer(const ComRegistration& r) {
  HKEY root = Root(r.perUser);
  const std::wstring base = Base(r.perUser);
  RegDeleteTreeW(root, (base + r.progId).c_str());
  RegDeleteKeyW(root, (base + r.progId).c_str());
  // Only a well-formed class id: an empty one would name all of CLSID.
  if (r.clsid.size() != 38 || r.clsid.front() != L'{' || r.clsid.back() != L'}') return;
  RegDeleteTreeW(root, (base + L"CLSID\\" + r.clsid).c_str());
  RegDeleteKeyW(root, (base + L"CLSID\\" + r.clsid).c_str());
}

void UnregisterProgId(const std::wstring& progId) {
  for (bool perUser : {true, false}) {
    ComRegistration r;
    r.progId = progId;
    r.perUser = perUser;
    HKEY key;
    const std::wstring clsidKey = Base(perUser) + progId + L"\\CLSID";
    if (RegOpenKeyExW(Root(perUser), clsidKey.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
      wchar_t text[64] = {};
      DWORD size = sizeof text - sizeof(wchar_t);
      if (RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) ==
          ERROR_SUCCESS)
        r.clsid = text;
      RegCloseKey(key);
    }
    UnregisterLocalServer(r);
  }
}
