#include "tests/support/win32/dispatch_bridge.h"

#include <ocidl.h>
#include <ole2.h>
#include <olectl.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "presentation/win32/variants.h"

namespace {

// Member names and their dispatch ids, shared by every object of the server
// so that an id means the same member whichever object it is used on.
class NameTable {
 public:
  DISPID IdOf(const std::u16string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = ids_.find(name);
    if (it != ids_.end()) return it->second;
    names_.push_back(name);
    const DISPID id = static_cast<DISPID>(names_.size());
    ids_.emplace(name, id);
    return id;
  }
  bool NameOf(DISPID id, std::u16string* name) {
    std::lock_guard<std::mutex> guard(lock_);
    if (id < 1 || static_cast<std::size_t>(id) > names_.size()) return false;
    *name = names_[id - 1];
    return true;
  }

 private:
  std::mutex lock_;
  std::map<std::u16string, DISPID> ids_;
  std::vector<std::u16string> names_;
};

NameTable& Names() {
  static NameTable* table = new NameTable();  // outlives every object
  return *table;
}

InterfaceId ToInterfaceId(REFIID guid) {
  InterfaceId iid;
  iid.data1 = guid.Data1;
  iid.data2 = guid.Data2;
  iid.data3 = guid.Data3;
  std::memcpy(iid.data4, guid.Data4, sizeof iid.data4);
  return iid;
}

HRESULT ToVariant(const AutoValue& value, VARIANT* v) {
  VariantInit(v);
  HRESULT hr;
  if (PlainToVariant(value, v, &hr)) return hr;
  // A model object goes out wrapped in a dispatch object of its own.
  if (!value.object) return S_OK;
  V_VT(v) = VT_DISPATCH;
  V_DISPATCH(v) = BridgeAutomationObject(value.object, false);
  return V_DISPATCH(v) ? S_OK : E_OUTOFMEMORY;
}

// Only the plain kinds a client puts or passes; anything else is refused.
HRESULT FromVariant(const VARIANT& source, AutoValue* value) {
  VARIANT v;
  VariantInit(&v);
  HRESULT hr = VariantCopyInd(&v, const_cast<VARIANT*>(&source));
  if (FAILED(hr)) return hr;
  hr = S_OK;
  switch (V_VT(&v)) {
    case VT_EMPTY:
      *value = AutoValue();
      break;
    case VT_BOOL:
      *value = AutoValue::Bool(V_BOOL(&v) != VARIANT_FALSE);
      break;
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_UI1:
      hr = VariantChangeType(&v, &v, 0, VT_I4);
      if (SUCCEEDED(hr)) *value = AutoValue::Int32(V_I4(&v));
      break;
    case VT_R4:
      *value = AutoValue::Float(V_R4(&v));
      break;
    case VT_R8:
      *value = AutoValue::Double(V_R8(&v));
      break;
    case VT_BSTR:
      *value =
          AutoValue::Text(V_BSTR(&v) ? std::u16string(reinterpret_cast<const char16_t*>(V_BSTR(&v)),
                                                      SysStringLen(V_BSTR(&v)))
                                     : std::u16string());
      break;
    default:
      hr = DISP_E_TYPEMISMATCH;
      break;
  }
  VariantClear(&v);
  return hr;
}

// Forwards the model's events to one advised client sink. Holds the sink's
// IDispatch (a proxy into the client's process); a call that fails because
// the client went away is simply lost, as a real application's would be.
class ClientSink : public IAutomationEventSink {
 public:
  explicit ClientSink(IDispatch* adopt) : client_(adopt) {}
  ~ClientSink() override { client_->Release(); }

  HResult Invoke(std::int32_t dispatchId, const std::vector<AutoValue>& reversedArgs) override {
    std::vector<VARIANT> args(reversedArgs.size());
    HRESULT hr = S_OK;
    for (std::size_t i = 0; i < args.size(); ++i) {
      HRESULT converted = ToVariant(reversedArgs[i], &args[i]);
      if (FAILED(converted)) hr = converted;
    }
    if (SUCCEEDED(hr)) {
      DISPPARAMS params = {args.data(), nullptr, static_cast<UINT>(args.size()), 0};
      hr = client_->Invoke(dispatchId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                           nullptr, nullptr, nullptr);
    }
    for (VARIANT& v : args) VariantClear(&v);
    return hr;
  }

 private:
  IDispatch* client_;
};

class BridgeObject;

class ConnectionPoint : public IConnectionPoint {
 public:
  ConnectionPoint(BridgeObject* container, AutomationPtr object, const GUID& iid);
  virtual ~ConnectionPoint();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
      *out = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    // The client's sink is reached through IDispatch alone, which COM
    // marshals without a type library of the events interface.
    IDispatch* dispatch = nullptr;
    HRESULT hr = sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    if (FAILED(hr) || !dispatch) return CONNECT_E_CANNOTCONNECT;
    try {
      auto forward = std::make_shared<ClientSink>(dispatch);
      std::uint32_t connection = 0;
      hr = object_->Advise(ToInterfaceId(iid_), forward, &connection);
      if (SUCCEEDED(hr)) *cookie = connection;
      return hr;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    return object_->Unadvise(ToInterfaceId(iid_), cookie);
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  LONG refs_ = 1;
  BridgeObject* container_;
  AutomationPtr object_;
  GUID iid_;
};

class BridgeObject : public IDispatch, public IConnectionPointContainer {
 public:
  BridgeObject(AutomationPtr object, bool application)
      : object_(std::move(object)), application_(application) {
    CoAddRefServerProcess();
  }
  virtual ~BridgeObject() {
    // The last object of the server gone: nothing keeps it running.
    if (CoReleaseServerProcess() == 0) PostQuitMessage(0);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *out = static_cast<IDispatch*>(this);
    } else if (application_ && IsEqualIID(riid, IID_IConnectionPointContainer)) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!names || !ids || count == 0) return E_INVALIDARG;
    try {
      // Named arguments are not part of this object model.
      for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
      if (!names[0]) return E_INVALIDARG;
      ids[0] = Names().IdOf(reinterpret_cast<const char16_t*>(names[0]));
      return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT*) override {
    HRESULT hr;
    try {
      hr = InvokeMember(id, flags, params, result);
    } catch (...) {
      hr = E_OUTOFMEMORY;
    }
    return Raise(hr, exception);
  }

  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(riid, ToGuid(kApplicationEventsIid))) return CONNECT_E_NOCONNECTION;
    auto* point = new (std::nothrow) ConnectionPoint(this, object_, riid);
    if (!point) return E_OUTOFMEMORY;
    *out = point;
    return S_OK;
  }

 private:
  HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result) {
    if (result) VariantInit(result);
    std::u16string member;
    if (!Names().NameOf(id, &member)) return DISP_E_MEMBERNOTFOUND;
    const UINT count = params ? params->cArgs : 0;
    if (count > 0 && !params->rgvarg) return E_INVALIDARG;
    std::vector<AutoValue> args(count);
    // COM passes the arguments last first.
    for (UINT i = 0; i < count; ++i) {
      HRESULT hr = FromVariant(params->rgvarg[count - 1 - i], &args[i]);
      if (FAILED(hr)) return hr;
    }

    AutoValue answer;
    HResult hr = kMemberNotFound;
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
      const InvokeKind kind =
          (flags & DISPATCH_PROPERTYPUTREF) ? InvokeKind::PropertyPutRef : InvokeKind::PropertyPut;
      hr = object_->Invoke(member, kind, args, &answer);
      return hr;
    }
    // Script clients ask for "method or property"; try both in that case.
    if (flags & DISPATCH_METHOD) hr = object_->Invoke(member, InvokeKind::Method, args, &answer);
    if ((flags & DISPATCH_PROPERTYGET) && (!(flags & DISPATCH_METHOD) || hr == kMemberNotFound))
      hr = object_->Invoke(member, InvokeKind::PropertyGet, args, &answer);
    if (SUCCEEDED(hr) && result) {
      HRESULT converted = ToVariant(answer, result);
      if (FAILED(converted)) return converted;
    }
    return hr;
  }

  // The application's own failures (a member that cannot answer now, an
  // index out of range) reach the caller as PowerPoint reports them: as
  // DISP_E_EXCEPTION with the code in the exception information. Failures
  // of the call itself (unknown member, wrong arguments) stay direct.
  static HRESULT Raise(HRESULT hr, EXCEPINFO* exception) {
    if (SUCCEEDED(hr) || !exception) return hr;
    switch (hr) {
      case DISP_E_MEMBERNOTFOUND:
      case DISP_E_UNKNOWNNAME:
      case DISP_E_TYPEMISMATCH:
      case DISP_E_BADPARAMCOUNT:
      case DISP_E_PARAMNOTOPTIONAL:
      case DISP_E_BADVARTYPE:
        return hr;
      default:
        break;
    }
    *exception = EXCEPINFO{};
    exception->scode = hr;
    exception->bstrSource = SysAllocString(L"Pivaro test presentation server");
    exception->bstrDescription = SysAllocString(L"The simulated application refused the call.");
    return DISP_E_EXCEPTION;
  }

  LONG refs_ = 1;
  AutomationPtr object_;
  bool application_;
};

ConnectionPoint::ConnectionPoint(BridgeObject* container, AutomationPtr object, const GUID& iid)
    : container_(container), object_(std::move(object)), iid_(iid) {
  static_cast<IDispatch*>(container_)->AddRef();
}

ConnectionPoint::~ConnectionPoint() { static_cast<IDispatch*>(container_)->Release(); }

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  return static_cast<IDispatch*>(container_)
      ->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(out));
}

}  // namespace

IDispatch* BridgeAutomationObject(AutomationPtr object, bool application) {
  if (!object) return nullptr;
  auto* bridge = new (std::nothrow) BridgeObject(std::move(object), application);
  return bridge ? static_cast<IDispatch*>(bridge) : nullptr;
}
