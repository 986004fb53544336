// The inside of a simulated presentation application, shared by the two
// files that make it: simulated_office.cpp (its state, the presenter's
// actions and the events they raise) and simulated_object_model.cpp (the
// automation objects and the members they answer). One lock guards all of
// it; events raised under the lock wait in `pending` and are sent after
// it, since sinks call back into the object model.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "presentation/simulated_office.h"

struct CSimulatedPresentationApp::Impl {
  // The kinds of automation object the simulated application hands out; an
  // object is its kind plus the presentation or show generation it belongs
  // to, and the slide and placeholder it stands for.
  enum class ObjectKind {
    Application,
    Presentation,
    Settings,
    ShowWindow,
    View,
    Master,
    Slide,
    NotesPage,
    Shapes,
    Placeholders,
    Shape,
    TextFrame,
    TextRange,
    DocumentWindow,
    Slides,
    PageSetup,
  };

  struct Connection {
    std::uint32_t cookie;
    std::shared_ptr<IAutomationEventSink> sink;
    std::shared_ptr<IApartment> apartment;  // null: deliver on the raising thread
  };
  struct Event {
    std::int32_t id;
    std::vector<AutoValue> reversedArgs;
  };

  SimulatedAppKind kind;
  std::weak_ptr<CSimulatedPresentationApp> self;
  std::shared_ptr<CSimulatedDesktop> desktop;
  std::u16string version;

  mutable std::mutex lock;
  bool open = false;
  SimulatedPresentation presentation;
  bool saved = true;
  std::uint64_t presentationGeneration = 0;
  bool showRunning = false;
  std::uint64_t showGeneration = 0;
  std::int32_t currentSlide = 0;
  std::int32_t pointerType = 0;
  bool visible = true;
  bool maximized = true;
  bool hasShowRect = false;
  ScreenRect showRect;
  WindowHandle documentWindow = 0;
  WindowHandle showWindow = 0;
  std::chrono::microseconds latency{0};
  std::map<std::u16string, HResult> failures;
  std::uint64_t invocations = 0;
  bool holdExports = false;
  std::int32_t heldExports = 0;  // exports waiting at the hold
  mutable std::condition_variable exportsChanged;
  std::uint64_t exports = 0;
  std::vector<Connection> connections;
  std::uint32_t nextCookie = 1;
  std::vector<Event> pending;  // raised under the lock, sent after it

  bool IsPowerPoint() const { return kind == SimulatedAppKind::PowerPointLike; }

  AutomationPtr MakeObject(ObjectKind objectKind, std::uint64_t generation = 0,
                           std::int32_t slide = 0, std::int32_t placeholder = 0);
  AutoValue Obj(ObjectKind k, std::uint64_t generation = 0, std::int32_t slide = 0,
                std::int32_t placeholder = 0) {
    return AutoValue::Object(MakeObject(k, generation, slide, placeholder));
  }

  void Raise(std::int32_t id, std::vector<AutoValue> reversedArgs) {
    pending.push_back({id, std::move(reversedArgs)});
  }

  // Sends the events raised so far; called without the lock, since sinks
  // call back into the object model.
  void Flush();

  // State changes, with the lock held.
  void OpenLocked(SimulatedPresentation p);
  void CloseLocked();
  bool StartShowLocked();
  bool EndShowLocked();
  bool GoToLocked(std::int32_t slide, bool announce);
  bool NextLocked();
  bool PreviousLocked();

  // Slide.Export: checked and described under the lock, drawn after it, so
  // that a slow or held export never stops the other members.
  HResult ExportSlide(std::uint64_t generation, std::int32_t slide, InvokeKind kind,
                      const std::vector<AutoValue>& args);

  HResult Invoke(ObjectKind objectKind, std::uint64_t generation, std::int32_t slide,
                 std::int32_t placeholder, const std::u16string& member, InvokeKind kind,
                 const std::vector<AutoValue>& args, AutoValue* result);
  HResult InvokeLocked(ObjectKind objectKind, std::uint64_t generation, std::int32_t slide,
                       std::int32_t placeholder, const std::u16string& member,
                       InvokeKind invokeKind, const std::vector<AutoValue>& args,
                       AutoValue* result);
};
