#include "presentation/simulated_desktop.h"

#include <algorithm>

CSimulatedDesktop::CSimulatedDesktop(std::int32_t screenWidth, std::int32_t screenHeight)
    : screenWidth_(screenWidth), screenHeight_(screenHeight) {}

WindowHandle CSimulatedDesktop::AddWindow(const std::u16string& className,
                                          const std::u16string& title, std::uint32_t style,
                                          const ScreenRect& rect) {
  std::lock_guard<std::mutex> guard(lock_);
  Window window;
  window.handle = nextHandle_;
  nextHandle_ += 4;
  window.className = className;
  window.title = title;
  window.style = style;
  window.rect = rect;
  windows_.insert(windows_.begin(), window);
  return window.handle;
}

void CSimulatedDesktop::RemoveWindow(WindowHandle window) {
  std::lock_guard<std::mutex> guard(lock_);
  windows_.erase(std::remove_if(windows_.begin(), windows_.end(),
                                [&](const Window& w) { return w.handle == window; }),
                 windows_.end());
  if (foreground_ == window) foreground_ = 0;
}

void CSimulatedDesktop::SetMinimized(WindowHandle window, bool minimized) {
  std::lock_guard<std::mutex> guard(lock_);
  if (Window* w = FindLocked(window)) w->minimized = minimized;
}

void CSimulatedDesktop::SetVirtualScreenSize(std::int32_t width, std::int32_t height) {
  std::lock_guard<std::mutex> guard(lock_);
  screenWidth_ = width;
  screenHeight_ = height;
}

std::vector<CSimulatedDesktop::Window> CSimulatedDesktop::Windows() const {
  std::lock_guard<std::mutex> guard(lock_);
  return windows_;
}

WindowHandle CSimulatedDesktop::Foreground() const {
  std::lock_guard<std::mutex> guard(lock_);
  return foreground_;
}

std::vector<InputRecord> CSimulatedDesktop::SentInput() const {
  std::lock_guard<std::mutex> guard(lock_);
  return input_;
}

void CSimulatedDesktop::ClearSentInput() {
  std::lock_guard<std::mutex> guard(lock_);
  input_.clear();
}

void CSimulatedDesktop::CursorPosition(std::int32_t* x, std::int32_t* y) const {
  std::lock_guard<std::mutex> guard(lock_);
  *x = cursorX_;
  *y = cursorY_;
}

bool CSimulatedDesktop::IsKeyHeld(std::uint16_t virtualKey) const {
  std::lock_guard<std::mutex> guard(lock_);
  bool held = false;
  for (const InputRecord& r : input_) {
    if (r.kind == InputRecord::Kind::Key && r.virtualKey == virtualKey)
      held = (r.flags & kKeyUp) == 0;
  }
  return held;
}

CSimulatedDesktop::Window* CSimulatedDesktop::FindLocked(WindowHandle window) {
  for (Window& w : windows_)
    if (w.handle == window) return &w;
  return nullptr;
}

void CSimulatedDesktop::RaiseLocked(WindowHandle window) {
  auto it = std::find_if(windows_.begin(), windows_.end(),
                         [&](const Window& w) { return w.handle == window; });
  if (it != windows_.end()) std::rotate(windows_.begin(), it, it + 1);
}

WindowHandle CSimulatedDesktop::FindTopWindow(WindowHandle after, const std::u16string& className) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = windows_.begin();
  if (after) {
    it = std::find_if(windows_.begin(), windows_.end(),
                      [&](const Window& w) { return w.handle == after; });
    if (it == windows_.end()) return 0;
    ++it;
  }
  for (; it != windows_.end(); ++it)
    if (it->className == className) return it->handle;
  return 0;
}

std::u16string CSimulatedDesktop::WindowTitle(WindowHandle window, std::size_t maxChars) {
  std::lock_guard<std::mutex> guard(lock_);
  Window* w = FindLocked(window);
  if (!w || maxChars == 0) return {};
  return w->title.substr(0, maxChars - 1);
}

std::uint32_t CSimulatedDesktop::WindowStyle(WindowHandle window) {
  std::lock_guard<std::mutex> guard(lock_);
  Window* w = FindLocked(window);
  return w ? w->style : 0;
}

bool CSimulatedDesktop::WindowRect(WindowHandle window, ScreenRect* rect) {
  std::lock_guard<std::mutex> guard(lock_);
  Window* w = FindLocked(window);
  if (!w) return false;
  *rect = w->rect;
  return true;
}

bool CSimulatedDesktop::IsMinimized(WindowHandle window) {
  std::lock_guard<std::mutex> guard(lock_);
  Window* w = FindLocked(window);
  return w && w->minimized;
}

void CSimulatedDesktop::ShowWindowCommand(WindowHandle window, int command) {
  std::lock_guard<std::mutex> guard(lock_);
  Window* w = FindLocked(window);
  if (!w) return;
  if (command == kShowCommandShow) w->visible = true;
  if (command == kShowCommandRestore) w->minimized = false;
}

void CSimulatedDesktop::SetForeground(WindowHandle window) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!FindLocked(window)) return;
  foreground_ = window;
  RaiseLocked(window);
}

void CSimulatedDesktop::BringToTop(WindowHandle window) {
  std::lock_guard<std::mutex> guard(lock_);
  RaiseLocked(window);
}

void CSimulatedDesktop::VirtualScreenSize(std::int32_t* width, std::int32_t* height) {
  std::lock_guard<std::mutex> guard(lock_);
  *width = screenWidth_;
  *height = screenHeight_;
}

std::uint32_t CSimulatedDesktop::SendInputRecord(const InputRecord& record) {
  std::lock_guard<std::mutex> guard(lock_);
  input_.push_back(record);
  if (record.kind == InputRecord::Kind::Mouse && (record.flags & kMouseAbsolute)) {
    cursorX_ = static_cast<std::int32_t>(std::int64_t{record.dx} * screenWidth_ / 65535);
    cursorY_ = static_cast<std::int32_t>(std::int64_t{record.dy} * screenHeight_ / 65535);
  }
  return 1;
}

void CSimulatedDesktop::SetCursorPosition(std::int32_t x, std::int32_t y) {
  std::lock_guard<std::mutex> guard(lock_);
  cursorX_ = x;
  cursorY_ = y;
}
