#include "bacnet/app/last_failure.h"

#include "bacnet/app/text_tables.h"

namespace zb::bacnet {

TBACnetLastFailure& LastFailure() {
  static TBACnetLastFailure record;
  return record;
}

void ResetLastFailure() { LastFailure() = TBACnetLastFailure{}; }

void SetLastFailure(int32_t kind, int32_t errorClass, int32_t errorCode) {
  LastFailure() = TBACnetLastFailure{kind, errorClass, errorCode};
}

std::string LastErrorText() {
  const TBACnetLastFailure& f = LastFailure();
  switch (f.LastErrorKind) {
    case kLastErrorError:
      return ErrorText(f.ErrorClass, f.ErrorCode);
    case kLastErrorAbort:
      return AbortText(f.ErrorCode);
    case kLastErrorReject:
      return RejectText(f.ErrorCode);
    default:
      return "";
  }
}

}  // namespace zb::bacnet
