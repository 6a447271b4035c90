// The one process-wide record of the last Error, Reject or Abort PDU received. Every connection
// runs on the one thread, so a session reads it right after the request it reports on failed.
#pragma once

#include <cstdint>
#include <string>

namespace zb::bacnet {

enum : int32_t {
  kLastErrorNone = 0,
  kLastErrorError = 1,
  kLastErrorAbort = 2,
  kLastErrorReject = 3,
};

struct TBACnetLastFailure {
  int32_t LastErrorKind = kLastErrorNone;
  int32_t ErrorClass = -1;
  int32_t ErrorCode = -1;  // error code, or the reason of a Reject or Abort
};

// The process-wide record.
TBACnetLastFailure& LastFailure();
// Kind 0, class -1, code -1: done when each received PDU is handled.
void ResetLastFailure();
void SetLastFailure(int32_t kind, int32_t errorClass, int32_t errorCode);

// The message of the record: ErrorText, AbortText or RejectText by kind; "" for kind 0.
std::string LastErrorText();

}  // namespace zb::bacnet
