#include "bacnet/app/text_tables.h"

#include <gtest/gtest.h>

#include "bacnet/app/last_failure.h"

namespace zb::bacnet {
namespace {

TEST(TextTables, LookupsStayInsideTheirTables) {
  EXPECT_EQ(ObjectTypeCode(0), "AIN");
  EXPECT_EQ(ObjectTypeCode(22), "LSZ");
  EXPECT_EQ(ObjectTypeCode(23), "");
  EXPECT_EQ(ObjectTypeCode(-1), "");
  EXPECT_EQ(ObjectTypeName(15), "Notification Class");
  EXPECT_EQ(ObjectTypeName(23), "");
  EXPECT_EQ(DataTypeName(6), "Octect String");
  EXPECT_EQ(DataTypeName(16), "None");
  EXPECT_EQ(DataTypeName(17), "");
  EXPECT_EQ(SegmentationText(0), "Yes");
  EXPECT_EQ(SegmentationText(3), "No");
  EXPECT_EQ(SegmentationText(4), "");
  EXPECT_EQ(NotifyTypeText(2), "Ack Notification");
  EXPECT_EQ(ReliabilityText(9), "Multi State Fault");
  EXPECT_EQ(ReliabilityText(10), "");
  EXPECT_EQ(EventStateText(5), "Life Safety Alarm");
  EXPECT_EQ(ErrorClassText(6), "vt");
  EXPECT_EQ(ErrorCodeText(31), "unknown-object");
  EXPECT_EQ(ErrorCodeText(33), "(obsolete reason)");
  EXPECT_EQ(ErrorCodeText(46), "invalid-configuration-data");
  EXPECT_EQ(ErrorCodeText(47), "");
  EXPECT_EQ(RejectReasonText(9), "unrecognized-service");
  EXPECT_EQ(AbortReasonText(4), "segmentation-not-supported");
  EXPECT_EQ(AbortReasonText(5), "");
  EXPECT_EQ(UnitName(0), "Square Meters");
  EXPECT_EQ(UnitName(144), "Percent Obscuration Per Meter");
  EXPECT_EQ(UnitName(145), "");
  EXPECT_EQ(UnitAbbreviation(-1), "");
}

// The abbreviations are Windows-1252 byte strings; spot checks along the whole table catch a
// shifted entry.
TEST(TextTables, UnitAbbreviations) {
  EXPECT_EQ(UnitAbbreviation(0), "m\xB2");
  EXPECT_EQ(UnitAbbreviation(24), "btu/lb (dry air)");
  EXPECT_EQ(UnitAbbreviation(34), "w/ft\xB2");
  EXPECT_EQ(UnitAbbreviation(58), "in-H20");
  EXPECT_EQ(UnitAbbreviation(62),
            "\xB0"
            "C");
  EXPECT_EQ(UnitAbbreviation(63),
            "\xB0"
            "K");
  EXPECT_EQ(UnitAbbreviation(64),
            "\xB0"
            "F");
  EXPECT_EQ(UnitAbbreviation(65),
            "\xB0"
            "C-days");
  EXPECT_EQ(UnitAbbreviation(79), "ft");
  EXPECT_EQ(UnitAbbreviation(84), "ft3");
  EXPECT_EQ(UnitAbbreviation(94),
            "\xB0"
            "F/m");
  EXPECT_EQ(UnitAbbreviation(95), "None");
  EXPECT_EQ(UnitAbbreviation(102),
            "psi/\xB0"
            "F");
  EXPECT_EQ(UnitAbbreviation(114), "Currency10");
  EXPECT_EQ(UnitAbbreviation(120),
            "delta \xB0"
            "F");
  EXPECT_EQ(UnitAbbreviation(128),
            "j/kg\xB0"
            "K");
  EXPECT_EQ(UnitAbbreviation(141),
            "w/m\xB2"
            "K");
  EXPECT_EQ(UnitAbbreviation(142), "fps3");
  EXPECT_EQ(UnitAbbreviation(144), "%/m");
  EXPECT_EQ(UnitName(95), "No Units");
  EXPECT_EQ(UnitName(62), "Degrees Celsius");
  EXPECT_EQ(UnitName(128), "Joules Per Kilogram Degree Kelvin");
}

TEST(TextTables, FailureMessages) {
  EXPECT_EQ(ErrorText(2, 32), "Error Class: property (2) - Reason: unknown-property (32)");
  EXPECT_EQ(ErrorText(0, 0), "Error Class: device (0) - Reason: other (0)");
  EXPECT_EQ(ErrorText(7, 47), "Error Class:  (7) - Reason:  (47)");
  EXPECT_EQ(ErrorText(-1, -1), "Error Class:  (-1) - Reason:  (-1)");
  EXPECT_EQ(RejectText(9), "Reject Reason: unrecognized-service (9)");
  EXPECT_EQ(RejectText(12), "Reject Reason:  (12)");
  EXPECT_EQ(AbortText(4), "Abort Reason: segmentation-not-supported (4)");
  EXPECT_EQ(AbortText(255), "Abort Reason:  (255)");
}

TEST(LastFailure, RecordAndText) {
  ResetLastFailure();
  EXPECT_EQ(LastFailure().LastErrorKind, 0);
  EXPECT_EQ(LastFailure().ErrorClass, -1);
  EXPECT_EQ(LastFailure().ErrorCode, -1);
  EXPECT_EQ(LastErrorText(), "");
  SetLastFailure(kLastErrorError, 2, 32);
  EXPECT_EQ(LastErrorText(), "Error Class: property (2) - Reason: unknown-property (32)");
  SetLastFailure(kLastErrorReject, 0, 9);
  EXPECT_EQ(LastErrorText(), "Reject Reason: unrecognized-service (9)");
  SetLastFailure(kLastErrorAbort, 0, 4);
  EXPECT_EQ(LastErrorText(), "Abort Reason: segmentation-not-supported (4)");
  SetLastFailure(9, 1, 1);
  EXPECT_EQ(LastErrorText(), "");
  ResetLastFailure();
}

}  // namespace
}  // namespace zb::bacnet
