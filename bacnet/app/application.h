// The application layer of one connection's stack: APDU headers, the table of open transactions
// with their client and server state machines, segmentation and reassembly, and the 100 ms tick
// that ages transactions and gives up after the configured time-outs and retries.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bacnet/app/pdu.h"
#include "bacnet/link/records.h"
#include "platform/message_loop.h"
#include "platform/variant.h"

namespace zb::bacnet {

class TBACnetNetwork;
class TBACnetTSM;

class TBACnetApplication {
 public:
  using IndicationHandler = std::function<void(void* sender, const TBACnetPDU& pdu)>;
  using TransactionFailedHandler = std::function<void(void* sender, int handle)>;
  using TraceHandler = std::function<void(void* sender, const std::string& text, int channel)>;

  explicit TBACnetApplication(platform::MessageLoop& loop = platform::MessageLoop::Current());
  ~TBACnetApplication();
  TBACnetApplication(const TBACnetApplication&) = delete;
  TBACnetApplication& operator=(const TBACnetApplication&) = delete;

  TBACnetNetwork* Network = nullptr;  // not owned
  // Every PDU delivered upward, with TransactionHandle and Values filled in. Handlers may call
  // back into this layer at once (send requests, answer, open new transactions).
  IndicationHandler OnIndication;
  // A transaction ended without an answer that can be delivered (abort, server time-out).
  TransactionFailedHandler OnTransactionFailed;
  TraceHandler OnTrace;

  // Overwritten by the device on Open.
  int APDUTimeout = 2000;         // ms
  int APDUSegmentTimeout = 250;   // ms
  int APDURetries = 2;

  // Installs ReceiveAPDU on the network layer, opens (true) or closes (false) it, and enables
  // the 100 ms tick in every case. Returns the network layer's result.
  bool Open(bool flag);

  // Unconfirmed (PDUType 1): 0 when handed to the network layer, else -1. Confirmed (0): the new
  // transaction's handle 1..255, or -1. Any other type: -1. Values, when an array, are encoded
  // into ServiceData first.
  int SendRequest(const TBACnetPDU& pdu);
  // Answers the server transaction `handle` (in tsAwaitResponse only) with the PDU's service
  // data, segmenting or aborting as the requester's limits demand.
  void SendComplexAck(int handle, const TBACnetPDU& pdu);
  void SendSimpleAck(int handle);

  // The data link's maximum APDU length; 0 without network layer or data link.
  int MaxAPDULength();
  // Numbered parameters of the network layer and the data link (kind 3 = local address text).
  void SetParameter(int kind, const Variant& value);
  bool GetParameter(int kind, Variant& value);

  // The network layer's receive handler.
  void ReceiveAPDU(const TBACnetNPDU& npdu);
  // The timer handler (every 100 ms).
  void TickTransactions();

  // Inspection, mainly for tests and diagnostics.
  int TransactionCount() const { return static_cast<int>(table_.size()); }
  // The first (oldest) live transaction with that handle, or nullptr.
  const TBACnetTSM* FindTransaction(int handle) const;
  platform::Timer& timer() { return timer_; }
  // True from the first Open on (the tick runs from then). Unlike timer().Enabled() it stays
  // true while the tick itself runs, with the timer disabled, and calls handlers.
  bool Opened() const { return opened_; }

  // "A:B:invokeID", A and B being the two address texts of a PDU.
  static std::string TransactionKey(std::string_view a, std::string_view b, int invoke_id);

 private:
  friend class TBACnetTSM;
  struct Entry {
    std::string key;
    std::shared_ptr<TBACnetTSM> tsm;  // shared so that a running state machine outlives a purge
  };

  void Purge();
  int NextInvokeID();
  std::shared_ptr<TBACnetTSM> CreateTransaction(const std::string& key, int handle);
  std::shared_ptr<TBACnetTSM> FindByHandle(int handle) const;
  void Dispatch(TBACnetPDU& pdu);

  // Services for the state machines.
  bool SendPDU(const TBACnetPDU& pdu);
  void Deliver(TBACnetPDU& pdu, int handle);
  void ReportFailure(int handle);
  int WindowRule(int w);
  void Trace(const std::string& text, int channel);

  platform::Timer timer_;
  std::vector<Entry> table_;
  int invoke_counter_ = 1;
  bool ticking_ = false;
  bool opened_ = false;
};

}  // namespace zb::bacnet
