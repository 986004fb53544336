// Conversions between the automation port's values and COM's: interface ids
// to GUIDs, and the plain values (nothing, truth, numbers, text) to
// VARIANTs. Objects are left to the caller: the IDispatch client unwraps its
// own proxies, the test COM server wraps its model's objects.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include "presentation/automation.h"

GUID ToGuid(const InterfaceId& iid);

// Writes a plain value into v, which the caller has initialised, and sets
// *result (S_OK, or E_OUTOFMEMORY for text that could not be copied). False
// for an object, leaving v and *result untouched.
bool PlainToVariant(const AutoValue& value, VARIANT* v, HRESULT* result);
