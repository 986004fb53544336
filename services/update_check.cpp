#include "services/update_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "json/json.h"
#include "services/report_mgr.h"
#include "services/update.h"

namespace Report {

namespace {

void ReportUpdateFound(IReportMgr* reports) {
  if (!reports) return;
  if (IReportData* data = reports->CreateData(ReportCmdUpdate)) {
    data->PutValues(2, Field::Done, Int, 1, Field::Marker, Int, 1);
    reports->SendData(data, Queued, 0, 0);
    reports->ReleaseData(data);
  }
}

}  // namespace

std::string ComputeServiceBaseUrl(const std::string& programPath) {
  std::string base;
  std::size_t separator = programPath.find_last_of("\\/");
  if (separator != std::string::npos) {
    std::string file = programPath.substr(0, separator + 1) + kServiceBaseFileName;
    if (std::FILE* f = std::fopen(file.c_str(), "r")) {
      char buffer[kServiceBaseFileLimit + 1] = {};
      std::size_t n = std::fread(buffer, 1, sizeof buffer, f);
      std::fclose(f);
      // Taken as it is: a line end in the file stays part of the address.
      if (n > 0) base.assign(buffer, strnlen(buffer, std::min(n, kServiceBaseFileLimit)));
    }
  }
  if (base.empty()) base = "http://" PIVARO_UPDATE_HOST "/tavmix/";
  return base;
}

std::string GetServiceBaseUrl() {
  static const std::string base = ComputeServiceBaseUrl(ProgramPath());
  return base;
}

std::int32_t ReadUpdateDocument(const std::string& body, const std::u16string& version,
                                bool& listed) {
  listed = false;
  try {
    std::u16string text;
    if (!ToWide(body, 65001, text)) return UpdateNone;
    JsonPtr entries = JsonParse(text).ToArray();
    for (std::size_t i = 0; i < entries.Size(); ++i) {
      JsonPtr entry = entries.At(i).ToArray();
      // An entry without elements has no version to compare.
      if (entry.Size() == 0 || entry.At(0).AsString() != version) continue;
      listed = true;
      if (entry.Size() < 2) return UpdateNone;
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(entry.At(1).AsInt64()));
    }
  } catch (...) {
    // Unparsable documents count as saying nothing.
    listed = false;
  }
  return UpdateNone;
}

std::int32_t CheckForUpdateAt(const std::string& updateUrl, IReportMgr* reports,
                              const HttpTimeLimits& limits) {
  try {
    CHttpClient http(updateUrl, limits);
    if (!http.ParseUrl() || !http.BuildGetRequest() || !http.Connect() || !http.Exchange() ||
        http.Error() != HttpErrorNone || http.Status() != 200) {
      return UpdateNone;
    }
    std::ostringstream body;
    http.ReceiveBody(body);
    bool listed = false;
    std::int32_t state = ReadUpdateDocument(body.str(), kProgramVersion, listed);
    if (listed) ReportUpdateFound(reports);
    return state;
  } catch (...) {
    // Every fault of the exchange leaves the program as if the service had
    // said nothing.
  }
  return UpdateNone;
}

std::int32_t CheckForUpdate() {
  return CheckForUpdateAt(GetServiceBaseUrl() + "update", ReportMgr::Instance(), HttpTimeLimits());
}

}  // namespace Report
