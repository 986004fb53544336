// The pieces of the update check and of the service base address, apart
// from the process-wide state they are normally used with, so that they can
// be pointed at a local server or a chosen folder.
#pragma once

#include <cstdint>
#include <string>

#include "services/http_client.h"
#include "services/report.h"

namespace Report {

// The override file's name, looked for in the program's folder.
constexpr char kServiceBaseFileName[] = "{22A3B84B-929B-4344-B628-A44482DD10B5}.txt";
// The longest base address taken from the override file.
constexpr std::size_t kServiceBaseFileLimit = 259;

// The program's own path (empty when it cannot be found).
std::string ProgramPath();

// The service base address for a program at programPath: the override file
// in its folder when it holds at least one byte, else the built-in address.
std::string ComputeServiceBaseUrl(const std::string& programPath);

// Reads an update document (the response body, UTF-8 JSON): the number of
// the first entry whose version text equals `version`, truncated to 32 bits.
// `listed` tells whether such an entry exists. A matching entry without a
// number, a body that is not JSON and a document without the version give
// UpdateNone. Never throws.
std::int32_t ReadUpdateDocument(const std::string& body, const std::u16string& version,
                                bool& listed);

// Asks the update service at updateUrl; sends the ReportCmdUpdate report
// through reports (may be null: no report) when the document lists
// kProgramVersion. Every problem gives UpdateNone.
std::int32_t CheckForUpdateAt(const std::string& updateUrl, IReportMgr* reports,
                              const HttpTimeLimits& limits);

}  // namespace Report
