// The phone's end of one transport: joins the PC, sends message objects and
// collects everything the PC sends, in arrival order. Every wait is bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "tools/phone/pairing_address.h"

namespace phone {

enum class Transport { Relay, DirectTcp, DirectUdp };

struct PhoneOptions {
  Transport transport = Transport::Relay;
  // Relay: the broker, e.g. "tcp://127.0.0.1:1883"; this phone's id in
  // src/dst (generated when empty); QoS of its publications.
  std::string brokerUri;
  std::string phoneId;
  int qos = 2;
  // Direct: endpoint override. An empty host takes the endpoints of `sv` in
  // order; port 0 takes each endpoint's own port.
  std::string directHost;
  std::uint16_t directPort = 0;
  // Local IPv4 address to send from (empty: the system's choice). A second
  // phone on the same machine uses another loopback address, say 127.0.0.2,
  // since the PC tells phones apart by address.
  std::string bindAddress;
  // UDP: this phone's identifier in "conn" and the heartbeat interval (the
  // PC gives up after three missed 2 s ticks).
  std::string cuid;
  std::chrono::milliseconds heartbeat{2000};
  // Answer the PC's own "hello" (sent after it reconnected) with ours.
  bool answerHello = true;
  bool notes = false;
  std::chrono::milliseconds connectTimeout{5000};
};

struct PhoneMessage {
  std::string text;  // the JSON object exactly as received
  std::string msg;   // its "msg" member, empty when absent
  std::chrono::steady_clock::time_point received;
};

class PhoneLink {
 public:
  virtual ~PhoneLink() = default;

  // Joins the PC: relay connected and subscribed, TCP connected, or UDP
  // "conn" answered. False (with LastError) when that did not happen within
  // the connect timeout.
  virtual bool Connect() = 0;
  // Sends one JSON object (relay: src and dst are appended). False when the
  // text is no object or the transport refused it.
  virtual bool Send(const std::string& json) = 0;
  // Leaves the transport (no protocol message of its own: a phone that
  // means to leave sends "bye" first). Relay: an orderly MQTT disconnect, so
  // the broker keeps the will; TCP: close; UDP: "disc". Idempotent.
  virtual void Close() = 0;

  // Whether the transport is up: relay connected and subscribed (false
  // while it reconnects after a broker loss), TCP connection open, UDP
  // attached and not told "disc".
  virtual bool IsOpen() = 0;
  // Polls IsOpen until it equals `open`, at most `timeout`.
  bool WaitOpen(bool open, std::chrono::milliseconds timeout);

  // The greeting, with the notes flag of the options.
  bool SendHello();
  // Greets until the PC says anything (a relay PC that is still subscribing
  // misses a first greeting): at most `tries` greetings, `perTry` apart.
  // Nothing is taken from the inbox.
  bool Greet(int tries = 3, std::chrono::milliseconds perTry = std::chrono::seconds(1));

  // Oldest message not yet taken, waiting at most `timeout`.
  bool Next(PhoneMessage& out, std::chrono::milliseconds timeout);
  // Skips messages until one named `msg` arrives (the skipped ones are
  // gone); false when none came in time.
  bool WaitFor(const std::string& msg, PhoneMessage& out, std::chrono::milliseconds timeout);
  std::size_t Pending();
  // Called on the transport's thread for each message, before it is queued;
  // set before Connect.
  void SetObserver(std::function<void(const PhoneMessage&)> observer) {
    observer_ = std::move(observer);
  }

  std::string LastError();

 protected:
  explicit PhoneLink(PhoneOptions options) : options_(std::move(options)) {}
  // Takes one received payload: parses it, lets Accept filter it (relay
  // addressing), answers the PC's "hello" when asked to, and queues it.
  // Payloads that are no JSON object are dropped.
  void Deliver(const std::string& text);
  virtual bool Accept(const std::string& src, const std::string& dst) { return true; }
  void SetError(std::string error);

  PhoneOptions options_;

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<PhoneMessage> inbox_;
  std::string error_;
  std::function<void(const PhoneMessage&)> observer_;
};

// Checks what the address offers for the transport of the options and makes
// the link; null with `error` set when the address lacks it.
std::unique_ptr<PhoneLink> MakePhoneLink(const PairingAddress& address, const PhoneOptions& options,
                                         std::string* error);

std::unique_ptr<PhoneLink> MakeRelayLink(const PairingAddress& address,
                                         const PhoneOptions& options);
std::unique_ptr<PhoneLink> MakeDirectLink(const PairingAddress& address,
                                          const PhoneOptions& options);

// Reads one string member of a JSON object text; empty when the text is no
// object or lacks the member.
std::string MemberText(const std::string& json, const std::string& name);
// Reads one number member; false when absent or not a number.
bool MemberNumber(const std::string& json, const std::string& name, double& value);

}  // namespace phone
