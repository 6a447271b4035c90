// The capture operation of the host connection: a session's packets reach the host as pcap
// records; a host that does not read gets its frames dropped and counted, not buffered.
#include "driver/traffic_capture.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bacnet/link/pcap_frames.h"
#include "platform/json.h"

namespace zb {
namespace {

class TrafficCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TConnectionInfo info;
    info.Description = "Plant";
    session = main.FindOrCreateSession(info);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    host.Adopt(sv[0]);
    fd = sv[1];
  }
  void TearDown() override {
    if (fd >= 0) close(fd);
  }
  // Every complete line the server has sent so far.
  std::vector<platform::Json> Drain() {
    std::vector<platform::Json> lines;
    for (int idle = 0; idle < 3;) {
      loop.ProcessMessages();
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) {
        ++idle;
        continue;
      }
      idle = 0;
      char b[65536];
      ssize_t n = read(fd, b, sizeof b);
      if (n <= 0) break;
      buf.append(b, static_cast<size_t>(n));
      for (size_t nl; (nl = buf.find('\n')) != std::string::npos;) {
        platform::Json j;
        std::string error;
        EXPECT_TRUE(platform::ParseJson(buf.substr(0, nl), j, error)) << error;
        lines.push_back(j);
        buf.erase(0, nl + 1);
      }
    }
    return lines;
  }
  static bacnet::TCapturedPacket Packet(size_t size) {
    bacnet::TCapturedPacket p;
    p.Octets = std::string(size, '\x81');
    p.LocalIP = 0x0A000001;
    p.RemoteIP = 0x0A000002;
    p.LocalPort = p.RemotePort = 47808;
    p.TimeUs = 1'700'000'000'123'456;
    return p;
  }

  platform::MessageLoop loop;
  platform::Desktop desktop{loop};
  TMainForm main{desktop};
  platform::HostConnection host{loop, desktop};
  TTrafficCapture capture{main, host};
  TBACnetForm* session = nullptr;
  int fd = -1;
  std::string buf;
};

std::string Hex(const std::string& octets) {
  std::string out;
  char b[3];
  for (unsigned char c : octets) {
    std::snprintf(b, sizeof b, "%02x", c);
    out += b;
  }
  return out;
}

TEST_F(TrafficCaptureTest, RecordsFollowTheHeaderUntilStopped) {
  EXPECT_EQ(host.Serve(1, R"({"id":1,"op":"capture","site":"Nowhere"})"),
            R"({"id":1,"error":"no session for site: Nowhere"})");
  EXPECT_EQ(host.Serve(1, R"({"id":2,"op":"capture"})"),
            R"({"id":2,"error":"capture needs site"})");
  EXPECT_EQ(host.Serve(1, R"({"id":3,"op":"capture","site":"Plant"})"),
            R"({"id":3,"capture":1,"pcap":")" + Hex(bacnet::PcapFileHeader()) + R"("})");
  ASSERT_TRUE(session->Stack.BIP.OnCapture);
  session->Stack.BIP.OnCapture(Packet(10));
  session->Stack.PTP.OnCapture(Packet(12));
  std::vector<platform::Json> lines = Drain();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Find("capture")->AsInteger(), 1);
  EXPECT_EQ(lines[0].Find("pcap")->AsString(), Hex(bacnet::PcapRecord(Packet(10))));
  EXPECT_EQ(lines[1].Find("pcap")->AsString(), Hex(bacnet::PcapRecord(Packet(12))));

  EXPECT_EQ(host.Serve(2, R"({"id":4,"op":"capture","stop":1})"),
            R"({"id":4,"error":"no such capture"})")
      << "only its own connection stops it";
  EXPECT_EQ(host.Serve(1, R"({"id":5,"op":"capture","stop":1})"),
            R"({"id":5,"stopped":1,"dropped":0})");
  EXPECT_EQ(session->CaptureSinkCount(), 0);
  EXPECT_FALSE(session->Stack.BIP.OnCapture) << "no capture, no packet records";
}

TEST_F(TrafficCaptureTest, SlowReaderGetsFramesDroppedAndCountedWithBoundedBacklog) {
  capture.MaxBacklog = 64 * 1024;
  host.Serve(1, R"({"id":1,"op":"capture","site":"Plant"})");
  const int sent = 3000;
  for (int i = 0; i < sent; ++i) session->Stack.BIP.OnCapture(Packet(1400));
  std::vector<platform::Json> lines = Drain();
  // One more after the reader caught up carries the count.
  session->Stack.BIP.OnCapture(Packet(1400));
  for (platform::Json& j : Drain()) lines.push_back(std::move(j));
  int records = 0;
  long long dropped = -1;
  for (const platform::Json& j : lines) {
    if (j.Find("pcap")) ++records;
    if (const platform::Json* d = j.Find("dropped")) dropped = d->AsInteger();
  }
  EXPECT_GT(dropped, 0);
  EXPECT_GT(records, 0);
  EXPECT_EQ(records + dropped, sent + 1);
  EXPECT_EQ(host.Serve(1, R"({"id":2,"op":"capture","stop":1})"),
            R"({"id":2,"stopped":1,"dropped":)" + std::to_string(dropped) + "}");
}

TEST_F(TrafficCaptureTest, EndsWithItsConnectionOrItsSession) {
  host.Serve(1, R"({"id":1,"op":"capture","site":"Plant"})");
  host.Serve(1, R"({"id":2,"op":"capture","site":"Plant"})");
  EXPECT_EQ(session->CaptureSinkCount(), 2);
  bool can_close = false;
  session->OnCloseQuery(can_close);
  ASSERT_TRUE(can_close);
  session->Close();
  std::vector<platform::Json> lines = Drain();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Find("end")->AsString(), "session closed");
  EXPECT_EQ(capture.ActiveCount(), 0);

  TConnectionInfo info;
  info.Description = "Plant";
  session = main.FindOrCreateSession(info);
  host.Serve(1, R"({"id":3,"op":"capture","site":"Plant"})");
  EXPECT_EQ(capture.ActiveCount(), 1);
  close(fd);
  fd = -1;
  for (int i = 0; i < 20 && capture.ActiveCount() > 0; ++i) loop.WaitAndProcess(10);
  EXPECT_EQ(capture.ActiveCount(), 0);
  EXPECT_EQ(session->CaptureSinkCount(), 0);
}

}  // namespace
}  // namespace zb
