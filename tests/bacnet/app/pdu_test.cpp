#include "bacnet/app/pdu.h"

#include <gtest/gtest.h>

namespace zb::bacnet {
namespace {

TEST(PDU, ClearEmptiesEverythingAndLeavesTheEmptyText) {
  TBACnetPDU pdu;
  EXPECT_TRUE(pdu.Values.IsText());
  pdu.SourceAddress = "abc";
  pdu.Broadcast = true;
  pdu.PDUType = 3;
  pdu.MaxAPDU = 1476;
  pdu.TransactionHandle = 7;
  pdu.ServiceData = std::string("\0\1", 2);
  pdu.Values = Variant::MakeList({1, 2});
  TBACnetPDU copy;
  CopyPDU(pdu, copy);
  ClearPDU(pdu);
  EXPECT_TRUE(pdu.SourceAddress.empty());
  EXPECT_FALSE(pdu.Broadcast);
  EXPECT_EQ(pdu.PDUType, 0);
  EXPECT_EQ(pdu.MaxAPDU, 0);
  EXPECT_EQ(pdu.TransactionHandle, 0);
  EXPECT_EQ(pdu.ServiceData, "");
  EXPECT_TRUE(pdu.Values.IsText());
  EXPECT_EQ(pdu.Values.AsTextRaw(), "");
  // The copy keeps its own string and list.
  EXPECT_EQ(copy.SourceAddress, "abc");
  EXPECT_EQ(copy.ServiceData, std::string("\0\1", 2));
  EXPECT_EQ(copy.Values, Variant::MakeList({1, 2}));
  EXPECT_EQ(copy.MaxAPDU, 1476);
}

}  // namespace
}  // namespace zb::bacnet
