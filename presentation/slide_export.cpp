#include "presentation/slide_export.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>
#include <utility>

#include "presentation/powerpoint_mgr_impl.h"
#include "presentation/slide_deck.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Far above any PNG of a 2048-pixel slide; a larger file is not read.
constexpr std::uintmax_t kMaxPictureBytes = 32u << 20;

class ExportFolder {
 public:
  ExportFolder() {
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    if (error) return;
    std::random_device random;
    for (int attempt = 0; attempt < 8; ++attempt) {
      char name[48];
      std::snprintf(name, sizeof name, "pivaro-slides-%08x%08x", unsigned(random()),
                    unsigned(random()));
      const fs::path candidate = base / name;
      // Only a folder this call made: one that exists may be someone else's.
      if (!fs::create_directory(candidate, error) || error) continue;
#ifndef _WIN32
      // This user's alone. (Windows gives each user a temporary folder of
      // their own, and its permission bits only say read-only or not.)
      fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, error);
      if (error) {
        fs::remove(candidate, error);
        return;
      }
#endif
      path_ = candidate;
      return;
    }
  }
  ~ExportFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }

  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

struct Job {
  std::string revision;
  std::int32_t index = 0;
  std::int32_t width = 0;
};

// File names are numbered for the whole process: every exporter writes into
// the one private folder, and an exporter left behind by a hung export may
// still write and delete its file while a newer one runs.
std::uint64_t NextFileNumber() {
  static std::atomic<std::uint64_t> number{0};
  return ++number;
}

SlideImage Failed(const Job& job) { return SlideImage{job.revision, job.index, job.width, {}}; }

bool IsPng(const std::string& bytes) { return bytes.compare(0, 8, "\x89PNG\r\n\x1a\n", 8) == 0; }

std::string ReadPicture(const fs::path& file) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(file, error);
  if (error || size == 0 || size > kMaxPictureBytes) return {};
  std::ifstream in(file, std::ios::binary);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  if (!in.read(&bytes[0], static_cast<std::streamsize>(size))) return {};
  return bytes;
}

}  // namespace

const fs::path& SlideExportFolder() {
  static const ExportFolder folder;
  return folder.Path();
}

struct CSlideExporter::State {
  std::shared_ptr<IAutomationFactory> factory;
  Deliver deliver;  // called by the answering thread only
  Limits limits;
  fs::path folder;

  std::mutex lock;
  std::condition_variable changed;
  std::deque<Job> waiting;
  std::deque<SlideImage> answers;  // ready, in the order they are handed out
  std::u16string progId;
  std::uint64_t slideChanges = 0;
  bool running = false;
  Job current;
  Clock::time_point runningSince;
  bool hangSeen = false;  // the answering thread has failed what waited behind it
  bool stop = false;
  bool abandoned = false;  // the running export was answered at stop
  bool exportsEnded = false;

  bool HungLocked(Clock::time_point now) const {
    return running && now - runningSince >= limits.hangAfter;
  }

  // One picture, on the export thread; `application` is that thread's
  // application object, kept from one export to the next.
  SlideImage Export(const Job& job, const std::u16string& targetClass, std::uint64_t changes,
                    const fs::path& file, AutomationPtr* application,
                    std::u16string* applicationClass);
  void RunExports();
  void RunAnswers();
};

SlideImage CSlideExporter::State::Export(const Job& job, const std::u16string& targetClass,
                                         std::uint64_t changes, const fs::path& file,
                                         AutomationPtr* application,
                                         std::u16string* applicationClass) {
  SlideImage image = Failed(job);
  if (targetClass.empty() || folder.empty() || !factory) return image;
  if (!*application || *applicationClass != targetClass) {
    application->reset();
    if (Failed(factory->Create(targetClass, application)) || !*application) {
      application->reset();
      return image;
    }
    *applicationClass = targetClass;
  }
  AutomationPtr presentation;
  HResult hr = GetObjectProperty(application->get(), u"ActivePresentation", &presentation);
  if (IsApplicationGone(hr)) application->reset();  // created anew next time
  if (!presentation) return image;

  // The deck as it is now must still be the one the revision names.
  DeckFacts facts;
  if (!ReadDeckFacts(presentation.get(), &facts) || DeckRevision(facts, changes) != job.revision ||
      job.index < 1 || job.index > facts.count)
    return image;
  const std::int32_t height = SlideImageHeight(job.width, DeckAspect(facts));
  if (height <= 0) return image;

  AutomationPtr slides;
  AutoValue slide;
  if (Failed(GetObjectProperty(presentation.get(), u"Slides", &slides)) || !slides ||
      Failed(CallMethod(slides.get(), u"Item", {AutoValue::Int32(job.index)}, &slide)) ||
      !slide.object)
    return image;
  hr = CallMethod(slide.object.get(), u"Export",
                  {AutoValue::Text(file.u16string()), AutoValue::Text(u"PNG"),
                   AutoValue::Int32(job.width), AutoValue::Int32(height)},
                  nullptr);
  std::string png;
  if (Succeeded(hr)) png = ReadPicture(file);
  std::error_code ignored;
  fs::remove(file, ignored);
  if (IsPng(png)) image.png = std::move(png);
  return image;
}

void CSlideExporter::State::RunExports() {
  if (factory) factory->EnterApartment();
  AutomationPtr application;
  std::u16string applicationClass;
  std::unique_lock<std::mutex> guard(lock);
  for (;;) {
    changed.wait(guard, [&] { return stop || !waiting.empty(); });
    if (stop) break;
    const Job job = std::move(waiting.front());
    waiting.pop_front();
    running = true;
    current = job;
    runningSince = Clock::now();
    hangSeen = false;
    const std::u16string targetClass = progId;
    const std::uint64_t changes = slideChanges;
    const fs::path file = folder / (std::to_string(NextFileNumber()) + ".png");
    changed.notify_all();  // the answering thread starts its watch
    guard.unlock();

    SlideImage image;
    try {
      image = Export(job, targetClass, changes, file, &application, &applicationClass);
    } catch (...) {
      image = Failed(job);  // a file or memory failure: this picture fails
    }

    guard.lock();
    running = false;
    if (!abandoned) answers.push_back(std::move(image));
    changed.notify_all();
  }
  guard.unlock();
  application.reset();  // inside the apartment it was made in
  if (factory) factory->LeaveApartment();
  guard.lock();
  exportsEnded = true;
  changed.notify_all();
}

void CSlideExporter::State::RunAnswers() {
  std::unique_lock<std::mutex> guard(lock);
  for (;;) {
    if (running && !hangSeen && HungLocked(Clock::now())) {
      hangSeen = true;
      for (const Job& job : waiting) answers.push_back(Failed(job));
      waiting.clear();
    }
    if (stop) {
      for (const Job& job : waiting) answers.push_back(Failed(job));
      waiting.clear();
      if (running && !abandoned) {
        answers.push_back(Failed(current));
        abandoned = true;
      }
    }
    if (!answers.empty()) {
      std::deque<SlideImage> ready;
      ready.swap(answers);
      guard.unlock();
      for (const SlideImage& image : ready) {
        try {
          if (deliver) deliver(image);
        } catch (...) {
          // The receiver's failure is its own; the other answers still go.
        }
      }
      guard.lock();
      continue;
    }
    if (stop) break;
    if (running && !hangSeen) {
      changed.wait_until(guard, runningSince + limits.hangAfter);
    } else {
      changed.wait(guard);
    }
  }
}

CSlideExporter::CSlideExporter(std::shared_ptr<IAutomationFactory> factory, Deliver deliver)
    : CSlideExporter(std::move(factory), std::move(deliver), Limits()) {}

CSlideExporter::CSlideExporter(std::shared_ptr<IAutomationFactory> factory, Deliver deliver,
                               Limits limits)
    : state_(std::make_shared<State>()) {
  state_->factory = std::move(factory);
  state_->deliver = std::move(deliver);
  state_->limits = limits;
  state_->folder = SlideExportFolder();
  auto state = state_;
  exports_ = std::thread([state] { state->RunExports(); });
  answers_ = std::thread([state] { state->RunAnswers(); });
}

CSlideExporter::~CSlideExporter() {
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->stop = true;
    state_->changed.notify_all();
  }
  answers_.join();  // after the last answer, the running export's included
  bool ended;
  {
    std::unique_lock<std::mutex> guard(state_->lock);
    state_->deliver = nullptr;
    ended = state_->changed.wait_for(guard, state_->limits.stopWithin,
                                     [&] { return state_->exportsEnded; });
  }
  // A hung export keeps its thread; the thread owns the state it still uses
  // and ends when the export comes back.
  if (ended) {
    exports_.join();
  } else {
    exports_.detach();
  }
}

void CSlideExporter::SetTarget(std::u16string progId, std::uint64_t slideChanges) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->progId = std::move(progId);
  state_->slideChanges = slideChanges;
}

void CSlideExporter::Request(const std::string& revision, std::int32_t index, std::int32_t width) {
  Job job{revision, index, ClampSlideImageWidth(width)};
  std::lock_guard<std::mutex> guard(state_->lock);
  State& s = *state_;
  if (s.HungLocked(Clock::now())) {
    s.answers.push_back(Failed(job));
  } else {
    s.waiting.push_back(std::move(job));
    if (s.waiting.size() > s.limits.maxWaiting) {
      s.answers.push_back(Failed(s.waiting.front()));
      s.waiting.pop_front();
    }
  }
  s.changed.notify_all();
}

bool CSlideExporter::IsHung() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->HungLocked(Clock::now());
}
