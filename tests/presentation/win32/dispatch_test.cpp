// The IDispatch adapter against a scripted in-process IDispatch with a
// connection point: argument order, the put rules, result conversion and
// the event sink object.
#include <windows.h>

#include <ocidl.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "presentation/win32/system_ports.h"

namespace {

class FakePoint;

class FakeDispatch : public IDispatch, public IConnectionPointContainer {
 public:
  struct Call {
    DISPID id;
    WORD flags;
    std::vector<VARTYPE> types;  // in rgvarg order
    std::vector<LONG> ints;
    UINT named;
    DISPID namedId;
  };

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *out = static_cast<IDispatch*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // owned by the test

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override {
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(lcid, 0x0400u);
    static const std::map<std::wstring, DISPID> known = {{L"Width", 1},  {L"Item", 2}, {L"Pair", 3},
                                                         {L"Target", 4}, {L"Text", 5}, {L"Self", 6},
                                                         {L"Fails", 7}};
    auto it = known.find(names[0]);
    if (it == known.end()) return DISP_E_UNKNOWNNAME;
    ids[0] = it->second;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT*) override {
    if (id == 7) return Fail(exception, result);
    Call call{id,
              flags,
              {},
              {},
              params->cNamedArgs,
              params->cNamedArgs ? params->rgdispidNamedArgs[0] : 0};
    for (UINT i = 0; i < params->cArgs; ++i) {
      call.types.push_back(V_VT(&params->rgvarg[i]));
      call.ints.push_back(V_VT(&params->rgvarg[i]) == VT_I4 ? V_I4(&params->rgvarg[i]) : -1);
    }
    calls.push_back(call);
    if (id == 4 && flags == DISPATCH_PROPERTYPUTREF && refuseRef) return DISP_E_MEMBERNOTFOUND;
    if (result) {
      if (id == 1) {
        V_VT(result) = VT_R4;
        V_R4(result) = 720.75f;
      } else if (id == 5) {
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocString(L"notes ✓");
      } else if (id == 6 || id == 2) {
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = this;
        AddRef();
      }
    }
    return S_OK;
  }

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override;

  // How "Fails" fails: its return value, and the exception it reports
  // when that is DISP_E_EXCEPTION, filled in at once or on demand.
  struct Failure {
    HRESULT hr;
    SCODE scode;
    WORD wCode;
    bool deferred;
  };
  static HRESULT STDMETHODCALLTYPE FillIn(EXCEPINFO* exception) {
    exception->scode = static_cast<SCODE>(exception->dwHelpContext);
    exception->bstrDescription = SysAllocString(L"filled in late");
    return S_OK;
  }
  HRESULT Fail(EXCEPINFO* exception, VARIANT* result) {
    if (result) {  // what a careless server leaves behind must not be read
      V_VT(result) = VT_I4;
      V_I4(result) = 99;
    }
    if (failure.hr != DISP_E_EXCEPTION || !exception) return failure.hr;
    *exception = EXCEPINFO{};
    exception->wCode = failure.wCode;
    exception->bstrSource = SysAllocString(L"Fake.Application");
    if (failure.deferred) {
      exception->dwHelpContext = static_cast<DWORD>(failure.scode);
      exception->pfnDeferredFillIn = &FakeDispatch::FillIn;
    } else {
      exception->scode = failure.scode;
      exception->bstrDescription = SysAllocString(L"Integer out of range");
    }
    return DISP_E_EXCEPTION;
  }

  LONG refs = 1;
  bool refuseRef = false;
  Failure failure = {S_OK, 0, 0, false};
  std::vector<Call> calls;
  IUnknown* advised = nullptr;
  std::unique_ptr<FakePoint> point;
};

class FakePoint : public IConnectionPoint {
 public:
  explicit FakePoint(FakeDispatch* owner) : owner_(owner) {}
  virtual ~FakePoint() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
      *out = this;
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    sink->AddRef();
    owner_->advised = sink;
    *cookie = 7;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    if (cookie != 7 || !owner_->advised) return kNoConnection;
    owner_->advised->Release();
    owner_->advised = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  FakeDispatch* owner_;
};

// {914934C2-5A91-11CF-8700-00AA0060263B}
const GUID kEvents = {0x914934C2, 0x5A91, 0x11CF, {0x87, 0x00, 0x00, 0xAA, 0x00, 0x60, 0x26, 0x3B}};

HRESULT FakeDispatch::FindConnectionPoint(REFIID riid, IConnectionPoint** out) {
  if (!IsEqualIID(riid, kEvents)) return kNoConnection;
  if (!point) point = std::make_unique<FakePoint>(this);
  *out = point.get();
  return S_OK;
}

class RecordingSink : public IAutomationEventSink {
 public:
  HResult Invoke(std::int32_t id, const std::vector<AutoValue>& args) override {
    ids.push_back(id);
    argCounts.push_back(args.size());
    if (!args.empty()) firstKind = args[0].kind;
    return kOk;
  }
  std::vector<std::int32_t> ids;
  std::vector<std::size_t> argCounts;
  AutoValue::Kind firstKind = AutoValue::Kind::Empty;
};

TEST(DispatchAdapter, CallsByNameWithReversedArgumentsAndPutRules) {
  FakeDispatch fake;
  fake.AddRef();
  {
    AutomationPtr object = WrapDispatch(&fake);
    AutoValue value;
    ASSERT_EQ(GetProperty(object.get(), u"Width", &value), kOk);
    EXPECT_EQ(value.kind, AutoValue::Kind::Float);
    EXPECT_FLOAT_EQ(static_cast<float>(value.number), 720.75f);
    EXPECT_EQ(fake.calls.back().flags, DISPATCH_PROPERTYGET);
    EXPECT_TRUE(fake.calls.back().types.empty());

    ASSERT_EQ(GetProperty(object.get(), u"Text", &value), kOk);
    EXPECT_EQ(value.text, u"notes ✓");
    EXPECT_EQ(GetProperty(object.get(), u"Missing", &value), DISP_E_UNKNOWNNAME);

    ASSERT_EQ(CallMethod(object.get(), u"Item", {AutoValue::Int32(2)}, &value), kOk);
    EXPECT_EQ(value.kind, AutoValue::Kind::Object);
    EXPECT_EQ(fake.calls.back().flags, DISPATCH_METHOD);
    EXPECT_EQ(fake.calls.back().ints, std::vector<LONG>{2});

    ASSERT_EQ(
        CallMethod(object.get(), u"Pair", {AutoValue::Int32(1), AutoValue::Text(u"b")}, nullptr),
        kOk);
    EXPECT_EQ(fake.calls.back().types, (std::vector<VARTYPE>{VT_BSTR, VT_I4}));

    ASSERT_EQ(PutProperty(object.get(), u"Width", AutoValue::Int32(2)), kOk);
    EXPECT_EQ(fake.calls.back().flags, DISPATCH_PROPERTYPUT);
    EXPECT_EQ(fake.calls.back().named, 1u);
    EXPECT_EQ(fake.calls.back().namedId, DISPID_PROPERTYPUT);

    AutomationPtr self;
    ASSERT_EQ(GetObjectProperty(object.get(), u"Self", &self), kOk);
    fake.calls.clear();
    fake.refuseRef = true;
    ASSERT_EQ(PutProperty(object.get(), u"Target", AutoValue::Object(self)), kOk);
    ASSERT_EQ(fake.calls.size(), 2u);
    EXPECT_EQ(fake.calls[0].flags, DISPATCH_PROPERTYPUTREF);
    EXPECT_EQ(fake.calls[1].flags, DISPATCH_PROPERTYPUT);
    EXPECT_EQ(fake.calls[1].types, std::vector<VARTYPE>{VT_DISPATCH});
  }
  // Every reference handed out came back.
  EXPECT_EQ(fake.refs, 1);
}

// A member that fails through DISP_E_EXCEPTION reports the application's
// own code to the caller, however the exception was filled in.
TEST(DispatchAdapter, FailuresCarryTheApplicationsCode) {
  const HRESULT kOutOfRange = static_cast<HRESULT>(0x80048240);
  const HRESULT kRetryLater = RPC_E_SERVERCALL_RETRYLATER;
  struct Case {
    const char* what;
    FakeDispatch::Failure failure;
    HResult expected;
  } const cases[] = {
      {"exception with a code", {DISP_E_EXCEPTION, kOutOfRange, 0, false}, kOutOfRange},
      {"code filled in on demand", {DISP_E_EXCEPTION, kRetryLater, 0, true}, kRetryLater},
      {"only a wCode", {DISP_E_EXCEPTION, 0, 1004, false}, DISP_E_EXCEPTION},
      {"a success code as scode", {DISP_E_EXCEPTION, S_FALSE, 0, false}, DISP_E_EXCEPTION},
      {"plain failure", {E_ACCESSDENIED, 0, 0, false}, E_ACCESSDENIED},
  };
  FakeDispatch fake;
  fake.AddRef();
  {
    AutomationPtr object = WrapDispatch(&fake);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      fake.failure = c.failure;
      for (InvokeKind kind : {InvokeKind::PropertyGet, InvokeKind::Method}) {
        AutoValue value = AutoValue::Int32(5);
        EXPECT_EQ(object->Invoke(u"Fails", kind, {AutoValue::Int32(1)}, &value), c.expected);
        EXPECT_EQ(value.kind, AutoValue::Kind::Empty);
      }
      EXPECT_EQ(PutProperty(object.get(), u"Fails", AutoValue::Int32(1)), c.expected);
    }
  }
  EXPECT_EQ(fake.refs, 1);
}

TEST(DispatchAdapter, EventSinkAnswersTheEventsInterfaceAndForwardsCalls) {
  FakeDispatch fake;
  fake.AddRef();
  auto sink = std::make_shared<RecordingSink>();
  {
    AutomationPtr object = WrapDispatch(&fake);
    std::uint32_t cookie = 0;
    ASSERT_EQ(object->Advise(kApplicationEventsIid, sink, &cookie), kOk);
    EXPECT_EQ(cookie, 7u);
    ASSERT_NE(fake.advised, nullptr);
    EXPECT_EQ(sink.use_count(), 2);

    IDispatch* events = nullptr;
    ASSERT_EQ(fake.advised->QueryInterface(kEvents, reinterpret_cast<void**>(&events)), S_OK);
    IUnknown* other = nullptr;
    EXPECT_EQ(fake.advised->QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(&other)),
              E_NOINTERFACE);
    LPOLESTR name = const_cast<LPOLESTR>(L"x");
    DISPID id;
    EXPECT_EQ(events->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), E_NOTIMPL);

    VARIANT arg;
    VariantInit(&arg);
    V_VT(&arg) = VT_DISPATCH;
    V_DISPATCH(&arg) = &fake;
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    EXPECT_EQ(
        events->Invoke(2011, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
        S_OK);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    events->Invoke(2014, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
    events->Release();
    EXPECT_EQ(sink->ids, (std::vector<std::int32_t>{2011, 2014}));
    EXPECT_EQ(sink->argCounts, (std::vector<std::size_t>{1, 0}));
    EXPECT_EQ(sink->firstKind, AutoValue::Kind::Object);

    EXPECT_EQ(object->Unadvise(kApplicationEventsIid, cookie), kOk);
    EXPECT_EQ(fake.advised, nullptr);
    EXPECT_EQ(object->Unadvise(kApplicationEventsIid, cookie), kNoConnection);
  }
  // Unadvising dropped the last reference to the sink object.
  EXPECT_EQ(sink.use_count(), 1);
  EXPECT_EQ(fake.refs, 1);
}

}  // namespace
