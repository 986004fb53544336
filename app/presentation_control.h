// The operations the controller asks of the presentation manager. The
// program's implementation is CPowerPointMgr (CPowerPointMgrControl below
// owns one); tests substitute a recorder. Commands are queued on the
// manager's worker and return at once; the flag reads do not post.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "presentation/powerpoint_mgr.h"

class IPresentationControl {
 public:
  virtual ~IPresentationControl() = default;

  virtual void SetNotify(IPowerPointMgrNotify* notify) = 0;
  virtual void StartShow() = 0;
  virtual void ExitShow() = 0;
  virtual void NextSlide() = 0;
  virtual void PreviousSlide() = 0;
  virtual void FirstSlide() = 0;
  virtual void LastSlide() = 0;
  virtual void PointerDown(PointerType type, double x, double y) = 0;
  virtual void PointerMove(double x, double y) = 0;
  virtual void PointerUp() = 0;
  virtual void EraseInk() = 0;
  virtual void QueryState() = 0;
  virtual void RequestNotes() = 0;
  virtual void RequestVersion(PowerPointType type) = 0;
  virtual bool IsShowRunning() = 0;
  virtual bool HasNativeLaser() = 0;
  virtual bool HasUserStartedWpp() = 0;
  // Goes to slide `index` (1-based) of the running show; a command like
  // NextSlide.
  virtual void GotoSlide(std::int32_t /*index*/) {}
  // Asks for a picture of slide `index` of the deck at `revision`, `width`
  // pixels wide; answered by OnSlideImage behind every navigation command.
  virtual void RequestSlideImage(const std::string& /*revision*/, std::int32_t /*index*/,
                                 std::int32_t /*width*/) {}
  // The phone's commands wait beyond their bound (further ones would be
  // dropped). Any thread, cheap.
  virtual bool IsBacklogged() { return false; }

  // What the PC-drawn laser dot needs (UI thread, no queueing): the slide
  // rectangle of the running show (PowerPoint first, zeros without one),
  // whether that application's show runs, and its slide show window (0 when
  // none is found). Without a manager behind them there is no show.
  virtual ScreenRect GetShowRect() { return ScreenRect(); }
  virtual bool IsShowRunningOf(PowerPointType) { return false; }
  virtual WindowHandle FindShowWindow(PowerPointType) { return 0; }
};

// Adapts the real manager. Destroying it destroys the manager, which lets
// its queued tasks run before its worker stops.
class CPowerPointMgrControl : public IPresentationControl {
 public:
  explicit CPowerPointMgrControl(std::unique_ptr<CPowerPointMgr> mgr) : mgr_(std::move(mgr)) {}

  CPowerPointMgr& Manager() { return *mgr_; }

  void SetNotify(IPowerPointMgrNotify* notify) override { mgr_->SetNotify(notify); }
  void StartShow() override { mgr_->StartShow(); }
  void ExitShow() override { mgr_->ExitShow(); }
  void NextSlide() override { mgr_->NextSlide(); }
  void PreviousSlide() override { mgr_->PreviousSlide(); }
  void FirstSlide() override { mgr_->FirstSlide(); }
  void LastSlide() override { mgr_->LastSlide(); }
  void PointerDown(PointerType type, double x, double y) override { mgr_->PointerDown(type, x, y); }
  void PointerMove(double x, double y) override { mgr_->PointerMove(x, y); }
  void PointerUp() override { mgr_->PointerUp(); }
  void EraseInk() override { mgr_->EraseInk(); }
  void QueryState() override { mgr_->QueryState(); }
  void RequestNotes() override { mgr_->RequestNotes(); }
  void RequestVersion(PowerPointType type) override { mgr_->RequestVersion(type); }
  void GotoSlide(std::int32_t index) override { mgr_->GotoSlide(index); }
  void RequestSlideImage(const std::string& revision, std::int32_t index,
                         std::int32_t width) override {
    mgr_->RequestSlideImage(revision, index, width);
  }
  bool IsShowRunning() override { return mgr_->IsShowRunning(); }
  bool HasNativeLaser() override { return mgr_->HasNativeLaser(); }
  bool HasUserStartedWpp() override { return mgr_->HasUserStartedWpp(); }
  bool IsBacklogged() override { return mgr_->IsBacklogged(); }
  ScreenRect GetShowRect() override { return mgr_->GetShowRect(); }
  bool IsShowRunningOf(PowerPointType type) override { return mgr_->IsShowRunning(type); }
  WindowHandle FindShowWindow(PowerPointType type) override { return mgr_->FindShowWindow(type); }

 private:
  std::unique_ptr<CPowerPointMgr> mgr_;
};
