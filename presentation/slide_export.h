// Slide pictures, exported off the navigation path: a thread of its own
// reaches the application through the automation factory (its own apartment,
// its own application object), checks that the asked revision is still the
// deck's, has the slide exported as a PNG into a private folder, reads the
// file back and deletes it. A second thread hands out the answers and keeps
// watch: an export that runs past the hang limit leaves the waiting and new
// requests answered failed at once until it comes back. Every request gets
// exactly one answer, from one of the exporter's threads, also when the
// exporter is destroyed; destruction never waits long for a hung export (the
// thread is left to end on its own, owning what it still uses).
//
//   CSlideExporter exporter(factory, [](const SlideImage& image) { ... });
//   exporter.SetTarget(u"PowerPoint.Application", slideChanges);
//   exporter.Request(revision, 3, 1080);   // -> deliver(image), png empty if failed
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "presentation/automation.h"
#include "presentation/presentation_types.h"

class CSlideExporter {
 public:
  struct Limits {
    // Requests that wait behind the running export; one more pushes the
    // oldest out, answered failed (the newest asks are the ones a phone
    // still looks at).
    std::size_t maxWaiting = 8;
    // A running export older than this counts as hung.
    std::chrono::milliseconds hangAfter{3000};
    // How long destruction waits for the export thread before leaving it.
    std::chrono::milliseconds stopWithin{250};
  };
  using Deliver = std::function<void(const SlideImage&)>;

  CSlideExporter(std::shared_ptr<IAutomationFactory> factory, Deliver deliver);
  CSlideExporter(std::shared_ptr<IAutomationFactory> factory, Deliver deliver, Limits limits);
  // Answers what waits (and a running export) failed, then returns within
  // about limits.stopWithin.
  ~CSlideExporter();

  CSlideExporter(const CSlideExporter&) = delete;
  CSlideExporter& operator=(const CSlideExporter&) = delete;

  // The application class to export from and the slide changes seen so
  // far, with which revisions are computed (see DeckRevision). Until set,
  // every request fails.
  void SetTarget(std::u16string progId, std::uint64_t slideChanges);
  // Queues a picture of slide `index` (1-based) of the deck at `revision`,
  // `width` pixels wide (brought into [16, 2048]); the answer names the
  // width drawn. Any thread; never calls `deliver` on the caller's thread.
  void Request(const std::string& revision, std::int32_t index, std::int32_t width);

  // A running export has passed the hang limit.
  bool IsHung() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::thread exports_;
  std::thread answers_;
};

// The folder the exports of this process go to: made at first use under
// the system's temporary folder, readable by this user only, removed at
// exit. Empty when it cannot be made.
const std::filesystem::path& SlideExportFolder();
