// Posts report bodies to the report service, either at once on the caller's
// thread or, queued, one at a time in order on a sender thread of its own.
#pragma once

#include <chrono>
#include <memory>
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
  // one being sent (bounded by the time limits) unless a Drain gave up on it.
  ~CReportClient();
  CReportClient(const CReportClient&) = delete;
  CReportClient& operator=(const CReportClient&) = delete;

  // Queues a copy of body for the sender thread; true at once.
  virtual bool PostReport(const std::string& body);
  // Sends body now; true when the service answered 200.
  virtual bool SendReport(const std::string& body);

  // Waits until every queued body has been sent or has failed, at most
  // until deadline; true when nothing is left. When it gives up, the
  // destructor no longer waits for the body in flight: the sender thread
  // finishes that one alone, so closing the program stays quick however
  // slow the service is.
  bool Drain(std::chrono::steady_clock::time_point deadline);

 private:
  // Everything the sender thread touches; shared with it, so that a thread
  // left to finish its last exchange never outlives what it uses.
  struct Sender;
  std::shared_ptr<Sender> sender_;
  std::thread thread_;
};

}  // namespace Report
