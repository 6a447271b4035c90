// Hosts that misbehave towards the driver server: a 10 MB line, invalid UTF-8, leaving in the
// middle of a command, and 10 000 create/release cycles. The server must not crash or grow, and
// another host working beside them must be answered all along.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "robustness.h"
#include "tests/common/host_client.h"
#include "tests/common/netns.h"
#include "tests/e2e/server_process.h"

namespace zb::e2e {
namespace {

using Texts = std::vector<std::string>;

class RobustnessHost : public ::testing::Test {
 protected:
  void SetUp() override {
    ZB_REQUIRE_PRIVATE_NETWORK();
    if (access(test::ServerBinary().c_str(), X_OK) != 0)
      GTEST_SKIP() << "build zelbacnet-server first";
    SmallAsanQuarantine();
    ASSERT_TRUE(server.Start({})) << server.Log();
    pid = ChildPid("zelbacnet-serv");
    ASSERT_GT(pid, 0);
    Open(other);
    watched = other.Create();
    ASSERT_GT(watched, 0);
    ASSERT_TRUE(other.CallBool(watched, "Configure", {"VERSIONCHECK=1.7"}));
    ASSERT_TRUE(
        other.CallBool(watched, "Connect", {"DESCRIPTION=Other", "PANELTYPE=1", "OFFLINE=TRUE"}));
  }
  void Open(test::HostClient& h) {
    h.loop = nullptr;
    ASSERT_TRUE(h.Connect(server.socket())) << server.Log();
  }
  // The other host is answered at once.
  void OtherAnswered() {
    Texts t = other.CallTexts(watched, "Execute", {"COMMAND=COMMANDSTATUS"});
    ASSERT_FALSE(t.empty()) << server.Log();
    EXPECT_EQ(t[0].rfind("COMMANDSTATUS=", 0), 0u);
  }

  test::ServerProcess server;
  int pid = -1;
  test::HostClient other;
  int watched = 0;
};

TEST_F(RobustnessHost, HugeLinesAndInvalidUtf8) {
  test::HostClient h;
  Open(h);
  // 10 MB without a line break, written in pieces while the other host keeps working.
  const std::string piece(1 << 20, 'x');
  for (int i = 0; i < 10; ++i) {
    h.Write(piece);
    OtherAnswered();
  }
  h.Write("\n");
  EXPECT_EQ(h.ReadLine(10000), R"({"id":null,"error":"line too long"})");
  // A 10 MB line that is valid JSON is refused the same way.
  h.Write(R"({"id":1,"op":"create","progid":")" + std::string(10 << 20, 'a') + "\"}\n");
  EXPECT_EQ(h.ReadLine(10000), R"({"id":null,"error":"line too long"})");
  OtherAnswered();

  // Broken UTF-8: a lone continuation octet, a truncated sequence, overlong forms, a surrogate,
  // code points above U+10FFFF, and an invalid octet inside an otherwise good call.
  int n = 0;
  for (const char* bad :
       {"\"\x80\"", "\"\xC3\"", "\"\xE2\x82\"", "\"\xC0\xAF\"", "\"\xE0\x80\xAF\"",
        "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"", "\"\xF8\x88\x80\x80\x80\"", "\xFF\xFE{}",
        "{\"id\":\"\xC3\x28\",\"op\":\"create\"}"}) {
    std::string reply = h.Ask(bad);
    EXPECT_NE(reply.find("\"error\""), std::string::npos) << "case " << n << ": " << reply;
    ++n;
  }
  int o = h.Create();
  ASSERT_GT(o, 0);
  platform::Json r = h.AskJson(R"({"id":7,"op":"call","object":)" + std::to_string(o) +
                               ","
                               R"("method":"Configure","params":[")"
                               "VERSIONCHECK=\xE9\xFF"
                               R"("]})");
  EXPECT_NE(r.Find("error"), nullptr);
  EXPECT_TRUE(h.CallBool(o, "Configure", {"VERSIONCHECK=1.7"}));
  OtherAnswered();
}

TEST_F(RobustnessHost, HostLeavingMidCommandAndCreateReleaseCycles) {
  for (int round = 0; round < 3; ++round) {
    test::HostClient h;
    Open(h);
    int o = h.Create();
    ASSERT_TRUE(h.CallBool(o, "Configure", {"VERSIONCHECK=1.7"}));
    ASSERT_TRUE(h.CallBool(o, "Connect", {"DESCRIPTION=Other", "PANELTYPE=1", "OFFLINE=TRUE"}));
    h.CallTexts(o, "Execute", {"COMMAND=COMMANDSTATUS"});
    h.CallTexts(o, "Execute", {"COMMAND=SITESTATUS"});
    // Half a request, then gone.
    h.Write(R"({"id":99,"op":"call","object":)");
    h.Close();
    OtherAnswered();
  }

  test::HostClient h;
  Open(h);
  auto cycles = [&](int n) {
    for (int i = 0; i < n; ++i) {
      int o = h.Create();
      ASSERT_GT(o, 0) << "cycle " << i << server.Log();
      ASSERT_TRUE(h.Release(o)) << "cycle " << i;
      if (i % 1000 == 999) OtherAnswered();
    }
  };
  cycles(1000);
  if (HasFatalFailure()) return;
  const long before = RssKb(pid);
  cycles(9000);
  if (HasFatalFailure()) return;
  const long after = RssKb(pid);
  std::printf("10000 create/release cycles: VmRSS %ld kB -> %ld kB\n", before, after);
  EXPECT_GT(before, 0);
  EXPECT_LT(after - before, 4 * 1024) << "server memory grew over the cycles";
  Texts t = other.CallTexts(watched, "Execute", {"COMMAND=SITESTATUS"});
  ASSERT_FALSE(t.empty());
  EXPECT_TRUE(server.Running());
}

}  // namespace
}  // namespace zb::e2e
