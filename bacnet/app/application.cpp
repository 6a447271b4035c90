#include "bacnet/app/application.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>

#include "bacnet/app/apdu_header.h"
#include "bacnet/app/tagged_list.h"
#include "bacnet/app/tsm.h"
#include "bacnet/net/network.h"

namespace zb::bacnet {

namespace {

// PDUs that a client sends within a transaction; everything else comes from a server.
bool FromClient(const TBACnetPDU& p) {
  return p.PDUType == kPDUConfirmedRequest ||
         ((p.PDUType == kPDUSegmentAck || p.PDUType == kPDUAbort) && !p.Server);
}

bool EncodeValues(TBACnetPDU& pdu) {
  if (!pdu.Values.IsArray()) return true;
  std::string data;
  if (!TryEncodeTaggedList(pdu.Values, data)) return false;
  pdu.ServiceData = std::move(data);
  return true;
}

}  // namespace

TBACnetApplication::TBACnetApplication(platform::MessageLoop& loop) : timer_(loop) {
  timer_.OnTimer = [this] { TickTransactions(); };
}

TBACnetApplication::~TBACnetApplication() {
  timer_.SetEnabled(false);
  timer_.OnTimer = nullptr;
  by_handle_.clear();
  client_keys_.clear();
  server_keys_.clear();
  table_.clear();
}

std::string TBACnetApplication::TransactionKey(std::string_view a, std::string_view b,
                                               int invoke_id) {
  std::string key;
  key.reserve(a.size() + b.size() + 6);
  key.append(a);
  key += ':';
  key.append(b);
  key += ':';
  key += std::to_string(invoke_id);
  return key;
}

bool TBACnetApplication::Open(bool flag) {
  bool result = false;
  if (Network) {
    Network->OnReceive = [this](void*, const TBACnetNPDU& npdu) { ReceiveAPDU(npdu); };
    result = Network->Open(flag);
  }
  StartTick();
  return result;
}

platform::Task<bool> TBACnetApplication::OpenAsync(bool flag) {
  bool result = false;
  if (Network) {
    Network->OnReceive = [this](void*, const TBACnetNPDU& npdu) { ReceiveAPDU(npdu); };
    result = co_await Network->OpenAsync(flag);
  }
  StartTick();
  co_return result;
}

void TBACnetApplication::StartTick() {
  timer_.SetInterval(100);
  timer_.SetEnabled(true);
  opened_ = true;
}

int TBACnetApplication::MaxAPDULength() { return Network ? Network->MaxAPDULength() : 0; }

void TBACnetApplication::SetParameter(int kind, const Variant& value) {
  if (Network) Network->SetParameter(kind, value);
}

bool TBACnetApplication::GetParameter(int kind, Variant& value) {
  if (!Network) return false;
  Network->GetParameter(kind, value);
  return true;
}

int TBACnetApplication::WindowRule(int w) {
  const int limit = Network ? Network->WindowLimit() : 0;
  if (limit > 0 && limit < w) w = limit;
  return std::clamp(w, 1, 127);
}

void TBACnetApplication::Trace(const std::string& text, int channel) {
  if (OnTrace) {
    auto handler = OnTrace;
    handler(this, text, channel);
  }
}

// ---- the table ---------------------------------------------------------------------------------

size_t TBACnetApplication::MaxServerRequestLength() {
  return static_cast<size_t>(MaxServerSegments) *
         static_cast<size_t>(std::max(MaxAPDULength(), 50));
}

TBACnetApplication::Table::iterator TBACnetApplication::Erase(Table::iterator it) {
  const bool server = it->tsm->Handle >= kFirstServerHandle;
  Index& keys = server ? server_keys_ : client_keys_;
  auto k = keys.find(it->key);
  if (k != keys.end() && k->second == it) keys.erase(k);
  auto h = by_handle_.find(it->tsm->Handle);
  if (h != by_handle_.end() && h->second == it) by_handle_.erase(h);
  if (server) {
    --server_count_;
    auto p = server_per_peer_.find(it->peer);
    if (p != server_per_peer_.end() && --p->second <= 0) server_per_peer_.erase(p);
  }
  return table_.erase(it);
}

void TBACnetApplication::Purge() {
  for (auto it = table_.begin(); it != table_.end();) {
    if (it->tsm->State == tsDone)
      it = Erase(it);
    else
      ++it;
  }
}

int TBACnetApplication::NextInvokeID() {
  // An invoke ID still in use by one of our open requests is skipped: its answer would be
  // taken for the new one's.
  for (int tries = 0; tries < 255; ++tries) {
    if (++invoke_counter_ >= 256) invoke_counter_ = 1;
    auto h = by_handle_.find(invoke_counter_);
    if (h == by_handle_.end()) return invoke_counter_;
    if (h->second->tsm->State == tsDone) {
      Erase(h->second);
      return invoke_counter_;
    }
  }
  return -1;
}

int TBACnetApplication::NextServerHandle() {
  for (;;) {
    if (server_counter_ >= INT_MAX - 1) server_counter_ = kFirstServerHandle - 1;
    ++server_counter_;
    auto h = by_handle_.find(server_counter_);
    if (h == by_handle_.end()) return server_counter_;
    if (h->second->tsm->State == tsDone) {
      Erase(h->second);
      return server_counter_;
    }
  }
}

std::shared_ptr<TBACnetTSM> TBACnetApplication::CreateTransaction(const std::string& key,
                                                                  int handle,
                                                                  const std::string& peer) {
  Purge();  // bounded: the caps and the 255 invoke IDs keep the table short
  auto tsm = std::make_shared<TBACnetTSM>(static_cast<TTransactionHost&>(*this));
  tsm->Handle = handle;
  const bool server = handle >= kFirstServerHandle;
  auto it = table_.insert(table_.end(), Entry{key, peer, tsm});
  by_handle_[handle] = it;
  (server ? server_keys_ : client_keys_)[key] = it;
  if (server) {
    ++server_count_;
    ++server_per_peer_[peer];
  }
  return tsm;
}

std::shared_ptr<TBACnetTSM> TBACnetApplication::FindByHandle(int handle) const {
  auto h = by_handle_.find(handle);
  if (h == by_handle_.end() || h->second->tsm->State == tsDone) return nullptr;
  return h->second->tsm;
}

std::shared_ptr<TBACnetTSM> TBACnetApplication::FindByKey(const Index& index,
                                                          const std::string& key) const {
  auto k = index.find(key);
  if (k == index.end() || k->second->tsm->State == tsDone) return nullptr;
  return k->second->tsm;
}

size_t TBACnetApplication::HeldOctets() const {
  size_t n = 0;
  for (const Entry& e : table_) n += e.tsm->PDU.ServiceData.size();
  return n;
}

const TBACnetTSM* TBACnetApplication::FindTransaction(int handle) const {
  return FindByHandle(handle).get();
}

bool TBACnetApplication::ServerRoomFor(const std::string& peer) {
  auto full = [&] {
    auto p = server_per_peer_.find(peer);
    return server_count_ >= kMaxServerTransactions ||
           (p != server_per_peer_.end() && p->second >= kMaxServerTransactionsPerPeer);
  };
  if (!full()) return true;
  Purge();  // the table is bounded by the caps, so this walk is short
  return !full();
}

// ---- sending -----------------------------------------------------------------------------------

bool TBACnetApplication::SendPDU(const TBACnetPDU& pdu) {
  if (!Network) return false;
  std::string apdu;
  if (!EncodeAPDU(pdu, Network->MaxAPDUCode(), apdu)) return false;
  // The header comes on top of the service data: check the whole APDU against the record.
  if (apdu.size() > static_cast<size_t>(kNPDUDataSize)) return false;
  TBACnetNPDU npdu;
  CopyAddressInfo(pdu, npdu);
  npdu.ExpectingReply = pdu.ExpectingReply;
  npdu.Length = static_cast<int32_t>(apdu.size());
  std::memcpy(npdu.Data, apdu.data(), apdu.size());
  return Network->SendNPDU(npdu);
}

int TBACnetApplication::SendRequest(const TBACnetPDU& request) {
  TBACnetPDU pdu = request;
  if (!EncodeValues(pdu)) return -1;
  if (pdu.PDUType == kPDUUnconfirmedRequest) {
    pdu.ExpectingReply = false;
    return SendPDU(pdu) ? 0 : -1;
  }
  if (pdu.PDUType != kPDUConfirmedRequest || !Network) return -1;
  const int id = NextInvokeID();
  if (id < 0) return -1;
  auto tsm = CreateTransaction(TransactionKey(pdu.DestinationAddress, pdu.SourceAddress, id), id);
  tsm->InvokeID = id;
  tsm->PDU = std::move(pdu);
  if (!tsm->StartRequest()) {
    // The caller is told nothing went out: the transaction must not live on and retry.
    tsm->State = tsDone;
    tsm->RequestTimer = tsm->SegmentTimer = 0;
    return -1;
  }
  return tsm->Handle;
}

void TBACnetApplication::SendComplexAck(int handle, const TBACnetPDU& response) {
  auto tsm = FindByHandle(handle);
  if (!tsm || tsm->State != tsAwaitResponse) return;
  TBACnetPDU pdu = response;
  if (!EncodeValues(pdu)) return;
  tsm->AnswerComplexAck(pdu);
}

void TBACnetApplication::SendSimpleAck(int handle) {
  auto tsm = FindByHandle(handle);
  if (!tsm || tsm->State != tsAwaitResponse) return;
  tsm->AnswerSimpleAck();
}

void TBACnetApplication::SendError(int handle, int error_class, int error_code) {
  auto tsm = FindByHandle(handle);
  if (tsm) tsm->AnswerFailure(kPDUError, error_class, error_code);
}

void TBACnetApplication::SendReject(int handle, int reason) {
  auto tsm = FindByHandle(handle);
  if (tsm) tsm->AnswerFailure(kPDUReject, 0, reason);
}

// ---- upward
// --------------------------------------------------------------------------------------

void TBACnetApplication::Deliver(TBACnetPDU& pdu, int handle) {
  pdu.Values = DecodeTaggedList(pdu.ServiceData);
  pdu.TransactionHandle = handle;
  if (OnIndication) {
    auto handler = OnIndication;  // the handler may replace itself
    handler(this, pdu);
  }
}

void TBACnetApplication::ReportFailure(int handle) {
  if (OnTransactionFailed) {
    auto handler = OnTransactionFailed;
    handler(this, handle);
  }
}

void TBACnetApplication::ReceiveAPDU(const TBACnetNPDU& npdu) {
  if (!OnIndication) return;
  const int length = std::clamp(npdu.Length, 0, kNPDUDataSize);
  TBACnetPDU pdu;
  ClearPDU(pdu);
  CopyAddressInfo(npdu, pdu);
  pdu.ExpectingReply = npdu.ExpectingReply;
  if (!DecodeAPDU(npdu.Data, length, pdu)) return;
  try {
    Dispatch(pdu);
  } catch (const std::exception& e) {
    Trace(e.what(), 2);
  } catch (...) {
  }
}

void TBACnetApplication::Dispatch(TBACnetPDU& pdu) {
  if (pdu.PDUType == kPDUUnconfirmedRequest) {
    // Unconfirmed requests carry no invoke ID and never belong to a transaction.
    Deliver(pdu, 0);
    return;
  }
  const std::string key = TransactionKey(pdu.SourceAddress, pdu.DestinationAddress, pdu.InvokeID);
  // Invoke IDs are chosen by each requester: a request from a peer and an answer to our own
  // request may carry the same ID and addresses, so only the matching role is looked up.
  const bool server_role = FromClient(pdu);
  std::shared_ptr<TBACnetTSM> tsm = FindByKey(server_role ? server_keys_ : client_keys_, key);
  if (tsm) {
    tsm->Receive(pdu);
    return;
  }
  switch (pdu.PDUType) {
    case kPDUConfirmedRequest: {
      const std::string peer =
          std::to_string(pdu.SourceNetwork) + ":" + std::string(pdu.SourceAddress.view());
      if (!ServerRoomFor(peer)) {
        TBACnetPDU abort;
        MakeReplyAddressInfo(pdu, abort);
        abort.PDUType = kPDUAbort;
        abort.Server = true;
        abort.InvokeID = pdu.InvokeID;
        abort.ErrorCode = kAbortOutOfResources;
        SendPDU(abort);
        break;
      }
      tsm = CreateTransaction(key, NextServerHandle(), peer);
      CopyAddressInfo(pdu, tsm->PDU);
      tsm->PDU.PDUType = kPDUConfirmedRequest;
      tsm->PDU.ServiceChoice = pdu.ServiceChoice;
      tsm->PDU.InvokeID = pdu.InvokeID;
      tsm->PDU.MaxAPDU = pdu.MaxAPDU;
      tsm->PDU.MaxSegments = pdu.MaxSegments;
      tsm->PDU.SegmentedResponseAccepted = pdu.SegmentedResponseAccepted;
      tsm->InvokeID = pdu.InvokeID;
      tsm->State = tsServerIdle;
      tsm->Receive(pdu);
      break;
    }
    case kPDUComplexAck:
    case kPDUSegmentAck: {
      if (pdu.PDUType == kPDUComplexAck && !pdu.SegmentedMessage) break;
      TBACnetPDU abort;
      MakeReplyAddressInfo(pdu, abort);
      abort.PDUType = kPDUAbort;
      // A complex ACK comes from a server, so we abort it as the client; a segment ACK says
      // in its own flag which side sent it.
      abort.Server = pdu.PDUType == kPDUComplexAck ? false : !pdu.Server;
      abort.InvokeID = pdu.InvokeID;
      abort.ErrorCode = kAbortOther;
      SendPDU(abort);
      break;
    }
    default:
      break;
  }
}

// ---- the tick
// ------------------------------------------------------------------------------------

void TBACnetApplication::TickTransactions() {
  if (ticking_) return;
  ticking_ = true;
  const bool was_enabled = timer_.Enabled();
  timer_.SetEnabled(false);
  // Handlers called from a transaction may add, end or purge entries: walk a snapshot. Entries
  // removed meanwhile are done and skip themselves; new ones start ageing on the next tick.
  std::vector<std::shared_ptr<TBACnetTSM>> snapshot;
  snapshot.reserve(table_.size());
  for (const auto& e : table_) snapshot.push_back(e.tsm);
  for (const auto& tsm : snapshot) {
    try {
      tsm->Tick();
    } catch (const std::exception& e) {
      Trace(e.what(), 2);
    } catch (...) {
    }
  }
  // Expired and finished transactions go now, not when the next datagram happens to come.
  Purge();
  if (was_enabled) timer_.SetEnabled(true);
  ticking_ = false;
}

}  // namespace zb::bacnet
