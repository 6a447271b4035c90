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
  StartSite(2);
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

TEST_F(AlarmTrendCommands, TrendLogsShortLongAndFailing) {
  StartSite(2);
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
  ASSERT_EQ(records.size(), 30u);
  EXPECT_EQ(records[0].first, 20.5);
  EXPECT_DOUBLE_EQ(records[0].second, Minute(1));
  EXPECT_EQ(records[29].first, 35);
  std::string line;
  while (site.ReadLine(line, 100)) {
  }
  const std::string all = site.TranscriptText();
  EXPECT_NE(all.find("\"position\":0,\"count\":12"), std::string::npos) << all;
  EXPECT_NE(all.find("\"position\":12,\"count\":12"), std::string::npos) << all;
  EXPECT_NE(all.find("\"position\":24,\"count\":6"), std::string::npos) << all;

  t = Run(o, {"COMMAND=GETTRENDDATA", "TREND={Long}{x}{10.47.0.2-TRN#8}"}, 30000);
  ASSERT_EQ(t.size(), 4u) << Join(t);
  records = Records(t[3], &octets);
  EXPECT_EQ(octets, 16u * 108 + 1);
  ASSERT_EQ(records.size(), 108u);
  EXPECT_EQ(records[11].first, 26);    // record 12 of the first request
  EXPECT_EQ(records[12].first, 72.5);  // record 105: the last 96 follow
  EXPECT_DOUBLE_EQ(records[107].second, Minute(200));

  EXPECT_EQ(Run(o, {"COMMAND=GETTRENDDATA", "TREND={Broken}{x}{10.47.0.2-TRN#9}"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  EXPECT_EQ(Run(o, {"COMMAND=GETTRENDDATA", "TREND={Not}{a}{10.47.0.2-AVAL#1}"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
}

}  // namespace
}  // namespace zb::e2e
