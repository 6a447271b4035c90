// The driver server attacked from the site network and by local hosts, inside the private test
// network: amplification through the views, floods of half-open and unanswered transactions,
// shut-down while a read waits, running out of descriptors and a flood of alarms. For each, the
// server's resident memory before, during and after, and a genuine read of the independent site
// device during and after the attack.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "bacnet/app/tag_codec.h"
#include "commands_harness.h"
#include "robustness.h"
#include "tests/common/udp_probe.h"

namespace zb::e2e {
namespace {

using namespace bacnet;

const std::string kAV1 = "10.47.0.2-AVAL#1";
constexpr int kAttackerPort = 47809;

std::string Be16(size_t n) { return {char((n >> 8) & 0xFF), char(n & 0xFF)}; }

std::string Bvll(const std::string& apdu, bool expecting_reply) {
  const std::string npdu = std::string("\x01", 1) + char(expecting_reply ? 0x04 : 0x00) + apdu;
  return std::string("\x81\x0A", 2) + Be16(4 + npdu.size()) + npdu;
}

// Segment k of a confirmed request carrying `data` in `size`-octet pieces (window 127, the
// requester takes any answer length up to 1476-octet APDUs).
std::string RequestSegment(int invoke, int service, const std::string& data, size_t size,
                           size_t k) {
  const size_t count = (data.size() + size - 1) / size;
  const bool more = k + 1 < count;
  std::string apdu;
  apdu += char(0x0A | (more ? 0x04 : 0));
  apdu += char(0x75);
  apdu += char(invoke);
  apdu += char(k & 0xFF);
  apdu += char(127);
  apdu += char(service);
  apdu += data.substr(k * size, size);
  return Bvll(apdu, true);
}

std::string UnsegmentedRequest(int invoke, int service, const std::string& data) {
  return Bvll(std::string("\x02\x75", 2) + char(invoke) + char(service) + data, true);
}

// ReadPropertyMultiple of the driver's device asking ALL `refs` times: each reference two
// octets in, the whole property table out.
std::string ManyAllReferences(int refs) {
  std::string d = EncodeObjectIdentifier(kTagClassContext, 0, 8, 4194303) + EncodeOpeningTag(1);
  for (int i = 0; i < refs; ++i) d += EncodeUnsigned(kTagClassContext, 0, 8);
  return d + EncodeClosingTag(1);
}

std::string AlarmNotification(int process) {
  std::string n = std::string("\x10\x03", 2);
  n += EncodeUnsigned(kTagClassContext, 0, static_cast<uint32_t>(process));
  n += EncodeObjectIdentifier(kTagClassContext, 1, 8, 1234);
  n += EncodeObjectIdentifier(kTagClassContext, 2, 0, 3);
  n += EncodeOpeningTag(3) + EncodeOpeningTag(2);
  n += EncodeDate(kTagClassApplication, 0, std::string("\x7e\x0c\x08\x02", 4));
  n += EncodeTime(kTagClassApplication, 0, std::string("\x0e\x05\x09\x00", 4));
  n += EncodeClosingTag(2) + EncodeClosingTag(3);
  n += EncodeUnsigned(kTagClassContext, 4, 1) + EncodeUnsigned(kTagClassContext, 5, 100);
  n += EncodeEnumerated(kTagClassContext, 6, 5);
  n += EncodeCharacterString(kTagClassContext, 7, "Made-up fault");
  n += EncodeEnumerated(kTagClassContext, 8, 0);
  n += EncodeBoolean(kTagClassContext, 9, false);
  n += EncodeEnumerated(kTagClassContext, 10, 0) + EncodeEnumerated(kTagClassContext, 11, 3);
  n += EncodeOpeningTag(12) + EncodeOpeningTag(5);
  n += EncodeReal(kTagClassContext, 0, 88.5) + EncodeBitString(kTagClassContext, 1, "1000");
  n += EncodeReal(kTagClassContext, 2, 1) + EncodeReal(kTagClassContext, 3, 80);
  n += EncodeClosingTag(5) + EncodeClosingTag(12);
  return Bvll(n, false);
}

// utime + stime of a process, in seconds.
double CpuSeconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i)
    if (i == 14 || i == 15) ticks += std::atol(field.c_str());
  return double(ticks) / double(sysconf(_SC_CLK_TCK));
}

int ConnectUnix(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

class RobustnessAttack : public CommandsTest {
 protected:
  void SetUp() override { SmallAsanQuarantine(); }

  // The site (device 1001 in host 1), the server connected to it, and the attacker in host 2.
  bool Begin(const std::string& apdu_timeout = "1000") {
    StartSite(3, false);
    if (IsSkipped() || HasFatalFailure()) return false;
    test::PeerProcess& site = StartDevice(1, 1001);
    o_ = host_.Create();
    EXPECT_TRUE(host_.CallBool(o_, "Configure", {"VERSIONCHECK=1.7"}));
    EXPECT_TRUE(host_.CallBool(
        o_, "Connect",
        {"DESCRIPTION=Site", "PANELTYPE=0", "SP4=" + net_->Address(0), "IP3=" + apdu_timeout}));
    Texts t = Poll(o_, 10000);
    EXPECT_EQ(t.empty() ? "" : t[0], "COMMANDSTATUS=TRUE") << Join(t) << server_.LogText();
    EXPECT_TRUE(WaitForDevices(o_, 1)) << site.TranscriptText();
    pid_ = ChildPid("zelbacnet-serv");
    EXPECT_GT(pid_, 0);
    net_->In(2, [&] { attacker_ = std::make_unique<test::UdpProbe>("0.0.0.0", kAttackerPort); });
    EXPECT_TRUE(attacker_->ok());
    if (HasFailure()) return false;
    ExpectRealRead("before");
    before_ = RssKb(pid_);
    return !HasFailure();
  }
  void Attack(const std::string& datagram) { attacker_->SendTo(net_->Address(0), 47808, datagram); }
  void ExpectRealRead(const char* when) {
    EXPECT_EQ(Run(o_, {"COMMAND=POINTGETVALUE", "POINT={Boiler}{" + kAV1 + "}{}{}"}),
              (Texts{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", "VALUE=21.5", ""}))
        << "genuine read " << when << " the attack\n"
        << server_.LogText();
  }
  void Report(const char* what, long during, long after) {
    std::printf("%s: VmRSS %ld kB before, %ld kB during, %ld kB after\n", what, before_, during,
                after);
    EXPECT_GT(before_, 0);
    // The heap keeps some freed pages (ASan's allocator and shadow many more); what matters is
    // that nothing grows with the attack.
    EXPECT_LT(after - before_, (kAsan ? 32 : 8) * 1024) << what << ": memory not given back";
  }
  // Waits a moment and until the server is idle again (a host call answered).
  void Settle(int ms) {
    Sleep(ms);
    host_.CallTexts(o_, "Execute", {"COMMAND=COMMANDSTATUS"});
  }

  int o_ = 0;
  int pid_ = -1;
  long before_ = 0;
  std::unique_ptr<test::UdpProbe> attacker_;
};

TEST_F(RobustnessAttack, ReadMultipleOfManyAllReferencesStaysOutOfTheViews) {
  if (!Begin()) return;
  // Twenty requests of 20 KB: 10 000 ALL references each, in 1400-octet segments. Each is
  // refused (its answer would be far too long) rather than answered or kept.
  const std::string data = ManyAllReferences(10000);
  const size_t size = 1400, count = (data.size() + size - 1) / size;
  long during = 0;
  int aborts = 0;
  for (int r = 0; r < 20; ++r) {
    for (size_t k = 0; k < count; ++k) Attack(RequestSegment(r, 14, data, size, k));
    std::string reply;
    while (attacker_->Receive(reply, 3000)) {
      if (reply.size() >= 9 && (uint8_t(reply[6]) >> 4) == 7) {
        ++aborts;
        break;
      }
    }
    if (r == 10) {
      ExpectRealRead("during");
      during = RssKb(pid_);
    }
  }
  EXPECT_EQ(aborts, 20);
  Settle(500);
  const long after = RssKb(pid_);
  // A person's view of the session: three lines are a few KB, not megabytes.
  const std::string windows = host_.Ask(R"({"id":77,"op":"windows","lines":3})", 10000);
  std::printf("windows reply for 3 lines: %zu octets\n", windows.size());
  EXPECT_LT(windows.size(), 64u * 1024);
  EXPECT_NE(windows.find("\"LogMemo\""), std::string::npos) << windows.substr(0, 500);
  Report("20 segmented ReadPropertyMultiple of 10000 ALL", during, after);
  ExpectRealRead("after");
}

TEST_F(RobustnessAttack, HalfOpenAndUnansweredTransactionsAreCappedAndExpire) {
  if (!Begin()) return;
  // 30 000 first segments of requests that never go on, from 64 source ports, and 3000
  // requests of a service the device does not answer.
  std::vector<std::unique_ptr<test::UdpProbe>> ports;
  net_->In(2, [&] {
    for (int p = 0; p < 64; ++p)
      ports.push_back(std::make_unique<test::UdpProbe>("0.0.0.0", 48000 + p));
  });
  const std::string data = std::string(3000, '\x09');
  int sent = 0;
  for (int i = 0; i < 30000; ++i, ++sent)
    ports[i % 64]->SendTo(net_->Address(0), 47808, RequestSegment(i & 0xFF, 14, data, 1400, 0));
  for (int i = 0; i < 3000; ++i)
    ports[i % 64]->SendTo(net_->Address(0), 47808, UnsegmentedRequest(i & 0xFF, 5, "\x09\x01"));
  ExpectRealRead("during");
  const long during = RssKb(pid_);
  // Refusals come back as Abort out-of-resources.
  std::string reply;
  int refused = 0;
  for (auto& p : ports)
    while (p->Receive(reply, 20))
      if (reply.size() >= 9 && (uint8_t(reply[6]) >> 4) == 7 && uint8_t(reply[8]) == 9) ++refused;
  EXPECT_GT(refused, 1000);
  // Four segment time-outs later everything has expired on the timer, with no traffic at all.
  Settle(9000);
  const long after = RssKb(pid_);
  Report("30000 half-open + 3000 unanswered requests", during, after);
  ExpectRealRead("after");
}

TEST_F(RobustnessAttack, UnansweredPeerRequestsDoNotFailGenuineReads) {
  if (!Begin()) return;
  // Every invoke ID, again and again, from the attacker while 30 genuine reads run.
  int failed = 0;
  long during = 0;
  for (int read = 0; read < 30; ++read) {
    for (int id = 0; id < 256; id += 16)
      Attack(UnsegmentedRequest((id + read) & 0xFF, 5, "\x09\x01"));
    Texts t = Run(o_, {"COMMAND=POINTGETVALUE", "POINT={Boiler}{" + kAV1 + "}{}{}"});
    if (t.size() < 4 || t[3] != "VALUE=21.5") ++failed;
    if (read == 15) during = RssKb(pid_);
  }
  EXPECT_EQ(failed, 0) << server_.LogText();
  Settle(2500);
  Report("unanswered requests beside 30 reads", during, RssKb(pid_));
  ExpectRealRead("after");
}

TEST_F(RobustnessAttack, AlarmFloodDropsAreLoggedWithARunningCount) {
  if (!Begin()) return;
  long during = 0;
  for (int i = 0; i < 10050; ++i) {
    Attack(AlarmNotification(i));
    // Paced, so that the server's socket buffer loses none, also when a sanitizer slows it.
    if (i % 10 == 9) {
      host_.CallTexts(o_, "Execute", {"COMMAND=COMMANDSTATUS"});
      Sleep(2);
    }
    if (i == 6000) {
      ExpectRealRead("during");
      during = RssKb(pid_);
    }
  }
  Settle(300);
  const std::string windows = host_.Ask(R"({"id":5,"op":"windows","lines":1000})", 10000);
  EXPECT_NE(windows.find("oldest alarm dropped, 50 dropped so far"), std::string::npos)
      << windows.substr(0, 2000);
  Texts alarms = Results(Run(o_, {"COMMAND=GETALARMS"}));
  EXPECT_EQ(alarms.size(), 10000u);
  Settle(300);
  Report("10050 alarm notifications", during, RssKb(pid_));
  ExpectRealRead("after");
}

TEST_F(RobustnessAttack, HostsAtTheDescriptorLimitDoNotMakeTheLoopSpin) {
  if (!Begin()) return;
  // The server may open no descriptor more; hosts keep knocking.
  rlimit saved{}, low{};
  ASSERT_EQ(prlimit(pid_, RLIMIT_NOFILE, nullptr, &saved), 0);
  int highest = 0;
  if (DIR* d = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str())) {
    while (dirent* e = readdir(d)) highest = std::max(highest, std::atoi(e->d_name));
    closedir(d);
  }
  low = saved;
  low.rlim_cur = static_cast<rlim_t>(highest + 1);
  ASSERT_EQ(prlimit(pid_, RLIMIT_NOFILE, &low, nullptr), 0);
  std::vector<int> knocking;
  for (int i = 0; i < 10; ++i) knocking.push_back(ConnectUnix(socket_));
  const double cpu = CpuSeconds(pid_);
  Sleep(3000);
  const double used = CpuSeconds(pid_) - cpu;
  std::printf("descriptor limit: %.2f s CPU in 3 s with 10 hosts waiting\n", used);
  EXPECT_LT(used, 0.5) << "the server spun at the descriptor limit";
  ExpectRealRead("during");  // the connected host is served all along
  const long during = RssKb(pid_);
  ASSERT_EQ(prlimit(pid_, RLIMIT_NOFILE, &saved, nullptr), 0);
  // With descriptors again, the waiting hosts are taken in; past the cap they are refused.
  for (int i = 0; i < 70; ++i) knocking.push_back(ConnectUnix(socket_));
  Sleep(1500);
  int refused = 0, served = 0;
  for (int fd : knocking) {
    if (fd < 0) continue;
    const std::string probe = "{\"id\":1,\"op\":\"windows\",\"lines\":0}\n";
    (void)!send(fd, probe.data(), probe.size(), MSG_NOSIGNAL);
  }
  Sleep(1000);
  for (int fd : knocking) {
    if (fd < 0) continue;
    char buf[256];
    ssize_t n = recv(fd, buf, sizeof buf - 1, MSG_DONTWAIT);
    if (n > 0) {
      buf[n] = 0;
      if (std::string(buf).find("too many host connections") != std::string::npos)
        ++refused;
      else
        ++served;
    }
    close(fd);
  }
  std::printf("hosts after the limit: %d served, %d refused\n", served, refused);
  EXPECT_EQ(served, 63);  // 64 connections in all, the test's own included
  EXPECT_EQ(refused, 17);
  Settle(500);
  Report("descriptor limit and 80 hosts", during, RssKb(pid_));
  ExpectRealRead("after");
}

TEST_F(RobustnessAttack, SigtermWhileAReadWaitsEndsTheServerAtOnce) {
  if (!Begin("15000")) return;
  // A read of a device that does not exist waits 15 s x 2.
  Texts started =
      host_.CallTexts(o_, "Execute", {"COMMAND=POINTGETVALUE", "POINT={X}{10.47.0.3-AVAL#1}{}{}"});
  ASSERT_FALSE(started.empty());
  Sleep(500);
  const long during = RssKb(pid_);
  std::printf("shut-down: VmRSS %ld kB before, %ld kB while the read waits\n", before_, during);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(server_.Stop(2000));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  std::printf("shut-down: ended %lld ms after SIGTERM\n", static_cast<long long>(ms));
  EXPECT_LT(ms, 1000);
  // Its sockets are closed: the UDP port and the host socket are free.
  std::unique_ptr<test::UdpProbe> again;
  net_->In(0, [&] { again = std::make_unique<test::UdpProbe>(net_->Address(0), 47808); });
  EXPECT_TRUE(again->ok());
  struct stat st {};
  EXPECT_NE(stat(socket_.c_str(), &st), 0);
}

}  // namespace
}  // namespace zb::e2e
