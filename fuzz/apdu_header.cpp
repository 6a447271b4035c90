// APDU header decoding alone, on arbitrary octets: never out of bounds; what decodes re-encodes
// to a header that decodes to the same fields and the same service data.
#include "bacnet/app/apdu_header.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#include "bacnet/app/pdu.h"

using namespace zb::bacnet;

namespace {

bool SameHeader(const TBACnetPDU& a, const TBACnetPDU& b) {
  if (a.PDUType != b.PDUType || a.ServiceData != b.ServiceData) return false;
  switch (a.PDUType) {
    case kPDUConfirmedRequest:
      return a.SegmentedMessage == b.SegmentedMessage && a.MoreFollows == b.MoreFollows &&
             a.SegmentedResponseAccepted == b.SegmentedResponseAccepted &&
             a.InvokeID == b.InvokeID && a.ServiceChoice == b.ServiceChoice &&
             (!a.SegmentedMessage || (a.SequenceNumber == b.SequenceNumber &&
                                      a.ProposedWindowSize == b.ProposedWindowSize));
    case kPDUUnconfirmedRequest:
      return a.ServiceChoice == b.ServiceChoice;
    case kPDUSimpleAck:
      return a.InvokeID == b.InvokeID && a.ServiceChoice == b.ServiceChoice;
    case kPDUComplexAck:
      return a.SegmentedMessage == b.SegmentedMessage && a.MoreFollows == b.MoreFollows &&
             a.InvokeID == b.InvokeID && a.ServiceChoice == b.ServiceChoice &&
             (!a.SegmentedMessage || (a.SequenceNumber == b.SequenceNumber &&
                                      a.ProposedWindowSize == b.ProposedWindowSize));
    case kPDUSegmentAck:
      return a.NegativeAck == b.NegativeAck && a.Server == b.Server && a.InvokeID == b.InvokeID &&
             a.SequenceNumber == b.SequenceNumber && a.ActualWindowSize == b.ActualWindowSize;
    case kPDUError:
      return a.InvokeID == b.InvokeID && a.ServiceChoice == b.ServiceChoice;
    default:
      return a.InvokeID == b.InvokeID && a.ErrorCode == b.ErrorCode;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  // An exact-size copy so that any read past the end is caught.
  std::string in(reinterpret_cast<const char*>(data), size);
  uint8_t* buf = new uint8_t[size ? size : 1];
  std::copy(in.begin(), in.end(), buf);
  TBACnetPDU pdu;
  bool ok = DecodeAPDU(buf, int(size), pdu);
  delete[] buf;
  if (!ok) return 0;
  // The header's max-APDU field is kept as octets; the encoder takes the code from the link.
  std::string out;
  if (!EncodeAPDU(pdu, 5, out)) {
    if (int(pdu.ServiceData.size()) >= kMaxServiceDataLength) return 0;
    std::abort();
  }
  TBACnetPDU again;
  if (!DecodeAPDU(reinterpret_cast<const uint8_t*>(out.data()), int(out.size()), again))
    std::abort();
  if (!SameHeader(pdu, again)) std::abort();
  return 0;
}
