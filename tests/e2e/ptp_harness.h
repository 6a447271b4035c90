// End-to-end harness for sessions on the PTP link: a pseudo-terminal whose slave is the driver's
// serial port (ZELBACNET_COM<n>), and at its master either a PTP peer (a direct cable) or a Hayes
// modem emulator with the peer behind it; a scripted BACnet device answers behind the peer. The
// driver runs either as the server process or in this process (where the modem's carrier line
// reaches it); the test is the host, talking over the host connection in both cases.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "driver/main_form.h"
#include "driver/server_driver.h"
#include "platform/host_connection.h"
#include "platform/json.h"
#include "tests/common/fast_clock.h"
#include "tests/common/host_client.h"
#include "tests/common/modem_emulator.h"
#include "tests/common/ptp_device.h"
#include "tests/common/ptp_peer.h"
#include "tests/common/pty.h"
#include "tests/e2e/server_process.h"

namespace zb::e2e {

using Texts = std::vector<std::string>;

constexpr int kComPort = 7;
// The device on the line itself: the link gives the far end the address "<Local>".
inline const std::string kAV1 = "@<Local>-AVAL#1";
inline const std::string kPoint = "POINT={Boiler}{" + kAV1 + "}{}{}";

inline std::string Join(const Texts& t) {
  std::string s;
  for (const std::string& x : t) s += "[" + x + "]";
  return s;
}

// The results after COMMANDSTATUS, COMMAND and the error element of a successful command.
inline Texts Results(const Texts& t) {
  if (t.size() < 3 || t[0] != "COMMANDSTATUS=TRUE") return {"<failed: " + Join(t) + ">"};
  return Texts(t.begin() + 3, t.end());
}

// Index of the first line holding `part` at or after `from`; -1 when none.
inline int FindLine(const Texts& lines, const std::string& part, int from = 0) {
  for (int i = from; i < static_cast<int>(lines.size()); ++i)
    if (lines[i].find(part) != std::string::npos) return i;
  return -1;
}

// True when every part occurs in that order.
inline bool InOrder(const Texts& lines, const Texts& parts) {
  int at = 0;
  for (const std::string& p : parts) {
    at = FindLine(lines, p, at);
    if (at < 0) return false;
    ++at;
  }
  return true;
}

class PTPTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    pty.MapToPort(kComPort);
  }
  void TearDown() override {
    host->Close();
    device.reset();
    peer.reset();
    modem.reset();
  }

  // The far end: a direct cable to the peer, or a modem with the peer behind it.
  void CableToDevice() {
    peer = std::make_unique<test::PTPPeer>(loop(), pty.master());
    device = std::make_unique<test::PTPDevice>(*peer, 77);
    Populate();
  }
  void ModemToDevice() {
    modem =
        std::make_unique<test::ModemEmulator>(loop(), pty.master(), pty.slave_path(), &modem_lines);
    modem->dial_delay_ms = 300;
    device = std::make_unique<test::PTPDevice>(modem->peer, 77);
    Populate();
  }
  test::PTPPeer& far_peer() { return modem ? modem->peer : *peer; }
  void Populate() {
    device->Set(2, 1, 85, test::PTPDevice::Real(21.5f));
    device->Set(2, 1, 77, test::PTPDevice::CharString("Boiler Temp"));
    device->Set(2, 1, 81, test::PTPDevice::Boolean(false));
  }

  // Lets the far end and the driver run for `ms` (the fixture's time).
  virtual void Pump(int ms) = 0;
  virtual platform::MessageLoop& loop() = 0;

  int Arm() {
    int o = host->Create();
    EXPECT_GT(o, 0);
    EXPECT_TRUE(host->CallBool(o, "Configure", {"VERSIONCHECK=1.7"}));
    return o;
  }
  // The APDU time-out (IP3) leaves room for a loaded machine; tests that wait for failures
  // shorten it.
  Texts DirectParams(int apdu_timeout_ms = 3000) const {
    return {"DESCRIPTION=Line", "PANELTYPE=1", "COMPORT=" + std::to_string(kComPort),
            "BAUDRATE=38400", "IP3=" + std::to_string(apdu_timeout_ms)};
  }
  Texts ModemParams() const {
    return {"DESCRIPTION=Dial",
            "PANELTYPE=1",
            "COMPORT=" + std::to_string(kComPort),
            "BAUDRATE=9600",
            "CONNECTIONTYPE=MODEM",
            "PHONENUMBER=5551234",
            "SP3=ATZ",
            "IP3=3000"};
  }
  // Polls COMMANDSTATUS until the command is done or failed.
  Texts Poll(int o, int timeout_ms = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      Texts t = host->CallTexts(o, "Execute", {"COMMAND=COMMANDSTATUS"});
      if (!t.empty() && (t[0] == "COMMANDSTATUS=TRUE" || t[0] == "COMMANDSTATUS=FALSE")) return t;
      if (std::chrono::steady_clock::now() > end) return {"<timed out>", Join(t)};
      Pump(50);
    }
  }
  Texts Run(int o, const Texts& params, int timeout_ms = 20000) {
    Texts started = host->CallTexts(o, "Execute", params);
    if (started.empty() || started[0] == "COMMANDSTATUS=FALSE") return started;
    return Poll(o, timeout_ms);
  }
  // A call whose reply may take long: Connect answers once the line set-up has ended.
  platform::Json CallWithin(int o, const std::string& method, const Texts& params, int timeout_ms) {
    host->Write(CallLine(++next_id, o, method, params) + "\n");
    return ReplyTo(next_id, timeout_ms);
  }
  static std::string CallLine(int id, int o, const std::string& method, const Texts& params) {
    platform::Json p = platform::Json::Array();
    for (const std::string& x : params) p.Push(platform::Json::String(x));
    return R"({"id":)" + std::to_string(id) + R"(,"op":"call","object":)" + std::to_string(o) +
           R"(,"method":")" + method + R"(","params":)" + platform::WriteJson(p) + "}";
  }
  // Reads replies until the one to `id` (others are dropped); Null on time-out.
  platform::Json ReplyTo(int id, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      std::string line = host->ReadLine(100);
      platform::Json j;
      std::string err;
      if (line.empty() || !platform::ParseJson(line, j, err)) continue;
      const platform::Json* i = j.Find("id");
      if (i && i->kind() == platform::Json::Kind::Integer && i->AsInteger() == id) return j;
    }
    return platform::Json();
  }
  bool Connect(int o, const Texts& params) {
    platform::Json r = CallWithin(o, "Connect", params, 60000);
    const platform::Json* res = r.Find("result");
    return res && res->kind() == platform::Json::Kind::Bool && res->AsBool();
  }
  Texts ConnectAndPoll(int o, const Texts& params, int timeout_ms = 30000) {
    EXPECT_TRUE(Connect(o, params));
    return Poll(o, timeout_ms);
  }

  // A control of the session window as the window-view op shows it (Null when there is none).
  platform::Json SessionControl(const std::string& control, test::HostClient* client = nullptr) {
    platform::Json snap =
        (client ? client : host.get())->AskJson(R"({"id":9000,"op":"windows","lines":1000})");
    const platform::Json* ws = snap.Find("windows");
    if (!ws) return platform::Json();
    for (const platform::Json& w : ws->Items()) {
      if (w.Find("class")->AsString() != "TBACnetForm") continue;
      for (const platform::Json& c : w.Find("controls")->Items())
        if (c.Find("name")->AsString() == control) return c;
    }
    return platform::Json();
  }
  // The lines of a session window's text view.
  Texts View(const std::string& control) {
    platform::Json c = SessionControl(control);
    const platform::Json* lines = c.IsNull() ? nullptr : c.Find("lines");
    if (!lines) return {"<no view " + control + ">"};
    Texts out;
    for (const platform::Json& l : lines->Items()) out.push_back(l.AsString());
    return out;
  }

  test::PtyPair pty;
  std::unique_ptr<test::PTPPeer> peer;
  // The modem emulator's lines, for a driver in this process (see PTPInProcessTest).
  platform::ModemLineEmulations modem_lines;
  std::unique_ptr<test::ModemEmulator> modem;
  std::unique_ptr<test::PTPDevice> device;
  std::unique_ptr<test::HostClient> host = std::make_unique<test::HostClient>();
  int next_id = 5000;
};

// The driver server as a process; the far end runs on this process's loop, which the host
// client pumps while it waits for replies.
class PTPServerTest : public PTPTest {
 protected:
  void StartServer() {
    if (access(test::ServerBinary().c_str(), X_OK) != 0)
      GTEST_SKIP() << "build zelbacnet-server first";
    ASSERT_TRUE(server.Start({}));
    host->loop = &loop_;
    ASSERT_TRUE(host->Connect(server.socket(), 10000)) << server.Log();
  }
  void Pump(int ms) override {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (auto now = std::chrono::steady_clock::now(); now < end;
         now = std::chrono::steady_clock::now())
      loop_.WaitAndProcess(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count() + 1);
  }
  platform::MessageLoop& loop() override { return loop_; }

  platform::MessageLoop loop_;
  test::ServerProcess server;
};

// The driver in this process, served over a socket pair on the same loop, on fast virtual time:
// the modem emulator's carrier line reaches the serial port, as a real modem's would.
class PTPInProcessTest : public PTPTest {
 protected:
  void StartDriver() {
    main_form = std::make_unique<TMainForm>(desktop_, &modem_lines);
    connection = std::make_unique<platform::HostConnection>(loop_, desktop_);
    main_form->ObjectCount = [this] { return connection->ObjectCount(); };
    TMainForm* form = main_form.get();
    connection->RegisterClass({kDriverProgId, kDriverClassId,
                               [form] { return std::make_unique<TZelBACnetServerDriver>(*form); }});
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    connection->Adopt(sv[0]);
    host = std::make_unique<test::HostClient>(sv[1]);
    host->loop = &loop_;
  }
  void TearDown() override {
    PTPTest::TearDown();
    connection.reset();
    main_form.reset();
  }
  void Pump(int ms) override { time.RunFor(ms); }
  platform::MessageLoop& loop() override { return loop_; }

  platform::MessageLoop loop_;
  platform::Desktop desktop_{loop_};
  test::FastClock time{loop_};
  std::unique_ptr<TMainForm> main_form;
  std::unique_ptr<platform::HostConnection> connection;
};

}  // namespace zb::e2e
