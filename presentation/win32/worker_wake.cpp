#include <windows.h>

#include "presentation/worker_wake.h"

struct WorkerWake::Impl {
  HANDLE event = nullptr;  // auto-reset
};

WorkerWake::WorkerWake() : impl_(std::make_unique<Impl>()) {
  impl_->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

WorkerWake::~WorkerWake() {
  if (impl_->event) CloseHandle(impl_->event);
}

void WorkerWake::Signal() {
  if (impl_->event) SetEvent(impl_->event);
}

bool WorkerWake::Wait() {
  if (!impl_->event) return false;
  DWORD result = MsgWaitForMultipleObjects(1, &impl_->event, FALSE, INFINITE, QS_ALLINPUT);
  if (result == WAIT_OBJECT_0) return true;
  if (result == WAIT_OBJECT_0 + 1) {
    // Incoming COM calls (the application's events) arrive as messages.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    return true;
  }
  return false;
}
