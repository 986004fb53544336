// The presentation server's slide show as a real window on the desktop, so
// that a client finds it where it finds PowerPoint's or WPS's show window
// (by class and title) and its pointer input lands on it. What the window
// receives, and the pointer the show is switched to, go to a log file one
// line each:
//   window <left> <top> <right> <bottom>
//   press <x> <y> ctrl=<0|1>   drag <x> <y>   release <x> <y>
//   key <virtual key>          pointer <View.PointerType>   closed
#pragma once

#include <cstdio>
#include <memory>

#include "presentation/automation.h"

class CSimulatedPresentationApp;

class ShowWindowMirror : public IAutomationEventSink {
 public:
  // `log` may be null (nothing is written); it stays open for the
  // process's life.
  ShowWindowMirror(std::weak_ptr<CSimulatedPresentationApp> app, bool wps, std::FILE* log);
  ~ShowWindowMirror() override;

  // Advised on the application with no apartment, so the events arrive on
  // the thread that changed the state: the window exists before the event
  // reaches the clients.
  HResult Invoke(std::int32_t dispatchId, const std::vector<AutoValue>& reversedArgs) override;

 private:
  void Open();
  void Close();

  std::weak_ptr<CSimulatedPresentationApp> app_;
  bool wps_;
  void* window_ = nullptr;  // HWND
};

// The whole primary screen, in pixels.
void PrimaryScreenSize(std::int32_t* width, std::int32_t* height);
