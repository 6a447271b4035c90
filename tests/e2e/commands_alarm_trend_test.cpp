// Alarms and trend data through the host connection: an event notification of the site device
// with the {I2<...>...} prefix fetched by GETALARMS and acknowledged with ACKALARM (the peer
// receives the AcknowledgeAlarm), and trend logs of 30 and 200 records and one that fails.
#include <algorithm>
#include <cstring>

#include "bacnet/app/bacnet_date.h"
#include "commands_harness.h"
#include "support/strings.h"

namespace zb::e2e {
namespace {

class AlarmTrendCommands : public CommandsTest {};

TEST_F(AlarmTrendCommands, AlarmFetchedOnceAndAcknowledged) {
  ZB_START_SITE(2);
  test::PeerProcess& site = StartDevice(1, 1001);
  int o = Connect();
  ASSERT_TRUE(WaitForDevices(o, 1)) << site.TranscriptText();

  EXPECT_EQ(Run(o, {"COMMAND=GETALARMS"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", ""}));
  site.Send(R"({"cmd":"notify","address":")" + net_->Address(0) + R"("})");
  ASSERT_TRUE(site.WaitFor("\"sent\"", 5000, nullptr, loop_)) << site.TranscriptText();
  Texts alarms;
  for (int i = 0; i < 50 && alarms.empty(); ++i) {
    alarms = Results(Run(o, {"COMMAND=GETALARMS"}));
    if (alarms.empty()) Sleep(100);
  }
  ASSERT_EQ(alarms.size(), 1u) << Join(alarms);
  const std::string head = "ALARM0={12/08/2026 10:30}{Boiler fault (Value=85.50)BND:";
  ASSERT_EQ(alarms[0].rfind(head, 0), 0u) << alarms[0];
  const size_t end = alarms[0].find('}', head.size());
  const std::string bnd = alarms[0].substr(head.size(), end - head.size());
  EXPECT_EQ(alarms[0].substr(end), "}{3}{2}{TRUE}{Operator note}");
  // Process 77, device 1001, analog value 1, to-state high-limit, then the time stamp, the
  // local network and the device's address.
  EXPECT_EQ(bnd.substr(0, 28), "0000004D000803E9000200010003");
  EXPECT_EQ(bnd.substr(28, 6), "7E0C08");
  EXPECT_EQ(bnd.substr(36, 6), "0A1E0F");
  EXPECT_EQ(bnd.substr(44), "00000A2F0002BAC0");
  EXPECT_EQ(Results(Run(o, {"COMMAND=GETALARMS"})), Texts{}) << "fetched lines are gone";

  EXPECT_EQ(
      Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=ACKALARM", "BND=" + bnd, "USERNAME=operator"}),
      (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", "", ""}));
  std::string line;
  ASSERT_TRUE(site.WaitFor("\"ackAlarm\"", 5000, &line, loop_)) << site.TranscriptText();
  EXPECT_NE(line.find("\"processId\":77"), std::string::npos) << line;
  EXPECT_NE(line.find("\"state\":3"), std::string::npos) << line;
  EXPECT_NE(line.find("operator"), std::string::npos) << line;
  EXPECT_NE(line.find("\"instance\":1"), std::string::npos) << line;

  EXPECT_EQ(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=ACKALARM", "BND=" + bnd}),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not acknowledge the alarm."}));
}

// The records of an octet-array result: (value, time stamp) pairs.
std::vector<std::pair<double, double>> Records(const std::string& json, size_t* octets) {
  std::vector<std::pair<double, double>> out;
  const std::string key = "\"octets\":\"";
  size_t at = json.find(key);
  if (at == std::string::npos) return out;
  const std::string hex =
      json.substr(at + key.size(), json.find('"', at + key.size()) - at - key.size());
  const std::string bytes = HexToBytes(hex);
  *octets = bytes.size();
  for (size_t i = 0; i + 16 <= bytes.size(); i += 16) {
    double v, t;
    std::memcpy(&v, bytes.data() + i, 8);
    std::memcpy(&t, bytes.data() + i + 8, 8);
    out.emplace_back(v, t);
  }
  return out;
}

double Minute(int n) {
  double d = 0, t = 0;
  bacnet::TryEncodeDate(2026, 12, 8, d);
  bacnet::TryEncodeTime(n / 60, n % 60, 0, 0, t);
  return d + t;
}

// Record n of the peer's logs: value 20 + n / 2 at minute n of 8 December 2026.
void ExpectLogRecords(const std::vector<std::pair<double, double>>& records,
                      const std::vector<int>& positions) {
  ASSERT_EQ(records.size(), positions.size());
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(positions[i]));
    EXPECT_EQ(records[i].first, 20 + positions[i] / 2.0);
    EXPECT_DOUBLE_EQ(records[i].second, Minute(positions[i]));
  }
}

std::vector<int> Positions(int from, int to) {
  std::vector<int> p;
  for (int k = from; k <= to; ++k) p.push_back(k);
  return p;
}

// The peer counts log positions from 1 and refuses position 0, as a standard device does.
TEST_F(AlarmTrendCommands, TrendLogsShortLongAndFailing) {
  ZB_START_SITE(2);
  test::PeerProcess& site = StartDevice(1, 1001);
  int o = Connect();
  ASSERT_TRUE(WaitForDevices(o, 1)) << site.TranscriptText();

  Texts t = Run(o, {"COMMAND=GETTRENDDATA", "TREND={Boiler}{x}{10.47.0.2-TRN#7}", "KEEP=1"});
  ASSERT_EQ(t.size(), 5u) << Join(t);
  EXPECT_EQ(t[0], "COMMANDSTATUS=TRUE");
  EXPECT_EQ(t[4], "KEEP=1");
  size_t octets = 0;
  auto records = Records(t[3], &octets);
  EXPECT_EQ(octets, 16u * 30 + 1);
  ExpectLogRecords(records, Positions(1, 30));
  std::string line;
  while (site.ReadLine(line, 100, loop_)) {
  }
  std::string all = site.TranscriptText();
  EXPECT_NE(all.find("\"position\":1,\"count\":12"), std::string::npos) << all;
  EXPECT_NE(all.find("\"position\":13,\"count\":12"), std::string::npos) << all;
  EXPECT_NE(all.find("\"position\":25,\"count\":6"), std::string::npos) << all;
  EXPECT_EQ(all.find("\"position\":0,"), std::string::npos) << all;

  // The first twelve and the last 96, ending with the newest record.
  t = Run(o, {"COMMAND=GETTRENDDATA", "TREND={Long}{x}{10.47.0.2-TRN#8}"}, 30000);
  ASSERT_EQ(t.size(), 4u) << Join(t);
  records = Records(t[3], &octets);
  EXPECT_EQ(octets, 16u * 108 + 1);
  std::vector<int> expected = Positions(1, 12);
  for (int k : Positions(105, 200)) expected.push_back(k);
  ExpectLogRecords(records, expected);
  while (site.ReadLine(line, 100, loop_)) {
  }
  all = site.TranscriptText();
  EXPECT_NE(all.find("\"position\":189,\"count\":12"), std::string::npos) << all;

  EXPECT_EQ(Run(o, {"COMMAND=GETTRENDDATA", "TREND={Broken}{x}{10.47.0.2-TRN#9}"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  EXPECT_EQ(Run(o, {"COMMAND=GETTRENDDATA", "TREND={Not}{a}{10.47.0.2-AVAL#1}"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
}

}  // namespace
}  // namespace zb::e2e
