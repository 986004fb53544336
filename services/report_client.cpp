#include "services/report_client.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>

namespace Report {

struct CReportClient::Sender {
  Sender(std::string u, HttpTimeLimits l)
      : url(std::move(u)), limits(l), work(boost::asio::make_work_guard(io)) {}

  bool Send(const std::string& body) const {
    CHttpClient http(url, limits);
    return http.ParseUrl() && http.BuildPostRequest(body) && http.Connect() && http.Exchange() &&
           http.Error() == HttpErrorNone && http.Status() == 200;
  }

  const std::string url;
  const HttpTimeLimits limits;
  // Set first by the destructor: on Windows io_context::stop() still runs
  // the handlers queued before it, so each one checks this itself.
  std::atomic<bool> stopping{false};
  boost::asio::io_context io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work;

  std::mutex mutex;
  std::condition_variable changed;
  std::size_t unsent = 0;  // posted and neither sent nor failed yet
  bool finished = false;   // the thread has left io.run()
  bool abandoned = false;  // a drain gave up: do not wait for the thread
};

CReportClient::CReportClient(std::string url, HttpTimeLimits limits)
    : sender_(std::make_shared<Sender>(std::move(url), limits)) {
  std::shared_ptr<Sender> s = sender_;
  thread_ = std::thread([s] {
    s->io.run();
    std::lock_guard<std::mutex> lock(s->mutex);
    s->finished = true;
    s->changed.notify_all();
  });
}

CReportClient::~CReportClient() {
  // The body being sent is finished; the queued ones are dropped unsent.
  sender_->stopping = true;
  sender_->io.stop();
  bool abandoned;
  {
    std::lock_guard<std::mutex> lock(sender_->mutex);
    abandoned = sender_->abandoned && !sender_->finished;
  }
  if (!thread_.joinable()) return;
  if (abandoned) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

bool CReportClient::PostReport(const std::string& body) {
  // A raw pointer: the handler lives inside s->io, so s outlives it, and a
  // counted one would keep a dropped handler's Sender alive for ever.
  Sender* s = sender_.get();
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    ++s->unsent;
  }
  boost::asio::post(s->io, [s, body] {
    if (!s->stopping) {
      // A report is fire-and-forget; nothing may end the sender thread.
      try {
        s->Send(body);
      } catch (...) {
      }
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    --s->unsent;
    s->changed.notify_all();
  });
  return true;
}

bool CReportClient::SendReport(const std::string& body) { return sender_->Send(body); }

bool CReportClient::Drain(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(sender_->mutex);
  bool drained = sender_->changed.wait_until(
      lock, deadline, [this] { return sender_->unsent == 0 || sender_->finished; });
  if (!drained || sender_->unsent != 0) sender_->abandoned = true;
  return drained && sender_->unsent == 0;
}

}  // namespace Report
