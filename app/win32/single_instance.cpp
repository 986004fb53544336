#include "app/single_instance.h"

#include <windows.h>

namespace {
constexpr wchar_t kMutexName[] = L"{420AC27E-85B8-405b-9455-8E615EC9DA36}";
}

std::string CSingleInstance::LockPath() { return std::string(); }

bool CSingleInstance::Acquire() {
  if (handle_) return true;
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kMutexName);
  if (!mutex) return true;  // cannot tell: carry on as the only instance
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return false;
  }
  handle_ = mutex;
  return true;
}

void CSingleInstance::Release() {
  if (handle_) {
    CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
  }
}

void CSingleInstance::BringOtherToFront() {
  HWND other = FindWindowW(L"#32770", L"Pivaro");
  if (!other) return;
  ShowWindow(other, SW_SHOW);
  if (IsIconic(other)) ShowWindow(other, SW_RESTORE);
  SetForegroundWindow(other);
  BringWindowToTop(other);
}
