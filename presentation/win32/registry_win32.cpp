// The registry port over advapi32.
#include <windows.h>

#include <vector>

#include "presentation/registry.h"
#include "presentation/win32/system_ports.h"

namespace {

class Win32Registry : public IRegistry {
 public:
  bool ReadUserString(const std::u16string& key, const std::u16string& name,
                      std::size_t bufferBytes, std::u16string* value) override {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t*>(key.c_str()), 0,
                      KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
      return false;
    std::vector<wchar_t> buffer(bufferBytes / sizeof(wchar_t) + 1, L'\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(bufferBytes);
    LONG result = RegQueryValueExW(handle, reinterpret_cast<const wchar_t*>(name.c_str()), nullptr,
                                   &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    RegCloseKey(handle);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    // The stored text need not end with a terminator: cut at the first one
    // or at the bytes read.
    std::size_t chars = size / sizeof(wchar_t);
    std::size_t length = 0;
    while (length < chars && buffer[length] != L'\0') ++length;
    value->assign(reinterpret_cast<const char16_t*>(buffer.data()), length);
    return true;
  }
};

}  // namespace

std::shared_ptr<IRegistry> CreateSystemRegistry() { return std::make_shared<Win32Registry>(); }
