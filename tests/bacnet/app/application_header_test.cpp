// The APDU header codec: exact octets of all eight types, both error forms, and clean failure
// of every truncated header.
#include <gtest/gtest.h>

#include "bacnet/app/apdu_header.h"
#include "octets.h"

namespace zb::bacnet {
namespace {

using test::Octets;
using test::ToHex;

std::string Encode(const TBACnetPDU& pdu, int code = 5) {
  std::string out;
  EXPECT_TRUE(EncodeAPDU(pdu, code, out));
  return out;
}

TBACnetPDU Decode(const std::string& apdu) {
  TBACnetPDU pdu;
  EXPECT_TRUE(
      DecodeAPDU(reinterpret_cast<const uint8_t*>(apdu.data()), static_cast<int>(apdu.size()), pdu))
      << ToHex(apdu);
  return pdu;
}

TEST(ApduHeader, EncodesEveryType) {
  TBACnetPDU p;
  p.PDUType = kPDUConfirmedRequest;
  p.InvokeID = 2;
  p.ServiceChoice = 12;
  p.ServiceData = Octets("0C 00 00 00 05 19 55");
  EXPECT_EQ(ToHex(Encode(p, 4)), "00 74 02 0C 0C 00 00 00 05 19 55");
  p.SegmentedMessage = p.MoreFollows = p.SegmentedResponseAccepted = true;
  p.SequenceNumber = 7;
  p.ProposedWindowSize = 16;
  p.ServiceData = "x";
  EXPECT_EQ(ToHex(Encode(p, 5)), "0E 75 02 07 10 0C 78");

  TBACnetPDU u;
  u.PDUType = kPDUUnconfirmedRequest;
  u.ServiceChoice = 8;
  EXPECT_EQ(ToHex(Encode(u)), "10 08");

  TBACnetPDU s;
  s.PDUType = kPDUSimpleAck;
  s.InvokeID = 9;
  s.ServiceChoice = 15;
  s.ServiceData = "ignored";
  EXPECT_EQ(ToHex(Encode(s)), "20 09 0F");

  TBACnetPDU c;
  c.PDUType = kPDUComplexAck;
  c.InvokeID = 3;
  c.ServiceChoice = 12;
  c.ServiceData = Octets("AA");
  EXPECT_EQ(ToHex(Encode(c)), "30 03 0C AA");
  c.SegmentedMessage = c.MoreFollows = true;
  c.SequenceNumber = 255;
  c.ProposedWindowSize = 4;
  EXPECT_EQ(ToHex(Encode(c)), "3C 03 FF 04 0C AA");

  TBACnetPDU a;
  a.PDUType = kPDUSegmentAck;
  a.InvokeID = 1;
  a.SequenceNumber = 5;
  a.ActualWindowSize = 3;
  a.NegativeAck = a.Server = true;
  EXPECT_EQ(ToHex(Encode(a)), "43 01 05 03");

  TBACnetPDU e;
  e.PDUType = kPDUError;
  e.InvokeID = 4;
  e.ServiceChoice = 12;
  e.ErrorClass = 2;
  e.ErrorCode = 32;
  EXPECT_EQ(ToHex(Encode(e)), "50 04 0C 91 02 91 20");

  TBACnetPDU r;
  r.PDUType = kPDUReject;
  r.InvokeID = 6;
  r.ErrorCode = 9;
  EXPECT_EQ(ToHex(Encode(r)), "60 06 09");

  TBACnetPDU b;
  b.PDUType = kPDUAbort;
  b.InvokeID = 6;
  b.ErrorCode = 4;
  EXPECT_EQ(ToHex(Encode(b)), "70 06 04");
  b.Server = true;
  EXPECT_EQ(ToHex(Encode(b)), "71 06 04");
}

TEST(ApduHeader, RefusesOversizedServiceDataAndUnknownTypes) {
  TBACnetPDU p;
  p.PDUType = kPDUUnconfirmedRequest;
  p.ServiceData.assign(2047, 'x');
  std::string out;
  EXPECT_TRUE(EncodeAPDU(p, 5, out));
  p.ServiceData.assign(2048, 'x');
  out.clear();
  EXPECT_FALSE(EncodeAPDU(p, 5, out));
  EXPECT_TRUE(out.empty());
  p.ServiceData.clear();
  p.PDUType = 8;
  EXPECT_FALSE(EncodeAPDU(p, 5, out));
}

TEST(ApduHeader, DecodesConfirmedRequestLimits) {
  TBACnetPDU p = Decode(Octets("02 35 11 0C 0C 00"));
  EXPECT_EQ(p.PDUType, kPDUConfirmedRequest);
  EXPECT_FALSE(p.SegmentedMessage);
  EXPECT_TRUE(p.SegmentedResponseAccepted);
  EXPECT_EQ(p.MaxSegments, 3);
  EXPECT_EQ(p.MaxAPDU, 1476);
  EXPECT_EQ(p.InvokeID, 0x11);
  EXPECT_EQ(p.ServiceChoice, 12);
  EXPECT_EQ(ToHex(p.ServiceData), "0C 00");

  p = Decode(Octets("0C 09 22 05 03 0F"));  // segmented, more follows; code 9 is kept
  EXPECT_TRUE(p.SegmentedMessage);
  EXPECT_TRUE(p.MoreFollows);
  EXPECT_EQ(p.MaxSegments, 0);
  EXPECT_EQ(p.MaxAPDU, 9);
  EXPECT_EQ(p.SequenceNumber, 5);
  EXPECT_EQ(p.ProposedWindowSize, 3);
  EXPECT_EQ(p.ServiceChoice, 15);
  EXPECT_TRUE(p.ServiceData.empty());

  const int lengths[] = {50, 128, 206, 480, 1024, 1476};
  for (int code = 0; code < 6; ++code) EXPECT_EQ(MaxAPDUFromCode(code), lengths[code]);
}

TEST(ApduHeader, DecodesAnswers) {
  TBACnetPDU p = Decode(Octets("3C 07 00 02 0E 01 02"));
  EXPECT_EQ(p.PDUType, kPDUComplexAck);
  EXPECT_TRUE(p.SegmentedMessage && p.MoreFollows);
  EXPECT_EQ(p.InvokeID, 7);
  EXPECT_EQ(p.ProposedWindowSize, 2);
  EXPECT_EQ(p.ServiceChoice, 14);
  EXPECT_EQ(ToHex(p.ServiceData), "01 02");

  p = Decode(Octets("42 07 09 04"));
  EXPECT_TRUE(p.NegativeAck);
  EXPECT_FALSE(p.Server);
  EXPECT_EQ(p.SequenceNumber, 9);
  EXPECT_EQ(p.ActualWindowSize, 4);

  p = Decode(Octets("71 07 04"));
  EXPECT_TRUE(p.Server);
  EXPECT_EQ(p.ErrorCode, 4);
  p = Decode(Octets("60 07 09"));
  EXPECT_EQ(p.ErrorCode, 9);
  p = Decode(Octets("20 07 0F"));
  EXPECT_EQ(p.ServiceChoice, 15);
}

TEST(ApduHeader, DecodesBothErrorForms) {
  TBACnetPDU p = Decode(Octets("50 05 0C 91 02 91 20"));
  EXPECT_EQ(p.ErrorClass, 2);
  EXPECT_EQ(p.ErrorCode, 32);
  EXPECT_TRUE(p.ServiceData.empty());

  // Class and code inside an opening tag: read from indexes 5 and 7.
  p = Decode(Octets("50 05 0F 0E 91 01 91 1F 0F"));
  EXPECT_EQ(p.ServiceChoice, 15);
  EXPECT_EQ(p.ErrorClass, 1);
  EXPECT_EQ(p.ErrorCode, 31);
  EXPECT_EQ(ToHex(p.ServiceData), "1F 0F");
}

TEST(ApduHeader, EveryTruncatedHeaderFailsCleanly) {
  const char* full[] = {"0E 75 02 07 10 0C",
                        "00 05 02 0C",
                        "10 08",
                        "20 09 0F",
                        "30 03 0C",
                        "3C 03 FF 04 0C",
                        "43 01 05 03",
                        "50 04 0C 91 02 91 20",
                        "50 04 0C 0E 91 02 91 20",
                        "60 06 09",
                        "71 06 04"};
  for (const char* hex : full) {
    const std::string apdu = Octets(hex);
    TBACnetPDU p;
    EXPECT_TRUE(
        DecodeAPDU(reinterpret_cast<const uint8_t*>(apdu.data()), static_cast<int>(apdu.size()), p))
        << hex;
    for (size_t n = 0; n < apdu.size(); ++n) {
      // A fresh copy of just n octets, so that ASan sees any read past them.
      std::vector<uint8_t> cut(apdu.begin(), apdu.begin() + n);
      EXPECT_FALSE(DecodeAPDU(cut.data(), static_cast<int>(n), p)) << hex << " cut to " << n;
    }
  }
}

TEST(ApduHeader, RejectsUndefinedTypes) {
  for (int b0 = 0x80; b0 <= 0xFF; b0 += 0x10) {
    const uint8_t apdu[] = {static_cast<uint8_t>(b0), 1, 2, 3, 4, 5, 6, 7, 8};
    TBACnetPDU p;
    EXPECT_FALSE(DecodeAPDU(apdu, sizeof apdu, p)) << b0;
  }
}

}  // namespace
}  // namespace zb::bacnet
