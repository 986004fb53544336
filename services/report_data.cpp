#include <cstdarg>

#include "services/report_mgr.h"

namespace Report {

namespace {

// Wrapping arithmetic: AddInt and SubInt must not overflow into undefined
// behaviour.
std::int32_t Wrap(std::uint32_t v) { return static_cast<std::int32_t>(v); }

}  // namespace

const CReportData::Value* CReportData::Lookup(std::int32_t key, ReportValueType type) const {
  auto it = values_.find(key);
  if (it == values_.end() || it->second.type != type) return nullptr;
  return &it->second;
}

void CReportData::PutInt(std::int32_t key, std::int32_t value) {
  Value v;
  v.type = Int;
  v.integer = value;
  values_[key] = std::move(v);
}

std::int32_t CReportData::GetInt(std::int32_t key) {
  const Value* v = Lookup(key, Int);
  return v ? v->integer : 0;
}

void CReportData::AddInt(std::int32_t key, std::int32_t delta) {
  PutInt(key, Wrap(static_cast<std::uint32_t>(GetInt(key)) + static_cast<std::uint32_t>(delta)));
}

void CReportData::SubInt(std::int32_t key, std::int32_t delta) {
  PutInt(key, Wrap(static_cast<std::uint32_t>(GetInt(key)) - static_cast<std::uint32_t>(delta)));
}

void CReportData::PutString(std::int32_t key, const char* text) {
  if (!text) return;
  Value v;
  v.type = String;
  v.narrow = text;
  values_[key] = std::move(v);
}

const char* CReportData::GetString(std::int32_t key) {
  const Value* v = Lookup(key, String);
  return v ? v->narrow.c_str() : nullptr;
}

void CReportData::PutWString(std::int32_t key, const char16_t* text) {
  if (!text) return;
  Value v;
  v.type = WString;
  v.wide = text;
  values_[key] = std::move(v);
}

const char16_t* CReportData::GetWString(std::int32_t key) {
  const Value* v = Lookup(key, WString);
  return v ? v->wide.c_str() : nullptr;
}

void CReportData::PutDouble(std::int32_t key, double value) {
  Value v;
  v.type = Double;
  v.real = value;
  values_[key] = std::move(v);
}

double CReportData::GetDouble(std::int32_t key) {
  const Value* v = Lookup(key, Double);
  return v ? v->real : 0.0;
}

void CReportData::PutValues(std::int32_t count, ...) {
  va_list args;
  va_start(args, count);
  for (std::int32_t i = 0; i < count; ++i) {
    std::int32_t key = va_arg(args, int);
    std::int32_t type = va_arg(args, int);
    if (type == Int) {
      PutInt(key, va_arg(args, int));
    } else if (type == String) {
      const char* text = va_arg(args, const char*);
      if (!text || !*text) break;
      PutString(key, text);
    } else if (type == WString) {
      const char16_t* text = va_arg(args, const char16_t*);
      if (text && *text) PutWString(key, text);
    } else if (type == Double) {
      PutDouble(key, va_arg(args, double));
    } else {
      break;
    }
  }
  va_end(args);
}

}  // namespace Report
