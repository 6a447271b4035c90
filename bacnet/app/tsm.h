// One transaction of the application layer and its state machines: client (requests we send,
// answers that come back, segmented either way) and server (confirmed requests peers send to our
// device and the answers we give).
#pragma once

#include <cstddef>

#include "bacnet/app/pdu.h"
#include "bacnet/app/transaction_host.h"

namespace zb::bacnet {

// States of a transaction (stored as integers).
enum : int {
  tsDone = -1,
  tsSegmentingRequest = 1,      // client: sending a segmented confirmed request
  tsAwaitConfirmation = 2,      // client: waiting for the answer
  tsSegmentedConfirmation = 3,  // client: receiving a segmented complex ACK
  tsServerIdle = 4,             // server: created for an incoming confirmed request
  tsSegmentedRequest = 5,       // server: receiving a segmented confirmed request
  tsAwaitResponse = 6,          // server: waiting for the device's answer
  tsSegmentedResponse = 7,      // server: sending a segmented complex ACK
};

// Abort reasons this layer sends.
enum : int {
  kAbortOther = 0,
  kAbortBufferOverflow = 1,
  kAbortSegmentationNotSupported = 4,
  kAbortOutOfResources = 9,
};

// Reassembled messages beyond this many octets are aborted (buffer overflow): far above what
// any real answer needs (64 segments of 1476 octets are 94 KB), low enough that a peer cannot
// make us collect memory without end.
constexpr size_t kMaxReassembledLength = 1u << 20;

class TBACnetTSM {
 public:
  explicit TBACnetTSM(TTransactionHost& app) : app_(app) {}
  TBACnetTSM(const TBACnetTSM&) = delete;
  TBACnetTSM& operator=(const TBACnetTSM&) = delete;

  int RetryCount = 0;
  int SegmentRetryCount = 0;
  bool SentLastSegment = false;
  int LastSequenceNumber = 0;
  int InitialSequenceNumber = 0;
  int ActualWindowSize = 0;
  int ProposedWindowSize = 0;
  int SegmentTimer = 0;  // ms; 0 = stopped, starting sets 1
  int RequestTimer = 0;  // ms; 0 = stopped, starting sets 1
  int State = 0;
  int Handle = 0;
  int InvokeID = 0;
  int SendPosition = 0;  // 1-based octet position after the highest segment sent
  int SegmentSize = 0;
  int SegmentCount = 0;
  // Client: the request. Server: the request's addressing and header, later the response.
  // Segments being reassembled collect in its ServiceData.
  TBACnetPDU PDU;

  bool IsServer() const { return State >= tsServerIdle; }

  // Client: sends the request held in PDU (InvokeID, ServiceData set), segmented when it does
  // not fit the data link. False when the first APDU could not be sent.
  bool StartRequest();
  // Server, tsAwaitResponse only: answers with `response` (its ServiceData already encoded).
  void AnswerComplexAck(const TBACnetPDU& response);
  void AnswerSimpleAck();
  // kPDUError with class and code, or kPDUReject with the reason in error_code.
  void AnswerFailure(int type, int error_class, int error_code);
  // A received PDU that matched this transaction.
  void Receive(const TBACnetPDU& pdu);
  // One 100 ms step of the request and segment timers.
  void Tick();

 private:
  void ClientReceive(const TBACnetPDU& pdu);
  void ServerReceive(const TBACnetPDU& pdu);
  void OnSegmentAck(const TBACnetPDU& ack);
  void BeginSegmentedConfirmation(const TBACnetPDU& first);
  void ReceiveSegment(const TBACnetPDU& seg);

  void Deliver(const TBACnetPDU& pdu);
  void Fail();
  void AbortAndReport(const TBACnetPDU& from, int reason = kAbortOther);
  void DeliverLocalError();

  bool SendSegment(int index);
  void SendWindow();
  void RestartSegmentedRequest();
  bool SendSegmentAck(const TBACnetPDU& to, bool negative, bool server, int sequence);
  bool SendAbort(const TBACnetAddressInfo& addressing, bool server, int reason);
  bool InWindow(int sequence) const;

  TTransactionHost& app_;
  // Sending side: absolute index of the segment that carries InitialSequenceNumber, so that
  // windows keep their place when sequence numbers wrap past 255.
  int window_base_ = 0;
};

}  // namespace zb::bacnet
