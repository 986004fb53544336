#include "services/report_mgr.h"

#include <chrono>
#include <new>
#include <utility>

#include "services/machine_guid.h"

namespace Report {

namespace {

std::mutex& DefaultSettingsMutex() {
  static std::mutex m;
  return m;
}

ReportSettings& DefaultSettings() {
  static ReportSettings settings;
  return settings;
}

ReportSettings CopyDefaultSettings() {
  std::lock_guard<std::mutex> lock(DefaultSettingsMutex());
  return DefaultSettings();
}

std::u16string MachineGuidFromIdentity() {
  char16_t buffer[260] = {};
  if (!Base::GUID::GetMachineGuidStringW(buffer)) return std::u16string();
  return std::u16string(buffer);
}

std::u16string Decimal(std::int32_t n) {
  std::string digits = std::to_string(n);
  return std::u16string(digits.begin(), digits.end());
}

JsonPtr NumberMember(const std::u16string& name) {
  JsonPtr v = JsonNew(JsonKind::Number);
  v.SetName(name);
  return v;
}

JsonPtr IntMember(const std::u16string& name, std::int32_t n) {
  JsonPtr v = NumberMember(name);
  v.SetInt(n);
  return v;
}

JsonPtr DataMember(std::int32_t key, const CReportData::Value& value) {
  const std::u16string name = Decimal(key);
  switch (value.type) {
    case String: {
      std::u16string wide;
      ToWide(value.narrow, 0, wide);
      return JsonNewString(name, wide);
    }
    case WString:
      return JsonNewString(name, value.wide);
    case Double: {
      JsonPtr v = NumberMember(name);
      v.SetDouble(value.real);
      return v;
    }
    case Int:
    default:
      return IntMember(name, value.integer);
  }
}

}  // namespace

std::mutex& SingletonMutex() {
  static std::mutex m;
  return m;
}

CReportMgr::CReportMgr() : CReportMgr(CopyDefaultSettings()) {}

CReportMgr::CReportMgr(ReportSettings settings)
    : settings_(std::move(settings)), common_(JsonNew(JsonKind::Object)) {
  if (!settings_.machineGuid) settings_.machineGuid = MachineGuidFromIdentity;
}

CReportMgr::~CReportMgr() {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.reset();
  immediate_.reset();
}

void CReportMgr::SetDefaultSettings(ReportSettings settings) {
  std::lock_guard<std::mutex> lock(DefaultSettingsMutex());
  DefaultSettings() = std::move(settings);
}

void CReportMgr::Initialize(std::int32_t softId, std::int32_t serviceId, const char16_t* version,
                            const char16_t* supplyId) {
  std::u16string guid = settings_.machineGuid();
  std::lock_guard<std::mutex> lock(mutex_);
  // Built afresh, so a second call cannot leave the members twice.
  JsonPtr common = JsonNew(JsonKind::Object);
  common.Append(JsonNewString(u"guid", guid));
  common.Append(IntMember(u"softid", softId));
  common.Append(IntMember(u"serviceid", serviceId));
  common.Append(JsonNewString(u"v", version ? version : u""));
  common.Append(JsonNewString(u"supplyid", supplyId ? supplyId : u""));
  common_ = common;
}

IReportData* CReportMgr::CreateData(std::int32_t cmdId) {
  return new (std::nothrow) CReportData(cmdId);
}

void CReportMgr::ReleaseData(IReportData* data) { delete static_cast<CReportData*>(data); }

CReportClient* CReportMgr::ClientFor(std::int32_t mode) {
  std::unique_ptr<CReportClient>* slot = nullptr;
  if (mode == Queued) slot = &queued_;
  if (mode == Immediate) slot = &immediate_;
  if (!slot) return nullptr;
  if (!*slot) {
    try {
      *slot = std::make_unique<CReportClient>(settings_.url, settings_.limits);
    } catch (...) {
      return nullptr;  // no thread could be started: the report is dropped
    }
  }
  return slot->get();
}

void CReportMgr::Send(CReportClient* client, std::int32_t mode, const std::string& body) {
  if (mode == Queued) {
    client->PostReport(body);
  } else {
    client->SendReport(body);
  }
}

bool CReportMgr::SendText(std::int32_t, const char* body, std::int32_t length, std::int32_t mode,
                          std::int32_t, std::int32_t) {
  if (!body || length < 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    CReportClient* client = ClientFor(mode);
    if (!client) return false;
    Send(client, mode, std::string(body, static_cast<std::size_t>(length)));
    return true;
  } catch (...) {
    return false;
  }
}

std::string CReportMgr::BuildRecord(const CReportData& data) {
  JsonPtr values = JsonNew(JsonKind::Object);
  values.SetName(u"data");
  for (const auto& entry : data.Values()) values.Append(DataMember(entry.first, entry.second));
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  JsonPtr time = NumberMember(u"100");
  time.SetUInt(
      static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count()));
  values.Append(time);

  JsonPtr record = common_;  // copy-on-write: common_ itself stays as it is
  record.Append(IntMember(u"cmdid", data.CmdId()));
  record.Append(values);
  std::string body;
  if (!ToUtf8(JsonWrite(record), body)) body.clear();
  return body;
}

void CReportMgr::SendData(IReportData* data, std::int32_t mode, std::int32_t, std::int32_t) {
  if (!data) return;
  std::lock_guard<std::mutex> lock(mutex_);
  // Callers include notification callbacks, which no exception may leave;
  // a report that cannot be built is simply not sent.
  try {
    CReportClient* client = ClientFor(mode);
    if (!client) return;
    std::string body = BuildRecord(*static_cast<CReportData*>(data));
    if (!body.empty()) Send(client, mode, body);
  } catch (...) {
  }
}

bool CReportMgr::Drain(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // Not under mutex_: SendData may still queue meanwhile, and the wait must
  // not hold up a caller that builds a report. Only destruction replaces
  // queued_, and it does not run beside this.
  CReportClient* client;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    client = queued_.get();
  }
  return !client || client->Drain(deadline);
}

}  // namespace Report
