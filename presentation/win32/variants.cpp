// The plain values' side of the automation port's COM conversions (see
// variants.h).
#include "presentation/win32/variants.h"

#include <cstring>

GUID ToGuid(const InterfaceId& iid) {
  GUID guid;
  guid.Data1 = iid.data1;
  guid.Data2 = iid.data2;
  guid.Data3 = iid.data3;
  std::memcpy(guid.Data4, iid.data4, sizeof guid.Data4);
  return guid;
}

bool PlainToVariant(const AutoValue& value, VARIANT* v, HRESULT* result) {
  *result = S_OK;
  switch (value.kind) {
    case AutoValue::Kind::Empty:
      V_VT(v) = VT_EMPTY;
      return true;
    case AutoValue::Kind::Bool:
      V_VT(v) = VT_BOOL;
      V_BOOL(v) = value.boolValue ? VARIANT_TRUE : VARIANT_FALSE;
      return true;
    case AutoValue::Kind::Int32:
      V_VT(v) = VT_I4;
      V_I4(v) = value.intValue;
      return true;
    case AutoValue::Kind::Float:
      V_VT(v) = VT_R4;
      V_R4(v) = static_cast<float>(value.number);
      return true;
    case AutoValue::Kind::Double:
      V_VT(v) = VT_R8;
      V_R8(v) = value.number;
      return true;
    case AutoValue::Kind::Text:
      V_VT(v) = VT_BSTR;
      V_BSTR(v) = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(value.text.data()),
                                    static_cast<UINT>(value.text.size()));
      if (!V_BSTR(v)) *result = E_OUTOFMEMORY;
      return true;
    case AutoValue::Kind::Object:
      return false;
  }
  *result = DISP_E_TYPEMISMATCH;
  return true;
}
