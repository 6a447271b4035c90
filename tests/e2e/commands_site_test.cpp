// Site and driver commands through the host connection: SITETIME, SITESTATUS and the driver
// commands GETPOINTSLIST, GETVENDORINFO, READPROPERTIES and WRITEPROPERTIES, on one site device
// and on two devices on different networks, one behind a router.
#include <algorithm>
#include <cstdio>

#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/point_address.h"
#include "commands_harness.h"
#include "session/site_texts.h"

namespace zb::e2e {
namespace {

int CountLines(const test::PeerProcess& p, const std::string& text) {
  return static_cast<int>(
      std::count_if(p.Transcript().begin(), p.Transcript().end(),
                    [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

std::string Object(const std::string& mac, int network, int type, int instance) {
  bacnet::TBACnetPointAddress a;
  a.Network = uint16_t(network);
  a.DeviceAddress = mac;
  a.ObjectType = type;
  a.InstanceID = instance;
  return bacnet::FormatPointAddress(a);
}

const std::string kSiteMac("\x0a\x2f\x00\x02\xba\xc0", 6);
const std::string kRemoteMac("\x7f\x00\x00\x01\xba\xc2", 6);

class SiteCommands : public CommandsTest {};

TEST_F(SiteCommands, ClockStatusObjectListVendorAndRawProperties) {
  ZB_START_SITE(2);
  test::PeerProcess& site = StartDevice(1, 1001);
  int o = Connect();
  ASSERT_TRUE(WaitForDevices(o, 1)) << site.TranscriptText();

  EXPECT_EQ(Run(o, {"COMMAND=SITETIME"}), (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "",
                                                 "SITETIME=01/15/2026 08:30:45", ""}));
  Texts status = Results(Run(o, {"COMMAND=SITESTATUS"}));
  ASSERT_EQ(status.size(), 7u) << Join(status);
  EXPECT_EQ(status[0], "Current Date: 01/15/2026");
  EXPECT_EQ(status[1].rfind("Current Time: 08:3", 0), 0u) << status[1];
  EXPECT_EQ(status[3], "1 Devices Found:");
  EXPECT_EQ(status[5].rfind("Device #1001 / Network: 0 / Address: [0a][2f][00][02][ba][c0] / "
                            "Vendor ID: 260 / Segmentation: No / Max APDU Length: ",
                            0),
            0u)
      << status[5];
  EXPECT_EQ(status[6], "");

  const std::string dev = Object(kSiteMac, 0, 8, 1001);
  auto obj = [](int type, int instance) { return Object(kSiteMac, 0, type, instance); };
  EXPECT_EQ(Results(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=GetPointsList"}, 60000)),
            (Texts{
                "{" + dev + "}{Site Device 1001}{}{FALSE}{BACnet Type}{Object}",
                "{" + obj(2, 1) + "}{Boiler Temp}{" + UnitsText(62) + "}{TRUE}{Analog}{Variable}",
                "{" + obj(0, 2) + "}{Outside Air}{" + UnitsText(64) + "}{TRUE}{Analog}{Input}",
                "{" + obj(5, 3) + "}{Pump}{Stopped/Running}{TRUE}{Digital}{Variable}",
                "{" + obj(3, 4) + "}{Door}{Off/On}{TRUE}{Digital}{Input}",
                "{" + obj(19, 5) + "}{Mode}{}{TRUE}{Analog}{Variable}",
                "{" + obj(2, 6) + "}{Flaky}{}{TRUE}{Analog}{Variable}",
                "{" + obj(20, 7) + "}{Boiler Log}{}{FALSE}{BACnet Type}{Object}",
                "{" + obj(20, 8) + "}{Long Log}{}{FALSE}{BACnet Type}{Object}",
                "{" + obj(20, 9) + "}{Broken Log}{}{FALSE}{BACnet Type}{Object}",
            }));

  const Texts vendor = {"COMMAND=GETDATA", "DRIVERCOMMAND=GETVENDORINFO",
                        "POINTADDRESS=10.47.0.2-DEV#1001"};
  EXPECT_EQ(Results(Run(o, vendor)), (Texts{"VENDORID=260", "MODELNAME=Site Box"}));
  EXPECT_EQ(Results(Run(o, vendor)), (Texts{"VENDORID=260", "MODELNAME=Site Box"}));
  std::string line;
  while (site.ReadLine(line, 200, loop_)) {
  }
  EXPECT_EQ(CountLines(site, "\"property\":120"), 1) << "the second answer came from the cache";
  EXPECT_EQ(Results(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=GETVENDORINFO"})), (Texts{"", ""}));

  EXPECT_EQ(
      Results(
          Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=READPROPERTIES",
                  "POINTADDRESS={a}{b}{10.47.0.2-AVAL#1}", "PROP0=85", "PROP1=77", "PROP2=999"})),
      (Texts{"PROP85=0C0080000119553E4441AC00003F",
             "PROP77=0C00800001194D"
             "3E750C00426F696C65722054656D703F",
             "PROP999=ERROR: Error Class: property (2) - Reason: unknown-property (32)", ""}));
  EXPECT_EQ(Results(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=READPROPERTIES",
                            "POINTADDRESS={a}{b}{10.47.0.2-AVAL#1}"})),
            (Texts{""}));
  EXPECT_EQ(Results(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=WRITEPROPERTIES",
                            "POINTADDRESS={a}{b}{10.47.0.2-AVAL#1}", "PROP0=85",
                            "DATA0=3E4441C800003F", "PROP1=77", "DATA1=3E72004E3F"})),
            (Texts{"RESULT85=",
                   "RESULT1=Error Class: property (2) - Reason: write-access-denied (40)", ""}));
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", "POINT={x}{10.47.0.2-AVAL#1}{}{}"})),
            (Texts{"VALUE=25", ""}));
  EXPECT_EQ(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=NOSUCH"}),
            (Texts{"COMMANDSTATUS=FALSE", ""}));
}

TEST_F(SiteCommands, AnObjectListShorterThanItsClaimedLengthEndsAfterThreeFailedEntries) {
  ZB_START_SITE(2);
  test::PeerProcess& site =
      StartDevice(1, 1001, R"({"remote":true,"claimObjects":1000000,"name":"Liar"})");
  int o = Connect();
  ASSERT_TRUE(WaitForDevices(o, 1)) << site.TranscriptText();
  EXPECT_EQ(Results(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=GETPOINTSLIST"}, 60000)),
            (Texts{"{" + Object(kSiteMac, 0, 8, 1001) + "}{Liar}{}{FALSE}{BACnet Type}{Object}",
                   "{" + Object(kSiteMac, 0, 2, 1) + "}{Remote Temp}{" + UnitsText(62) +
                       "}{TRUE}{Analog}{Variable}"}));
  std::string line;
  while (site.ReadLine(line, 200, loop_)) {
  }
  EXPECT_EQ(CountLines(site, "\"property\":76"), 6) << "the count, two entries, three misses";
}

TEST_F(SiteCommands, TwoDevicesOnDifferentNetworksBehindARouter) {
  ZB_START_SITE(3);
  // Device 1001 on the driver's network, without a clock; device 2002 on network 5, reached
  // through the router in host 2.
  test::PeerProcess& local = StartDevice(1, 1001, R"({"clock":false})");
  test::PeerProcess& remote = StartDevice(2, 2002, R"({"remote":true})", "127.0.0.1", "47810");
  test::PeerProcess& router =
      StartPeer(2, "router.js", {"47808", "5", "127.0.0.1:47809", "127.0.0.1:47810"});
  int o = Connect();
  ASSERT_TRUE(WaitForDevices(o, 2, 20000))
      << local.TranscriptText() << remote.TranscriptText() << router.TranscriptText();

  Texts status = Results(Run(o, {"COMMAND=SITESTATUS"}));
  ASSERT_EQ(status.size(), 8u) << Join(status);
  const std::string remoteLine =
      status[5].find("#2002") != std::string::npos ? status[5] : status[6];
  EXPECT_EQ(remoteLine.rfind("Device #2002 / Network: 5 / Address: [7f][00][00][01][ba][c2] / "
                             "Vendor ID: 260 / Segmentation: No",
                             0),
            0u)
      << Join(status);

  // The local device does not answer its clock: the site time is the remote device's.
  EXPECT_EQ(Results(Run(o, {"COMMAND=SITETIME"})), (Texts{"SITETIME=01/15/2026 08:30:45", ""}));

  const std::string remoteAV = Object(kRemoteMac, 5, 2, 1);
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", "POINT={r}{" + remoteAV + "}{}{}"})),
            (Texts{"VALUE=10", ""}));
  EXPECT_EQ(Run(o, {"COMMAND=POINTMODIFY", "POINT={r}{" + remoteAV + "}{VALUE=12.5}{}"})[0],
            "COMMANDSTATUS=TRUE");
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", "POINT={r}{" + remoteAV + "}{}{}"})),
            (Texts{"VALUE=12.5", ""}));

  Texts objects = Results(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=GETPOINTSLIST"}, 60000));
  EXPECT_EQ(objects.size(), 12u) << Join(objects);
  EXPECT_NE(
      std::find(objects.begin(), objects.end(),
                "{" + remoteAV + "}{Remote Temp}{" + UnitsText(62) + "}{TRUE}{Analog}{Variable}"),
      objects.end())
      << Join(objects);

  EXPECT_EQ(Results(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=GETVENDORINFO",
                            "POINTADDRESS=" + Object(kRemoteMac, 5, 8, 2002)})),
            (Texts{"VENDORID=260", "MODELNAME=Site Box"}));

  // An alarm of the remote device comes through the router, and so does its acknowledgement.
  remote.Send(R"({"cmd":"notify","address":"127.0.0.1:47809"})");
  Texts alarms;
  for (int i = 0; i < 50 && alarms.empty(); ++i) {
    alarms = Results(Run(o, {"COMMAND=GETALARMS"}));
    if (alarms.empty()) Sleep(100);
  }
  ASSERT_EQ(alarms.size(), 1u) << router.TranscriptText();
  const size_t at = alarms[0].find("BND:");
  ASSERT_NE(at, std::string::npos) << alarms[0];
  const std::string bnd = alarms[0].substr(at + 4, alarms[0].find('}', at) - at - 4);
  EXPECT_EQ(bnd.substr(bnd.size() - 16), "00057F000001BAC2") << "network 5 and the device's MAC";
  EXPECT_EQ(Run(o, {"COMMAND=GETDATA", "DRIVERCOMMAND=ACKALARM", "BND=" + bnd,
                    "USERNAME=remote operator"})[0],
            "COMMANDSTATUS=TRUE");
  std::string line;
  EXPECT_TRUE(remote.WaitFor("\"ackAlarm\"", 5000, &line, loop_)) << remote.TranscriptText();
  EXPECT_NE(line.find("remote operator"), std::string::npos) << line;
  while (router.ReadLine(line, 100, loop_)) {
  }
  EXPECT_NE(router.TranscriptText().find("\"to\":\"remote\""), std::string::npos);
}

// "Current Date: mm/dd/yyyy" and "Current Time: hh:nn:ss" of SITESTATUS as a date-time value.
bool StatusClock(const Texts& status, double& value) {
  int mo, d, y, h, mi, se;
  if (status.size() < 2 ||
      std::sscanf(status[0].c_str(), "Current Date: %d/%d/%d", &mo, &d, &y) != 3 ||
      std::sscanf(status[1].c_str(), "Current Time: %d:%d:%d", &h, &mi, &se) != 3)
    return false;
  double date = 0, time = 0;
  if (!bacnet::TryEncodeDate(y, mo, d, date) || !bacnet::TryEncodeTime(h, mi, se, 0, time))
    return false;
  value = date + time;
  return true;
}

// The first device found never answers its clock; SITETIME waits for it, then takes the second
// device's clock, and SITESTATUS keeps showing that clock, not one ahead by the wait.
TEST_F(SiteCommands, ASilentFirstDeviceDoesNotShiftTheSiteClock) {
  ZB_START_SITE(3);
  constexpr double kMsPerDay = 86400000.0;
  constexpr double kAheadMs = 5025678;  // the clock device runs 1 h 23 min 45.678 s ahead
  test::PeerProcess& silent = StartDevice(1, 1001, R"({"silent":true})");
  test::PeerProcess& clock =
      StartDevice(2, 2002, R"({"remote":true,"iAmDelayMs":500,"clockOffsetMs":5025678})");
  int o = Connect();
  ASSERT_TRUE(WaitForDevices(o, 2)) << silent.TranscriptText() << clock.TranscriptText();
  Texts status = Results(Run(o, {"COMMAND=SITESTATUS"}));
  ASSERT_EQ(status.size(), 8u) << Join(status);
  ASSERT_EQ(status[5].rfind("Device #1001 ", 0), 0u) << "the silent device comes first";

  const double before = bacnet::LocalNow(loop_.clock());
  Texts t = Results(Run(o, {"COMMAND=SITETIME"}));
  const double after = bacnet::LocalNow(loop_.clock());
  ASSERT_EQ(t.size(), 2u) << Join(t);
  EXPECT_GT((after - before) * 86400, 1.5) << "the silent device was waited for";
  std::string line;
  EXPECT_TRUE(silent.WaitFor("\"ignored\"", 1000, &line, loop_)) << silent.TranscriptText();
  double siteTime = 0;
  ASSERT_TRUE(StatusClock({"Current Date: " + t[0].substr(9, 10),
                           "Current Time: " + t[0].substr(t[0].size() < 20 ? 0 : 20)},
                          siteTime))
      << t[0];
  EXPECT_GT((siteTime - before) * 86400 * 1000, kAheadMs - 1000) << t[0];
  EXPECT_LE((siteTime - after) * 86400 * 1000, kAheadMs) << t[0];

  // Each SITESTATUS shows the site clock truncated to the second, so the error e of the site
  // clock the driver keeps satisfies T <= E + e < T + 1 for the device's clock E during the
  // call. Samples at different fractions of a second narrow e down to [lo, hi].
  double lo = -1e9, hi = 1e9;
  for (int i = 0; i < 40 && !(lo >= -0.5 && hi <= 0.5); ++i) {
    const double e0 = bacnet::LocalNow(loop_.clock()) + kAheadMs / kMsPerDay;
    status = Results(Run(o, {"COMMAND=SITESTATUS"}));
    const double e1 = bacnet::LocalNow(loop_.clock()) + kAheadMs / kMsPerDay;
    double shown = 0;
    ASSERT_TRUE(StatusClock(status, shown)) << Join(status);
    lo = std::max(lo, (shown - e1) * 86400);
    hi = std::min(hi, (shown - e0) * 86400 + 1);
    Sleep(70);
  }
  EXPECT_LE(lo, hi) << "inconsistent samples";
  EXPECT_GE(lo, -0.5) << "the site clock is shown behind the device's";
  EXPECT_LE(hi, 0.5) << "the site clock is shown ahead of the device's";
}

}  // namespace
}  // namespace zb::e2e
