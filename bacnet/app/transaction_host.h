// What a transaction's state machines need of the layer that holds them: sending an APDU,
// delivering upward, reporting a failure, and the limits and time-outs in force. The application
// layer provides it; the state machines know nothing else of that layer.
#pragma once

#include <cstddef>

#include "bacnet/app/pdu.h"

namespace zb::bacnet {

class TTransactionHost {
 public:
  // False when the network layer refused the APDU.
  virtual bool SendTransactionPDU(const TBACnetPDU& pdu) = 0;
  // A complete answer or request for the owner of transaction `handle`.
  virtual void DeliverTransactionPDU(TBACnetPDU& pdu, int handle) = 0;
  // Transaction `handle` ended without anything to deliver.
  virtual void ReportTransactionFailure(int handle) = 0;
  // The window size this side uses when the peer proposes `proposed`.
  virtual int WindowRule(int proposed) = 0;
  virtual int MaxAPDULength() = 0;
  virtual size_t MaxServerRequestLength() = 0;
  virtual int MaxServerSegmentCount() const = 0;
  virtual int RequestTimeout() const = 0;  // ms
  virtual int SegmentTimeout() const = 0;  // ms
  virtual int RequestRetries() const = 0;

 protected:
  ~TTransactionHost() = default;
};

}  // namespace zb::bacnet
