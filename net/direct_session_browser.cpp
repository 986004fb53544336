// The browser phones of the direct session. A browser is one more phone: the
// first one to speak while nothing is attached becomes the phone, every other
// phone hears the busy error, and a browser that reconnects (the same page id)
// takes its own place over, as a TCP phone does from the same address.
//
// A browser is known by its page id and socket, not by its address: several
// browsers behind one address are different phones, and an app phone from
// the browser's device hears busy too.
#include <cstdint>
#include <utility>

#include "net/direct_messages.h"
#include "net/direct_session.h"

namespace {

std::uint64_t SocketId(const BrowserPhonePtr& phone) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(phone.get()));
}

}  // namespace

std::string CDirectSession::BrowserAddress() { return browser_ ? browser_->Address() : ""; }

void CDirectSession::SetSlidePictures(std::shared_ptr<ISlidePictureSource> source) {
  if (browser_) browser_->SetPictureSource(std::move(source));
}

void CDirectSession::OpenBrowser() {
  if (browser_) browser_->Open();
}

void CDirectSession::CloseBrowser() {
  if (browser_) browser_->Close();
}

void CDirectSession::DropBrowserPeer() {
  if (!browserPeer_) return;
  BrowserPhonePtr phone = std::move(browserPeer_);
  browserPeer_.reset();
  phone->SetAttached(false);
  phone->Close();
}

bool CDirectSession::SendToBrowser(const std::shared_ptr<std::string>& frame, WriteDone done) {
  // A browser gets the JSON text alone, as one WebSocket text message.
  auto text = std::make_shared<const std::string>(frame->substr(kFrameHeaderSize));
  browserPeer_->Send(std::move(text), std::move(done));
  return true;
}

void CDirectSession::OnBrowserMessage(const BrowserPhonePtr& phone, JsonPtr& message) {
  PhoneOffer offer;
  offer.transport = PhoneTransport::Browser;
  offer.source = phone->Remote();
  offer.connection = SocketId(phone);
  offer.pageId = phone->ClientId();
  switch (DecidePhoneOffer(slot_, offer)) {
    case PhoneVerdict::TakeOver:
      // The same page again (reconnected, or a duplicated tab): the one it
      // replaces is told so, and does not come back on its own.
      if (browserPeer_) browserPeer_->CloseReplaced();
      [[fallthrough]];
    case PhoneVerdict::Attach:
      DropBrowserPeer();
      ClearSlot();
      slot_.holder = PhoneTransport::Browser;
      slot_.connection = offer.connection;
      slot_.pageId = offer.pageId;
      browserPeer_ = phone;
      phone->SetAttached(true);
      UpdateAttached();
      Deliver(message);
      return;
    case PhoneVerdict::Accept:
      Deliver(message);
      return;
    case PhoneVerdict::Busy:
    case PhoneVerdict::NotConnected: {
      auto busy = std::make_shared<const std::string>(direct::BusyFrame().substr(kFrameHeaderSize));
      phone->Send(std::move(busy), [this](bool ok) { NotifySent(ok, 0); });
      return;
    }
    case PhoneVerdict::Ignore:
      return;
  }
}

void CDirectSession::OnBrowserGone(const BrowserPhonePtr& phone) {
  if (phone != browserPeer_) return;
  browserPeer_.reset();
  ClearSlot();
  Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
}
