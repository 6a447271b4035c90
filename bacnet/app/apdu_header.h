// The fixed header of the eight APDU types: encoding in front of the service data, and decoding
// of received APDUs into the header fields of a TBACnetPDU. Stateless; knows nothing of
// transactions.
#pragma once

#include <cstdint>
#include <string>

#include "bacnet/app/pdu.h"

namespace zb::bacnet {

// Service data of this size or more is never sent in one APDU.
constexpr int kMaxServiceDataLength = 2048;

// Appends to `out` the complete APDU of `pdu` (header by PDUType, then ServiceData where the
// type carries any). `max_apdu_code` is the data link's code of its maximum APDU length, sent in
// confirmed requests. False (and `out` untouched) when ServiceData is too long or PDUType is
// not 0..7.
bool EncodeAPDU(const TBACnetPDU& pdu, int max_apdu_code, std::string& out);

// Reads the header fields and ServiceData of an APDU into `pdu`; the addressing block and
// ExpectingReply are left as they are. False when the octets are shorter than the header of
// their type or the type is not 0..7; the fields of `pdu` are then unspecified.
bool DecodeAPDU(const uint8_t* data, int length, TBACnetPDU& pdu);

// Max-APDU-length-accepted code → octets (0→50 … 5→1476); other codes are returned unchanged.
int MaxAPDUFromCode(int code);
// Max-segments-accepted code → number of segments (0 → 0 for "unspecified", 7 → unlimited).
int MaxSegmentsFromCode(int code);

}  // namespace zb::bacnet
