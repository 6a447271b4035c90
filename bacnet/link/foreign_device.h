// Foreign-device registration of a BACnet/IP link with a BBMD: when to register, re-register and
// give the entry up, and what the BBMD's answers mean. The link sends what this builds and hands
// it every BVLC-Result the BBMD sends; the only clock is the registration timer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/message_loop.h"

namespace zb::bacnet {

constexpr int kBVLCRegisterForeignDevice = 0x05;
constexpr int kBVLCDeleteForeignDeviceTableEntry = 0x08;
constexpr int kBVLCDistributeBroadcastToNetwork = 0x09;

constexpr int kBVLCResultSuccess = 0x0000;
constexpr int kBVLCResultRegisterNAK = 0x0030;
constexpr int kBVLCResultDeleteNAK = 0x0050;
constexpr int kBVLCResultDistributeNAK = 0x0060;

constexpr int kDefaultBBMDPort = 47808;
constexpr int kDefaultForeignDeviceTTL = 300;

// "host", "host:port", "a.b.c.d:port" → host and port; false when the text is empty, the port
// is not a number in 1..65535 or the host part is empty.
bool ParseBBMDAddress(const std::string& text, std::string& host, int& port);

class TForeignDeviceRegistration {
 public:
  explicit TForeignDeviceRegistration(platform::MessageLoop& loop);

  // Time-to-live asked of the BBMD, in seconds (clamped to 1..65535).
  void SetTimeToLive(int seconds);
  int TimeToLive() const { return ttl_; }
  // The BBMD's address as shown in log lines ("10.0.0.1:47808").
  std::string Peer;

  // Sends the first registration and starts the timer.
  void Start();
  // Stops the timer; true when an entry may exist at the BBMD (the caller then deletes it).
  bool Stop();
  // One BVLC-Result from the BBMD.
  void HandleResult(int code);

  // Started and not stopped.
  bool Started() const { return started_; }
  // The BBMD accepted the last registration: broadcasts go through it.
  bool Registered() const { return registered_; }
  // The first registration has been answered (or its answer is overdue): broadcasts held
  // back until then may leave.
  bool Settled() const { return settled_; }

  // Milliseconds between refreshes: half the time-to-live, at least one second.
  int RefreshMs() const;
  // How long an answer is awaited before it counts as lost.
  int AnswerWaitMs() const;

  // Complete BVLL messages.
  std::string RegisterMessage() const;
  // address: our own 6-octet B/IP address.
  static std::string DeleteMessage(const std::string& address);

  std::function<void(const std::string& bvll)> OnSend;
  std::function<void(const std::string& text)> OnLog;
  // The registration was answered or given up for now (held broadcasts may go).
  std::function<void()> OnSettled;

 private:
  void SendRegistration();
  void Arm(int ms);
  void Timeout();
  void Log(const std::string& text);
  void Settle();

  platform::Timer timer_;
  int ttl_ = kDefaultForeignDeviceTTL;
  bool started_ = false;
  bool registered_ = false;
  bool waiting_ = false;
  bool settled_ = true;
  // Refused, answer lost or registered: repeated failures of one kind are logged once.
  std::string last_logged_;
};

}  // namespace zb::bacnet
