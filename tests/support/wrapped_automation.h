// An application's automation objects seen through a wrapper, for tests and
// benchmarks that must watch the calls the presentation manager makes: every
// object the wrapped application hands out is wrapped in turn, and hooks run
// before each call and when a call's own object was destroyed while the call
// ran (an event raised inside the call released the last reference).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "presentation/automation.h"

namespace test_support {

struct AutomationHooks {
  // Before every call on any object of the model. Any thread.
  std::function<void(const std::u16string& member, InvokeKind kind)> beforeCall;
  // The object a call was made on was destroyed before the call returned.
  std::function<void()> freedInsideCall;
};

class WrappedObject : public IAutomationObject {
 public:
  WrappedObject(AutomationPtr inner, std::shared_ptr<const AutomationHooks> hooks)
      : inner_(std::move(inner)), hooks_(std::move(hooks)), alive_(std::make_shared<bool>(true)) {}
  ~WrappedObject() override { *alive_ = false; }

  static AutomationPtr Wrap(AutomationPtr inner, std::shared_ptr<const AutomationHooks> hooks) {
    return inner ? std::make_shared<WrappedObject>(std::move(inner), std::move(hooks)) : nullptr;
  }

  HResult Invoke(const std::u16string& member, InvokeKind kind, const std::vector<AutoValue>& args,
                 AutoValue* result) override {
    // Only locals after the inner call: `this` may be gone by then.
    std::shared_ptr<bool> alive = alive_;
    std::shared_ptr<const AutomationHooks> hooks = hooks_;
    if (hooks->beforeCall) hooks->beforeCall(member, kind);
    HResult hr = inner_->Invoke(member, kind, args, result);
    if (!*alive) {
      if (hooks->freedInsideCall) hooks->freedInsideCall();
      return hr;
    }
    if (result && result->kind == AutoValue::Kind::Object)
      result->object = Wrap(result->object, hooks);
    return hr;
  }
  HResult Advise(const InterfaceId& iid, std::shared_ptr<IAutomationEventSink> sink,
                 std::uint32_t* cookie) override {
    return inner_->Advise(iid, std::move(sink), cookie);
  }
  HResult Unadvise(const InterfaceId& iid, std::uint32_t cookie) override {
    return inner_->Unadvise(iid, cookie);
  }

 private:
  AutomationPtr inner_;
  std::shared_ptr<const AutomationHooks> hooks_;
  std::shared_ptr<bool> alive_;
};

// Hands out the applications of `inner` wrapped.
class WrappedFactory : public IAutomationFactory {
 public:
  WrappedFactory(std::shared_ptr<IAutomationFactory> inner, AutomationHooks hooks)
      : inner_(std::move(inner)),
        hooks_(std::make_shared<const AutomationHooks>(std::move(hooks))) {}
  HResult Create(const std::u16string& progId, AutomationPtr* application) override {
    HResult hr = inner_->Create(progId, application);
    if (Succeeded(hr) && application) *application = WrappedObject::Wrap(*application, hooks_);
    return hr;
  }
  void EnterApartment() override { inner_->EnterApartment(); }
  void LeaveApartment() override { inner_->LeaveApartment(); }

 private:
  std::shared_ptr<IAutomationFactory> inner_;
  std::shared_ptr<const AutomationHooks> hooks_;
};

}  // namespace test_support
