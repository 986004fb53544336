// Usage reporting behind the interfaces of "services/report.h": the report
// data objects, the process-wide report manager and its settings.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "json/json.h"
#include "services/http_client.h"
#include "services/report.h"
#include "services/report_client.h"

namespace Report {

class CReportData final : public IReportData {
 public:
  explicit CReportData(std::int32_t cmdId) : cmdId_(cmdId) {}
  virtual ~CReportData() = default;

  void PutInt(std::int32_t key, std::int32_t value) override;
  std::int32_t GetInt(std::int32_t key) override;
  void AddInt(std::int32_t key, std::int32_t delta) override;
  void SubInt(std::int32_t key, std::int32_t delta) override;
  void PutString(std::int32_t key, const char* text) override;
  const char* GetString(std::int32_t key) override;
  void PutWString(std::int32_t key, const char16_t* text) override;
  const char16_t* GetWString(std::int32_t key) override;
  void PutDouble(std::int32_t key, double value) override;
  double GetDouble(std::int32_t key) override;
  void PutValues(std::int32_t count, ...) override;

  struct Value {
    ReportValueType type = Int;
    std::int32_t integer = 0;
    double real = 0.0;
    std::string narrow;
    std::u16string wide;
  };

  std::int32_t CmdId() const { return cmdId_; }
  // In ascending numeric order of the keys.
  const std::map<std::int32_t, Value>& Values() const { return values_; }

 private:
  const Value* Lookup(std::int32_t key, ReportValueType type) const;

  std::int32_t cmdId_;
  std::map<std::int32_t, Value> values_;
};

// Where the reports go and whose they are. Tests and tools point it at a
// local server; the program uses the defaults.
struct ReportSettings {
  // The report service; PIVARO_REPORT_HOST is a build-time deployment setting.
  std::string url = "http://" PIVARO_REPORT_HOST "/report";
  HttpTimeLimits limits;
  // The machine GUID in its 32-digit text form. Empty: the machine identity
  // (Base::GUID::GetMachineGuidStringW).
  std::function<std::u16string()> machineGuid;
};

class CReportMgr : public IReportMgr {
 public:
  // Uses the settings last given to SetDefaultSettings, else the defaults.
  CReportMgr();
  explicit CReportMgr(ReportSettings settings);
  // Destroys both clients: queued reports not yet begun are dropped, the one
  // being sent is waited for.
  virtual ~CReportMgr();
  CReportMgr(const CReportMgr&) = delete;
  CReportMgr& operator=(const CReportMgr&) = delete;

  // Settings for managers made by the default constructor from now on (the
  // singleton included), so that a test of the whole program can keep its
  // reports on loopback.
  static void SetDefaultSettings(ReportSettings settings);

  void Initialize(std::int32_t softId, std::int32_t serviceId, const char16_t* version,
                  const char16_t* supplyId) override;
  IReportData* CreateData(std::int32_t cmdId) override;
  void ReleaseData(IReportData* data) override;
  bool SendText(std::int32_t unused1, const char* body, std::int32_t length, std::int32_t mode,
                std::int32_t unused2, std::int32_t unused3) override;
  void SendData(IReportData* data, std::int32_t mode, std::int32_t unused1,
                std::int32_t unused2) override;

  // Gives the queued reports up to `limit` to leave, then lets destruction
  // go without waiting for a slow service (see CReportClient::Drain). True
  // when every queued report was sent or had failed in time.
  bool Drain(std::chrono::milliseconds limit);

 private:
  // The record for data as UTF-8 JSON, empty when it cannot be encoded.
  // Called with mutex_ held.
  std::string BuildRecord(const CReportData& data);
  CReportClient* ClientFor(std::int32_t mode);
  void Send(CReportClient* client, std::int32_t mode, const std::string& body);

  ReportSettings settings_;
  std::mutex mutex_;
  JsonPtr common_;
  std::unique_ptr<CReportClient> queued_;
  std::unique_ptr<CReportClient> immediate_;
};

// The process-wide report manager.
using ReportMgr = Singleton<CReportMgr, 1>;

}  // namespace Report
