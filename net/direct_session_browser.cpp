// The browser phones of the direct session. A browser is one more phone: the
// first one to speak while nothing is attached becomes the phone, every other
// phone hears the busy error, and a browser that reconnects (the same page id)
// takes its own place over, as a TCP phone does from the same address.
//
// A browser is known by its page id, not by its address: several browsers
// behind one address are different phones. So while a browser is attached the
// peer address is left unspecified, which no TCP or UDP phone can match; an
// app phone from the browser's device therefore hears busy too.
#include "net/direct_session.h"

#include <utility>

std::string CDirectSession::BrowserAddress() { return browser_ ? browser_->Address() : ""; }

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
  if (phone != browserPeer_) {
    const bool samePage =
        browserPeer_ && !phone->ClientId().empty() && phone->ClientId() == browserPeer_->ClientId();
    if (samePage || !Attached()) {
      if (samePage) browserPeer_->CloseReplaced();  // the close below is then a no-op
      DropBrowserPeer();
      browserPeer_ = phone;
      phone->SetAttached(true);
      peerAddress_ = boost::asio::ip::address();
      peerCuid_.clear();
      UpdateAttached();
    }
  }
  if (phone == browserPeer_) {
    Notify([&message](INetSessionNotify* n) { n->OnMessage(Direct, message); });
    return;
  }
  auto busy =
      std::make_shared<const std::string>(EncodeMessageFrame(BusyError()).substr(kFrameHeaderSize));
  phone->Send(std::move(busy), [this](bool ok) { NotifySent(ok, 0); });
}

void CDirectSession::OnBrowserGone(const BrowserPhonePtr& phone) {
  if (phone != browserPeer_) return;
  browserPeer_.reset();
  UpdateAttached();
  Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
}
