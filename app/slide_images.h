// The slide pictures of the presenter view, between the browser remote's
// server (which asks on its I/O thread) and the presentation manager (which
// exports on its worker and answers on it). Pictures are kept by deck
// revision, slide and width within a byte budget, least recently used out;
// a picture asked for by many phones at once is exported once; an export
// that failed is not tried again for a while, so a deck the application
// cannot export never keeps it busy in a loop; and after every change of
// slide the current, next and previous slides are exported ahead at the
// widths phones asked for last.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "net/browser_remote.h"
#include "presentation/presentation_types.h"

// What the cache holds and how long it waits and remembers.
struct SlideImageLimits {
  std::size_t maxBytes = 24u * 1024 * 1024;
  // How long a failed export is answered Unavailable without a new try.
  std::chrono::milliseconds failureMemory = std::chrono::seconds(5);
  // An export not answered by then counts as failed.
  std::chrono::milliseconds exportLimit = std::chrono::seconds(6);
  // The widths prefetched: the ones phones asked for last, newest first
  // (a page asks for its pad's and its thumbnail's width).
  std::size_t prefetchWidths = 2;
  // Exports waiting at once beyond which no prefetch is started, so that
  // prefetches never crowd the manager's own bounded queue.
  std::size_t prefetchPendingLimit = 6;
};

class CSlideImages : public ISlidePictureSource {
 public:
  using Clock = std::chrono::steady_clock;
  // Asks the manager for one picture; its answer comes through OnImage, on
  // any thread, possibly inside this call.
  using Request =
      std::function<void(const std::string& revision, std::int32_t index, std::int32_t width)>;

  using Limits = SlideImageLimits;

  explicit CSlideImages(Request request, Limits limits = Limits(),
                        std::function<Clock::time_point()> now = {});
  ~CSlideImages() override = default;
  CSlideImages(const CSlideImages&) = delete;
  CSlideImages& operator=(const CSlideImages&) = delete;

  // Stops asking the manager (it is going); waits for a request being made.
  // Pictures not yet exported are answered Unavailable from then on.
  void Detach();

  // Presentation worker: where the show stands now. A new revision drops
  // the pictures of the old one; a change of slide starts the prefetch.
  void OnPosition(const SlidePosition& position);
  // Presentation worker: one answer to a request (png empty: it failed).
  void OnImage(const SlideImage& image);

  // ISlidePictureSource (the server's I/O thread).
  void GetSlidePicture(const std::string& revision, std::int32_t index, std::int32_t width,
                       Answer answer) override;

  // What the cache holds now.
  std::size_t Bytes() const;
  std::size_t Pictures() const;

 private:
  using Key = std::tuple<std::string, std::int32_t, std::int32_t>;  // revision, index, width
  struct Ready {
    std::shared_ptr<const std::string> png;
    std::list<Key>::iterator use;  // its place in uses_
  };
  struct Pending {
    Clock::time_point since;
    std::vector<Answer> waiters;  // none for a prefetch
  };
  // Answers to give once the lock is released.
  using Calls = std::vector<std::function<void()>>;

  Clock::time_point Now() const;
  // Under lock_: exports past their limit count as failed; failures past
  // their memory are forgotten.
  void Expire(Clock::time_point now, Calls* calls);
  void Fail(const Key& key, Clock::time_point now, Calls* calls);
  void Store(const Key& key, std::shared_ptr<const std::string> png);
  void DropRevisionsBut(const std::string& revision);
  bool Known(const Key& key, Clock::time_point now) const;
  // Outside lock_: asks the manager, or fails the key when detached.
  void Ask(const Key& key);
  static void Run(const Calls& calls);

  const Limits limits_;
  const std::function<Clock::time_point()> now_;

  std::mutex requestLock_;  // held while the manager is asked; never with lock_
  Request request_;

  mutable std::mutex lock_;
  SlidePosition position_;
  std::map<Key, Ready> ready_;
  std::list<Key> uses_;  // most recently used first
  std::size_t bytes_ = 0;
  std::map<Key, Pending> pending_;
  std::map<Key, Clock::time_point> failedUntil_;
  std::deque<std::int32_t> widths_;  // asked for last, newest first, distinct
};
