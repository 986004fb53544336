#include "tools/phone/phone_link.h"

#include <stdexcept>
#include <thread>

#include "json/json.h"
#include "tools/phone/phone_command.h"

namespace phone {

namespace {
// Parses an object; a null handle for anything else.
JsonPtr ParseObject(const std::string& json) {
  std::u16string wide;
  if (!ToWide(json, 65001, wide)) return {};
  try {
    JsonPtr value = JsonParse(wide);
    if (value.Kind() == JsonKind::Object) return value;
  } catch (const std::exception&) {
  }
  return {};
}

std::string StringMember(const JsonPtr& object, const std::u16string& name) {
  JsonPtr* member = object ? object.Find(name) : nullptr;
  if (!member || member->Kind() != JsonKind::String) return {};
  std::string text;
  ToUtf8(member->AsString(), text);
  return text;
}
}  // namespace

std::string MemberText(const std::string& json, const std::string& name) {
  std::u16string wideName;
  if (!ToWide(name, 65001, wideName)) return {};
  return StringMember(ParseObject(json), wideName);
}

bool MemberNumber(const std::string& json, const std::string& name, double& value) {
  std::u16string wideName;
  if (!ToWide(name, 65001, wideName)) return false;
  JsonPtr object = ParseObject(json);
  JsonPtr* member = object ? object.Find(wideName) : nullptr;
  if (!member || member->Kind() != JsonKind::Number) return false;
  value = member->AsDouble();
  return true;
}

bool PhoneLink::WaitOpen(bool open, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (IsOpen() != open) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool PhoneLink::SendHello() { return Send(HelloMessage(options_.notes)); }

void PhoneLink::Deliver(const std::string& text) {
  PhoneMessage message;
  try {
    JsonPtr object = ParseObject(text);
    if (!object) return;
    if (!Accept(StringMember(object, u"src"), StringMember(object, u"dst"))) return;
    message.msg = StringMember(object, u"msg");
  } catch (const std::exception&) {
    return;
  }
  message.text = text;
  message.received = std::chrono::steady_clock::now();
  // The PC greets after it came back with the pairing intact; the phone's
  // greeting is what lets it leave Connecting.
  if (message.msg == "hello" && options_.answerHello) SendHello();
  if (observer_) observer_(message);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    inbox_.push_back(std::move(message));
  }
  arrived_.notify_all();
}

bool PhoneLink::Next(PhoneMessage& out, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!arrived_.wait_for(lock, timeout, [this] { return !inbox_.empty(); })) return false;
  out = std::move(inbox_.front());
  inbox_.pop_front();
  return true;
}

bool PhoneLink::WaitFor(const std::string& msg, PhoneMessage& out,
                        std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return false;
    if (!Next(out, left)) return false;
    if (out.msg == msg) return true;
  }
}

bool PhoneLink::Greet(int tries, std::chrono::milliseconds perTry) {
  for (int i = 0; i < tries; ++i) {
    if (!SendHello()) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    if (arrived_.wait_for(lock, perTry, [this] { return !inbox_.empty(); })) return true;
  }
  return false;
}

std::size_t PhoneLink::Pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return inbox_.size();
}

std::string PhoneLink::LastError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

void PhoneLink::SetError(std::string error) {
  std::lock_guard<std::mutex> lock(mutex_);
  error_ = std::move(error);
}

std::unique_ptr<PhoneLink> MakePhoneLink(const PairingAddress& address, const PhoneOptions& options,
                                         std::string* error) {
  auto fail = [&](const char* why) -> std::unique_ptr<PhoneLink> {
    if (error) *error = why;
    return nullptr;
  };
  if (options.transport == Transport::Relay) {
    if (!address.HasRelay()) return fail("the pairing address has no relay parameters (id, st)");
    if (options.brokerUri.empty()) return fail("no relay broker (PIVARO_RELAY_URI or --broker)");
    return MakeRelayLink(address, options);
  }
  std::vector<DirectEndpoint> endpoints;
  if (!DecodeDirectEndpoints(address.Value("sv"), endpoints)) {
    return fail("the pairing address has a malformed sv");
  }
  if (endpoints.empty() && options.directHost.empty()) {
    return fail("the pairing address has no direct endpoint (sv)");
  }
  return MakeDirectLink(address, options);
}

}  // namespace phone
