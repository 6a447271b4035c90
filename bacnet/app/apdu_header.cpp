#include "bacnet/app/apdu_header.h"

#include <climits>

namespace zb::bacnet {

namespace {

char Octet(int v) { return static_cast<char>(v & 0xFF); }

}  // namespace

int MaxAPDUFromCode(int code) {
  static constexpr int kLengths[] = {50, 128, 206, 480, 1024, 1476};
  return code >= 0 && code <= 5 ? kLengths[code] : code;
}

int MaxSegmentsFromCode(int code) {
  if (code <= 0) return 0;
  if (code >= 7) return INT_MAX;
  return 1 << code;
}

bool EncodeAPDU(const TBACnetPDU& pdu, int max_apdu_code, std::string& out) {
  if (static_cast<int>(pdu.ServiceData.size()) >= kMaxServiceDataLength) return false;
  std::string h;
  const int type = pdu.PDUType;
  bool with_data = false;
  switch (type) {
    case kPDUConfirmedRequest:
      h += Octet(type << 4 | (pdu.SegmentedMessage ? 0x08 : 0) | (pdu.MoreFollows ? 0x04 : 0) |
                 (pdu.SegmentedResponseAccepted ? 0x02 : 0));
      h += Octet(0x70 + (max_apdu_code & 0x0F));
      h += Octet(pdu.InvokeID);
      if (pdu.SegmentedMessage) {
        h += Octet(pdu.SequenceNumber);
        h += Octet(pdu.ProposedWindowSize);
      }
      h += Octet(pdu.ServiceChoice);
      with_data = true;
      break;
    case kPDUUnconfirmedRequest:
      h += Octet(type << 4);
      h += Octet(pdu.ServiceChoice);
      with_data = true;
      break;
    case kPDUSimpleAck:
      h += Octet(type << 4);
      h += Octet(pdu.InvokeID);
      h += Octet(pdu.ServiceChoice);
      break;
    case kPDUComplexAck:
      h += Octet(type << 4 | (pdu.SegmentedMessage ? 0x08 : 0) | (pdu.MoreFollows ? 0x04 : 0));
      h += Octet(pdu.InvokeID);
      if (pdu.SegmentedMessage) {
        h += Octet(pdu.SequenceNumber);
        h += Octet(pdu.ProposedWindowSize);
      }
      h += Octet(pdu.ServiceChoice);
      with_data = true;
      break;
    case kPDUSegmentAck:
      h += Octet(type << 4 | (pdu.NegativeAck ? 0x02 : 0) | (pdu.Server ? 0x01 : 0));
      h += Octet(pdu.InvokeID);
      h += Octet(pdu.SequenceNumber);
      h += Octet(pdu.ActualWindowSize);
      break;
    case kPDUError:
      h += Octet(type << 4);
      h += Octet(pdu.InvokeID);
      h += Octet(pdu.ServiceChoice);
      h += Octet(0x91);
      h += Octet(pdu.ErrorClass);
      h += Octet(0x91);
      h += Octet(pdu.ErrorCode);
      with_data = true;
      break;
    case kPDUReject:
      h += Octet(type << 4);
      h += Octet(pdu.InvokeID);
      h += Octet(pdu.ErrorCode);
      break;
    case kPDUAbort:
      h += Octet(pdu.Server ? 0x71 : 0x70);
      h += Octet(pdu.InvokeID);
      h += Octet(pdu.ErrorCode);
      break;
    default:
      return false;
  }
  out += h;
  if (with_data) out += pdu.ServiceData;
  return true;
}

bool DecodeAPDU(const uint8_t* data, int length, TBACnetPDU& pdu) {
  if (data == nullptr || length < 1) return false;
  const uint8_t b0 = data[0];
  // Types 8..15 are not defined; nothing of them is taken for a request.
  if (b0 & 0x80) return false;
  pdu.PDUType = b0 >> 4;
  auto rest = [&](int from) {
    pdu.ServiceData.assign(reinterpret_cast<const char*>(data) + from, length - from);
  };
  switch (pdu.PDUType) {
    case kPDUConfirmedRequest: {
      pdu.SegmentedMessage = b0 & 0x08;
      pdu.MoreFollows = b0 & 0x04;
      pdu.SegmentedResponseAccepted = b0 & 0x02;
      const int header = pdu.SegmentedMessage ? 6 : 4;
      if (length < header) return false;
      pdu.MaxSegments = (data[1] >> 4) & 0x07;
      pdu.MaxAPDU = static_cast<uint16_t>(MaxAPDUFromCode(data[1] & 0x0F));
      pdu.InvokeID = data[2];
      int pos = 3;
      if (pdu.SegmentedMessage) {
        pdu.SequenceNumber = data[pos++];
        pdu.ProposedWindowSize = data[pos++];
      }
      pdu.ServiceChoice = data[pos++];
      rest(pos);
      return true;
    }
    case kPDUUnconfirmedRequest:
      if (length < 2) return false;
      pdu.ServiceChoice = data[1];
      rest(2);
      return true;
    case kPDUSimpleAck:
      if (length < 3) return false;
      pdu.InvokeID = data[1];
      pdu.ServiceChoice = data[2];
      return true;
    case kPDUComplexAck: {
      pdu.SegmentedMessage = b0 & 0x08;
      pdu.MoreFollows = b0 & 0x04;
      const int header = pdu.SegmentedMessage ? 5 : 3;
      if (length < header) return false;
      pdu.InvokeID = data[1];
      int pos = 2;
      if (pdu.SegmentedMessage) {
        pdu.SequenceNumber = data[pos++];
        pdu.ProposedWindowSize = data[pos++];
      }
      pdu.ServiceChoice = data[pos++];
      rest(pos);
      return true;
    }
    case kPDUSegmentAck:
      if (length < 4) return false;
      pdu.NegativeAck = b0 & 0x02;
      pdu.Server = b0 & 0x01;
      pdu.InvokeID = data[1];
      pdu.SequenceNumber = data[2];
      pdu.ActualWindowSize = data[3];
      return true;
    case kPDUError:
      if (length < 7) return false;
      pdu.InvokeID = data[1];
      pdu.ServiceChoice = data[2];
      if (data[4] == 0x91) {
        // The class and code are wrapped in an opening tag.
        if (length < 8) return false;
        pdu.ErrorClass = data[5];
        pdu.ErrorCode = data[7];
      } else {
        pdu.ErrorClass = data[4];
        pdu.ErrorCode = data[6];
      }
      rest(7);
      return true;
    case kPDUReject:
      if (length < 3) return false;
      pdu.InvokeID = data[1];
      pdu.ErrorCode = data[2];
      return true;
    case kPDUAbort:
      if (length < 3) return false;
      pdu.Server = b0 & 0x01;
      pdu.InvokeID = data[1];
      pdu.ErrorCode = data[2];
      return true;
  }
  return false;
}

}  // namespace zb::bacnet
