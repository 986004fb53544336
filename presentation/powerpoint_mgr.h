// The presentation manager: the one object through which the controller
// drives PowerPoint and WPS Presentation. Every operation that touches an
// application is queued on the manager's worker thread and returns at once;
// results come back through IPowerPointMgrNotify on that worker.
//
// Usage:
//   CPowerPointMgr mgr;                 // this platform's ports (Linux: the
//                                       // simulated application)
//   mgr.SetNotify(&controller);         // once, before any command
//   mgr.QueryState();                   // -> OnState(appFound, showRunning)
//   mgr.NextSlide();                    // -> OnPresentationEvent(type, 2013)
//                                       //    or OnCommandFailed(...)
// Tests and the Linux front end may pass their own ports, e.g. those of a
// CSimulatedOffice (presentation/simulated_office.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "presentation/ports.h"
#include "presentation/powerpoint_mgr_impl.h"
#include "presentation/presentation_types.h"
#include "presentation/task_queue.h"

// Implemented by the controller. Every call arrives on the manager's worker
// thread with the manager's notify lock held: record the result or post the
// real work elsewhere, and never call SetNotify from inside.
class IPowerPointMgrNotify {
 public:
  // An application event (ids in PresentationEventId), or 2013 after a WPS
  // PreviousSlide, which WPS does not announce itself.
  virtual void OnPresentationEvent(PowerPointType type, std::int32_t eventId) = 0;
  // Slots 1 and 2 are never called.
  virtual void OnReserved1() {}
  virtual void OnReserved2() {}
  // Answer to QueryState.
  virtual void OnState(bool appFound, bool showRunning) = 0;
  // A start or navigation command found no application or no running show.
  virtual void OnCommandFailed(bool appFound, bool showRunning) = 0;
  // Answer to the newest RequestNotes; empty when nothing could be read.
  virtual void OnNotes(const std::u16string& notes) = 0;
  // Answer to RequestVersion; empty when unknown.
  virtual void OnVersion(PowerPointType type, const std::u16string& version) = 0;
  // Where the show stands: after every slide change, show start and end, and
  // with every answer to QueryState.
  virtual void OnSlidePosition(const SlidePosition& /*position*/) {}
  // Answer to RequestSlideImage (one per request, also when it failed).
  virtual void OnSlideImage(const SlideImage& /*image*/) {}

 protected:
  ~IPowerPointMgrNotify() = default;
};

class CPowerPointMgr : public CPowerPointMgrImpl::CPowerPointEventNotify {
 public:
  // With DefaultPresentationPorts().
  CPowerPointMgr();
  // With the given ports; `waitCheck` lets tests make the worker's wait fail.
  explicit CPowerPointMgr(PresentationPorts ports, CTaskQueue::WaitCheck waitCheck = {});
  // Runs every queued task, then the shut-down task, then stops the worker.
  ~CPowerPointMgr();

  CPowerPointMgr(const CPowerPointMgr&) = delete;
  CPowerPointMgr& operator=(const CPowerPointMgr&) = delete;

  void SetNotify(IPowerPointMgrNotify* notify);

  // At most this many commands wait for the worker; beyond it a command is
  // dropped. Pointer moves do not count: only the newest move of a stroke
  // waits (see PointerMove).
  static constexpr int kMaxWaitingCommands = 32;

  // Commands (priority 2). Start needs an open presentation, the others a
  // running show; without one the answer is OnCommandFailed.
  void StartShow();
  void ExitShow();
  void NextSlide();
  void PreviousSlide();
  void FirstSlide();
  void LastSlide();

  // Pen and native-laser input into a running PowerPoint show. x and y are
  // fractions of the slide (0.0 left/top to 1.0 right/bottom).
  void PointerDown(PointerType type, double x, double y);
  // Dropped by the worker when it starts more than 100 ms after this call.
  // A move that is still waiting, with nothing queued after it, takes the
  // new position instead of queueing another: a flood of moves costs one
  // task, and the pointer goes straight to where the finger is now.
  void PointerMove(double x, double y);
  void PointerUp();
  void EraseInk();

  void QueryState();
  // Priority 1; only the newest pending request is answered.
  void RequestNotes();
  void RequestVersion(PowerPointType type);

  // As many commands wait as the bound allows: the phone's further commands
  // would be dropped. Any thread.
  bool IsBacklogged() const { return waitingCommands_.load() >= kMaxWaitingCommands; }

  // Read on the calling thread, without queueing.
  bool IsShowRunning() const;
  // That application's show runs.
  bool IsShowRunning(PowerPointType type) const;
  // The running PowerPoint show is version 14 or later (its own laser).
  bool HasNativeLaser() const;
  // The slide rectangle of the running show (PowerPoint first), else zeros.
  ScreenRect GetShowRect() const;
  // WPS Presentation was started by the user before us (so COM cannot reach
  // it).
  bool HasUserStartedWpp();

  // The slide show window of that application (for the laser overlay).
  WindowHandle FindShowWindow(PowerPointType type);
  IDesktop& Desktop() { return *ports_.desktop; }
  // False once the worker has ended on a failed wait; operations then do
  // nothing.
  bool IsWorkerRunning() const { return queue_.IsRunning(); }

 private:
  void OnPowerPointEvent(CPowerPointMgrImpl* backend, std::int32_t eventId) override;

  struct PendingMove;
  bool PostCommand(void (CPowerPointMgr::*routine)(), int priority = 2);
  // Queues a phone's command at priority 2 within the bound; false when it
  // was dropped.
  bool PostBounded(std::function<void()> task);
  CPowerPointMgrImpl* FirstWithActiveShow();
  // The step on the first back-end with a running show, or OnCommandFailed.
  HResult StepActiveShow(HResult (CPowerPointMgrImpl::*step)(), CPowerPointMgrImpl** backend);
  void ComputeState(bool* appFound, bool* showRunning);
  // An application whose process was found gone is looked for again (a
  // PowerPoint started anew), at the next state query or command.
  void ReattachDropped();

  // Worker routines.
  void StartUpTask();
  void ShutDownTask();
  void DoStartShow();
  void DoExitShow();
  void DoNextSlide();
  void DoPreviousSlide();
  void DoFirstSlide();
  void DoLastSlide();
  void DoPointerDown(PointerType type, double x, double y);
  void DoPointerMove(double x, double y, std::uint32_t tick);
  void DoPointerUp();
  void DoEraseInk();
  void DoQueryState();
  void DoRequestNotes(std::int32_t sequence);
  void DoRequestVersion(PowerPointType type);
  void ReportCommandFailed();

  PresentationPorts ports_;
  CPowerPointMgrImpl powerPoint_;
  CPowerPointMgrImpl wps_;
  IPowerPointMgrNotify* notify_ = nullptr;
  std::mutex notifyLock_;
  std::atomic<std::int32_t> notesSequence_{0};
  std::atomic<int> waitingCommands_{0};
  // The move queued last, while nothing else was queued after it.
  std::mutex moveLock_;
  std::shared_ptr<PendingMove> lastMove_;
  // Last member: destroyed first, so the worker ends before the back-ends.
  CTaskQueue queue_;
};
