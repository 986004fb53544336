// The update check and the service base address.
//
// Calling pattern: the main dialog calls CheckForUpdate once, on the UI
// thread while it is being constructed (it blocks for the whole exchange,
// at most a few bounded network waits), before any other thread calls
// GetServiceBaseUrl. UpdateRequired makes the window show the update notice
// and end; UpdateOptional shows the update button; any other value (the
// document may hold others) means nothing. The pairing address begins with
// GetServiceBaseUrl().
#pragma once

#include <cstdint>
#include <string>

#include "build_settings.h"

namespace Report {

// The program's version, compared with the update document and sent as "v"
// in every usage report.
constexpr char16_t kProgramVersion[] = u"" PIVARO_VERSION;

enum UpdateState : std::int32_t {
  UpdateNone = 0,
  UpdateOptional = 1,
  UpdateRequired = 2,
};

// The base address of the update service, also the prefix of the pairing
// address. A file named "{22A3B84B-929B-4344-B628-A44482DD10B5}.txt" next to
// the program overrides it with its contents taken as they are (up to 259
// bytes, a line end included); otherwise "http://" PIVARO_UPDATE_HOST
// "/tavmix/". Computed on the first call, then cached for the process.
std::string GetServiceBaseUrl();

// Asks the update service (GetServiceBaseUrl() + "update") whether this
// version is current. Never fails: any problem gives UpdateNone. When the
// document lists this version it sends one ReportCmdUpdate report.
std::int32_t CheckForUpdate();

}  // namespace Report
