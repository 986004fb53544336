#include "services/report_client.h"

#include <boost/asio/post.hpp>

#include <utility>

namespace Report {

CReportClient::CReportClient(std::string url, HttpTimeLimits limits)
    : url_(std::move(url)),
      limits_(limits),
      work_(boost::asio::make_work_guard(io_)),
      sender_([this] { io_.run(); }) {}

CReportClient::~CReportClient() {
  // The body being sent is finished; the queued ones are dropped unsent and
  // freed with io_.
  stopping_ = true;
  io_.stop();
  if (sender_.joinable()) sender_.join();
}

bool CReportClient::PostReport(const std::string& body) {
  boost::asio::post(io_, [this, body] {
    if (stopping_) return;
    // A report is fire-and-forget; nothing may end the sender thread.
    try {
      SendReport(body);
    } catch (...) {
    }
  });
  return true;
}

bool CReportClient::SendReport(const std::string& body) {
  CHttpClient http(url_, limits_);
  return http.ParseUrl() && http.BuildPostRequest(body) && http.Connect() && http.Exchange() &&
         http.Error() == HttpErrorNone && http.Status() == 200;
}

}  // namespace Report
