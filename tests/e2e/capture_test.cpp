// `zelbacnet capture` on live sessions: a BACnet/IP session with reads, a write and a segmented
// answer, and a PTP session with a read over the serial line. tshark reads every captured frame
// down to BACnet, none malformed, and there are exactly as many as the session's trace shows.
#include <algorithm>

#include "commands_harness.h"
#include "tests/e2e/capture_referee.h"
#include "tests/e2e/ptp_harness.h"

namespace zb::e2e {
namespace {

// The session window's trace as the window view shows it.
Texts TraceLines(test::HostClient& host) {
  platform::Json snap = host.AskJson(R"({"id":9000,"op":"windows","lines":1000})");
  const platform::Json* ws = snap.Find("windows");
  if (!ws) return {"<no windows>"};
  for (const platform::Json& w : ws->Items()) {
    if (w.Find("class")->AsString() != "TBACnetForm") continue;
    for (const platform::Json& c : w.Find("controls")->Items()) {
      if (c.Find("name")->AsString() != "TraceMemo") continue;
      Texts out;
      for (const platform::Json& l : c.Find("lines")->Items()) out.push_back(l.AsString());
      return out;
    }
  }
  return {"<no trace>"};
}

int CountFrom(const Texts& lines, size_t from, const std::vector<std::string>& parts) {
  int n = 0;
  for (size_t i = from; i < lines.size(); ++i)
    for (const std::string& p : parts)
      if (lines[i].find(p) != std::string::npos) {
        ++n;
        break;
      }
  return n;
}

std::string CaptureFile(const char* name) {
  return "/tmp/zbcap-" + std::to_string(getpid()) + "-" + name + ".pcap";
}

class CaptureBIP : public CommandsTest {};

TEST_F(CaptureBIP, ReadsWriteAndSegmentsAllDecodeAndMatchTheTrace) {
  if (!test::RunCommand("tshark --version")) GTEST_SKIP() << "tshark not installed";
  ZB_START_SITE(3);
  test::PeerProcess& site = StartDevice(1, 1001);
  test::PeerProcess& client =
      StartPeer(2, "foreign_client.js", {"0.0.0.0", "47808", "255.255.255.255"});
  int o = Connect();
  ASSERT_TRUE(WaitForDevices(o, 1)) << site.TranscriptText();
  Sleep(300);

  const std::string file = CaptureFile("bip");
  CaptureTool tool;
  ASSERT_TRUE(tool.Start(socket_, "Site", file));
  ASSERT_TRUE(tool.WaitStarted(10000)) << tool.Log();
  const Texts before = TraceLines(host_);

  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", "POINT={B}{10.47.0.2-AVAL#1}{}{}"})),
            (Texts{"VALUE=21.5", ""}));
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", "POINT={x}{10.47.0.2-AVAL#1:77}{}{}"})),
            (Texts{"VALUE=Boiler Temp", ""}));
  EXPECT_EQ(Run(o, {"COMMAND=POINTMODIFY", "POINT={B}{10.47.0.2-AVAL#1}{VALUE=\"30.5\"}{}"})[0],
            "COMMANDSTATUS=TRUE");
  ASSERT_TRUE(site.WaitFor("\"value\":30.5", 5000, nullptr, loop_)) << site.TranscriptText();
  // Device texts, each asked three times, in 206-octet APDUs: the driver answers in segments.
  client.Send(R"({"cmd":"readMultiple","address":"10.47.0.1:47808","type":8,"instance":135,)"
              R"("properties":[77,28,70,121,12,44,77,28,70,121,12,44,77,28,70,121,12,44,97,96],)"
              R"("maxApdu":2})");
  std::string line;
  ASSERT_TRUE(client.WaitFor("\"readMultiple\"", 15000, &line, loop_)) << client.TranscriptText();
  Sleep(500);

  const Texts after = TraceLines(host_);
  EXPECT_EQ(tool.Stop(), 0) << tool.Log();
  ASSERT_GE(after.size(), before.size());
  const int traced = CountFrom(after, before.size(), {"SendPacket: ", "ReceivePacket: "});

  std::string error;
  std::vector<DecodedFrame> frames = Tshark(file, error);
  ASSERT_TRUE(error.empty()) << error;
  EXPECT_EQ(static_cast<int>(frames.size()), traced) << tool.Log();
  int segmented = 0, writes = 0;
  for (const DecodedFrame& f : frames) {
    EXPECT_FALSE(f.Bad) << f.Row;
    EXPECT_NE(f.Protocols.find("eth:ethertype:ip:udp:bvlc:bacnet"), std::string::npos) << f.Row;
  }
  // What the frames carried, in Wireshark's words.
  std::string detail;
  test::RunCommand("tshark -n -r " + file +
                   " -Y 'bacapp.type == 3 && bacapp.segmented_request "
                   "== 1' -T fields -e frame.number > " +
                   file + ".seg");
  test::RunCommand("tshark -n -r " + file +
                   " -Y 'bacapp.confirmed_service == 15' -T fields -e "
                   "frame.number > " +
                   file + ".wr");
  auto lines_of = [](const std::string& path) {
    int n = 0;
    if (FILE* f = fopen(path.c_str(), "r")) {
      for (int c; (c = fgetc(f)) != EOF;) n += c == '\n';
      fclose(f);
    }
    unlink(path.c_str());
    return n;
  };
  segmented = lines_of(file + ".seg");
  writes = lines_of(file + ".wr");
  EXPECT_GE(segmented, 2) << "the Device object left in several segments";
  EXPECT_GE(writes, 1) << "the WriteProperty request";
  std::printf("captured %zu frames (trace %d), %d segments, %d write frames, malformed 0\n",
              frames.size(), traced, segmented, writes);
  if (!HasFailure()) tool.Remove();
}

class CapturePTP : public PTPServerTest {};

TEST_F(CapturePTP, NPDUsOfTheSerialLineDecodeAndMatchTheTrace) {
  if (!test::RunCommand("tshark --version")) GTEST_SKIP() << "tshark not installed";
  CableToDevice();
  StartServer();
  if (IsSkipped() || HasFatalFailure()) return;
  int o = Arm();
  ASSERT_EQ(ConnectAndPoll(o, DirectParams())[0], "COMMANDSTATUS=TRUE") << server.Log();
  Pump(300);

  const std::string file = CaptureFile("ptp");
  CaptureTool tool;
  ASSERT_TRUE(tool.Start(server.socket(), "Line", file));
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  struct stat st {};
  while ((stat(file.c_str(), &st) != 0 || st.st_size < 24) &&
         std::chrono::steady_clock::now() < end)
    Pump(20);
  ASSERT_GE(st.st_size, 24) << tool.Log();
  const Texts before = View("TraceMemo");

  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", kPoint})), (Texts{"VALUE=21.5", ""}));
  EXPECT_EQ(Results(Run(o, {"COMMAND=POINTGETVALUE", "POINT={x}{" + kAV1 + ":77}{}{}"})),
            (Texts{"VALUE=Boiler Temp", ""}));
  Pump(500);
  const Texts after = View("TraceMemo");
  EXPECT_EQ(tool.Stop(), 0) << tool.Log();
  ASSERT_GE(after.size(), before.size());
  // Data frames (types 02 and 03) the driver sent, and those it received.
  const int traced = CountFrom(
      after, before.size(), {"Sending: [55][FF][02]", "Sending: [55][FF][03]", "DataReceived(RR)"});

  std::string error;
  std::vector<DecodedFrame> frames = Tshark(file, error);
  ASSERT_TRUE(error.empty()) << error;
  EXPECT_EQ(static_cast<int>(frames.size()), traced) << Join(after);
  EXPECT_GE(frames.size(), 4u);
  EXPECT_GE(std::count_if(frames.begin(), frames.end(),
                          [](const DecodedFrame& f) {
                            return f.Protocols.find("eth:llc:bacnet:bacapp") != std::string::npos;
                          }),
            4)
      << "two reads and their answers";
  for (const DecodedFrame& f : frames) {
    EXPECT_FALSE(f.Bad) << f.Row;
    EXPECT_NE(f.Protocols.find("eth:llc:bacnet"), std::string::npos) << f.Row;
  }
  std::printf("captured %zu PTP frames (trace %d), malformed 0\n", frames.size(), traced);
  if (!HasFailure()) tool.Remove();
}

}  // namespace
}  // namespace zb::e2e
