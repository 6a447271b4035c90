#include "bacnet/app/pdu.h"

namespace zb::bacnet {

void ClearPDU(TBACnetPDU& pdu) { pdu = TBACnetPDU{}; }

void CopyPDU(const TBACnetPDU& from, TBACnetPDU& to) { to = from; }

}  // namespace zb::bacnet
