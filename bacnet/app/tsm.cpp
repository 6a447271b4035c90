#include "bacnet/app/tsm.h"

#include <algorithm>

#include "bacnet/app/apdu_header.h"

namespace zb::bacnet {

namespace {
// Fixed APDU header octets in front of the service data.
constexpr int kRequestHeader = 4;           // type, segmentation limits, invoke ID, service
constexpr int kSegmentedRequestHeader = 6;  // … plus sequence number and window size
constexpr int kAckHeader = 3;               // type, invoke ID, service
constexpr int kSegmentedAckHeader = 5;      // … plus sequence number and window size

TBACnetAddressInfo ReplyAddressing(const TBACnetAddressInfo& to) {
  TBACnetAddressInfo a;
  MakeReplyAddressInfo(to, a);
  return a;
}

bool IsFinalAnswer(const TBACnetPDU& p) {
  return p.PDUType == kPDUSimpleAck || p.PDUType == kPDUError || p.PDUType == kPDUReject ||
         (p.PDUType == kPDUComplexAck && !p.SegmentedMessage);
}

bool IsSegmentedComplexAck(const TBACnetPDU& p) {
  return p.PDUType == kPDUComplexAck && p.SegmentedMessage;
}

}  // namespace

// ---- sending -----------------------------------------------------------------------------

bool TBACnetTSM::InWindow(int sequence) const {
  return ((sequence - InitialSequenceNumber) & 0xFF) < ActualWindowSize;
}

bool TBACnetTSM::SendSegment(int index) {
  if (SegmentSize <= 0 || index < 0 || index >= SegmentCount) return false;
  TBACnetPDU seg;
  CopyAddressInfo(PDU, seg);
  seg.PDUType = PDU.PDUType;
  seg.ServiceChoice = PDU.ServiceChoice;
  seg.SegmentedResponseAccepted = PDU.SegmentedResponseAccepted;
  seg.InvokeID = static_cast<uint8_t>(InvokeID);
  seg.ProposedWindowSize = static_cast<uint8_t>(ProposedWindowSize);
  seg.ExpectingReply = true;
  seg.SegmentedMessage = true;
  seg.SequenceNumber = static_cast<uint8_t>(index & 0xFF);
  seg.MoreFollows = index < SegmentCount - 1;
  const size_t from = static_cast<size_t>(index) * SegmentSize;
  if (from < PDU.ServiceData.size()) seg.ServiceData = PDU.ServiceData.substr(from, SegmentSize);
  if (!seg.MoreFollows) SentLastSegment = true;
  SendPosition = (index + 1) * SegmentSize + 1;
  return app_.SendTransactionPDU(seg);
}

void TBACnetTSM::SendWindow() {
  for (int i = 0; i < ActualWindowSize && window_base_ + i < SegmentCount; ++i) {
    SendSegment(window_base_ + i);
  }
}

bool TBACnetTSM::SendSegmentAck(const TBACnetPDU& to, bool negative, bool server, int sequence) {
  TBACnetPDU ack;
  MakeReplyAddressInfo(to, ack);
  ack.PDUType = kPDUSegmentAck;
  ack.NegativeAck = negative;
  ack.Server = server;
  ack.InvokeID = static_cast<uint8_t>(InvokeID);
  ack.SequenceNumber = static_cast<uint8_t>(sequence & 0xFF);
  ack.ActualWindowSize = static_cast<uint8_t>(ActualWindowSize);
  return app_.SendTransactionPDU(ack);
}

bool TBACnetTSM::SendAbort(const TBACnetAddressInfo& addressing, bool server, int reason) {
  TBACnetPDU abort;
  CopyAddressInfo(addressing, abort);
  abort.PDUType = kPDUAbort;
  abort.Server = server;
  abort.InvokeID = static_cast<uint8_t>(InvokeID);
  abort.ErrorCode = static_cast<uint8_t>(reason);
  return app_.SendTransactionPDU(abort);
}

bool TBACnetTSM::StartRequest() {
  const int max = app_.MaxAPDULength();
  PDU.PDUType = kPDUConfirmedRequest;
  PDU.InvokeID = static_cast<uint8_t>(InvokeID);
  PDU.ExpectingReply = true;
  PDU.SegmentedMessage = false;
  PDU.MoreFollows = false;
  SentLastSegment = true;
  RetryCount = 0;
  const int length = static_cast<int>(PDU.ServiceData.size());
  // The link's limit counts whole APDUs, so the header's octets come off the service data.
  if (length + kRequestHeader <= max) {
    RequestTimer = 1;
    State = tsAwaitConfirmation;
    return app_.SendTransactionPDU(PDU);
  }
  // No data link to size segments by, or one whose limit leaves no room beside the header.
  if (max <= kSegmentedRequestHeader) return false;
  SegmentRetryCount = 0;
  InitialSequenceNumber = 0;
  window_base_ = 0;
  SegmentSize = max - kSegmentedRequestHeader;
  SegmentCount = (length + SegmentSize - 1) / SegmentSize;
  ProposedWindowSize = app_.WindowRule(SegmentCount);
  ActualWindowSize = 1;
  SegmentTimer = 1;
  State = tsSegmentingRequest;
  return SendSegment(0);
}

void TBACnetTSM::RestartSegmentedRequest() {
  RequestTimer = 0;
  SegmentRetryCount = 0;
  SentLastSegment = false;
  InitialSequenceNumber = 0;
  window_base_ = 0;
  ActualWindowSize = 1;
  SegmentTimer = 1;
  State = tsSegmentingRequest;
  SendSegment(0);
}

// ---- outcomes ------------------------------------------------------------------------------
// A transaction is marked done before the layer above hears of it: the handler may re-enter
// (send, answer, purge) and must not find this transaction still open.

void TBACnetTSM::Deliver(const TBACnetPDU& pdu) {
  RequestTimer = 0;
  State = tsDone;
  TBACnetPDU up = pdu;
  app_.DeliverTransactionPDU(up, Handle);
}

void TBACnetTSM::Fail() {
  State = tsDone;
  app_.ReportTransactionFailure(Handle);
}

void TBACnetTSM::DeliverLocalError() {
  TBACnetPDU err;
  CopyAddressInfo(PDU, err);
  err.PDUType = kPDUError;
  err.InvokeID = static_cast<uint8_t>(InvokeID);
  err.ServiceChoice = PDU.ServiceChoice;
  err.ErrorClass = 0;
  err.ErrorCode = 0;
  State = tsDone;
  app_.DeliverTransactionPDU(err, Handle);
}

void TBACnetTSM::AbortAndReport(const TBACnetPDU& from, int reason) {
  RequestTimer = 0;
  SegmentTimer = 0;
  SendAbort(ReplyAddressing(from), false, reason);
  DeliverLocalError();
}

// ---- receiving -----------------------------------------------------------------------------

void TBACnetTSM::Receive(const TBACnetPDU& pdu) {
  if (State == tsDone) return;
  if (IsServer())
    ServerReceive(pdu);
  else
    ClientReceive(pdu);
}

// A segment ACK for the message we are sending (request in state 1, complex ACK in state 7).
void TBACnetTSM::OnSegmentAck(const TBACnetPDU& ack) {
  if (!InWindow(ack.SequenceNumber)) {
    SegmentTimer = 1;  // duplicate
    return;
  }
  const int acked = window_base_ + ((ack.SequenceNumber - InitialSequenceNumber) & 0xFF);
  // Decided by what the peer has acknowledged, not by what we have sent: a negative ACK inside
  // the last window must bring the missing segments again.
  if (acked < SegmentCount - 1) {
    InitialSequenceNumber = (ack.SequenceNumber + 1) & 0xFF;
    window_base_ = acked + 1;
    ActualWindowSize = app_.WindowRule(ack.ActualWindowSize);
    SegmentRetryCount = 0;
    SegmentTimer = 1;
    SendWindow();
    return;
  }
  SegmentTimer = 0;
  if (State == tsSegmentingRequest) {
    RequestTimer = 1;
    State = tsAwaitConfirmation;
  } else {
    State = tsDone;
  }
}

void TBACnetTSM::BeginSegmentedConfirmation(const TBACnetPDU& first) {
  RequestTimer = 0;
  ActualWindowSize = app_.WindowRule(first.ProposedWindowSize);
  // The first segment's header (the answer's addressing, type 3, service) is what the device
  // receives with the reassembled data.
  PDU = first;
  PDU.PDUType = kPDUComplexAck;
  SendSegmentAck(first, false, false, 0);
  LastSequenceNumber = 0;
  InitialSequenceNumber = 0;
  SegmentTimer = 1;
  State = tsSegmentedConfirmation;
}

// The in-order, window-end, last-segment and out-of-order rows shared by the client
// (state 3) and the server (state 5) reassembly.
void TBACnetTSM::ReceiveSegment(const TBACnetPDU& seg) {
  const bool server = State == tsSegmentedRequest;
  const int expected = (LastSequenceNumber + 1) & 0xFF;
  const int window_end = (InitialSequenceNumber + ActualWindowSize) & 0xFF;
  const int seq = seg.SequenceNumber;
  if (seq != expected) {
    SendSegmentAck(seg, true, server, LastSequenceNumber);
    // The sender resends from LastSequenceNumber + 1; count the window from there.
    InitialSequenceNumber = LastSequenceNumber;
    if (!server) SegmentTimer = 1;
    return;
  }
  const size_t limit = server ? app_.MaxServerRequestLength() : kMaxReassembledLength;
  if (PDU.ServiceData.size() + seg.ServiceData.size() > limit) {
    if (server) {
      SegmentTimer = 0;
      SendAbort(ReplyAddressing(seg), true, kAbortBufferOverflow);
      State = tsDone;
    } else {
      AbortAndReport(seg, kAbortBufferOverflow);
    }
    return;
  }
  PDU.ServiceData += seg.ServiceData;
  if (seg.MoreFollows) {
    if (seq != window_end) {
      LastSequenceNumber = expected;
    } else {
      LastSequenceNumber = InitialSequenceNumber = seq;
      SendSegmentAck(seg, false, server, seq);
    }
    SegmentTimer = 1;
    return;
  }
  LastSequenceNumber = InitialSequenceNumber = seq;
  SegmentTimer = 0;
  SendSegmentAck(seg, false, server, seq);
  PDU.MoreFollows = false;
  if (server) {
    State = tsAwaitResponse;
    RequestTimer = 1;
    TBACnetPDU up = PDU;
    app_.DeliverTransactionPDU(up, Handle);
  } else {
    Deliver(PDU);
  }
}

void TBACnetTSM::ClientReceive(const TBACnetPDU& pdu) {
  const int type = pdu.PDUType;
  const bool from_server = pdu.Server;
  switch (State) {
    case tsSegmentingRequest:
      if (type == kPDUSegmentAck && from_server) {
        OnSegmentAck(pdu);
      } else if (type == kPDUAbort && from_server) {
        SegmentTimer = 0;
        Fail();
      } else if (IsFinalAnswer(pdu)) {
        if (SentLastSegment)
          Deliver(pdu);
        else
          AbortAndReport(pdu);
      } else if (IsSegmentedComplexAck(pdu)) {
        if (pdu.SequenceNumber == 0 && SentLastSegment)
          BeginSegmentedConfirmation(pdu);
        else
          AbortAndReport(pdu);
      }
      break;
    case tsAwaitConfirmation:
      if (IsFinalAnswer(pdu)) {
        Deliver(pdu);
      } else if (IsSegmentedComplexAck(pdu)) {
        if (pdu.SequenceNumber == 0)
          BeginSegmentedConfirmation(pdu);
        else
          AbortAndReport(pdu);
      } else if (type == kPDUAbort && from_server) {
        RequestTimer = 0;
        Fail();
      }
      break;
    case tsSegmentedConfirmation:
      if (IsSegmentedComplexAck(pdu)) {
        ReceiveSegment(pdu);
      } else if (type == kPDUAbort && from_server) {
        SegmentTimer = 0;
        Fail();
      } else if (IsFinalAnswer(pdu) || (type == kPDUSegmentAck && from_server)) {
        AbortAndReport(pdu);
      }
      break;
    default:
      break;
  }
}

void TBACnetTSM::ServerReceive(const TBACnetPDU& pdu) {
  const int type = pdu.PDUType;
  const bool from_client = !pdu.Server;
  const bool request = type == kPDUConfirmedRequest;
  switch (State) {
    case tsServerIdle:
      if (request && !pdu.SegmentedMessage) {
        State = tsAwaitResponse;
        RequestTimer = 1;
        TBACnetPDU up = pdu;
        app_.DeliverTransactionPDU(up, Handle);
      } else if (request && pdu.SequenceNumber == 0) {
        ActualWindowSize = app_.WindowRule(pdu.ProposedWindowSize);
        SendSegmentAck(pdu, false, true, 0);
        SegmentTimer = 1;
        LastSequenceNumber = 0;
        InitialSequenceNumber = 0;
        State = tsSegmentedRequest;
        // The delivered request carries the first segment's header (service, limits of the
        // requester, segmented-response-accepted) with the reassembled data.
        PDU = pdu;
      } else if (request) {
        SendAbort(ReplyAddressing(pdu), true, kAbortOther);
        State = tsDone;
      } else {
        State = tsDone;
      }
      break;
    case tsSegmentedRequest:
      if (request && pdu.SegmentedMessage) {
        ReceiveSegment(pdu);
      } else if (type == kPDUAbort && from_client) {
        SegmentTimer = 0;
        State = tsDone;
      } else if (request) {
        SegmentTimer = 0;
        SendAbort(ReplyAddressing(pdu), true, kAbortOther);
        State = tsDone;
      }
      break;
    case tsAwaitResponse:
      if (type == kPDUAbort && from_client) {
        Fail();
      } else if (request && pdu.SegmentedMessage) {
        SendSegmentAck(pdu, false, true, LastSequenceNumber);
      } else if (type == kPDUSegmentAck && from_client) {
        SendAbort(ReplyAddressing(pdu), true, kAbortOther);
        Fail();
      }
      break;
    case tsSegmentedResponse:
      if (type == kPDUSegmentAck && from_client) {
        OnSegmentAck(pdu);
      } else if (type == kPDUAbort && from_client) {
        SegmentTimer = 0;
        Fail();
      } else if (request) {
        SegmentTimer = 0;
        SendAbort(ReplyAddressing(pdu), true, kAbortOther);
        State = tsDone;
      }
      break;
    default:
      break;
  }
}

// ---- answering (server) ----------------------------------------------------------------------

void TBACnetTSM::AnswerComplexAck(const TBACnetPDU& response) {
  if (State != tsAwaitResponse) return;
  PDU = response;
  // Answered to the requester alone, also when the request came as a broadcast.
  PDU.Broadcast = false;
  RequestTimer = 0;
  // Both limits count whole APDUs: a segment's header must fit beside its service data, or a
  // strict requester drops every segment as too long.
  const int limit =
      std::max(50, std::min(app_.MaxAPDULength(), static_cast<int>(response.MaxAPDU)));
  const int d = limit - kSegmentedAckHeader;
  const int length = static_cast<int>(PDU.ServiceData.size());
  const int n = (length + d - 1) / d;
  if (length + kAckHeader <= limit) {
    PDU.PDUType = kPDUComplexAck;
    PDU.ExpectingReply = false;
    PDU.SegmentedMessage = false;
    PDU.MoreFollows = false;
    PDU.InvokeID = static_cast<uint8_t>(InvokeID);
    State = tsDone;
    app_.SendTransactionPDU(PDU);
    return;
  }
  if (!PDU.SegmentedResponseAccepted) {
    SendAbort(PDU, true, kAbortSegmentationNotSupported);
    State = tsDone;
    return;
  }
  // The requester's code stands for a number of segments (1 → 2 … 6 → 64, 7 → more than 64);
  // code 0 leaves it unspecified, so the requester takes any number. Our own cap keeps what
  // one requester can make us hold small, whatever it accepts.
  if ((PDU.MaxSegments != 0 && MaxSegmentsFromCode(PDU.MaxSegments) < n) ||
      n > app_.MaxServerSegmentCount()) {
    SendAbort(PDU, true, kAbortBufferOverflow);
    State = tsDone;
    return;
  }
  PDU.PDUType = kPDUComplexAck;
  SegmentRetryCount = 0;
  InitialSequenceNumber = 0;
  window_base_ = 0;
  ProposedWindowSize = app_.WindowRule(n);
  ActualWindowSize = 1;
  SegmentTimer = 1;
  SegmentSize = d;
  SegmentCount = n;
  State = tsSegmentedResponse;
  SendSegment(0);
}

void TBACnetTSM::AnswerSimpleAck() {
  if (State != tsAwaitResponse) return;
  TBACnetPDU ack;
  MakeReplyAddressInfo(PDU, ack);
  ack.PDUType = kPDUSimpleAck;
  ack.ExpectingReply = false;
  ack.InvokeID = static_cast<uint8_t>(InvokeID);
  ack.ServiceChoice = PDU.ServiceChoice;
  RequestTimer = 0;
  State = tsDone;
  app_.SendTransactionPDU(ack);
}

void TBACnetTSM::AnswerFailure(int type, int error_class, int error_code) {
  if (State != tsAwaitResponse) return;
  TBACnetPDU answer;
  MakeReplyAddressInfo(PDU, answer);
  answer.PDUType = static_cast<uint8_t>(type);
  answer.ExpectingReply = false;
  answer.InvokeID = static_cast<uint8_t>(InvokeID);
  answer.ServiceChoice = PDU.ServiceChoice;
  answer.ErrorClass = static_cast<uint8_t>(error_class);
  answer.ErrorCode = static_cast<uint8_t>(error_code);
  RequestTimer = 0;
  State = tsDone;
  app_.SendTransactionPDU(answer);
}

// ---- timers ------------------------------------------------------------------------------------

void TBACnetTSM::Tick() {
  if (State == tsDone || State == tsServerIdle) return;
  const int timeout = app_.RequestTimeout();
  const int segment_timeout = app_.SegmentTimeout();
  const int retries = app_.RequestRetries();

  if (RequestTimer > 0) RequestTimer += 100;
  if (State == tsAwaitResponse && RequestTimer > timeout + 100) {
    RequestTimer = 0;
    TBACnetAddressInfo to = ReplyAddressing(PDU);
    SendAbort(to, true, kAbortOther);
    Fail();
    return;
  }
  if (State == tsAwaitConfirmation && RequestTimer > timeout + 100) {
    // SegmentCount is set only when the request went segmented, and is then at least two:
    // it did not fit one APDU, so it does not fit one segment either.
    if (RetryCount < retries && SegmentCount > 1) {
      ++RetryCount;
      RestartSegmentedRequest();
    } else if (RetryCount < retries) {
      ++RetryCount;
      PDU.PDUType = kPDUConfirmedRequest;
      PDU.ExpectingReply = true;
      PDU.SegmentedMessage = false;
      PDU.MoreFollows = false;
      PDU.InvokeID = static_cast<uint8_t>(InvokeID);
      RequestTimer = 1;
      app_.SendTransactionPDU(PDU);
    } else {
      RequestTimer = 0;
      DeliverLocalError();
      return;
    }
  }

  if (State == tsDone) return;
  if (SegmentTimer > 0) SegmentTimer += 100;
  if ((State == tsSegmentedResponse || State == tsSegmentingRequest) &&
      SegmentTimer > segment_timeout + 100) {
    if (SegmentRetryCount < retries) {
      ++SegmentRetryCount;
      SegmentTimer = 1;
      SendWindow();
    } else {
      SegmentTimer = 0;
      const bool client = State == tsSegmentingRequest;
      State = tsDone;
      if (client) app_.ReportTransactionFailure(Handle);
    }
  } else if (State == tsSegmentedConfirmation && SegmentTimer > 4 * segment_timeout + 100) {
    SegmentTimer = 0;
    DeliverLocalError();
  } else if (State == tsSegmentedRequest && SegmentTimer > 4 * segment_timeout + 100) {
    SegmentTimer = 0;
    State = tsDone;
  }
}

}  // namespace zb::bacnet
