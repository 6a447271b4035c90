// The point commands through the host connection against a site device of the independent
// peer: reads, out-of-service, writes, address checks, and the point list with its background
// scan (a binary point cached as TRUE, a failing point dropped after three failures and brought
// back by a write).
#include <algorithm>

#include "bacnet/app/point_address.h"
#include "commands_harness.h"

namespace zb::e2e {
namespace {

const std::string kAV1 = "10.47.0.2-AVAL#1";

int CountLines(const test::PeerProcess& p, const std::string& text) {
  return static_cast<int>(
      std::count_if(p.Transcript().begin(), p.Transcript().end(),
                    [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

void Drain(test::PeerProcess& p, int ms, platform::MessageLoop& loop) {
  std::string line;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) p.ReadLine(line, 50, loop);
}

class PointCommands : public CommandsTest {};

TEST_F(PointCommands, ReadModifyAndVerify) {
  ZB_START_SITE(2);
  test::PeerProcess& site = StartDevice(1, 1001);
  int o = Connect();
  ASSERT_TRUE(WaitForDevices(o, 1)) << site.TranscriptText();

  EXPECT_EQ(Run(o, {"COMMAND=POINTGETVALUE", "POINT={Boiler}{" + kAV1 + "}{}{}"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", "VALUE=21.5", ""}));
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", "POINT={x}{10.47.0.2-AVAL#1:77}{}{}"})),
            (Texts{"VALUE=Boiler Temp", ""}));
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETDISABLED", "POINT={Boiler}{" + kAV1 + "}{}{}"})),
            (Texts{"DISABLED=FALSE", ""}));
  EXPECT_EQ(Run(o, {"COMMAND=POINTGETVALUE", "POINT={x}{10.47.0.2-AVAL#99}{}{}"}),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not read data from panel."}));

  // Out of service and a value (quoted) in one command.
  EXPECT_EQ(Run(o, {"COMMAND=POINTMODIFY", "POINT={Boiler}{" + kAV1 + "}{VALUE=\"30.5\"}{TRUE}"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  ASSERT_TRUE(site.WaitFor("\"property\":85,\"value\":30.5", 5000, nullptr, loop_))
      << site.TranscriptText();
  EXPECT_EQ(CountLines(site,
                       "\"event\":\"write\",\"objectId\":{\"type\":2,\"instance\":1},"
                       "\"property\":81,\"value\":true"),
            1);
  EXPECT_EQ(CountLines(site, "\"value\":30.5,\"tag\":4,\"priority\":10"), 1);
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETDISABLED", "POINT={Boiler}{" + kAV1 + "}{}{}"})),
            (Texts{"DISABLED=TRUE", ""}));
  EXPECT_EQ(Run(o, {"COMMAND=POINTMODIFY", "POINT={None}{10.47.0.2-AVAL#99}{VALUE=1}{}"}),
            (Texts{"COMMANDSTATUS=FALSE", "COMMANDERROR=Could not modify point."}));

  bacnet::TBACnetPointAddress a;
  ASSERT_TRUE(bacnet::ParsePointAddress(kAV1 + ":85", a));
  EXPECT_EQ(
      Results(Run(o, {"COMMAND=POINTVERIFY", "POINTNAME=Boiler", "POINTADDRESS=" + kAV1 + ":85"})),
      (Texts{"POINTNAME=Boiler", "POINTADDRESS=" + bacnet::FormatPointAddress(a)}));
  EXPECT_EQ(Run(o, {"COMMAND=POINTVERIFY", "POINTNAME=Boiler", "POINTADDRESS=not an address"}),
            (Texts{"COMMANDSTATUS=FALSE",
                   "COMMANDERROR=Point Address is Invalid. See help for more information."}));
}

TEST_F(PointCommands, PointListScanDropsAFailingPointUntilItIsWritten) {
  ZB_START_SITE(2);
  test::PeerProcess& site = StartDevice(1, 1001);
  int o = Connect();
  ASSERT_TRUE(WaitForDevices(o, 1)) << site.TranscriptText();

  // Before any point list: a completed command without elements.
  EXPECT_EQ(Run(o, {"COMMAND=GETPOINTSLIST"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", ""}));
  EXPECT_EQ(host_.CallTexts(o, "ExecuteImmediate",
                            {"COMMAND=SENDPOINTSLIST", "POINT0={a}{" + kAV1 + "}{1}{2}",
                             "POINT1={b}{10.47.0.2-bval#3}{}{}", "POINT2={c}{10.47.0.2-AVAL#6}{}{}",
                             "POINT3={d}{10.47.0.2-AVAL#1}{}{}"}),
            (Texts{"COMMANDSTATUS=TRUE", "", ""}));

  const std::string flakyRead = "\"objectId\":{\"type\":2,\"instance\":6},\"property\":85";
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (CountLines(site, flakyRead) < 3 && std::chrono::steady_clock::now() < end)
    Drain(site, 200, loop_);
  ASSERT_EQ(CountLines(site, flakyRead), 3) << site.TranscriptText();
  Drain(site, 6000, loop_);  // two more passes of the scan
  EXPECT_EQ(CountLines(site, flakyRead), 3) << "the point has left the scan";

  EXPECT_EQ(Results(Run(o, {"COMMAND=GETPOINTSLIST"})),
            (Texts{"POINT0={" + kAV1 + "}{VALUE=21.5}", "POINT1={10.47.0.2-bval#3}{VALUE=TRUE}"}));

  EXPECT_EQ(Run(o, {"COMMAND=POINTMODIFY", "POINT={c}{10.47.0.2-AVAL#6}{VALUE=9}{}"})[0],
            "COMMANDSTATUS=TRUE");
  EXPECT_EQ(Results(Run(o, {"COMMAND=GETPOINTSLIST"})),
            (Texts{"POINT0={" + kAV1 + "}{VALUE=21.5}", "POINT1={10.47.0.2-bval#3}{VALUE=TRUE}",
                   "POINT2={10.47.0.2-AVAL#6}{VALUE=9}"}));
  end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (CountLines(site, flakyRead) < 4 && std::chrono::steady_clock::now() < end)
    Drain(site, 200, loop_);
  EXPECT_GE(CountLines(site, flakyRead), 4) << "back in the scan after the write";

  // A new list that keeps addresses keeps their values.
  EXPECT_EQ(host_.CallTexts(o, "ExecuteImmediate",
                            {"COMMAND=SENDPOINTSLIST", "POINT0={b}{10.47.0.2-BVAL#3}{}{}"}),
            (Texts{"COMMANDSTATUS=TRUE", "", ""}));
  EXPECT_EQ(Results(Run(o, {"COMMAND=GETPOINTSLIST"})),
            (Texts{"POINT0={10.47.0.2-BVAL#3}{VALUE=TRUE}"}));
  // The same through the queue (kind 9).
  EXPECT_EQ(Run(o, {"COMMAND=SENDPOINTSLIST", "POINT0={a}{" + kAV1 + "}{}{}"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  EXPECT_EQ(host_.CallTexts(o, "ExecuteImmediate", {"COMMAND=NOSUCH"}),
            (Texts{"COMMANDSTATUS=FALSE", "", ""}));
}

// REAL values read as the shortest text of their single, DOUBLE values with 15 digits, in
// POINTGETVALUE and in the scanned values of GETPOINTSLIST; raw property reads stay octets.
// Present-value and relinquish-default named without a data type are written in the object
// type's own type.
TEST_F(PointCommands, RealValuesAndWritesOfNamedValueProperties) {
  ZB_START_SITE(2);
  test::PeerProcess& site = StartDevice(1, 1001, R"({"valueKinds":true})");
  int o = Connect();
  ASSERT_TRUE(WaitForDevices(o, 1)) << site.TranscriptText();

  auto value = [&](const std::string& address) {
    return Results(Run(o, {"COMMAND=POINTGETVALUE", "POINT={x}{" + address + "}{}{}"}));
  };
  EXPECT_EQ(value("10.47.0.2-AVAL#10"), (Texts{"VALUE=0.1", ""}));
  EXPECT_EQ(value("10.47.0.2-AVAL#11"), (Texts{"VALUE=1E-05", ""}));
  EXPECT_EQ(value("10.47.0.2-AVAL#12"), (Texts{"VALUE=0.333333333333333", ""}));
  EXPECT_EQ(value("10.47.0.2-AVAL#10:85"), (Texts{"VALUE=0.1", ""}));
  EXPECT_EQ(Results(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=READPROPERTIES",
                            "POINTADDRESS={a}{b}{10.47.0.2-AVAL#10}", "PROP0=85"})),
            (Texts{"PROP85=0C0080000A19553E443DCCCCCD3F", ""}));

  EXPECT_EQ(host_.CallTexts(o, "ExecuteImmediate",
                            {"COMMAND=SENDPOINTSLIST", "POINT0={a}{10.47.0.2-AVAL#10}{}{}",
                             "POINT1={b}{10.47.0.2-AVAL#11}{}{}"}),
            (Texts{"COMMANDSTATUS=TRUE", "", ""}));
  const Texts cached{"POINT0={10.47.0.2-AVAL#10}{VALUE=0.1}",
                     "POINT1={10.47.0.2-AVAL#11}{VALUE=1E-05}"};
  Texts list;
  for (int i = 0; i < 50 && list != cached; ++i) {
    list = Results(Run(o, {"COMMAND=GETPOINTSLIST"}));
    if (list != cached) Sleep(200);
  }
  EXPECT_EQ(list, cached);

  // The write arrives as REAL at priority 10, and reads back as written.
  const std::string damper = "10.47.0.2-AOUT#13";
  EXPECT_EQ(Run(o, {"COMMAND=POINTMODIFY", "POINT={d}{" + damper + ":85}{VALUE=0.1}{}"}),
            (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}));
  std::string line;
  ASSERT_TRUE(site.WaitFor("\"event\":\"write\"", 5000, &line, loop_)) << site.TranscriptText();
  EXPECT_NE(line.find("\"objectId\":{\"type\":1,\"instance\":13},\"property\":85,"
                      "\"value\":0.10000000149011612,\"tag\":4,\"priority\":10"),
            std::string::npos)
      << line;
  EXPECT_EQ(value(damper), (Texts{"VALUE=0.1", ""}));
  EXPECT_EQ(Run(o, {"COMMAND=POINTMODIFY", "POINT={d}{" + damper + ":104}{VALUE=2.5}{}"})[0],
            "COMMANDSTATUS=TRUE");
  ASSERT_TRUE(site.WaitFor("\"event\":\"write\"", 5000, &line, loop_)) << site.TranscriptText();
  EXPECT_NE(line.find("\"property\":104,\"value\":2.5,\"tag\":4,\"priority\":10"),
            std::string::npos)
      << line;
  EXPECT_EQ(value(damper + ":104"), (Texts{"VALUE=2.5", ""}));
  // A binary value's present value goes as ENUMERATED.
  EXPECT_EQ(Run(o, {"COMMAND=POINTMODIFY", "POINT={p}{10.47.0.2-BVAL#3:85}{VALUE=0}{}"})[0],
            "COMMANDSTATUS=TRUE");
  ASSERT_TRUE(site.WaitFor("\"event\":\"write\"", 5000, &line, loop_)) << site.TranscriptText();
  EXPECT_NE(line.find("\"property\":85,\"value\":0,\"tag\":9,\"priority\":10"), std::string::npos)
      << line;
}

}  // namespace
}  // namespace zb::e2e
