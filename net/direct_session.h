// The direct LAN session: the phone reaches the PC on the local network over
// TCP (no handshake) or UDP (conn / heartbeat / disc, supervised by a
// heartbeat timer), both on one port, and, when enabled, browsers over the
// browser remote's WebSockets (net/browser_remote.h). Every socket, timer and
// peer field belongs to the session's own I/O thread; the controller's calls
// are carried out there, so they never race a completion handler.
//
// Which sender is the phone is decided in one place (net/direct_phone.h);
// the transports live in their own files: direct_session_tcp.cpp,
// direct_session_udp.cpp (with the heartbeat) and direct_session_browser.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "net/browser_remote.h"
#include "net/direct_frame.h"
#include "net/direct_phone.h"
#include "net/session.h"

struct DirectSessionOptions {
  // 0 binds ephemeral ports (read them back with TcpPort / UdpPort).
  std::uint16_t port = kDirectPort;
  std::chrono::milliseconds tick = std::chrono::seconds(2);
  // No heartbeat timer of the session's own: the heartbeat advances only by
  // RunTick, so a caller decides exactly when each tick happens.
  bool externalTicks = false;
  // Whether the PC has a network; empty means the host's real state.
  std::function<bool()> networkAlive;
  // Longest wait of a controller call for the I/O thread (Start, Close,
  // DropPeer, SendSync) before it gives up and reports failure.
  std::chrono::milliseconds callLimit = std::chrono::seconds(5);
  // Bounds on what the LAN can make the PC hold. A frame that has begun must
  // be complete within the deadline; the frames in progress on all
  // connections together may hold at most `bufferLimit` bytes (beyond it the
  // newest incomplete frames are refused); connections that carry no phone
  // are at most `idleConnectionLimit` (the oldest is closed for a new one).
  std::chrono::milliseconds frameDeadline = std::chrono::seconds(10);
  std::size_t bufferLimit = 32 * 1024 * 1024;
  std::size_t idleConnectionLimit = 32;
  // TCP keepalive on the phone's connection: a phone that vanished (battery,
  // out of the Wi-Fi) is reported lost after about idle + count * interval.
  std::chrono::seconds keepaliveIdle = std::chrono::seconds(10);
  std::chrono::seconds keepaliveInterval = std::chrono::seconds(5);
  int keepaliveCount = 3;
  // While the receiver is backlogged, the phone's reading is paused and
  // looked at again after this long.
  std::chrono::milliseconds backlogPoll = std::chrono::milliseconds(5);
  // Off unless asked for; the port-only constructor turns it on.
  BrowserRemoteOptions browser;
};

class CDirectSession : public INetSession, public IBrowserRemoteSource, private IBrowserPhoneHost {
 public:
  // With the browser remote on its own ports (ephemeral ones for port 0).
  explicit CDirectSession(std::uint16_t port = kDirectPort);
  explicit CDirectSession(const DirectSessionOptions& options);
  // Joins the I/O thread: the last reference must not be released on it.
  ~CDirectSession() override;

  // The last reference may be dropped inside a notification, on the I/O
  // thread, which cannot join itself: destruction then moves elsewhere.
  void Destroy() override;

  std::vector<PairingParam> GetPairingParams() override;
  bool Start(std::int32_t cookie) override;
  bool Stop(std::int32_t cookie) override;
  bool Close() override;
  bool DropPeer() override;
  bool IsConnected() override;
  bool Send(JsonPtr& message, std::int32_t cookie) override;
  bool SendSync(JsonPtr& message) override;
  bool SendByKind(JsonPtr& app, JsonPtr& browser, std::int32_t cookie) override;
  void SetNotify(INetSessionNotify* notify) override;
  std::string PeerAddress() override;
  std::string PeerDescription() override;
  void RefuseAddress(const std::string& address) override;

  // Ports actually bound by the last Start (0 while closed).
  std::uint16_t TcpPort() const { return tcpPort_.load(); }
  std::uint16_t UdpPort() const { return udpPort_.load(); }
  std::string BrowserAddress() override;
  void SetSlidePictures(std::shared_ptr<ISlidePictureSource> source) override;

  // With externalTicks: runs one heartbeat tick on the I/O thread and returns
  // after it ran, its notifications told (false when it did not run within
  // callLimit, or without externalTicks).
  bool RunTick();

 private:
  struct Connection;
  struct Datagram;
  using ConnectionPtr = std::shared_ptr<Connection>;
  using WriteDone = std::function<void(bool ok)>;

  bool OnIoThread();
  // Runs f on the I/O thread and waits (bounded) for its result; inline when
  // already there. `fallback` is the result when the wait times out.
  bool RunOnIo(std::function<bool()> f, bool fallback);

  template <typename F>
  void Notify(F&& f) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!notify_) return;
    try {
      f(notify_);
    } catch (...) {
      // A receiver's failure is its own; the session carries on.
    }
  }
  void NotifySent(bool ok, std::int32_t cookie);
  bool NetworkAlive() const;
  // Hands a message of the phone to the controller.
  void Deliver(JsonPtr& message);
  bool Backlogged();

  // The members below are used on the I/O thread only.
  bool OpenSockets();
  // Drops the peer and closes every socket but the timer's.
  void CloseSockets();
  void DropPeerOnIo();
  // Publishes the slot to other threads; call after every change of it.
  void UpdateAttached();
  bool Attached() const { return slot_.holder != PhoneTransport::None; }
  // Empties the slot (the refusal stays).
  void ClearSlot();
  bool SendFrame(std::shared_ptr<std::string> frame, WriteDone done);
  // Runs f on the I/O thread a little later, unless the timer is cancelled.
  void RetryLater(boost::asio::steady_timer& timer, std::function<void()> f);

  void Accept(std::uint64_t epoch);
  void Read(const ConnectionPtr& conn);
  void OnTcpFrame(const ConnectionPtr& conn, const std::string& text);
  void Consume(const ConnectionPtr& conn);
  void OnTcpFailed(const ConnectionPtr& conn);
  void Write(const ConnectionPtr& conn, std::shared_ptr<std::string> frame, WriteDone done);
  void WriteNext(const ConnectionPtr& conn);
  void CloseConnection(const ConnectionPtr& conn);
  // Keeps the count of buffered bytes after `conn`'s reader took data, and
  // refuses frames while the count is over the limit.
  void AccountBuffered(const ConnectionPtr& conn);
  void WatchFrame(const ConnectionPtr& conn);
  void LimitIdleConnections();

  void StartReceiving();
  void Receive(std::uint64_t epoch, std::shared_ptr<Datagram> datagram);
  void OnDatagram(const Datagram& d, std::size_t size);
  void OnUdpMessage(const boost::asio::ip::udp::endpoint& from, JsonPtr& message);
  void DetachUdpPeer();
  void Reply(const boost::asio::ip::udp::endpoint& to, const JsonPtr& message);
  void SendDatagram(const boost::asio::ip::udp::endpoint& to, std::shared_ptr<std::string> frame,
                    WriteDone done);

  // The browser phones (direct_session_browser.cpp).
  void OpenBrowser();
  void CloseBrowser();
  void DropBrowserPeer();
  bool SendToBrowser(const std::shared_ptr<std::string>& frame, WriteDone done);
  void OnBrowserMessage(const BrowserPhonePtr& phone, JsonPtr& message) override;
  void OnBrowserGone(const BrowserPhonePtr& phone) override;
  bool ReadsPaused() override { return Backlogged(); }

  void StartHeartbeat();
  void Tick(std::uint64_t generation);
  // One step of the heartbeat: counts the tick and reports a silent UDP phone.
  void Beat();
  void ArmTimer();

  DirectSessionOptions options_;
  std::vector<PairingParam> pairing_;

  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::ip::udp::socket udp_;
  boost::asio::steady_timer timer_;
  boost::asio::steady_timer acceptRetry_;
  boost::asio::steady_timer receiveRetry_;

  std::unique_ptr<CBrowserRemote> browser_;  // null when not offered
  BrowserPhonePtr browserPeer_;              // the attached browser, if that is the phone
  ConnectionPtr current_;                    // the attached TCP phone's connection
  PhoneSlot slot_;                           // who the phone is
  std::set<ConnectionPtr> connections_;      // every accepted, still open socket
  std::size_t bufferedBytes_ = 0;            // held by the readers of connections_
  std::uint64_t connectionSerial_ = 0;
  std::uint64_t frameSerial_ = 0;
  std::int32_t ticks_ = 0;
  std::int32_t deadline_ = 0;
  bool heartbeatRunning_ = false;
  std::uint64_t timerGeneration_ = 0;
  // Bumped at every open, so that a loop of an earlier socket life does not
  // run alongside the new one.
  std::uint64_t acceptEpoch_ = 0;
  std::uint64_t receiveEpoch_ = 0;

  // Mirror of Attached() for callers on other threads.
  std::atomic<bool> attached_{false};
  std::mutex peerLock_;  // guards the two below
  std::string peerAddressText_;
  std::string peerDescription_;
  std::atomic<std::uint16_t> tcpPort_{0};
  std::atomic<std::uint16_t> udpPort_{0};

  std::recursive_mutex lock_;
  INetSessionNotify* notify_ = nullptr;

  std::thread thread_;
};
