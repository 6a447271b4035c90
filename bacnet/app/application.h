// The application layer of one connection's stack: APDU headers, the table of open transactions
// with their client and server state machines, segmentation and reassembly, and the 100 ms tick
// that ages transactions and gives up after the configured time-outs and retries.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bacnet/app/pdu.h"
#include "bacnet/app/transaction_host.h"
#include "bacnet/link/records.h"
#include "platform/message_loop.h"
#include "platform/task.h"
#include "platform/variant.h"

namespace zb::bacnet {

class TBACnetNetwork;
class TBACnetTSM;

class TBACnetApplication : private TTransactionHost {
 public:
  using IndicationHandler = std::function<void(void* sender, const TBACnetPDU& pdu)>;
  using TransactionFailedHandler = std::function<void(void* sender, int handle)>;
  using TraceHandler = std::function<void(void* sender, const std::string& text, int channel)>;

  explicit TBACnetApplication(platform::MessageLoop& loop);
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
  int APDUTimeout = 2000;        // ms
  int APDUSegmentTimeout = 250;  // ms
  int APDURetries = 2;

  // Installs ReceiveAPDU on the network layer, opens (true) or closes (false) it, and enables
  // the 100 ms tick in every case. Returns the network layer's result.
  bool Open(bool flag);
  // The same through the network's OpenAsync (a link whose set-up waits).
  platform::Task<bool> OpenAsync(bool flag);

  // Unconfirmed (PDUType 1): 0 when handed to the network layer, else -1. Confirmed (0): the new
  // transaction's handle 1..255 (its invoke ID), or -1 (also when all 255 are in use). Any other
  // type: -1. Values, when an array, are encoded into ServiceData first.
  int SendRequest(const TBACnetPDU& pdu);
  // Answers the server transaction `handle` (in tsAwaitResponse only) with the PDU's service
  // data, segmenting or aborting as the requester's limits demand.
  void SendComplexAck(int handle, const TBACnetPDU& pdu);
  void SendSimpleAck(int handle);
  void SendError(int handle, int error_class, int error_code);
  void SendReject(int handle, int reason);

  // The data link's maximum APDU length; 0 without network layer or data link.
  int MaxAPDULength() override;
  // Numbered parameters of the network layer and the data link (kind 3 = local address text).
  void SetParameter(int kind, const Variant& value);
  bool GetParameter(int kind, Variant& value);

  // The network layer's receive handler.
  void ReceiveAPDU(const TBACnetNPDU& npdu);
  // The timer handler (every 100 ms).
  void TickTransactions();

  // Handles of server transactions (requests peers send us) start here, apart from the client
  // handles 1..255, so nothing that happens to a peer's request can reach one of ours.
  static constexpr int kFirstServerHandle = 256;
  // Server transactions open at once, in all and from one peer; a request beyond them is
  // refused with Abort out-of-resources.
  static constexpr int kMaxServerTransactions = 64;
  static constexpr int kMaxServerTransactionsPerPeer = 8;
  // Segments of the longest request our device takes and of the longest answer it gives: its
  // requests (ReadProperty, ReadPropertyMultiple, WriteProperty of one object) need far fewer.
  int MaxServerSegments = 32;
  // Octets a server transaction reassembles at most; an answer longer than this is refused.
  size_t MaxServerRequestLength() override;

  // Inspection, mainly for tests and diagnostics.
  int TransactionCount() const { return static_cast<int>(table_.size()); }
  int ServerTransactionCount() const { return server_count_; }
  // Octets the open transactions hold (requests, reassembled data, answers being sent).
  size_t HeldOctets() const;
  // The first (oldest) live transaction with that handle, or nullptr.
  const TBACnetTSM* FindTransaction(int handle) const;
  platform::Timer& timer() { return timer_; }
  // True from the first Open on (the tick runs from then). Unlike timer().Enabled() it stays
  // true while the tick itself runs, with the timer disabled, and calls handlers.
  bool Opened() const { return opened_; }

  // "A:B:invokeID", A and B being the two address texts of a PDU.
  static std::string TransactionKey(std::string_view a, std::string_view b, int invoke_id);

 private:
  void StartTick();
  struct Entry {
    std::string key;
    std::string peer;                 // server transactions: the requester (network and address)
    std::shared_ptr<TBACnetTSM> tsm;  // shared so that a running state machine outlives a purge
  };
  using Table = std::list<Entry>;  // in creation order, which is the order they age in
  using Index = std::unordered_map<std::string, Table::iterator>;

  // Removes the transactions that are done.
  void Purge();
  Table::iterator Erase(Table::iterator it);
  int NextInvokeID();
  int NextServerHandle();
  std::shared_ptr<TBACnetTSM> CreateTransaction(const std::string& key, int handle,
                                                const std::string& peer = {});
  std::shared_ptr<TBACnetTSM> FindByHandle(int handle) const;
  std::shared_ptr<TBACnetTSM> FindByKey(const Index& index, const std::string& key) const;
  // Room for one more server transaction from `peer` (purging finished ones when full).
  bool ServerRoomFor(const std::string& peer);
  void Dispatch(TBACnetPDU& pdu);

  // Services for the state machines.
  bool SendPDU(const TBACnetPDU& pdu);
  void Deliver(TBACnetPDU& pdu, int handle);
  void ReportFailure(int handle);
  int WindowRule(int w) override;
  bool SendTransactionPDU(const TBACnetPDU& pdu) override { return SendPDU(pdu); }
  void DeliverTransactionPDU(TBACnetPDU& pdu, int handle) override { Deliver(pdu, handle); }
  void ReportTransactionFailure(int handle) override { ReportFailure(handle); }
  int MaxServerSegmentCount() const override { return MaxServerSegments; }
  int RequestTimeout() const override { return APDUTimeout; }
  int SegmentTimeout() const override { return APDUSegmentTimeout; }
  int RequestRetries() const override { return APDURetries; }
  void Trace(const std::string& text, int channel);

  platform::Timer timer_;
  Table table_;
  std::unordered_map<int, Table::iterator> by_handle_;
  Index client_keys_;
  Index server_keys_;
  std::unordered_map<std::string, int> server_per_peer_;
  int server_count_ = 0;
  int invoke_counter_ = 1;
  int server_counter_ = kFirstServerHandle - 1;
  bool ticking_ = false;
  bool opened_ = false;
};

}  // namespace zb::bacnet
