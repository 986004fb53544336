#include "app/slide_images.h"

#include <algorithm>
#include <utility>

CSlideImages::CSlideImages(Request request, Limits limits, std::function<Clock::time_point()> now)
    : limits_(limits), now_(std::move(now)), request_(std::move(request)) {}

CSlideImages::Clock::time_point CSlideImages::Now() const { return now_ ? now_() : Clock::now(); }

void CSlideImages::Run(const Calls& calls) {
  for (const auto& call : calls) call();
}

void CSlideImages::Detach() {
  std::lock_guard<std::mutex> lock(requestLock_);
  request_ = nullptr;
}

std::size_t CSlideImages::Bytes() const {
  std::lock_guard<std::mutex> lock(lock_);
  return bytes_;
}

std::size_t CSlideImages::Pictures() const {
  std::lock_guard<std::mutex> lock(lock_);
  return ready_.size();
}

void CSlideImages::Fail(const Key& key, Clock::time_point now, Calls* calls) {
  failedUntil_[key] = now + limits_.failureMemory;
  auto it = pending_.find(key);
  if (it == pending_.end()) return;
  for (Answer& answer : it->second.waiters) {
    calls->push_back([answer = std::move(answer)] { answer(Status::Unavailable, nullptr); });
  }
  pending_.erase(it);
}

void CSlideImages::Expire(Clock::time_point now, Calls* calls) {
  for (auto it = failedUntil_.begin(); it != failedUntil_.end();) {
    it = it->second <= now ? failedUntil_.erase(it) : std::next(it);
  }
  std::vector<Key> late;
  for (const auto& [key, pending] : pending_) {
    if (now - pending.since >= limits_.exportLimit) late.push_back(key);
  }
  for (const Key& key : late) Fail(key, now, calls);
}

void CSlideImages::Store(const Key& key, std::shared_ptr<const std::string> png) {
  // A picture bigger than the whole budget is served, never kept.
  if (png->size() > limits_.maxBytes || ready_.count(key)) return;
  uses_.push_front(key);
  bytes_ += png->size();
  ready_[key] = Ready{std::move(png), uses_.begin()};
  while (bytes_ > limits_.maxBytes && !uses_.empty()) {
    auto oldest = ready_.find(uses_.back());
    bytes_ -= oldest->second.png->size();
    ready_.erase(oldest);
    uses_.pop_back();
  }
}

void CSlideImages::DropRevisionsBut(const std::string& revision) {
  for (auto it = ready_.begin(); it != ready_.end();) {
    if (std::get<0>(it->first) == revision) {
      ++it;
      continue;
    }
    bytes_ -= it->second.png->size();
    uses_.erase(it->second.use);
    it = ready_.erase(it);
  }
  for (auto it = failedUntil_.begin(); it != failedUntil_.end();) {
    it = std::get<0>(it->first) == revision ? std::next(it) : failedUntil_.erase(it);
  }
}

bool CSlideImages::Known(const Key& key, Clock::time_point now) const {
  if (ready_.count(key) || pending_.count(key)) return true;
  auto failed = failedUntil_.find(key);
  return failed != failedUntil_.end() && now < failed->second;
}

void CSlideImages::Ask(const Key& key) {
  {
    std::lock_guard<std::mutex> lock(requestLock_);
    if (request_) {
      request_(std::get<0>(key), std::get<1>(key), std::get<2>(key));
      return;
    }
  }
  SlideImage failed;
  std::tie(failed.revision, failed.index, failed.width) = key;
  OnImage(failed);
}

void CSlideImages::GetSlidePicture(const std::string& revision, std::int32_t index,
                                   std::int32_t width, Answer answer) {
  Calls calls;
  bool ask = false;
  Key key(revision, index, width);
  {
    std::lock_guard<std::mutex> lock(lock_);
    const Clock::time_point now = Now();
    Expire(now, &calls);
    if (!position_.images || revision != position_.revision || index < 1 ||
        index > position_.count) {
      calls.push_back([answer = std::move(answer)] { answer(Status::NotFound, nullptr); });
    } else {
      auto seen = std::find(widths_.begin(), widths_.end(), width);
      if (seen != widths_.end()) widths_.erase(seen);
      widths_.push_front(width);
      if (widths_.size() > limits_.prefetchWidths) widths_.pop_back();

      auto ready = ready_.find(key);
      auto failed = failedUntil_.find(key);
      if (ready != ready_.end()) {
        uses_.splice(uses_.begin(), uses_, ready->second.use);
        calls.push_back(
            [answer = std::move(answer), png = ready->second.png] { answer(Status::Ok, png); });
      } else if (failed != failedUntil_.end()) {
        calls.push_back([answer = std::move(answer)] { answer(Status::Unavailable, nullptr); });
      } else {
        // Joins an export already asked for (by a phone or the prefetch).
        auto [pending, fresh] = pending_.try_emplace(key);
        if (fresh) pending->second.since = now;
        ask = fresh;
        pending->second.waiters.push_back(std::move(answer));
      }
    }
  }
  Run(calls);
  if (ask) Ask(key);
}

void CSlideImages::OnImage(const SlideImage& image) {
  Calls calls;
  Key key(image.revision, image.index, image.width);
  {
    std::lock_guard<std::mutex> lock(lock_);
    const Clock::time_point now = Now();
    Expire(now, &calls);
    if (image.png.empty()) {
      Fail(key, now, &calls);
    } else {
      auto png = std::make_shared<const std::string>(image.png);
      failedUntil_.erase(key);
      if (image.revision == position_.revision) Store(key, png);
      auto it = pending_.find(key);
      if (it != pending_.end()) {
        for (Answer& answer : it->second.waiters) {
          calls.push_back([answer = std::move(answer), png] { answer(Status::Ok, png); });
        }
        pending_.erase(it);
      }
    }
  }
  Run(calls);
}

void CSlideImages::OnPosition(const SlidePosition& position) {
  Calls calls;
  std::vector<Key> asks;
  {
    std::lock_guard<std::mutex> lock(lock_);
    const Clock::time_point now = Now();
    Expire(now, &calls);
    const bool moved = position.index != position_.index || position.revision != position_.revision;
    if (position.revision != position_.revision) DropRevisionsBut(position.revision);
    position_ = position;
    if (moved && position.images && position.index > 0) {
      // The slide on show first, then the one "next" brings, then "previous".
      for (std::int32_t index : {position.index, position.index + 1, position.index - 1}) {
        if (index < 1 || index > position.count) continue;
        for (std::int32_t width : widths_) {
          Key key(position.revision, index, width);
          if (Known(key, now) || pending_.size() >= limits_.prefetchPendingLimit) continue;
          pending_[key].since = now;
          asks.push_back(key);
        }
      }
    }
  }
  Run(calls);
  for (const Key& key : asks) Ask(key);
}
