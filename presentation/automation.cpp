#include "presentation/automation.h"

#include <chrono>
#include <cstring>

#include "presentation/ports.h"

AutoValue AutoValue::Bool(bool v) {
  AutoValue value;
  value.kind = Kind::Bool;
  value.boolValue = v;
  return value;
}

AutoValue AutoValue::Int32(std::int32_t v) {
  AutoValue value;
  value.kind = Kind::Int32;
  value.intValue = v;
  return value;
}

AutoValue AutoValue::Float(float v) {
  AutoValue value;
  value.kind = Kind::Float;
  value.number = v;
  return value;
}

AutoValue AutoValue::Double(double v) {
  AutoValue value;
  value.kind = Kind::Double;
  value.number = v;
  return value;
}

AutoValue AutoValue::Text(std::u16string v) {
  AutoValue value;
  value.kind = Kind::Text;
  value.text = std::move(v);
  return value;
}

AutoValue AutoValue::Object(AutomationPtr v) {
  AutoValue value;
  value.kind = Kind::Object;
  value.object = std::move(v);
  return value;
}

bool operator==(const InterfaceId& a, const InterfaceId& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

namespace {
thread_local std::shared_ptr<IApartment> currentApartment;
}

std::shared_ptr<IApartment> CurrentApartment() { return currentApartment; }
void SetCurrentApartment(std::shared_ptr<IApartment> apartment) {
  currentApartment = std::move(apartment);
}

HResult GetProperty(IAutomationObject* object, const std::u16string& member, AutoValue* result) {
  *result = AutoValue();
  if (!object) return kPointer;
  HResult hr = object->Invoke(member, InvokeKind::PropertyGet, {}, result);
  if (Failed(hr)) *result = AutoValue();
  return hr;
}

HResult GetObjectProperty(IAutomationObject* object, const std::u16string& member,
                          AutomationPtr* result) {
  result->reset();
  AutoValue value;
  HResult hr = GetProperty(object, member, &value);
  if (Failed(hr)) return hr;
  // A property that answers something other than an object (or a null
  // object) is no use to the caller that wants to go on from it.
  if (value.kind != AutoValue::Kind::Object || !value.object) return kFail;
  *result = std::move(value.object);
  return hr;
}

HResult CallMethod(IAutomationObject* object, const std::u16string& member,
                   const std::vector<AutoValue>& args, AutoValue* result) {
  AutoValue ignored;
  AutoValue* out = result ? result : &ignored;
  *out = AutoValue();
  if (!object) return kPointer;
  HResult hr = object->Invoke(member, InvokeKind::Method, args, out);
  if (Failed(hr)) *out = AutoValue();
  return hr;
}

HResult PutProperty(IAutomationObject* object, const std::u16string& member,
                    const AutoValue& value) {
  if (!object) return kPointer;
  AutoValue ignored;
  if (value.IsReferenceLike()) {
    HResult hr = object->Invoke(member, InvokeKind::PropertyPutRef, {value}, &ignored);
    if (Succeeded(hr)) return hr;
  }
  return object->Invoke(member, InvokeKind::PropertyPut, {value}, &ignored);
}

std::uint32_t SystemTickCount() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}
