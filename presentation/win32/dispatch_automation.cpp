// The automation port over late-bound IDispatch: members resolved with
// GetIDsOfNames and called with Invoke, events through the application's
// connection point.
#include <windows.h>

#include <ocidl.h>
#include <ole2.h>

#include <utility>
#include <vector>

#include "presentation/automation.h"
#include "presentation/win32/system_ports.h"
#include "presentation/win32/variants.h"

namespace {

// Owns one COM reference; moves but never copies, so a reference is never
// released twice.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  explicit ComRef(T* adopt) : p_(adopt) {}
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ComRef(ComRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~ComRef() {
    if (p_) p_->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** Put() { return &p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// What a failed call reports through DISP_E_EXCEPTION: the application's
// own error code when it gives one (PowerPoint's "integer out of range",
// a call rejected while a dialog is open), so that callers can tell the
// failures apart. The texts are freed; a code given only as wCode stays
// DISP_E_EXCEPTION.
HRESULT ExceptionCode(EXCEPINFO* exception) {
  if (exception->pfnDeferredFillIn) exception->pfnDeferredFillIn(exception);
  SysFreeString(exception->bstrSource);
  SysFreeString(exception->bstrDescription);
  SysFreeString(exception->bstrHelpFile);
  exception->bstrSource = exception->bstrDescription = exception->bstrHelpFile = nullptr;
  return FAILED(exception->scode) ? exception->scode : DISP_E_EXCEPTION;
}

class DispatchObject;
AutoValue FromVariant(const VARIANT& variant);
HRESULT ToVariant(const AutoValue& value, VARIANT* variant);

class DispatchObject : public IAutomationObject {
 public:
  explicit DispatchObject(IDispatch* adopt) : dispatch_(adopt) {}
  IDispatch* dispatch() const { return dispatch_.get(); }

  HResult Invoke(const std::u16string& member, InvokeKind kind, const std::vector<AutoValue>& args,
                 AutoValue* result) override {
    *result = AutoValue();
    LPOLESTR name = const_cast<LPOLESTR>(Wide(member));
    DISPID id = 0;
    HRESULT hr = dispatch_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;

    // COM takes the arguments last first.
    std::vector<VARIANT> variants(args.size());
    for (VARIANT& v : variants) VariantInit(&v);
    for (std::size_t i = 0; i < args.size() && SUCCEEDED(hr); ++i)
      hr = ToVariant(args[i], &variants[args.size() - 1 - i]);
    if (SUCCEEDED(hr)) {
      DISPID putId = DISPID_PROPERTYPUT;
      DISPPARAMS params = {variants.data(), nullptr, static_cast<UINT>(variants.size()), 0};
      const bool put = kind == InvokeKind::PropertyPut || kind == InvokeKind::PropertyPutRef;
      if (put) {
        params.rgdispidNamedArgs = &putId;
        params.cNamedArgs = 1;
      }
      VARIANT answer;
      VariantInit(&answer);
      EXCEPINFO exception = {};
      UINT badArgument = 0;
      hr = dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, static_cast<WORD>(kind), &params,
                             put ? nullptr : &answer, &exception, &badArgument);
      if (hr == DISP_E_EXCEPTION) hr = ExceptionCode(&exception);
      if (SUCCEEDED(hr) && !put) *result = FromVariant(answer);
      VariantClear(&answer);
    }
    for (VARIANT& v : variants) VariantClear(&v);
    return hr;
  }

  HResult Advise(const InterfaceId& iid, std::shared_ptr<IAutomationEventSink> sink,
                 std::uint32_t* cookie) override;
  HResult Unadvise(const InterfaceId& iid, std::uint32_t cookie) override {
    ComRef<IConnectionPoint> point;
    HRESULT hr = FindPoint(iid, &point);
    if (FAILED(hr)) return hr;
    return point->Unadvise(cookie);
  }

 private:
  HRESULT FindPoint(const InterfaceId& iid, ComRef<IConnectionPoint>* point) {
    ComRef<IConnectionPointContainer> container;
    HRESULT hr = dispatch_->QueryInterface(IID_IConnectionPointContainer,
                                           reinterpret_cast<void**>(container.Put()));
    if (FAILED(hr)) return hr;
    GUID guid = ToGuid(iid);
    return container->FindConnectionPoint(guid, point->Put());
  }

  ComRef<IDispatch> dispatch_;
};

// The COM object advised on the connection point; it answers for IUnknown,
// IDispatch and the events interface and hands every call to the port's
// sink. The connection point holds the only lasting reference.
class EventSinkObject : public IDispatch {
 public:
  EventSinkObject(std::shared_ptr<IAutomationEventSink> sink, const GUID& events)
      : sink_(std::move(sink)), events_(events) {}
  virtual ~EventSinkObject() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, events_)) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    try {
      std::vector<AutoValue> args;
      if (params) {
        args.reserve(params->cArgs);
        for (UINT i = 0; i < params->cArgs; ++i) args.push_back(FromVariant(params->rgvarg[i]));
      }
      sink_->Invoke(static_cast<std::int32_t>(id), args);
    } catch (...) {
      // Nothing may leave a COM method.
    }
    return S_OK;
  }

 private:
  LONG refs_ = 1;
  std::shared_ptr<IAutomationEventSink> sink_;
  GUID events_;
};

HResult DispatchObject::Advise(const InterfaceId& iid, std::shared_ptr<IAutomationEventSink> sink,
                               std::uint32_t* cookie) {
  if (!sink) return E_POINTER;
  ComRef<IConnectionPoint> point;
  HRESULT hr = FindPoint(iid, &point);
  if (FAILED(hr)) return hr;
  auto* object = new (std::nothrow) EventSinkObject(std::move(sink), ToGuid(iid));
  if (!object) return E_OUTOFMEMORY;
  DWORD connection = 0;
  hr = point->Advise(static_cast<IDispatch*>(object), &connection);
  object->Release();
  if (SUCCEEDED(hr)) *cookie = connection;
  return hr;
}

AutoValue FromVariant(const VARIANT& source) {
  VARIANT v;
  VariantInit(&v);
  // By-reference arguments (an event's Cancel flag) are read through.
  if (FAILED(VariantCopyInd(&v, const_cast<VARIANT*>(&source)))) return AutoValue();
  AutoValue value;
  switch (V_VT(&v)) {
    case VT_BOOL:
      value = AutoValue::Bool(V_BOOL(&v) != VARIANT_FALSE);
      break;
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
      if (SUCCEEDED(VariantChangeType(&v, &v, 0, VT_I4))) value = AutoValue::Int32(V_I4(&v));
      break;
    case VT_R4:
      value = AutoValue::Float(V_R4(&v));
      break;
    case VT_R8:
      value = AutoValue::Double(V_R8(&v));
      break;
    case VT_BSTR:
      if (V_BSTR(&v))
        value = AutoValue::Text(std::u16string(reinterpret_cast<const char16_t*>(V_BSTR(&v)),
                                               SysStringLen(V_BSTR(&v))));
      break;
    case VT_DISPATCH:
      if (IDispatch* d = V_DISPATCH(&v)) {
        d->AddRef();
        value = AutoValue::Object(std::make_shared<DispatchObject>(d));
      }
      break;
    case VT_UNKNOWN:
      if (IUnknown* u = V_UNKNOWN(&v)) {
        IDispatch* d = nullptr;
        if (SUCCEEDED(u->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d))) && d)
          value = AutoValue::Object(std::make_shared<DispatchObject>(d));
      }
      break;
    default:
      break;
  }
  VariantClear(&v);
  return value;
}

HRESULT ToVariant(const AutoValue& value, VARIANT* v) {
  HRESULT hr;
  if (PlainToVariant(value, v, &hr)) return hr;
  // An object goes back as the IDispatch it came from.
  auto* object = dynamic_cast<DispatchObject*>(value.object.get());
  if (!object) return DISP_E_TYPEMISMATCH;
  V_VT(v) = VT_DISPATCH;
  V_DISPATCH(v) = object->dispatch();
  V_DISPATCH(v)->AddRef();
  return S_OK;
}

class DispatchFactory : public IAutomationFactory {
 public:
  HResult Create(const std::u16string& progId, AutomationPtr* application) override {
    application->reset();
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(Wide(progId), &clsid);
    if (FAILED(hr)) return hr;
    IDispatch* dispatch = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                          reinterpret_cast<void**>(&dispatch));
    if (FAILED(hr) || !dispatch) return FAILED(hr) ? hr : E_FAIL;
    *application = std::make_shared<DispatchObject>(dispatch);
    return S_OK;
  }

  // Each thread enters its own apartment. The presentation worker (a task
  // queue, whose wait pumps messages) enters a single-threaded apartment:
  // the application's events come to its sink as messages and run on the
  // worker, which owns every object. Any other thread, such as the exporter,
  // waits without pumping messages, which a single-threaded apartment must
  // not do (COM's calls into it and broadcasts to its hidden window would
  // hang), so it joins the multithreaded apartment, where a call to an
  // out-of-process server needs no message loop.
  void EnterApartment() override {
    ThreadApartment& self = thread_;
    if (self.depth++ > 0) return;
    const DWORD kind = CurrentApartment() ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
    self.initialized = SUCCEEDED(CoInitializeEx(nullptr, kind));
  }
  void LeaveApartment() override {
    ThreadApartment& self = thread_;
    if (self.depth == 0 || --self.depth > 0) return;
    if (self.initialized) CoUninitialize();
    self.initialized = false;
  }

 private:
  // Enter/Leave pairs of one thread nest; only the outermost pair
  // initialises COM, and only a successful initialisation is undone.
  struct ThreadApartment {
    int depth = 0;
    bool initialized = false;
  };
  static thread_local ThreadApartment thread_;
};

thread_local DispatchFactory::ThreadApartment DispatchFactory::thread_;

}  // namespace

AutomationPtr WrapDispatch(IDispatch* adopt) {
  if (!adopt) return nullptr;
  return std::make_shared<DispatchObject>(adopt);
}

std::shared_ptr<IAutomationFactory> CreateSystemAutomation() {
  return std::make_shared<DispatchFactory>();
}
