// Posts report bodies to the report service, either at once on the caller's
// thread or, queued, one at a time in order on a sender thread of its own.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <string>
#include <thread>

#include "services/http_client.h"

namespace Report {

class CReportClient final {
 public:
  // url is the report service's address, "http://host[:port]/report".
  // Starts the sender thread.
  CReportClient(std::string url, HttpTimeLimits limits);
  // Discards queued bodies whose sending has not begun, then waits for the
  // one being sent (bounded by the time limits).
  ~CReportClient();
  CReportClient(const CReportClient&) = delete;
  CReportClient& operator=(const CReportClient&) = delete;

  // Queues a copy of body for the sender thread; true at once.
  virtual bool PostReport(const std::string& body);
  // Sends body now; true when the service answered 200.
  virtual bool SendReport(const std::string& body);

 private:
  std::string url_;
  HttpTimeLimits limits_;
  // Set first by the destructor: on Windows io_context::stop() still runs
  // the handlers queued before it, so each one checks this itself.
  std::atomic<bool> stopping_{false};
  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::thread sender_;
};

}  // namespace Report
