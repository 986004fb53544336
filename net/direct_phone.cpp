#include "net/direct_phone.h"

namespace {

bool SameEndpoint(const PhoneSlot& slot, const PhoneOffer& offer) {
  return offer.source == slot.address && offer.port == slot.port;
}

// A "conn" that names the phone's own cuid; an empty cuid names nobody, or
// any phone without one could take the slot.
bool NamesPhone(const PhoneSlot& slot, const PhoneOffer& offer) {
  return offer.kind == OfferKind::Conn && !offer.cuid.empty() && offer.cuid == slot.cuid;
}

PhoneVerdict FromUdp(const PhoneSlot& slot, const PhoneOffer& offer) {
  switch (slot.holder) {
    case PhoneTransport::None:
      if (offer.kind == OfferKind::Malformed) return PhoneVerdict::Ignore;
      return offer.kind == OfferKind::Conn ? PhoneVerdict::Attach : PhoneVerdict::NotConnected;
    case PhoneTransport::Udp:
      if (SameEndpoint(slot, offer)) return PhoneVerdict::Accept;
      if (offer.kind == OfferKind::Malformed) return PhoneVerdict::Ignore;
      if (NamesPhone(slot, offer)) return PhoneVerdict::TakeOver;
      // The phone's own address on another port saying goodbye: an old
      // socket of the phone's, not worth an answer.
      if (offer.kind == OfferKind::Disc && offer.source == slot.address) {
        return PhoneVerdict::Ignore;
      }
      return PhoneVerdict::Busy;
    case PhoneTransport::Tcp:
      if (offer.kind == OfferKind::Malformed) return PhoneVerdict::Ignore;
      if (offer.source == slot.address && NamesPhone(slot, offer)) return PhoneVerdict::TakeOver;
      return PhoneVerdict::Busy;
    case PhoneTransport::Browser:
      return offer.kind == OfferKind::Malformed ? PhoneVerdict::Ignore : PhoneVerdict::Busy;
  }
  return PhoneVerdict::Ignore;
}

PhoneVerdict FromTcp(const PhoneSlot& slot, const PhoneOffer& offer) {
  switch (slot.holder) {
    case PhoneTransport::None:
      return PhoneVerdict::Attach;
    case PhoneTransport::Tcp:
      if (offer.connection == slot.connection) return PhoneVerdict::Accept;
      // The same device on a new connection (the old one may be half dead).
      return offer.source == slot.address ? PhoneVerdict::TakeOver : PhoneVerdict::Busy;
    case PhoneTransport::Udp:
      // A UDP phone moving to TCP.
      return offer.source == slot.address ? PhoneVerdict::TakeOver : PhoneVerdict::Busy;
    case PhoneTransport::Browser:
      return PhoneVerdict::Busy;
  }
  return PhoneVerdict::Ignore;
}

PhoneVerdict FromBrowser(const PhoneSlot& slot, const PhoneOffer& offer) {
  switch (slot.holder) {
    case PhoneTransport::None:
      return PhoneVerdict::Attach;
    case PhoneTransport::Browser:
      if (offer.connection == slot.connection) return PhoneVerdict::Accept;
      // The same page reconnecting takes its own place over.
      if (!offer.pageId.empty() && offer.pageId == slot.pageId) return PhoneVerdict::TakeOver;
      return PhoneVerdict::Busy;
    case PhoneTransport::Tcp:
    case PhoneTransport::Udp:
      // Knowing the page's address is not a reason to take the show from the
      // presenter's app.
      return PhoneVerdict::Busy;
  }
  return PhoneVerdict::Ignore;
}

}  // namespace

bool IsSpoofableSource(const boost::asio::ip::address& address) {
  if (address.is_unspecified() || address.is_multicast()) return true;
  if (address.is_v4()) {
    const auto bytes = address.to_v4().to_bytes();
    // 0.0.0.0/8 is "this network" (a host without an address yet) and
    // 255.255.255.255 the limited broadcast: neither is a host's own.
    return bytes[0] == 0 || address.to_v4() == boost::asio::ip::address_v4::broadcast();
  }
  const auto v6 = address.to_v6();
  if (v6.is_v4_mapped()) {
    return IsSpoofableSource(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6));
  }
  return false;
}

PhoneVerdict DecidePhoneOffer(const PhoneSlot& slot, const PhoneOffer& offer) {
  if (offer.transport == PhoneTransport::Udp && IsSpoofableSource(offer.source)) {
    return PhoneVerdict::Ignore;
  }
  const bool attachedHere =
      (offer.transport == PhoneTransport::Tcp && slot.holder == PhoneTransport::Tcp &&
       offer.connection == slot.connection) ||
      (offer.transport == PhoneTransport::Browser && slot.holder == PhoneTransport::Browser &&
       offer.connection == slot.connection);
  if (!attachedHere && !slot.refused.is_unspecified() && offer.source == slot.refused) {
    // Whatever it sends: a silent peer the presenter dropped must not
    // simply come back.
    return offer.kind == OfferKind::Malformed ? PhoneVerdict::Ignore : PhoneVerdict::Busy;
  }
  switch (offer.transport) {
    case PhoneTransport::Udp:
      return FromUdp(slot, offer);
    case PhoneTransport::Tcp:
      return FromTcp(slot, offer);
    case PhoneTransport::Browser:
      return FromBrowser(slot, offer);
    case PhoneTransport::None:
      break;
  }
  return PhoneVerdict::Ignore;
}
