// The top of a connection's BACnet stack: the driver's own Device object, the client requests
// the session makes (with their pending table and the waiting variants), the bindings learnt
// from I-Am, and the dispatch of everything the application layer delivers.
#pragma once

#include <coroutine>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bacnet/app/acknowledge_alarm.h"
#include "bacnet/app/device_server.h"
#include "bacnet/app/pdu.h"
#include "bacnet/app/point_address.h"
#include "platform/message_loop.h"
#include "platform/task.h"
#include "platform/variant.h"
#include "support/short_string.h"

namespace zb::bacnet {

class TBACnetApplication;

// One device that answered a Who-Is.
struct TBACnetBinding {
  int32_t ObjectType = 0;  // 8 = device
  int32_t Instance = 0;
  uint16_t Network = 0;  // 0 = local network
  ShortString<22> Address;
  int32_t MaxAPDU = 0;
  int32_t Segmentation = 0;
  int32_t Vendor = 0;
};

// Answer kinds reported by OnResponseReceived and returned by the waiting requests.
enum : int {
  kResponseSimpleAck = 2,
  kResponseComplexAck = 3,
  kResponseError = 5,  // also the local give-up after the retries
  kResponseReject = 6,
  kResponseAbort = 7,  // also a transaction failure
};

using TResponseReceivedEvent =
    std::function<void(void* Sender, int InvokeID, int Response, const Variant& Data)>;
using TBindingsUpdatedEvent = std::function<void(void* Sender)>;
using TNotificationReceivedEvent = std::function<void(void* Sender, const TBACnetPDU& PDU)>;
using TPropertyReadEvent =
    std::function<void(void* Sender, int ObjectType, int InstanceID, int PropertyID, int ArrayIndex,
                       Variant& Value, int& ValueType)>;
using TPropertyWriteEvent =
    std::function<void(void* Sender, int ObjectType, int InstanceID, int PropertyID, int ArrayIndex,
                       const Variant& Value, int ValueType)>;
using TObjectListReadEvent =
    std::function<void(void* Sender, int ArrayIndex, int& ObjectType, int& InstanceID)>;

// The session's stored settings for its device (applied by LoadStoredDefaults).
constexpr int kStoredObjectIdentifier = 998;
// Configuration: any valid BACnet vendor identifier will do here.
constexpr int kStoredVendorIdentifier = 555;

class TBACnetDevice {
 public:
  static constexpr int kPendingSlots = 32;
  static constexpr int kFreeSlot = -2;

  explicit TBACnetDevice(platform::MessageLoop& loop);
  ~TBACnetDevice();
  TBACnetDevice(const TBACnetDevice&) = delete;
  TBACnetDevice& operator=(const TBACnetDevice&) = delete;

  // ---- published properties -------------------------------------------------------------
  TBACnetApplication* App = nullptr;  // not owned

  int APDUTimeout() const { return apdu_timeout_; }
  void SetAPDUTimeout(int ms);  // below 100 becomes 100
  int NumberOfAPDURetries = 3;
  int APDUSegmentTimeout() const { return apdu_segment_timeout_; }
  void SetAPDUSegmentTimeout(int ms);  // below 100 becomes 100
  int ObjectIdentifier() const { return object_identifier_; }
  void SetObjectIdentifier(int instance);  // clamped to 1..4194303
  std::string ObjectName;
  std::string VendorName;
  int VendorIdentifier() const { return vendor_identifier_; }
  void SetVendorIdentifier(int id);  // clamped to 1..65535
  std::string ModelName;
  std::string ApplicationSoftwareVersion;
  std::string Location;
  std::string Description;
  int MaxMaster() const { return max_master_; }
  void SetMaxMaster(int v);  // 128 or more becomes 127, 0 or less becomes 1
  int MaxInfoFrames() const { return max_info_frames_; }
  void SetMaxInfoFrames(int v);  // same rule as MaxMaster
  std::string FirmwareRevision;
  std::string ProfileName;

  TResponseReceivedEvent OnResponseReceived;
  TBindingsUpdatedEvent OnBindingsUpdated;
  TNotificationReceivedEvent OnNotificationReceived;
  TPropertyReadEvent OnPropertyRead;  // declared for owners; never raised
  TPropertyWriteEvent OnPropertyWrite;
  TObjectListReadEvent OnObjectListRead;

  // ---- other fields -----------------------------------------------------------------------
  std::function<void(void* sender, const std::string& text, int channel)> OnTrace;  // channel 3
  int NetworkNumber = 0;  // the session sets 13689; handed to the network layer on Open
  int SystemStatus = 0;
  std::string LocalAddress;  // the data link's own address, read after Open

  // The session's stored settings: 998, "ZelBACnetServer", "Tarnwell", kStoredVendorIdentifier,
  // "1.6", "BACnet Server", "0", time-outs 3000/2000, 3 retries, MaxMaster 127, MaxInfoFrames 1.
  void LoadStoredDefaults();

  // ---- operations -------------------------------------------------------------------------
  // true opens the stack (then traces "Connected", reads LocalAddress, sends I-Am and Who-Is);
  // false closes it and returns false.
  bool Open(bool active);
  // The same through the application's OpenAsync: suspends while the link sets its line up.
  platform::Task<bool> OpenAsync(bool active);

  // from_virtual_network: with the virtual network and our address on it as its source.
  void SendIAm(bool from_virtual_network = false);
  void SendWhoIs();
  void SendWhoIsRouterToNetwork();
  void SendIAmRouterToNetwork();

  // Confirmed requests need the stack opened once (only the application layer's tick, which
  // runs from its first Open on, ends an unanswered transaction); before that they return -1.
  // Requests: a one-dimensional array whose first element is a point address text and whose
  // second is a property identifier text. Result: the transaction handle (> 0), or -1 (0 for
  // an unconfirmed PDU handed to SendPDU) when nothing was sent.
  //  RequestRead: [addr, prop] or [addr, prop, index] → ReadProperty; [addr, p1, p2, p3, ...]
  //  → ReadPropertyMultiple of those properties.
  int RequestRead(const Variant& request);
  //  The same ReadProperty for an address already read (index -1: none).
  int RequestRead(const TBACnetPointAddress& address, int32_t property, int32_t index = -1);
  //  RequestWrite: exactly [addr, prop, value]; written with priority 10.
  int RequestWrite(const Variant& request);
  //  RequestWriteEncoded: [addr, prop] plus the already-encoded value part (tags 3 ... 3 and
  //  an optional priority) appended as it is.
  int RequestWriteEncoded(const Variant& request, const std::string& encoded);
  //  RequestReadRange: [addr, prop, range] where range is the encoded range specification.
  int RequestReadRange(const Variant& request);
  int SendPDU(const TBACnetPDU& pdu);
  // The confirmed AcknowledgeAlarm to (network, address); its own time stamp is now unless the
  // record carries one.
  int RequestAcknowledgeAlarm(TAcknowledgeAlarm ack, int network, const std::string& address);

  // Waiting variants: send, then process the message loop (blocking, never spinning) until this
  // request's own answer or failure arrives. Response is left as the caller set it when nothing
  // could be sent (WriteEncodedSync sets 5 then). Each returns the final Response.
  int ReadSync(const Variant& request, int& Response, Variant& Values);
  int ReadSyncData(const Variant& request, int& Response, std::string& Data);
  int WriteSync(const Variant& request, int& Response);
  int WriteEncodedSync(const Variant& request, const std::string& encoded, int& Response);
  int ReadRangeSync(const Variant& request, int& Response, Variant& Values);
  int SendPDUSync(const TBACnetPDU& pdu, int& Response);
  // True only when the answer is a simple ACK.
  bool AcknowledgeAlarmSync(const TAcknowledgeAlarm& ack, int network, const std::string& address);

  // What a request's answer brought. Response 0: nothing was sent (the handle was not > 0).
  struct TAnswer {
    int Response = 0;
    Variant Values;
    std::string Data;
  };
  class AnswerAwaiter;
  // Suspends the awaiting coroutine, without nesting the loop, until the answer or the failure
  // of `handle` (a RequestXxx or SendPDU result); it is resumed from a posted message, so it
  // never runs inside the application layer's delivery. Destroying the suspended coroutine
  // withdraws the wait; the transaction then ends unclaimed.
  AnswerAwaiter Answer(int handle);
  // Ends, as transaction failures, suspended waits whose transaction the application layer no
  // longer holds without having reported it (the owner's tick calls this).
  void EndLostWaits();

  // ---- handlers the device attaches to the application layer on Open ---------------------
  // Every PDU the application layer delivers: traces it, then dispatches it.
  void HandleIndication(void* sender, const TBACnetPDU& pdu);
  // A transaction that ended without a deliverable answer.
  void HandleTransactionFailed(void* sender, int handle);

  // ---- state, for the session and for tests -------------------------------------------------
  const std::vector<TBACnetBinding>& Bindings() const { return bindings_; }
  // Devices learnt from I-Am at most; later ones are not bound.
  static constexpr size_t kMaxBindings = 4096;
  int PendingCount() const;
  bool IsPending(int handle) const;
  // Handle of the innermost waiting call; -2 when none waits.
  int WaitHandle() const;

  // Channel 3 of OnTrace.
  void Trace(const std::string& text);

  platform::MessageLoop& loop() const { return loop_; }

 private:
  // Open's halves around the application layer's: handlers and settings, then the greeting.
  void PrepareOpen();
  bool Opened(bool active, bool opened);
  struct Wait {
    int handle = -2;
    bool done = false;
    int response = 0;
    Variant values;
    std::string data;
    // Suspended waits only: whom to resume, and whether that coroutine still exists.
    std::coroutine_handle<> resumer;
    std::shared_ptr<bool> alive;
  };
  // Records the outcome; a suspended wait leaves the table and its coroutine is resumed later.
  void Complete(Wait& w, int response, const Variant& values, const std::string& data);
  void Withdraw(Wait* w);

  int TakeFreeSlot() const;
  int Send(TBACnetPDU& pdu, int slot);
  // Takes a free slot, builds the request into a fresh PDU and sends it; -1 when any step fails.
  int SendBuilt(const std::function<bool(TBACnetPDU&)>& build);
  // Waits for `handle` (> 0); returns false when the handle is not worth waiting for.
  bool WaitFor(int handle, Wait& wait);
  void HandleResponse(const TBACnetPDU& pdu);
  void UpdateBindings(const TBACnetPDU& pdu);
  // What the server side reads of this device, for one request.
  TServedDevice Served();
  void SendServerAnswer(const TBACnetPDU& request, const TServerAnswer& answer);
  void SendUnconfirmedBroadcast(int service, const std::string& data,
                                bool from_virtual_network = false);
  void SendNetworkMessage(int type, const std::string& data);
  Wait* FindWait(int handle);
  void FreeSlot(int handle);

  platform::MessageLoop& loop_;
  int apdu_timeout_ = 3000;
  int apdu_segment_timeout_ = 2000;
  int object_identifier_ = 1;
  int vendor_identifier_ = 0;
  int max_master_ = 127;
  int max_info_frames_ = 1;
  int pending_[kPendingSlots];
  std::vector<Wait*> waits_;  // innermost last
  std::vector<TBACnetBinding> bindings_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class TBACnetDevice::AnswerAwaiter {
 public:
  AnswerAwaiter(TBACnetDevice& device, int handle);
  ~AnswerAwaiter();
  AnswerAwaiter(const AnswerAwaiter&) = delete;
  AnswerAwaiter& operator=(const AnswerAwaiter&) = delete;

  bool await_ready() const { return wait_.handle <= 0; }
  bool await_suspend(std::coroutine_handle<> h);
  TAnswer await_resume();

 private:
  TBACnetDevice& device_;
  std::weak_ptr<bool> device_alive_;
  Wait wait_;
};

}  // namespace zb::bacnet
