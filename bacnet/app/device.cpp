#include "bacnet/app/device.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "bacnet/app/acknowledge_alarm.h"
#include "bacnet/app/application.h"
#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/device_request.h"
#include "bacnet/app/device_server.h"
#include "bacnet/app/last_failure.h"
#include "bacnet/app/property_id.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/text_tables.h"
#include "bacnet/app/trace_lines.h"
#include "bacnet/app/who_is_i_am.h"
#include "bacnet/link/data_link.h"

namespace zb::bacnet {

TBACnetDevice::TBACnetDevice(platform::MessageLoop& loop) : loop_(loop) {
  std::fill(std::begin(pending_), std::end(pending_), kFreeSlot);
}

TBACnetDevice::~TBACnetDevice() { *alive_ = false; }

void TBACnetDevice::SetAPDUTimeout(int ms) { apdu_timeout_ = ms < 100 ? 100 : ms; }

void TBACnetDevice::SetAPDUSegmentTimeout(int ms) { apdu_segment_timeout_ = ms < 100 ? 100 : ms; }

void TBACnetDevice::SetObjectIdentifier(int instance) {
  object_identifier_ = std::clamp(instance, 1, 4194303);
}

void TBACnetDevice::SetVendorIdentifier(int id) { vendor_identifier_ = std::clamp(id, 1, 65535); }

void TBACnetDevice::SetMaxMaster(int v) { max_master_ = v >= 128 ? 127 : (v <= 0 ? 1 : v); }

void TBACnetDevice::SetMaxInfoFrames(int v) {
  max_info_frames_ = v >= 128 ? 127 : (v <= 0 ? 1 : v);
}

void TBACnetDevice::LoadStoredDefaults() {
  SetAPDUTimeout(3000);
  NumberOfAPDURetries = 3;
  SetAPDUSegmentTimeout(2000);
  SetObjectIdentifier(kStoredObjectIdentifier);
  ObjectName = "ZelBACnetServer";
  VendorName = "Tarnwell";
  SetVendorIdentifier(kStoredVendorIdentifier);
  ApplicationSoftwareVersion = "1.6";
  Description = "BACnet Server";
  SetMaxMaster(127);
  SetMaxInfoFrames(1);
  FirmwareRevision = "0";
}

// ---- opening ------------------------------------------------------------------------------

bool TBACnetDevice::Open(bool active) {
  if (!App) return false;
  PrepareOpen();
  return Opened(active, App->Open(active));
}

platform::Task<bool> TBACnetDevice::OpenAsync(bool active) {
  if (!App) co_return false;
  PrepareOpen();
  const bool opened = co_await App->OpenAsync(active);
  co_return Opened(active, opened);
}

void TBACnetDevice::PrepareOpen() {
  App->OnIndication = [this](void* sender, const TBACnetPDU& pdu) {
    HandleIndication(sender, pdu);
  };
  App->OnTransactionFailed = [this](void* sender, int handle) {
    HandleTransactionFailed(sender, handle);
  };
  App->APDUTimeout = apdu_timeout_;
  App->APDUSegmentTimeout = apdu_segment_timeout_;
  App->APDURetries = NumberOfAPDURetries;
  App->SetParameter(kParamMaxInfoFrames, Variant(int32_t(max_info_frames_)));
  App->SetParameter(kParamMaxMaster, Variant(int32_t(max_master_)));
  App->SetParameter(kParamNetworkNumber, Variant(int32_t(NetworkNumber)));
  App->SetParameter(kParamSourceAddress, Variant(int32_t(object_identifier_)));
}

bool TBACnetDevice::Opened(bool active, bool opened) {
  if (!active || !opened) return false;
  Trace("Connected");
  Variant local;
  App->GetParameter(kParamLocalAddress, local);
  std::string text;
  LocalAddress = local.TryToText(text) ? text : std::string();
  SendIAm();
  SendWhoIs();
  return true;
}

// ---- broadcasts ---------------------------------------------------------------------------

void TBACnetDevice::SendUnconfirmedBroadcast(int service, const std::string& data,
                                             bool from_virtual_network) {
  if (!App) return;
  TBACnetPDU pdu;
  ClearPDU(pdu);
  pdu.PDUType = kPDUUnconfirmedRequest;
  pdu.ServiceChoice = service;
  pdu.Broadcast = true;
  pdu.DestinationNetwork = 65535;
  if (from_virtual_network) pdu.SourceNetwork = NetworkNumber;
  pdu.SourceAddress = LocalAddress;
  pdu.ServiceData = data;
  try {
    App->SendRequest(pdu);
  } catch (...) {
  }
}

void TBACnetDevice::SendNetworkMessage(int type, const std::string& data) {
  if (!App) return;
  TBACnetPDU pdu;
  ClearPDU(pdu);
  pdu.PDUType = kPDUUnconfirmedRequest;
  pdu.NetworkMessage = true;
  pdu.NetworkMessageType = static_cast<uint8_t>(type);
  pdu.Broadcast = true;
  pdu.DestinationNetwork = 65535;
  pdu.SourceAddress = LocalAddress;
  pdu.ServiceData = data;
  try {
    App->SendRequest(pdu);
  } catch (...) {
  }
}

void TBACnetDevice::SendIAm(bool from_virtual_network) {
  if (!App) return;
  TIAm iAm;
  iAm.ObjectType = kObjectDevice;
  iAm.Instance = object_identifier_;
  iAm.MaxAPDU = App->MaxAPDULength();
  iAm.Segmentation = 0;  // segmented both
  iAm.Vendor = vendor_identifier_;
  SendUnconfirmedBroadcast(kServiceIAm, EncodeIAm(iAm), from_virtual_network);
}

void TBACnetDevice::SendWhoIs() { SendUnconfirmedBroadcast(kServiceWhoIs, EncodeWhoIs(TWhoIs{})); }

void TBACnetDevice::SendWhoIsRouterToNetwork() { SendNetworkMessage(0, std::string()); }

void TBACnetDevice::SendIAmRouterToNetwork() {
  std::string data;
  data += static_cast<char>((NetworkNumber >> 8) & 0xFF);
  data += static_cast<char>(NetworkNumber & 0xFF);
  SendNetworkMessage(1, data);
}

// ---- requests -----------------------------------------------------------------------------

int TBACnetDevice::TakeFreeSlot() const {
  for (int i = 0; i < kPendingSlots; ++i)
    if (pending_[i] == kFreeSlot) return i;
  return -1;
}

int TBACnetDevice::PendingCount() const {
  return static_cast<int>(std::count_if(std::begin(pending_), std::end(pending_),
                                        [](int h) { return h != kFreeSlot; }));
}

bool TBACnetDevice::IsPending(int handle) const {
  if (handle == kFreeSlot) return false;
  return std::find(std::begin(pending_), std::end(pending_), handle) != std::end(pending_);
}

void TBACnetDevice::FreeSlot(int handle) {
  for (int& h : pending_)
    if (h == handle) {
      h = kFreeSlot;
      return;
    }
}

int TBACnetDevice::Send(TBACnetPDU& pdu, int slot) {
  if (!App) return -1;
  // Only the application layer's tick ends an unanswered transaction, and it runs from the
  // layer's first Open on: before that a request could never finish, so none is sent.
  if (pdu.PDUType == kPDUConfirmedRequest && !App->Opened()) return -1;
  int handle = -1;
  try {
    handle = App->SendRequest(pdu);
  } catch (...) {
    return -1;
  }
  if (handle > 0) pending_[slot] = handle;
  return handle;
}

int TBACnetDevice::SendBuilt(const std::function<bool(TBACnetPDU&)>& build) {
  const int slot = TakeFreeSlot();
  if (slot < 0) return -1;
  TBACnetPDU pdu;
  if (!build(pdu)) return -1;
  return Send(pdu, slot);
}

int TBACnetDevice::RequestRead(const Variant& request) {
  return SendBuilt([&](TBACnetPDU& pdu) { return BuildReadRequest(request, LocalAddress, pdu); });
}

int TBACnetDevice::RequestRead(const TBACnetPointAddress& address, int32_t property,
                               int32_t index) {
  return SendBuilt([&](TBACnetPDU& pdu) {
    return BuildReadRequest(address, property, index, LocalAddress, pdu);
  });
}

int TBACnetDevice::RequestWrite(const Variant& request) {
  return SendBuilt([&](TBACnetPDU& pdu) { return BuildWriteRequest(request, LocalAddress, pdu); });
}

int TBACnetDevice::RequestWriteEncoded(const Variant& request, const std::string& encoded) {
  return SendBuilt([&](TBACnetPDU& pdu) {
    return BuildWriteEncodedRequest(request, encoded, LocalAddress, pdu);
  });
}

int TBACnetDevice::RequestReadRange(const Variant& request) {
  return SendBuilt(
      [&](TBACnetPDU& pdu) { return BuildReadRangeRequest(request, LocalAddress, pdu); });
}

int TBACnetDevice::SendPDU(const TBACnetPDU& pdu) {
  const int slot = TakeFreeSlot();
  if (slot < 0) return -1;
  TBACnetPDU copy;
  CopyPDU(pdu, copy);
  return Send(copy, slot);
}

// ---- waiting ------------------------------------------------------------------------------
//
// Every waiting call keeps its own wait record, and an answer ends only the wait that asked for
// it. A single shared wait handle would let a nested waiting call (run from a host call or a
// timer inside the outer wait) end the outer wait as well, which then returned the nested
// request's answer as its own.

int TBACnetDevice::WaitHandle() const { return waits_.empty() ? -2 : waits_.back()->handle; }

void TBACnetDevice::Complete(Wait& w, int response, const Variant& values,
                             const std::string& data) {
  w.response = response;
  w.values = values;
  w.data = data;
  w.done = true;
  if (!w.resumer) return;
  Withdraw(&w);
  // Resumed from the loop, not from inside the delivery that ended the wait: the worker then
  // sends its next request from the top, as it would after a nested wait returned.
  loop_.Post([alive = std::weak_ptr<bool>(w.alive), h = w.resumer] {
    if (auto a = alive.lock(); a && *a) h.resume();
  });
}

void TBACnetDevice::Withdraw(Wait* w) {
  auto it = std::find(waits_.begin(), waits_.end(), w);
  if (it != waits_.end()) waits_.erase(it);
}

TBACnetDevice::AnswerAwaiter TBACnetDevice::Answer(int handle) { return {*this, handle}; }

void TBACnetDevice::EndLostWaits() {
  std::vector<Wait*> lost;
  for (Wait* w : waits_)
    if (w->resumer && !w->done &&
        (!App || !IsPending(w->handle) || !App->FindTransaction(w->handle)))
      lost.push_back(w);
  for (Wait* w : lost) {
    FreeSlot(w->handle);
    Complete(*w, kResponseAbort, Variant(), std::string());
  }
}

TBACnetDevice::AnswerAwaiter::AnswerAwaiter(TBACnetDevice& device, int handle)
    : device_(device), device_alive_(device.alive_) {
  wait_.handle = handle;
}

TBACnetDevice::AnswerAwaiter::~AnswerAwaiter() {
  if (wait_.alive) *wait_.alive = false;
  if (wait_.resumer && !wait_.done && !device_alive_.expired()) device_.Withdraw(&wait_);
}

bool TBACnetDevice::AnswerAwaiter::await_suspend(std::coroutine_handle<> h) {
  TBACnetDevice& d = device_;
  if (!d.App || !d.IsPending(wait_.handle) || !d.App->FindTransaction(wait_.handle)) {
    // Already over without a deliverable answer: nothing will resume this wait.
    d.FreeSlot(wait_.handle);
    wait_.response = kResponseAbort;
    wait_.done = true;
    return false;
  }
  wait_.resumer = h;
  wait_.alive = std::make_shared<bool>(true);
  d.waits_.push_back(&wait_);
  return true;
}

TBACnetDevice::TAnswer TBACnetDevice::AnswerAwaiter::await_resume() {
  TAnswer a;
  if (wait_.handle <= 0) return a;
  a.Response = wait_.response;
  a.Values = std::move(wait_.values);
  a.Data = std::move(wait_.data);
  return a;
}

TBACnetDevice::Wait* TBACnetDevice::FindWait(int handle) {
  for (Wait* w : waits_)
    if (w->handle == handle && !w->done) return w;
  return nullptr;
}

bool TBACnetDevice::WaitFor(int handle, Wait& wait) {
  if (handle <= 0) return false;
  wait.handle = handle;
  waits_.push_back(&wait);
  while (!wait.done) {
    if (!App || !IsPending(handle) || !App->FindTransaction(handle) || loop_.quit_requested()) {
      // The application layer no longer holds the transaction and never reported it, or the
      // process is ending: end as a transaction failure would.
      if (!wait.done) {
        wait.response = kResponseAbort;
        wait.values = Variant();
        wait.data.clear();
        wait.done = true;
        FreeSlot(handle);
      }
      break;
    }
    loop_.WaitAndProcess(1000);
  }
  waits_.erase(std::find(waits_.begin(), waits_.end(), &wait));
  return true;
}

int TBACnetDevice::ReadSync(const Variant& request, int& Response, Variant& Values) {
  Wait wait;
  if (!WaitFor(RequestRead(request), wait)) return Response;
  Response = wait.response;
  Values = wait.values;
  return Response;
}

int TBACnetDevice::ReadSyncData(const Variant& request, int& Response, std::string& Data) {
  Wait wait;
  if (!WaitFor(RequestRead(request), wait)) return Response;
  Response = wait.response;
  Data = wait.data;
  return Response;
}

int TBACnetDevice::WriteSync(const Variant& request, int& Response) {
  Wait wait;
  if (!WaitFor(RequestWrite(request), wait)) return Response;
  Response = wait.response;
  return Response;
}

int TBACnetDevice::WriteEncodedSync(const Variant& request, const std::string& encoded,
                                    int& Response) {
  Wait wait;
  if (!WaitFor(RequestWriteEncoded(request, encoded), wait)) {
    Response = kResponseError;
    return Response;
  }
  Response = wait.response;
  return Response;
}

int TBACnetDevice::ReadRangeSync(const Variant& request, int& Response, Variant& Values) {
  Wait wait;
  if (!WaitFor(RequestReadRange(request), wait)) return Response;
  Response = wait.response;
  Values = wait.values;
  return Response;
}

int TBACnetDevice::SendPDUSync(const TBACnetPDU& pdu, int& Response) {
  Wait wait;
  if (!WaitFor(SendPDU(pdu), wait)) return Response;
  Response = wait.response;
  return Response;
}

// ---- what the application layer delivers --------------------------------------------------

void TBACnetDevice::HandleResponse(const TBACnetPDU& pdu) {
  const int handle = pdu.TransactionHandle;
  if (!IsPending(handle)) return;
  if (Wait* w = FindWait(handle)) {
    FreeSlot(handle);
    Complete(*w, pdu.PDUType, pdu.Values, pdu.ServiceData);
  } else if (OnResponseReceived) {
    // The slot is freed even when the owner's handler fails: the answer has been consumed and
    // the handle will not come again, so keeping the slot would only leak it.
    try {
      OnResponseReceived(this, handle, pdu.PDUType, pdu.Values);
    } catch (...) {
    }
  }
  FreeSlot(handle);
}

void TBACnetDevice::HandleTransactionFailed(void* /*sender*/, int handle) {
  // A peer's request that ended unanswered is none of our requests' business.
  if (!IsPending(handle)) return;
  if (Wait* w = FindWait(handle)) {
    FreeSlot(handle);
    Complete(*w, kResponseAbort, Variant(), std::string());
  } else if (OnResponseReceived) {
    try {
      OnResponseReceived(this, handle, kResponseAbort, Variant(int32_t(0)));
    } catch (...) {
    }
  }
  FreeSlot(handle);
}

void TBACnetDevice::UpdateBindings(const TBACnetPDU& pdu) {
  TIAm iAm;
  if (!DecodeIAm(pdu.Values, iAm)) return;
  TBACnetBinding b;
  b.ObjectType = iAm.ObjectType;
  b.Instance = iAm.Instance;
  b.MaxAPDU = iAm.MaxAPDU;
  b.Segmentation = iAm.Segmentation;
  b.Vendor = iAm.Vendor;
  b.Network = static_cast<uint16_t>(pdu.SourceNetwork);
  b.Address = pdu.SourceAddress.view();
  for (const TBACnetBinding& known : bindings_)
    if (known.ObjectType == b.ObjectType && known.Instance == b.Instance) return;
  // Anyone on the network can send I-Ams for made-up devices; past a site's plausible size the
  // table would only grow (and every I-Am's search with it).
  if (bindings_.size() >= kMaxBindings) return;
  bindings_.push_back(b);
  if (OnBindingsUpdated) OnBindingsUpdated(this);
}

void TBACnetDevice::HandleIndication(void* /*sender*/, const TBACnetPDU& pdu) {
  ResetLastFailure();
  Trace(IncomingTraceLine(pdu));
  // Nothing raised by an owner's handler or the server side goes back into the stack.
  try {
    switch (pdu.PDUType) {
      case kPDUUnconfirmedRequest:
        if (pdu.ServiceChoice == kServiceWhoIs) {
          // Asked on the virtual network, the I-Am says that it comes from there.
          TWhoIs whoIs;
          if (DecodeWhoIs(pdu.Values, whoIs) && WhoIsIncludes(whoIs, object_identifier_))
            SendIAm(NetworkNumber != 0 && pdu.DestinationNetwork == NetworkNumber);
        } else if (pdu.ServiceChoice == kServiceUnconfirmedEventNotification) {
          if (OnNotificationReceived) OnNotificationReceived(this, pdu);
        } else if (pdu.ServiceChoice == kServiceIAm) {
          UpdateBindings(pdu);
        }
        break;
      case kPDUConfirmedRequest:
        if (pdu.ServiceChoice == kServiceReadProperty)
          SendServerAnswer(pdu, AnswerReadProperty(Served(), pdu));
        else if (pdu.ServiceChoice == kServiceReadPropertyMultiple)
          SendServerAnswer(pdu, AnswerReadPropertyMultiple(Served(), pdu));
        else if (pdu.ServiceChoice == kServiceWriteProperty)
          SendServerAnswer(pdu, AnswerWriteProperty(Served(), pdu));
        else
          SendServerAnswer(pdu, AnswerUnrecognizedService());
        break;
      case kPDUSimpleAck:
      case kPDUComplexAck:
        HandleResponse(pdu);
        break;
      case kPDUError:
        SetLastFailure(kLastErrorError, pdu.ErrorClass, pdu.ErrorCode);
        Trace(ErrorText(pdu.ErrorClass, pdu.ErrorCode));
        HandleResponse(pdu);
        break;
      case kPDUReject:
        SetLastFailure(kLastErrorReject, 0, pdu.ErrorCode);
        Trace(RejectText(pdu.ErrorCode));
        HandleResponse(pdu);
        break;
      case kPDUAbort:
        SetLastFailure(kLastErrorAbort, 0, pdu.ErrorCode);
        Trace(AbortText(pdu.ErrorCode));
        HandleResponse(pdu);
        break;
      default:
        break;
    }
  } catch (...) {
  }
}

// ---- answering peers ----------------------------------------------------------------------

TServedDevice TBACnetDevice::Served() {
  TServedDevice d;
  d.Instance = object_identifier_;
  d.APDUTimeout = apdu_timeout_;
  d.APDUSegmentTimeout = apdu_segment_timeout_;
  d.NumberOfAPDURetries = NumberOfAPDURetries;
  d.MaxInfoFrames = max_info_frames_;
  d.MaxMaster = max_master_;
  d.VendorIdentifier = vendor_identifier_;
  d.SystemStatus = SystemStatus;
  d.Now = LocalNow(loop_.clock());
  if (App) {
    d.MaxAPDULength = static_cast<uint32_t>(App->MaxAPDULength());
    d.MaxAnswerLength = App->MaxServerRequestLength();
  }
  d.ObjectName = ObjectName;
  d.VendorName = VendorName;
  d.ModelName = ModelName;
  d.ApplicationSoftwareVersion = ApplicationSoftwareVersion;
  d.Location = Location;
  d.Description = Description;
  d.FirmwareRevision = FirmwareRevision;
  d.ProfileName = ProfileName;
  if (OnObjectListRead)
    d.ObjectListRead = [this](int index, int& type, int& instance) {
      OnObjectListRead(this, index, type, instance);
    };
  if (OnPropertyWrite)
    d.PropertyWrite = [this](const TWriteProperty& w) {
      OnPropertyWrite(this, w.ObjectType, w.Instance, w.Property, w.ArrayIndex, w.Value, 0);
    };
  d.Trace = [this](const std::string& text) { Trace(text); };
  return d;
}

void TBACnetDevice::SendServerAnswer(const TBACnetPDU& request, const TServerAnswer& a) {
  switch (a.PDUType) {
    case kPDUComplexAck: {
      TBACnetPDU answer;
      CopyPDU(request, answer);
      answer.Values = Variant("");
      answer.ServiceData = a.Data;
      SwapAddressInfo(answer);
      Trace(OutgoingTraceLine(request, a.Data));
      if (App) App->SendComplexAck(request.TransactionHandle, answer);
      break;
    }
    case kPDUSimpleAck:
      Trace(OutgoingTraceLine(request, std::string()));
      if (App) App->SendSimpleAck(request.TransactionHandle);
      break;
    case kPDUError:
      Trace("Error: " + std::to_string(a.ErrorClass) + "/" + std::to_string(a.ErrorCode));
      if (App) App->SendError(request.TransactionHandle, a.ErrorClass, a.ErrorCode);
      break;
    case kPDUReject:
      Trace("Reject: " + std::to_string(a.ErrorCode));
      if (App) App->SendReject(request.TransactionHandle, a.ErrorCode);
      break;
    default:
      break;
  }
}

// ---- alarms -------------------------------------------------------------------------------

int TBACnetDevice::RequestAcknowledgeAlarm(TAcknowledgeAlarm ack, int network,
                                           const std::string& address) {
  return SendBuilt([&](TBACnetPDU& pdu) {
    ClearPDU(pdu);
    pdu.PDUType = kPDUConfirmedRequest;
    pdu.ServiceChoice = kServiceAcknowledgeAlarm;
    pdu.Broadcast = false;
    pdu.DestinationNetwork = network;
    pdu.DestinationAddress = address;
    pdu.SourceAddress = LocalAddress;
    if (ack.AckTimeStamp.empty()) {
      const double now = LocalNow(loop_.clock());
      ack.AckTimeStamp = DateToBACnetDate(now) + TimeToBACnetTime(now);
    }
    pdu.ServiceData = EncodeAcknowledgeAlarm(ack);
    return true;
  });
}

bool TBACnetDevice::AcknowledgeAlarmSync(const TAcknowledgeAlarm& ack, int network,
                                         const std::string& address) {
  Wait wait;
  if (!WaitFor(RequestAcknowledgeAlarm(ack, network, address), wait)) return false;
  return wait.response == kResponseSimpleAck;
}

// ---- traces -------------------------------------------------------------------------------

void TBACnetDevice::Trace(const std::string& text) {
  if (OnTrace) OnTrace(this, text, 3);
}

}  // namespace zb::bacnet
