// The contract between the network layer and whatever carries its NPDUs. The base itself carries
// nothing: opened alone it only records the request, and it refuses every send.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "bacnet/link/captured_packet.h"
#include "bacnet/link/records.h"
#include "platform/task.h"
#include "platform/variant.h"

namespace zb::bacnet {

// Parameter kinds passed through the network layer.
constexpr int kParamMaxInfoFrames = 0;
constexpr int kParamMaxMaster = 1;
constexpr int kParamLocalAddress = 3;
constexpr int kParamNetworkNumber = 4;
constexpr int kParamSourceAddress = 5;

// The texts the links use as addresses of the line's far end and of themselves.
inline constexpr const char* kLocalAddressText = "<Local>";
inline constexpr const char* kThisAddressText = "<This>";

class TBACnetDataLink {
 public:
  // The frame belongs to the link and is valid only during the call.
  using ReceiveHandler = std::function<void(void* sender, const TBACnetFrame& frame)>;
  using TraceHandler = std::function<void(void* sender, const std::string& text, int channel)>;

  TBACnetDataLink() = default;
  virtual ~TBACnetDataLink() = default;
  TBACnetDataLink(const TBACnetDataLink&) = delete;
  TBACnetDataLink& operator=(const TBACnetDataLink&) = delete;

  ReceiveHandler OnReceive;
  int32_t MaxAPDULength = 50;
  int32_t WindowLimit = 0;  // 0: no limit
  bool Active = false;
  std::string LocalAddress;  // as last reported by GetParameter kind 3
  bool ReadyToSend = false;
  std::string LastError;
  TraceHandler OnTrace;  // every line on channel 0
  // Every packet sent or received, for a live capture; unassigned costs nothing.
  CaptureHandler OnCapture;

  // Emits one trace line (the base passes the text unchanged).
  virtual void Trace(const std::string& text);
  // A line for the session log (channel 3): what the user must learn about, not a trace.
  void Log(const std::string& text);
  // Opens or closes the link; stores the resulting state in Active and returns it.
  virtual bool SetActive(bool open);
  // The same, for a link whose opening or closing waits (a line set-up, a hang-up): the task
  // suspends meanwhile. Links that never wait answer with SetActive at once.
  virtual platform::Task<bool> Activate(bool open);
  // BACnet code of the largest APDU accepted (0 = 50, 1 = 128, 2 = 206, 3 = 480, 4 = 1024).
  virtual int MaxAPDUCode();
  // Queues one outgoing NPDU; false when it was not accepted (queue full, or the base).
  virtual bool Send(const TBACnetFrame& frame);
  virtual void SetParameter(int kind, const Variant& value);
  // Kinds a link does not know leave `value` as it was.
  virtual void GetParameter(int kind, Variant& value);
  // The network layer writes SNET/SADR only over point-to-point links.
  virtual bool IsPointToPoint() const { return false; }

 protected:
  // Hands a received NPDU up; dropped when nobody listens.
  void Deliver(const TBACnetFrame& frame);
};

}  // namespace zb::bacnet
