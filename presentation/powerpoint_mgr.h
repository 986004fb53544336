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
//   mgr.NextSlide();                    // -> OnSlidePosition(...) and
//                                       //    OnPresentationEvent(type, 2013)
//                                       //    or OnCommandFailed(...)
//   mgr.RequestSlideImage(rev, 3, 1080);  // -> OnSlideImage(...), from the
//                                         //    exporter (slide_export.h)
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
#include "presentation/slide_export.h"
#include "presentation/task_queue.h"

// Implemented by the controller. Every call arrives with the manager's notify
// lock held, on the manager's worker thread (OnSlideImage: on its exporter's
// thread): record the result or post the real work elsewhere, and never call
// SetNotify from inside.
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
  // with every answer to QueryState (just before the event or state).
  virtual void OnSlidePosition(const SlidePosition& /*position*/) {}
  // Answer to RequestSlideImage (one per request, also when it failed), on
  // the exporter's thread.
  virtual void OnSlideImage(const SlideImage& /*image*/) {}

 protected:
  ~IPowerPointMgrNotify() = default;
};

class CPowerPointMgr : public CPowerPointMgrImpl::CPowerPointEventNotify {
 public:
  // With DefaultPresentationPorts().
  CPowerPointMgr();
  // With the given ports; `waitCheck` lets tests make the worker's wait
  // fail, `exportLimits` shorten the exporter's hang limit.
  explicit CPowerPointMgr(PresentationPorts ports, CTaskQueue::WaitCheck waitCheck = {},
                          CSlideExporter::Limits exportLimits = {});
  // Runs every queued task, then the shut-down task, then stops the worker;
  // then answers the pictures still asked for failed, without waiting for a
  // hung export.
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
  // Slide `index` (1-based) of the running show; an index below 1 is
  // dropped, one past the end refused by the application.
  void GotoSlide(std::int32_t index);

  // A picture of slide `index` of the deck at `revision`, `width` pixels
  // wide (brought into [16, 2048]), exported on the exporter's thread: never
  // in the way of a command. Answered by OnSlideImage, empty when the
  // revision is not the deck's, the index is out of range, the export
  // failed, or exports hang (see CSlideExporter).
  void RequestSlideImage(const std::string& revision, std::int32_t index, std::int32_t width);

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
  HResult StepActiveShow(const std::function<HResult(CPowerPointMgrImpl*)>& step,
                         CPowerPointMgrImpl** backend);
  // The show's place from the objects read last (the first back-end with a
  // view, else with a presentation), and points the exporter at it.
  SlidePosition ReadPosition();
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
  void DoGotoSlide(std::int32_t index);
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
  // Slide-change events seen (worker thread): a part of an unsaved deck's
  // revision.
  std::uint64_t slideChanges_ = 0;
  // Destroyed right after the worker, which points it at the deck.
  CSlideExporter exporter_;
  // Last member: destroyed first, so the worker ends before the back-ends.
  CTaskQueue queue_;
};
