// The workers on a real session whose network layer is scripted: a small site model answers
// ReadProperty, WriteProperty, ReadRange and AcknowledgeAlarm requests.
#include "session/command_workers.h"

#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"
#include "session/bacnet_form.h"
#include "support/strings.h"
#include "tests/bacnet/app/device_test_stack.h"

namespace zb {
namespace {

using namespace bacnet;
using bacnet::devtest::Bytes;
using bacnet::devtest::ComplexAck;
using bacnet::devtest::ErrorPDU;
using bacnet::devtest::kPeerMac;
using bacnet::devtest::ScriptedNetwork;
using bacnet::devtest::SentAPDU;
using bacnet::devtest::SimpleAck;

Variant List(std::vector<Variant> items) { return Variant::MakeList(std::move(items)); }

using Key = std::tuple<int, int, int, int>;  // type, instance, property, index (-1 none)

struct Site {
  std::map<Key, std::string> values;  // encoded application-tagged value(s)
  std::vector<std::string> writes;    // "type:instance:property=<value part hex>"
  std::vector<std::pair<int, int>> ranges;
  std::vector<std::string> acks;  // service data of AcknowledgeAlarm requests
  int reads = 0;
  int trend_records = 0;
  bool fail_writes = false;
  bool fail_ranges = false;
  int refused_position = -1;  // a ReadRange from this position is refused
};

struct SessionRig {
  platform::ManualClock clock;
  platform::MessageLoop loop;
  platform::Desktop desktop{loop};
  ScriptedNetwork net;
  std::unique_ptr<TBACnetForm> form;
  Site site;

  SessionRig() {
    loop.SetClock(&clock);
    form = std::make_unique<TBACnetForm>(desktop);
    form->Stack.Application.Network = &net;
    form->Stack.Device.SetAPDUTimeout(200);
    form->Stack.Device.NumberOfAPDURetries = 0;
    EXPECT_TRUE(form->Stack.Device.Open(true));
    net.sent.clear();
    net.on_send = [this](const SentAPDU& s) { Respond(s); };
  }
  ~SessionRig() {
    net.on_send = nullptr;
    form.reset();
    loop.SetClock(nullptr);
  }

  void AddDevice(int instance, const std::string& mac = kPeerMac, int snet = 0) {
    std::string iam = Bytes({0x10, 0x00});
    iam += EncodeObjectIdentifier(kTagClassApplication, 0, 8, uint32_t(instance));
    iam += EncodeUnsigned(kTagClassApplication, 0, 1476);
    iam += EncodeEnumerated(kTagClassApplication, 0, 3);
    iam += EncodeUnsigned(kTagClassApplication, 0, 260);
    net.Receive(iam, mac, snet, true);
  }

  void Respond(const SentAPDU& s) {
    if (s.pdu.PDUType != kPDUConfirmedRequest) return;
    const int invoke = s.pdu.InvokeID;
    const Variant v = DecodeTaggedList(s.pdu.ServiceData);
    auto raw = [&v](int i) { return v[i][2].AsTextRaw(); };
    std::string answer;
    if (s.pdu.ServiceChoice == 0) {
      site.acks.push_back(s.pdu.ServiceData);
      answer = SimpleAck(invoke, 0);
    } else {
      int32_t type = 0, instance = 0;
      DecodeObjectIdentifier(raw(0), type, instance);
      const int prop = int(DecodeUnsigned(raw(1)));
      if (s.pdu.ServiceChoice == 12) {
        ++site.reads;
        int index = -1;
        std::string tail;
        if (v.Count() > 2) {
          index = int(DecodeUnsigned(raw(2)));
          tail = EncodeUnsigned(kTagClassContext, 2, uint32_t(index));
        }
        auto it = site.values.find({type, instance, prop, index});
        answer = it == site.values.end()
                     ? ErrorPDU(invoke, 12, 2, 32)
                     : ComplexAck(invoke, 12,
                                  EncodeObjectIdentifier(kTagClassContext, 0, uint32_t(type),
                                                         uint32_t(instance)) +
                                      EncodeUnsigned(kTagClassContext, 1, uint32_t(prop)) + tail +
                                      EncodeOpeningTag(3) + it->second + EncodeClosingTag(3));
      } else if (s.pdu.ServiceChoice == 15) {
        const size_t at = s.pdu.ServiceData.find('\x3e');
        site.writes.push_back(std::to_string(type) + ":" + std::to_string(instance) + ":" +
                              std::to_string(prop) + "=" +
                              BytesToHex(s.pdu.ServiceData.substr(at)));
        answer = site.fail_writes ? ErrorPDU(invoke, 15, 2, 40) : SimpleAck(invoke, 15);
      } else if (s.pdu.ServiceChoice == 26) {
        const int index = v[3][2].ToInt();
        const int n = v[4][2].ToInt();
        site.ranges.emplace_back(index, n);
        // Positions count from 1, as on a standard device; record k holds the value k.
        if (site.fail_ranges || index < 1 || index == site.refused_position) {
          answer = ErrorPDU(invoke, 26, 2, 32);
        } else {
          std::string records;
          int items = 0;
          for (int k = index; k < index + n && k <= site.trend_records; ++k, ++items) {
            records += EncodeOpeningTag(0);
            records += EncodeDate(kTagClassApplication, 0,
                                  std::string("\x7e\x0c", 2) + char(1 + k / 24) + '\x02');
            records += EncodeTime(kTagClassApplication, 0,
                                  std::string(1, char(k % 24)) + std::string(3, '\0'));
            records += EncodeClosingTag(0) + EncodeOpeningTag(1) +
                       EncodeReal(kTagClassContext, 2, k) + EncodeClosingTag(1);
          }
          answer = ComplexAck(invoke, 26,
                              EncodeObjectIdentifier(kTagClassContext, 0, 20, 1) +
                                  EncodeUnsigned(kTagClassContext, 1, 131) +
                                  EncodeBitString(kTagClassContext, 3, "000") +
                                  EncodeUnsigned(kTagClassContext, 4, uint32_t(items)) +
                                  EncodeOpeningTag(5) + records + EncodeClosingTag(5));
        }
      }
    }
    loop.Post([this, answer] { net.Receive(answer); });
  }

  TWorkerOutcome Run(int kind, std::vector<Variant> params) {
    form->Queue.CommandParams = List(std::move(params));
    TCommandWorkers workers(form->WorkerContext());
    TWorkerOutcome out;
    auto run = [](TCommandWorkers& w, int k, TWorkerOutcome& o) -> platform::Task<> {
      o = co_await w.Run(k);
    }(workers, kind, out);
    run.Start();
    for (int i = 0; i < 10000 && !run.Done(); ++i) loop.WaitAndProcess(1000);
    EXPECT_TRUE(run.Done());
    return out;
  }
  void Set(int type, int instance, int prop, const std::string& value, int index = -1) {
    site.values[{type, instance, prop, index}] = value;
  }
};

std::string Real(double v) { return EncodeReal(kTagClassApplication, 0, v); }
std::string Text(const std::string& s) { return EncodeCharacterString(kTagClassApplication, 0, s); }
std::string Enum(int v) { return EncodeEnumerated(kTagClassApplication, 0, uint32_t(v)); }

std::vector<std::string> Texts(const Variant& v) {
  std::vector<std::string> out;
  if (v.IsArray())
    for (const Variant& e : v.Elements()) out.push_back(e.IsOctets() ? "<octets>" : e.ToText());
  return out;
}

TEST(PointModifyPlanTest, GroupRules) {
  TPointModifyPlan p = PlanPointModify("{n}{2-AIN#1}{VALUE=\"42\"}{DISABLED=TRUE}");
  EXPECT_EQ(p.Address, "2-AIN#1");
  EXPECT_TRUE(p.ValueRequested);
  EXPECT_EQ(p.Value, "\"42\"");
  EXPECT_EQ(p.OutOfService, 1);
  p = PlanPointModify("{n}{2-AIN#1}{x=a=b}{FALSE}");
  EXPECT_EQ(p.Value, "a=b");
  EXPECT_EQ(p.OutOfService, 0);
  p = PlanPointModify("{n}{2-AIN#1}{742}{true}");
  EXPECT_EQ(p.Value, "42") << "a group without = loses its first character";
  EXPECT_EQ(p.OutOfService, -1) << "TRUE is matched case-sensitively";
  p = PlanPointModify("{n}{2-AIN#1}{VALUE=}{TRUEFALSE}");
  EXPECT_FALSE(p.ValueRequested);
  EXPECT_EQ(p.OutOfService, 1) << "TRUE wins over FALSE";
  p = PlanPointModify("{n}{2-AIN#1}{7}");
  EXPECT_FALSE(p.ValueRequested);
  EXPECT_EQ(p.OutOfService, -1);
}

TEST(PointCommandsTest, ModifyWritesOutOfServiceOnly) {
  SessionRig r;
  TWorkerOutcome o = r.Run(kCommandPointModify,
                           {"COMMAND=POINTMODIFY", "POINT={n}{10.0.0.2-AVAL#1}{VALUE=}{TRUE}"});
  EXPECT_EQ(o.OperationState, 2);
  ASSERT_EQ(r.site.writes.size(), 1u);
  EXPECT_EQ(r.site.writes[0],
            "2:1:81=3E11"
            "3F"
            "490A");
}

TEST(PointCommandsTest, ModifyWritesTheValueAndCachesIt) {
  SessionRig r;
  std::vector<std::string> names;
  r.form->Points.InstallPointList(List({"POINT0={a}{10.0.0.2-AVAL#1}{}{}"}), names);
  r.form->Points.PointsReplaced = false;
  r.form->Points.PointTable.Data(0).ErrorCount = 3;
  TWorkerOutcome o = r.Run(kCommandPointModify, {"POINT={n}{10.0.0.2-AVAL#1}{VALUE=\"42.5\"}{}"});
  EXPECT_EQ(o.OperationState, 2);
  ASSERT_EQ(r.site.writes.size(), 1u);
  EXPECT_EQ(r.site.writes[0], "2:1:85=3E" + BytesToHex(Real(42.5)) + "3F490A");
  EXPECT_EQ(r.form->Points.PointTable.Data(0).Value, "42.5");
  EXPECT_EQ(r.form->Points.PointTable.Data(0).ErrorCount, 0) << "back in the scan";
}

TEST(PointCommandsTest, ModifyOfANamedValuePropertyUsesTheObjectTypesDataType) {
  SessionRig r;
  EXPECT_EQ(
      r.Run(kCommandPointModify, {"POINT={n}{10.0.0.2-AOUT#1:85}{VALUE=0.1}{}"}).OperationState, 2);
  EXPECT_EQ(
      r.Run(kCommandPointModify, {"POINT={n}{10.0.0.2-BOUT#2:104}{VALUE=1}{}"}).OperationState, 2);
  EXPECT_EQ(r.site.writes, (std::vector<std::string>{"1:1:85=3E" + BytesToHex(Real(0.1)) + "3F490A",
                                                     "4:2:104=3E91013F490A"}));
}

TEST(PointCommandsTest, ModifyFailures) {
  SessionRig r;
  r.site.fail_writes = true;
  TWorkerOutcome o = r.Run(kCommandPointModify, {"POINT={n}{10.0.0.2-AVAL#1}{VALUE=1}{}"});
  EXPECT_EQ(o.OperationState, 3);
  EXPECT_EQ(o.ErrorText, "Could not modify point.");
  r.site.fail_writes = false;
  o = r.Run(kCommandPointModify, {"POINT={n}{10.0.0.2-AVAL#1}{VALUE=}{}"});
  EXPECT_EQ(o.OperationState, 3) << "nothing requested";
  EXPECT_TRUE(r.site.writes.size() == 1u);
  o = r.Run(kCommandPointModify, {"COMMAND=POINTMODIFY"});
  EXPECT_EQ(o.OperationState, 3);
  r.form->Offline = true;
  o = r.Run(kCommandPointModify, {"POINT={n}{10.0.0.2-AVAL#1}{VALUE=1}{}"});
  EXPECT_EQ(o.OperationState, 3);
  EXPECT_EQ(r.site.writes.size(), 1u);
}

TEST(PointCommandsTest, GetValueAndDisabled) {
  SessionRig r;
  r.Set(2, 1, 85, Real(72.5));
  r.Set(2, 1, 81, EncodeBoolean(kTagClassApplication, 0, true));
  r.Set(2, 1, 77, Text("Room"));
  TWorkerOutcome o = r.Run(kCommandPointGetValue, {"POINT={n}{10.0.0.2-AVAL#1}{}{}"});
  EXPECT_EQ(o.OperationState, 2);
  EXPECT_EQ(Texts(o.CommandResult), (std::vector<std::string>{"VALUE=72.5", ""}));
  o = r.Run(kCommandPointGetValue, {"POINT={n}{10.0.0.2-AVAL#1:77}{}{}"});
  EXPECT_EQ(Texts(o.CommandResult), (std::vector<std::string>{"VALUE=Room", ""}));
  r.Set(2, 2, 85, Real(0.1));
  r.Set(2, 3, 85, Real(1e-5));
  o = r.Run(kCommandPointGetValue, {"POINT={n}{10.0.0.2-AVAL#2}{}{}"});
  EXPECT_EQ(Texts(o.CommandResult), (std::vector<std::string>{"VALUE=0.1", ""}));
  o = r.Run(kCommandPointGetValue, {"POINT={n}{10.0.0.2-AVAL#3}{}{}"});
  EXPECT_EQ(Texts(o.CommandResult), (std::vector<std::string>{"VALUE=1E-05", ""}));
  o = r.Run(kCommandPointGetDisabled, {"POINT={n}{10.0.0.2-AVAL#1}{}{}"});
  EXPECT_EQ(Texts(o.CommandResult), (std::vector<std::string>{"DISABLED=TRUE", ""}));
  o = r.Run(kCommandPointGetValue, {"POINT={n}{10.0.0.2-AVAL#9}{}{}"});
  EXPECT_EQ(o.OperationState, 3);
  EXPECT_EQ(o.ErrorText, "Could not read data from panel.");
  o = r.Run(kCommandPointGetDisabled, {"POINT={n}{10.0.0.2-AVAL#9}{}{}"});
  EXPECT_EQ(o.ErrorText, "Could not modify point.");
}

TEST(PointCommandsTest, VerifyAndCachedList) {
  SessionRig r;
  TWorkerOutcome o = r.Run(kCommandPointVerify, {"POINTNAME=Room", "POINTADDRESS=10.0.0.2-AVAL#1"});
  EXPECT_EQ(o.OperationState, 2);
  ASSERT_EQ(o.CommandResult.Count(), 2);
  EXPECT_EQ(o.CommandResult[0].ToText(), "POINTNAME=Room");
  o = r.Run(kCommandPointVerify, {"POINTNAME=Room", "POINTADDRESS=nonsense"});
  EXPECT_EQ(o.OperationState, 3);
  EXPECT_EQ(Texts(o.CommandResult),
            (std::vector<std::string>{
                "ERRORSTRING=Point Address is Invalid. See help for more information."}));
  EXPECT_EQ(r.site.reads, 0);

  std::vector<std::string> names;
  r.form->Points.InstallPointList(
      List({"POINT0={a}{2-AIN#1}{}{}", "POINT1={b}{2-AIN#2}{}{}", "POINT2={c}{2-AIN#3}{}{}"}),
      names);
  o = r.Run(kCommandGetPointsList, {});
  EXPECT_EQ(o.OperationState, 2);
  EXPECT_EQ(o.CommandResult.Count(), 0);
  r.form->Points.PointsReplaced = false;
  r.form->Points.StorePointValue("2-AIN#2", "1");
  r.form->Points.StorePointValue("2-AIN#3", "ON");
  o = r.Run(kCommandGetPointsList, {});
  EXPECT_EQ(Texts(o.CommandResult), (std::vector<std::string>{"POINT0={2-AIN#2}{VALUE=1}",
                                                              "POINT1={2-AIN#3}{VALUE=TRUE}"}));
}

TEST(SiteCommandsTest, StatusLinesAndTime) {
  SessionRig r;
  TWorkerOutcome o = r.Run(kCommandSiteStatus, {});
  ASSERT_EQ(o.CommandResult.Count(), 6);
  EXPECT_EQ(o.CommandResult[3].ToText(), "0 Devices Found:");
  r.AddDevice(1234);
  o = r.Run(kCommandSiteStatus, {});
  ASSERT_EQ(o.CommandResult.Count(), 7);
  EXPECT_EQ(o.CommandResult[5].ToText(),
            "Device #1234 / Network: 0 / Address: [0a][00][00][02][ba][c0] / Vendor ID: 260 / "
            "Segmentation: No / Max APDU Length: 1476");
  EXPECT_EQ(o.CommandResult[6].ToText(), "");
  EXPECT_EQ(o.CommandResult[0].ToText().rfind("Current Date: ", 0), 0u);

  r.Set(8, 1234, 56, EncodeDate(kTagClassApplication, 0, std::string("\x64\x01\x02\xff", 4)));
  r.Set(8, 1234, 57, EncodeTime(kTagClassApplication, 0, std::string("\x03\x04\x05\x00", 4)));
  o = r.Run(kCommandSiteTime, {});
  EXPECT_EQ(o.OperationState, 2);
  EXPECT_EQ(Texts(o.CommandResult), (std::vector<std::string>{"SITETIME=01/02/2000 03:04:05", ""}));
  EXPECT_GT(r.form->SiteClockOffset, 9000);
  o = r.Run(kCommandSiteStatus, {});
  EXPECT_EQ(o.CommandResult[0].ToText(), "Current Date: 01/02/2000");

  r.form->Offline = true;
  r.form->Info.Description = "Plant";
  o = r.Run(kCommandSiteStatus, {});
  EXPECT_EQ(Texts(o.CommandResult), (std::vector<std::string>{"Plant", "Offline"}));
}

TEST(SiteCommandsTest, UnspecifiedSiteClockFails) {
  SessionRig r;
  r.AddDevice(1);
  r.Set(8, 1, 56, EncodeDate(kTagClassApplication, 0, std::string("\x64\xff\x02\xff", 4)));
  r.Set(8, 1, 57, EncodeTime(kTagClassApplication, 0, std::string("\x07\x08\x09\x00", 4)));
  TWorkerOutcome o = r.Run(kCommandSiteTime, {});
  EXPECT_EQ(o.OperationState, 3);
  EXPECT_EQ(o.ErrorText, "Could not read data from panel.");
}

TEST(SiteCommandsTest, SiteTimeSkipsADeviceThatDoesNotAnswerBoth) {
  SessionRig r;
  r.AddDevice(1);
  r.AddDevice(2);
  r.Set(8, 1, 56, EncodeDate(kTagClassApplication, 0, std::string("\x64\x01\x02\xff", 4)));
  r.Set(8, 2, 56, EncodeDate(kTagClassApplication, 0, std::string("\x65\x05\x06\xff", 4)));
  r.Set(8, 2, 57, EncodeTime(kTagClassApplication, 0, std::string("\x07\x08\x09\x00", 4)));
  TWorkerOutcome o = r.Run(kCommandSiteTime, {});
  EXPECT_EQ(o.CommandResult[0].ToText(), "SITETIME=05/06/2001 07:08:09");
}

// Hundredths sharpen the offset but never show; unspecified (255) ones count as none.
TEST(SiteCommandsTest, SiteTimeHundredthsGoIntoTheOffsetOnly) {
  SessionRig r;
  r.AddDevice(1);
  r.Set(8, 1, 56, EncodeDate(kTagClassApplication, 0, std::string("\x64\x01\x02\xff", 4)));
  r.Set(8, 1, 57, EncodeTime(kTagClassApplication, 0, std::string("\x03\x04\x05\x63", 4)));
  double before = LocalNow(r.loop.clock());
  TWorkerOutcome o = r.Run(kCommandSiteTime, {});
  EXPECT_EQ(o.CommandResult[0].ToText(), "SITETIME=01/02/2000 03:04:05");
  double site = 0, t = 0;
  ASSERT_TRUE(TryEncodeDate(2000, 1, 2, site));
  ASSERT_TRUE(TryEncodeTime(3, 4, 5, 990, t));
  EXPECT_GE(r.form->SiteClockOffset, before - (site + t));
  EXPECT_LE(r.form->SiteClockOffset, LocalNow(r.loop.clock()) - (site + t));

  r.Set(8, 1, 57, EncodeTime(kTagClassApplication, 0, std::string("\x03\x04\x05\xff", 4)));
  before = LocalNow(r.loop.clock());
  o = r.Run(kCommandSiteTime, {});
  EXPECT_EQ(o.OperationState, 2);
  ASSERT_TRUE(TryEncodeTime(3, 4, 5, 0, t));
  EXPECT_GE(r.form->SiteClockOffset, before - (site + t));
  EXPECT_LE(r.form->SiteClockOffset, LocalNow(r.loop.clock()) - (site + t));
}

TEST(DriverCommandsTest, ObjectListOfABoundDevice) {
  SessionRig r;
  r.AddDevice(1234);
  r.Set(8, 1234, 76, EncodeUnsigned(kTagClassApplication, 0, 4), 0);
  const int objects[][2] = {{0, 3}, {4, 1}, {13, 2}, {8, 1234}};
  for (int j = 0; j < 4; ++j)
    r.Set(8, 1234, 76,
          EncodeObjectIdentifier(kTagClassApplication, 0, objects[j][0], objects[j][1]), j + 1);
  r.Set(0, 3, 77, Text("Outside Air"));
  r.Set(0, 3, 117, Enum(64));
  r.Set(4, 1, 77, Text("Fan"));
  r.Set(4, 1, 4, Text("Running"));
  r.Set(13, 2, 77, Text("Mode"));
  // the device object answers no name: no element
  TWorkerOutcome o = r.Run(kCommandGetData, {"DRIVERCOMMAND=getpointslist"});
  EXPECT_EQ(o.OperationState, 2);
  EXPECT_EQ(Texts(o.CommandResult),
            (std::vector<std::string>{
                "{0A:00:00:02:BA:C0-AIN#3}{Outside Air}{\xB0"
                "F}{TRUE}{Analog}{Input}",
                "{0A:00:00:02:BA:C0-BOUT#1}{Fan}{Off/Running}{TRUE}{Digital}{Output}",
                "{0A:00:00:02:BA:C0-MSI#2}{Mode}{}{TRUE}{Analog}{Input}"}));
}

TEST(DriverCommandsTest, VendorInfoIsReadOncePerDevice) {
  SessionRig r;
  r.Set(8, 1234, 120, EncodeUnsigned(kTagClassApplication, 0, 260));
  r.Set(8, 1234, 70, Text("Box~7"));
  const std::vector<Variant> ask = {"DRIVERCOMMAND=GETVENDORINFO",
                                    "POINTADDRESS=10.0.0.2-DEV#1234"};
  TWorkerOutcome o = r.Run(kCommandGetData, ask);
  EXPECT_EQ(Texts(o.CommandResult), (std::vector<std::string>{"VENDORID=260", "MODELNAME=Box 7"}));
  const int reads = r.site.reads;
  o = r.Run(kCommandGetData, ask);
  EXPECT_EQ(Texts(o.CommandResult), (std::vector<std::string>{"VENDORID=260", "MODELNAME=Box 7"}));
  EXPECT_EQ(r.site.reads, reads);
  // Same station on another network is another device.
  o = r.Run(kCommandGetData, {"DRIVERCOMMAND=GETVENDORINFO", "POINTADDRESS=[10]10.0.0.2-DEV#1234"});
  EXPECT_GT(r.site.reads, reads);
  EXPECT_EQ(r.form->VendorCache.size(), 2u);
  o = r.Run(kCommandGetData, {"DRIVERCOMMAND=GETVENDORINFO", "POINTADDRESS=10.0.0.3-DEV#77"});
  EXPECT_EQ(Texts(o.CommandResult), (std::vector<std::string>{"", ""}));
  EXPECT_EQ(o.OperationState, 2);
  o = r.Run(kCommandGetData, {"DRIVERCOMMAND=NOSUCH"});
  EXPECT_EQ(o.OperationState, 3);
  EXPECT_FALSE(o.ErrorTextSet);
}

TEST(DriverCommandsTest, RawPropertyReadsAndWrites) {
  SessionRig r;
  r.Set(2, 1, 85, Real(1));
  TWorkerOutcome o =
      r.Run(kCommandGetData, {"DRIVERCOMMAND=READPROPERTIES",
                              "POINTADDRESS={a}{b}{10.0.0.2-AVAL#1}", "PROP0=85", "PROP1=77"});
  EXPECT_EQ(o.OperationState, 2);
  ASSERT_EQ(o.CommandResult.Count(), 3);
  EXPECT_EQ(o.CommandResult[0].ToText(),
            "PROP85=0C008000011955"
            "3E" +
                BytesToHex(Real(1)) + "3F");
  EXPECT_EQ(o.CommandResult[1].ToText(),
            "PROP77=ERROR: Error Class: property (2) - Reason: unknown-property (32)");
  o = r.Run(kCommandGetData,
            {"DRIVERCOMMAND=READPROPERTIES", "POINTADDRESS={a}{b}{10.0.0.2-AVAL#1}"});
  EXPECT_EQ(Texts(o.CommandResult), std::vector<std::string>{""});

  o = r.Run(kCommandGetData,
            {"DRIVERCOMMAND=WRITEPROPERTIES", "POINTADDRESS={a}{b}{10.0.0.2-AVAL#1}", "PROP0=85",
             "DATA0=3E44428A00003F"});
  EXPECT_EQ(Texts(o.CommandResult), (std::vector<std::string>{"RESULT85=", ""}));
  EXPECT_EQ(r.site.writes.back(), "2:1:85=3E44428A00003F");
  r.site.fail_writes = true;
  o = r.Run(kCommandGetData,
            {"DRIVERCOMMAND=WRITEPROPERTIES", "POINTADDRESS={a}{b}{10.0.0.2-AVAL#1}", "PROP0=85",
             "DATA0=3E44428A00003F"});
  EXPECT_EQ(o.CommandResult[0].ToText(),
            "RESULT0=Error Class: property (2) - Reason: write-access-denied (40)");
}

// An unconfirmed event notification (out of range, "Boiler fault") from device 1234.
std::string BoilerFaultNotification(int process = 7) {
  std::string n = Bytes({0x10, 0x03});
  n += EncodeUnsigned(kTagClassContext, 0, static_cast<uint32_t>(process));
  n += EncodeObjectIdentifier(kTagClassContext, 1, 8, 1234);
  n += EncodeObjectIdentifier(kTagClassContext, 2, 0, 3);
  n += EncodeOpeningTag(3) + EncodeOpeningTag(2);
  n += EncodeDate(kTagClassApplication, 0, std::string("\x7e\x0c\x08\x02", 4));
  n += EncodeTime(kTagClassApplication, 0, std::string("\x0e\x05\x09\x00", 4));
  n += EncodeClosingTag(2) + EncodeClosingTag(3);
  n += EncodeUnsigned(kTagClassContext, 4, 1) + EncodeUnsigned(kTagClassContext, 5, 100);
  n += EncodeEnumerated(kTagClassContext, 6, 5);
  n += EncodeCharacterString(kTagClassContext, 7, "{I2<Operator note>Boiler fault}");
  n += EncodeEnumerated(kTagClassContext, 8, 0);
  n += EncodeBoolean(kTagClassContext, 9, true);
  n += EncodeEnumerated(kTagClassContext, 10, 0) + EncodeEnumerated(kTagClassContext, 11, 3);
  n += EncodeOpeningTag(12) + EncodeOpeningTag(5);
  n += EncodeReal(kTagClassContext, 0, 88.5) + EncodeBitString(kTagClassContext, 1, "1000");
  n += EncodeReal(kTagClassContext, 2, 1) + EncodeReal(kTagClassContext, 3, 80);
  n += EncodeClosingTag(5) + EncodeClosingTag(12);
  return n;
}

TEST(AlarmCommandsTest, NotificationsBecomeLinesFetchedOnceAndAcknowledged) {
  SessionRig r;
  const std::string n = BoilerFaultNotification();
  r.net.Receive(n, kPeerMac, 0, false);
  ASSERT_EQ(r.form->AlarmBuffer.size(), 1u);
  TWorkerOutcome o = r.Run(kCommandGetAlarms, {});
  ASSERT_EQ(o.CommandResult.Count(), 1);
  const std::string line = o.CommandResult[0].ToText();
  const std::string prefix = "ALARM0={12/08/2026 14:05}{Boiler fault (Value=88.50)BND:";
  ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
  EXPECT_NE(line.find("}{3}{2}{TRUE}{Operator note}"), std::string::npos) << line;
  EXPECT_EQ(r.Run(kCommandGetAlarms, {}).CommandResult.Count(), 0);

  const std::string bnd = line.substr(prefix.size(), line.find('}', prefix.size()) - prefix.size());
  o = r.Run(kCommandGetData, {"DRIVERCOMMAND=ACKALARM", "BND=" + bnd, "USERNAME=op"});
  EXPECT_EQ(o.OperationState, 2);
  ASSERT_EQ(r.site.acks.size(), 1u);
  const Variant ack = DecodeTaggedList(r.site.acks[0]);
  EXPECT_EQ(FindTaggedValue(ack, kElementContext, 4, ""), std::string("\0op", 3));
  o = r.Run(kCommandGetData, {"DRIVERCOMMAND=ACKALARM", "BND=" + bnd});
  EXPECT_EQ(o.OperationState, 3);
  EXPECT_EQ(o.ErrorText, "Could not acknowledge the alarm.");
}

TEST(AlarmCommandsTest, AFullBufferLogsEveryDropWithARunningCount) {
  SessionRig r;
  for (int i = 0; i < 10000; ++i) r.net.Receive(BoilerFaultNotification(i), kPeerMac, 0, false);
  ASSERT_EQ(r.form->AlarmBuffer.size(), 10000u);
  EXPECT_EQ(r.form->AlarmsDropped, 0);
  const std::string first = r.form->AlarmBuffer.front();
  for (int i = 0; i < 3; ++i) r.net.Receive(BoilerFaultNotification(90000 + i), kPeerMac, 0, false);
  EXPECT_EQ(r.form->AlarmBuffer.size(), 10000u);
  EXPECT_EQ(r.form->AlarmsDropped, 3);
  EXPECT_NE(r.form->AlarmBuffer.front(), first);
  const auto& log = r.form->LogMemo.Lines();
  std::vector<std::string> drops;
  for (const std::string& l : log)
    if (l.rfind("Alarm buffer full", 0) == 0) drops.push_back(l);
  EXPECT_EQ(drops, (std::vector<std::string>{
                       "Alarm buffer full (10000): oldest alarm dropped, 1 dropped so far",
                       "Alarm buffer full (10000): oldest alarm dropped, 2 dropped so far",
                       "Alarm buffer full (10000): oldest alarm dropped, 3 dropped so far"}));
  // Fetching empties the buffer; the count of losses stays for whoever reads the log.
  EXPECT_EQ(r.Run(kCommandGetAlarms, {}).CommandResult.Count(), 10000);
  EXPECT_EQ(r.form->AlarmsDropped, 3);
}

TEST(TrendCommandsTest, ThirtyRecordsInThreeRequests) {
  SessionRig r;
  r.Set(20, 1, 141, EncodeUnsigned(kTagClassApplication, 0, 30));
  r.site.trend_records = 30;
  TWorkerOutcome o =
      r.Run(kCommandGetTrendData, {"COMMAND=GETTRENDDATA", "X={a}{b}{10.0.0.2-TRN#1}", "Y=2"});
  EXPECT_EQ(o.OperationState, 2);
  EXPECT_EQ(r.site.ranges, (std::vector<std::pair<int, int>>{{1, 12}, {13, 12}, {25, 6}}));
  ASSERT_EQ(o.CommandResult.Count(), 2);
  ASSERT_TRUE(o.CommandResult[0].IsOctets());
  EXPECT_EQ(o.CommandResult[0].AsTextRaw().size(), 16u * 30 + 1);
  EXPECT_EQ(o.CommandResult[1].ToText(), "Y=2");
  ASSERT_EQ(r.form->TrendCount(), 30);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(r.form->TrendBuffer.Record(i).Value, i + 1);

  // A refused request costs its own records only.
  r.site.ranges.clear();
  r.site.refused_position = 13;
  o = r.Run(kCommandGetTrendData, {"COMMAND=GETTRENDDATA", "X={a}{b}{10.0.0.2-TRN#1}"});
  EXPECT_EQ(o.OperationState, 2);
  EXPECT_EQ(r.site.ranges.size(), 3u);
  ASSERT_EQ(r.form->TrendCount(), 18);
  EXPECT_EQ(r.form->TrendBuffer.Record(11).Value, 12);
  EXPECT_EQ(r.form->TrendBuffer.Record(12).Value, 25);
  EXPECT_EQ(r.form->TrendBuffer.Record(17).Value, 30);
}

TEST(TrendCommandsTest, LongLogIsCappedAndErrorsGiveNoRecords) {
  SessionRig r;
  r.Set(20, 1, 141, EncodeUnsigned(kTagClassApplication, 0, 200));
  r.site.trend_records = 200;
  TWorkerOutcome o =
      r.Run(kCommandGetTrendData, {"COMMAND=GETTRENDDATA", "X={a}{b}{10.0.0.2-TRN#1}"});
  EXPECT_EQ(r.site.ranges.size(), 9u);
  ASSERT_EQ(r.form->TrendCount(), 108);
  EXPECT_EQ(r.form->TrendBuffer.Record(0).Value, 1) << "the first record";
  EXPECT_EQ(r.form->TrendBuffer.Record(11).Value, 12);
  EXPECT_EQ(r.form->TrendBuffer.Record(12).Value, 105);
  EXPECT_EQ(r.form->TrendBuffer.Record(107).Value, 200) << "the newest record";
  EXPECT_EQ(o.CommandResult[0].AsTextRaw().size(), 16u * 108 + 1);
  r.site.fail_ranges = true;
  o = r.Run(kCommandGetTrendData, {"COMMAND=GETTRENDDATA", "X={a}{b}{10.0.0.2-TRN#1}"});
  EXPECT_EQ(o.OperationState, 2);
  EXPECT_EQ(Texts(o.CommandResult), std::vector<std::string>{""});
  o = r.Run(kCommandGetTrendData, {"COMMAND=GETTRENDDATA", "X={a}{b}{10.0.0.2-AIN#1}"});
  EXPECT_EQ(Texts(o.CommandResult), std::vector<std::string>{""});
}

}  // namespace
}  // namespace zb
