// One running client per user. Windows: the named mutex
// "{420AC27E-85B8-405b-9455-8E615EC9DA36}", and a second copy brings the
// first one's window forward. Linux: an exclusive flock on
// $XDG_RUNTIME_DIR/pivaro.lock (or /tmp/pivaro-<uid>.lock without it),
// removed again by Release. Held until Release or destruction; the lock dies
// with the process, so a file left by a crash never blocks a start.
#pragma once

#include <string>

class CSingleInstance {
 public:
  CSingleInstance() = default;
  ~CSingleInstance() { Release(); }
  CSingleInstance(const CSingleInstance&) = delete;
  CSingleInstance& operator=(const CSingleInstance&) = delete;

  // False when another copy holds the lock. When the lock cannot be made at
  // all this copy runs as the only one (true).
  bool Acquire();
  void Release();
  // Windows: show, restore and activate the first copy's window, if any.
  static void BringOtherToFront();

  // Where the lock lives on Linux (empty on Windows).
  static std::string LockPath();

 private:
  void* handle_ = nullptr;  // Windows mutex handle
  int fd_ = -1;             // Linux lock file
  std::string path_;        // where fd_ was opened
};
