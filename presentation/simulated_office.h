// SIMULATION of a presentation application (PowerPoint-like or WPS-like),
// not the real thing. It answers every automation member the presentation
// back-end uses, holds slides with notes, a slide master size, a slide show
// window on a simulated desktop and a version text, and raises the
// application events through advised sinks whenever its state changes,
// whether through automation or from the presenter's side (the keyboard
// methods below). Tests use it; the Linux front end runs on it.
//
// Typical use:
//   CSimulatedOffice office;
//   auto app = office.InstallPowerPoint(u"16.0");
//   CPowerPointMgr mgr(office.Ports());
//   app->OpenPresentation(CSimulatedOffice::SamplePresentation());
//   app->StartShow();          // the presenter presses F5
//   app->Snapshot().currentSlide ...
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "presentation/automation.h"
#include "presentation/ports.h"
#include "presentation/registry.h"
#include "presentation/simulated_desktop.h"

struct SimulatedSlide {
  std::u16string notes;
  // A notes page without its body placeholder makes the notes read fail.
  bool hasNotesPlaceholder = true;
  // Drawn on the slide's exported picture; empty draws "Slide n".
  std::u16string title;
};

struct SimulatedPresentation {
  std::u16string name = u"Presentation1";
  // Presentation.FullName; empty answers the name, as for a deck never saved.
  std::u16string fullName;
  std::vector<SimulatedSlide> slides;
  float slideWidth = 720.0f;  // points
  float slideHeight = 540.0f;
};

enum class SimulatedAppKind { PowerPointLike, WpsLike };

// What the presenter would see; read with Snapshot().
// Raised by the simulated application, beside the real application events,
// when the show's pointer changes (pen or arrow), so that a front end can
// show it without polling. No real application raises it; the back-ends
// ignore ids they do not know.
constexpr std::int32_t kSimulatedPointerChanged = 9001;

struct SimulatedAppState {
  bool presentationOpen = false;
  bool showRunning = false;
  std::int32_t currentSlide = 0;  // 1-based while a show runs, else 0
  std::int32_t slideCount = 0;
  std::int32_t pointerType = 0;  // last value put to View.PointerType
  std::u16string presentationName;
  std::u16string currentNotes;
};

class CSimulatedPresentationApp : public std::enable_shared_from_this<CSimulatedPresentationApp> {
 public:
  CSimulatedPresentationApp(SimulatedAppKind kind, std::shared_ptr<CSimulatedDesktop> desktop,
                            std::u16string version);
  ~CSimulatedPresentationApp();

  SimulatedAppKind Kind() const { return kind_; }

  // The presenter's side (thread-safe; events go to advised sinks).
  void OpenPresentation(SimulatedPresentation presentation);
  void ClosePresentation();
  bool StartShow();      // F5
  bool EndShow();        // Esc
  bool NextSlide();      // Page Down
  bool PreviousSlide();  // Page Up
  bool GoToSlide(std::int32_t index);
  // WPS-like: activates the document window, maximised or not (event 2009).
  void ActivateWindow(bool maximized);
  // The presenter retitles slide `index` (1-based): the deck is then unsaved
  // (Presentation.Saved false) until SetSaved(true). No event, as for any
  // edit. False when there is no such slide.
  bool EditSlide(std::int32_t index, std::u16string title);
  void SetSaved(bool saved);
  SimulatedAppState Snapshot() const;

  // Behaviour of the automation side.
  void SetCallLatency(std::chrono::microseconds latency);
  // Every invocation of `member` (any object) fails with `hr` until cleared
  // with kOk.
  void FailMember(const std::u16string& member, HResult hr);
  void SetShowWindowRect(const ScreenRect& rect);
  // While held, every Slide.Export waits at its start until the hold is
  // lifted, as an application that hangs in an export; other members keep
  // answering meanwhile. (A failing export: FailMember(u"Export", hr).)
  void HoldExports(bool hold);
  // Waits (at most `limit`) until an export waits at the hold.
  bool WaitForHeldExport(std::chrono::milliseconds limit) const;
  // Exports that drew a picture.
  std::uint64_t ExportCount() const;
  std::uint64_t InvocationCount() const;
  bool Visible() const;
  std::size_t AdvisedSinks() const;

  // A new application object, as CoCreateInstance hands out.
  AutomationPtr CreateApplicationObject();

  // Used by the simulated objects.
  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  const SimulatedAppKind kind_;
  std::unique_ptr<Impl> impl_;
};

class CSimulatedAutomationFactory : public IAutomationFactory {
 public:
  void Register(const std::u16string& progId, std::shared_ptr<CSimulatedPresentationApp> app);
  void Unregister(const std::u16string& progId);
  HResult Create(const std::u16string& progId, AutomationPtr* application) override;

 private:
  std::mutex lock_;
  std::map<std::u16string, std::shared_ptr<CSimulatedPresentationApp>> apps_;
};

class CSimulatedRegistry : public IRegistry {
 public:
  void SetUserString(const std::u16string& key, const std::u16string& name,
                     const std::u16string& value);
  void RemoveUserString(const std::u16string& key, const std::u16string& name);
  bool ReadUserString(const std::u16string& key, const std::u16string& name,
                      std::size_t bufferBytes, std::u16string* value) override;

 private:
  std::mutex lock_;
  std::map<std::u16string, std::u16string> values_;  // key + '\n' + name
};

// A simulated machine: one desktop, the registry, the class registrations
// and the installed applications.
class CSimulatedOffice {
 public:
  CSimulatedOffice();

  // Registers a PowerPoint-like application as "PowerPoint.Application".
  std::shared_ptr<CSimulatedPresentationApp> InstallPowerPoint(std::u16string version = u"16.0");
  // Registers a WPS-like application under `progId` ("KWPP.Application" or
  // "WPP.Application") and writes its version to the registry.
  std::shared_ptr<CSimulatedPresentationApp> InstallWps(std::u16string progId = u"KWPP.Application",
                                                        std::u16string version = u"9.1.0.4060");

  // Ports over this machine; `processes` defaults to the real process list.
  PresentationPorts Ports(std::shared_ptr<IProcessList> processes = nullptr) const;

  std::shared_ptr<CSimulatedDesktop> desktop;
  std::shared_ptr<CSimulatedRegistry> registry;
  std::shared_ptr<CSimulatedAutomationFactory> factory;

  // Five slides with titles and notes, 4:3 (720 x 540 points).
  static SimulatedPresentation SamplePresentation();
  // The same slides at 16:9 (720 x 405 points).
  static SimulatedPresentation WideSamplePresentation();
};

// The process-wide simulated machine behind DefaultPresentationPorts() on
// Linux, with a PowerPoint-like application (version "16.0") installed.
CSimulatedOffice& DefaultSimulation();
// Its PowerPoint-like application.
std::shared_ptr<CSimulatedPresentationApp> DefaultSimulatedApp();
