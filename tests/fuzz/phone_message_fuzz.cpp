// A phone message as anyone on the LAN or the relay topic may send it, from
// the frame's bytes through the controller's dispatcher, against a
// controller that waits for a phone or is connected to one. A message only
// ever leads to Connected or (for "bye") WaitingForPhone; it asks the
// presentation for at most one command plus the state query of a greeting;
// and no coordinate that reaches the pointer or the laser dot is infinite
// or not a number.
//
// Input: 1 byte of setup (bit 0: already connected, bit 1: a show runs,
// bit 2: the application draws its own laser), then the payload text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/direct_frame.h"
#include "tests/app/fakes.h"
#include "tests/fuzz/fuzz_support.h"

using fuzz::Check;
using Ctl = CMainController;

namespace {

// A dot that stays where no finite point put it.
bool Finite(const FakeView& view) {
  return !view.dot || (std::isfinite(view.dotX) && std::isfinite(view.dotY));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t setup = data[0];
  JsonPtr message;
  if (!DecodeMessage(std::string(reinterpret_cast<const char*>(data + 1), size - 1), message)) {
    return 0;
  }

  std::vector<FakeSession*> made;
  Ctl::Services services;
  services.createSession = [&made](SessionType t) -> INetSession* {
    auto* s = new FakeSession(t, {{"sv", "x"}}, nullptr);
    s->AddRef();
    s->AddRef();
    made.push_back(s);
    return s;
  };
  auto presentation = std::make_unique<FakePresentation>();
  FakePresentation& show = *presentation;
  show.showRunning = (setup & 2) != 0;
  show.nativeLaser = (setup & 4) != 0;
  services.presentation = std::move(presentation);
  FakeView view;
  FakeUiThread ui;
  {
    Ctl controller(std::move(services));
    controller.AttachUi(&ui, &view);
    controller.InitWindow();
    controller.RunPostedCalls();
    FakeSession* relay = made.at(0);
    relay->Notify([](INetSessionNotify* n) { n->OnStarted(true, 0); });
    if (setup & 1) relay->Message(R"({"msg":"hello"})");
    controller.RunPostedCalls();
    const Ctl::State before = controller.GetState();
    Check(before == ((setup & 1) ? Ctl::Connected : Ctl::WaitingForPhone));
    show.Clear();

    relay->Notify([&](INetSessionNotify* n) { n->OnMessage(Relay, message); });
    controller.RunPostedCalls();

    const Ctl::State after = controller.GetState();
    Check(after == Ctl::Connected || after == Ctl::WaitingForPhone);
    const std::vector<std::string> calls = show.Calls();
    Check(calls.size() <= 1);
    for (const std::string& call : calls) {
      Check(call.find("nan") == std::string::npos && call.find("inf") == std::string::npos);
    }
    Check(Finite(view));
    // Whatever it was, the next ordinary command is still carried out.
    show.Clear();
    relay->Message(R"({"msg":"next"})");
    controller.RunPostedCalls();
    Check(show.Calls() == std::vector<std::string>{"NextSlide"});
    Check(controller.GetState() == Ctl::Connected);
  }
  for (FakeSession* s : made) s->Release();
  return 0;
}
