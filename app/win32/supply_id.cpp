#include "app/win32/supply_id.h"

#include <windows.h>

std::u16string LoadSupplyId() {
  HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(117), L"Custom");
  if (!info) return std::u16string();
  DWORD size = SizeofResource(nullptr, info);
  if (size == 0) return std::u16string();
  HGLOBAL data = LoadResource(nullptr, info);
  if (!data) return std::u16string();
  const auto* text = static_cast<const char16_t*>(LockResource(data));
  if (!text) return std::u16string();
  // Bounded by the resource's size, so a resource without a terminating
  // zero cannot make the read run past it.
  std::size_t limit = size / sizeof(char16_t);
  std::size_t length = 0;
  while (length < limit && text[length] != 0) ++length;
  return std::u16string(text, length);
}
