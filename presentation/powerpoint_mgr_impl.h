// One automation back-end: drives PowerPoint or WPS Presentation through the
// automation port, filters the application's events and produces the
// simulated pointer input. Everything except the cross-thread reads marked
// below runs on the manager's worker thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "presentation/ports.h"
#include "presentation/presentation_types.h"

// Receives the application's events from the sink.
class BaseNotify {
 public:
  virtual void OnEvent(std::int32_t eventId, const std::vector<AutoValue>& reversedArgs) = 0;

 protected:
  ~BaseNotify() = default;
};

// The object advised on the application-events connection point.
class CPowerPointEventSink : public IAutomationEventSink {
 public:
  void SetReceiver(BaseNotify* receiver) { receiver_.store(receiver); }
  // Hands the event to the receiver when one is set; always succeeds.
  HResult Invoke(std::int32_t dispatchId, const std::vector<AutoValue>& reversedArgs) override;

 private:
  std::atomic<BaseNotify*> receiver_{nullptr};
};

// A rectangle written by one thread and read by others without tearing
// (sequence counter around four atomics).
class AtomicRect {
 public:
  void Store(const ScreenRect& rect);
  ScreenRect Load() const;

 private:
  std::atomic<std::uint32_t> sequence_{0};
  std::atomic<std::int32_t> left_{0}, top_{0}, right_{0}, bottom_{0};
};

class CPowerPointMgrImpl : public BaseNotify {
 public:
  // The manager's side of the filtered events.
  class CPowerPointEventNotify {
   public:
    virtual void OnPowerPointEvent(CPowerPointMgrImpl* backend, std::int32_t eventId) = 0;

   protected:
    ~CPowerPointEventNotify() = default;
  };

  static constexpr const char16_t* kWpsVersionKey = u"Software\\Kingsoft\\Office\\6.0\\common";
  static constexpr const char16_t* kWpsShowTitle = u"WPS演示 幻灯片放映";

  CPowerPointMgrImpl(PowerPointType type, const PresentationPorts& ports);
  ~CPowerPointMgrImpl();

  CPowerPointMgrImpl(const CPowerPointMgrImpl&) = delete;
  CPowerPointMgrImpl& operator=(const CPowerPointMgrImpl&) = delete;

  PowerPointType Type() const { return type_; }
  bool HasApplication() const { return application_ != nullptr; }
  // The class name the application was created by ("KWPP.Application"),
  // empty before. Worker thread.
  const std::u16string& ProgId() const { return progId_; }
  // The objects read last hold a presentation / a running show's view.
  bool HasPresentation() const { return activePresentation_ != nullptr; }
  bool HasView() const { return view_ != nullptr; }

  // Creates the application object, reads the object chain, hides the
  // application, advises the sink and reads the version. Answers the result
  // of the view read.
  HResult Attach();
  // After the application's process was found gone: creates the
  // application again as Attach does at start-up, at most once every
  // kReattachMs (a program that cannot start is not started over and over).
  static constexpr std::uint32_t kReattachMs = 2000;
  void ReattachIfDropped();
  void SetHandler(CPowerPointEventNotify* handler) { handler_ = handler; }
  // Disconnects the sink while the application object is still held.
  void UnadviseSink();
  void ReleaseObjects();

  // Releases and re-reads the active presentation; true when one is open.
  bool RefreshPresentation();
  bool IsShowActive();
  HResult RunShow();
  HResult ExitShow();
  HResult NextSlide();
  HResult PreviousSlide();
  HResult FirstSlide();
  HResult LastSlide();
  // View.GotoSlide(index), 1-based.
  HResult GotoSlide(std::int32_t index);
  // The show's place in the deck from the objects read last (no chain
  // re-read): index 0 without a view; everything 0 without a presentation.
  void ReadPosition(std::uint64_t slideChanges, SlidePosition* position);
  void ActivateShowWindow();
  HResult ReadNotes(std::u16string* text);
  std::u16string ReadVersion();
  void ReadSlideSize(std::int32_t* width, std::int32_t* height);
  ScreenRect ComputeSlideRect();
  HResult SetPointerType(PointerType pointer);

  // Pointer input into the slide show (Ctrl held for the laser).
  void MapToScreen(double x, double y, std::int32_t* px, std::int32_t* py) const;
  void Press(double x, double y);
  void Move(double x, double y);
  void Release();
  void PressEraseKey();

  // Read from any thread.
  bool ShowRunning() const { return showRunning_.load() != 0; }
  ScreenRect SlideRect() const { return slideRect_.Load(); }
  PointerType CurrentPointerType() const { return static_cast<PointerType>(pointerType_.load()); }
  // The leading decimal number of the version text, 0 while unknown.
  std::int32_t VersionNumber() const { return versionNumber_.load(); }

  void OnEvent(std::int32_t eventId, const std::vector<AutoValue>& reversedArgs) override;

  // The slide show window of an application type on `desktop`, 0 if none.
  static WindowHandle FindShowWindow(IDesktop& desktop, PowerPointType type);

 private:
  // Every operation starts here; an answer saying the application's process
  // is gone drops the application (ForgetApplication).
  HResult ReadActivePresentation();
  void ForgetApplication();
  HResult ReadSlideShowSettings();
  HResult ReadSlideShowWindow();
  HResult ReadView();
  void RereadChain();
  HResult Navigate(const char16_t* method);
  void ReadScreenSize();
  void SendAbsoluteMouse(std::int32_t px, std::int32_t py, std::uint32_t flags);
  void SendKey(std::uint16_t virtualKey, std::uint32_t flags);

  const PowerPointType type_;
  PresentationPorts ports_;
  AutomationPtr application_;
  std::u16string progId_;
  AutomationPtr activePresentation_;
  AutomationPtr slideShowSettings_;
  AutomationPtr slideShowWindow_;
  AutomationPtr view_;
  std::u16string version_;
  std::uint32_t sinkCookie_ = 0;
  std::weak_ptr<CPowerPointEventSink> sink_;
  CPowerPointEventNotify* handler_ = nullptr;
  std::atomic<std::int32_t> showRunning_{0};
  std::atomic<std::int32_t> pointerType_{PointerNone};
  std::atomic<std::int32_t> screenWidth_{0};
  std::atomic<std::int32_t> screenHeight_{0};
  AtomicRect slideRect_;
  std::atomic<std::int32_t> versionNumber_{0};
  // Set when the application was dropped; the tick of the last attempt.
  bool dropped_ = false;
  std::uint32_t lastAttachTick_ = 0;
};

// ComputeSlideRect's arithmetic: the slide (w x h points) fitted into the
// window, centred. A slide size of 0 gives the whole window.
ScreenRect FitSlideInWindow(const ScreenRect& window, std::int32_t slideWidth,
                            std::int32_t slideHeight);
// Pixel point to SendInput's absolute coordinates over the virtual screen.
void ToAbsoluteInput(std::int32_t px, std::int32_t py, std::int32_t screenWidth,
                     std::int32_t screenHeight, std::int32_t* dx, std::int32_t* dy);
// The answers COM gives once the application's process has ended or cut its
// objects off: its proxies will never work again.
bool IsApplicationGone(HResult hr);
// The leading decimal integer of a version text ("16.0" -> 16), 0 if none.
std::int32_t ParseVersionNumber(const std::u16string& version);
