// A site device, played with raw datagrams, that answers the driver's read with a segmented
// complex ACK and then misbehaves: it vanishes after the first window, or it sends its segments
// duplicated, out of order and with gaps. The read must end (with a failure or the right value)
// within its time-outs, and the next read must work as if nothing had happened.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

#include "commands_harness.h"
#include "tests/common/udp_probe.h"

namespace zb::e2e {
namespace {

std::string Be16(size_t n) { return {char((n >> 8) & 0xFF), char(n & 0xFF)}; }
std::string Unicast(const std::string& apdu) {
  return std::string("\x81\x0A", 2) + Be16(6 + apdu.size()) + std::string("\x01\x00", 2) + apdu;
}

enum class Mode { Good, Vanish, Scramble };

// The scripted device 1001 at 10.47.0.2: I-Am to every Who-Is, AV 1 object-name (77) as a long
// text in segments of 100 octets, an error to every other ReadProperty.
class SegmentingDevice {
 public:
  SegmentingDevice(test::UdpProbe& probe, std::string name)
      : probe_(probe), name_(std::move(name)), rng_(11) {
    thread_ = std::thread([this] { Run(); });
  }
  ~SegmentingDevice() {
    stop_ = true;
    thread_.join();
  }
  std::atomic<Mode> mode{Mode::Good};
  std::atomic<bool> silent{false};
  std::atomic<int> segments_sent{0}, acks{0}, naks{0};

 private:
  void Run() {
    std::string d, from;
    int port = 0;
    while (!stop_) {
      if (!probe_.Receive(d, 20, &from, &port)) {
        Resend(from, port);
        continue;
      }
      if (silent) continue;
      Handle(d, from, port);
    }
  }
  // The APDU of a datagram (local or global broadcast NPDUs alike), or empty.
  static std::string Apdu(const std::string& d) {
    if (d.size() < 6 || uint8_t(d[0]) != 0x81 || uint8_t(d[4]) != 0x01) return {};
    const uint8_t control = uint8_t(d[5]);
    if (control & 0x80) return {};
    size_t p = 6;
    if (control & 0x20) {
      if (d.size() < p + 3) return {};
      p += 3 + uint8_t(d[p + 2]);
    }
    if (control & 0x08) {
      if (d.size() < p + 3) return {};
      p += 3 + uint8_t(d[p + 2]);
    }
    if (control & 0x20) ++p;
    return p <= d.size() ? d.substr(p) : std::string();
  }
  void Handle(const std::string& d, const std::string& from, int port) {
    const std::string a = Apdu(d);
    if (a.size() >= 2 && a[0] == 0x10 && a[1] == 0x08) {  // Who-Is
      probe_.SendTo(
          from, port,
          Unicast(std::string("\x10\x00\xC4\x02\x00\x03\xE9\x22\x05\xC4\x91\x00\x21\x63", 14)));
      return;
    }
    if (a.size() >= 4 && (uint8_t(a[0]) >> 4) == 0 && !(a[0] & 0x08) && a[3] == 0x0C) {
      const uint8_t invoke = uint8_t(a[2]);
      const std::string data = a.substr(4);
      if (data.size() >= 7 && data.compare(0, 5, std::string("\x0C\x00\x80\x00\x01", 5)) == 0 &&
          uint8_t(data[5]) == 0x19 && uint8_t(data[6]) == 77 && (a[0] & 0x02)) {
        StartTransfer(invoke, data.substr(0, 7), from, port);
      } else {
        probe_.SendTo(from, port,
                      Unicast(std::string("\x50", 1) + char(invoke) +
                              std::string("\x0C\x91\x02\x91\x20", 5)));
      }
      return;
    }
    if (a.size() >= 4 && (uint8_t(a[0]) >> 4) == 4 && uint8_t(a[1]) == invoke_ && active_) {
      (a[0] & 0x02) ? ++naks : ++acks;
      const int seq = uint8_t(a[2]);
      // The segment acknowledged: the last one sent so far with that sequence number.
      const int top = next_ + window_sent_ - 1;
      next_ = std::max(0, top - ((top - seq) & 0xFF) + 1);
      if (next_ >= int(segments_.size())) {
        active_ = false;
        return;
      }
      window_ = std::max(1, int(uint8_t(a[3])));
      SendWindow(from, port);
    }
  }
  void StartTransfer(uint8_t invoke, const std::string& echo, const std::string& from, int port) {
    std::string value = std::string("\x75\xFE", 2) + Be16(name_.size() + 1) + '\0' + name_;
    std::string all = echo + "\x3E" + value + "\x3F";
    segments_.clear();
    for (size_t p = 0; p < all.size(); p += 100) segments_.push_back(all.substr(p, 100));
    invoke_ = invoke;
    next_ = 0;
    window_ = 4;
    active_ = true;
    windows_ = 0;
    SendWindow(from, port);
  }
  std::string Segment(int i) const {
    const bool more = i + 1 < int(segments_.size());
    return std::string(1, char(more ? 0x3C : 0x38)) + char(invoke_) + char(i & 0xFF) +
           char(window_) + '\x0C' + segments_[i];
  }
  void SendWindow(const std::string& host, int port) {
    host_ = host;
    port_ = port;
    last_send_ = std::chrono::steady_clock::now();
    ++windows_;
    window_sent_ = window_;
    std::vector<int> order;
    for (int i = next_; i < next_ + window_ && i < int(segments_.size()); ++i) order.push_back(i);
    if (mode == Mode::Vanish && windows_ > 1) {
      silent = true;
      return;
    }
    // The first window goes out whole and in order; later ones, for a while, scrambled.
    if (mode == Mode::Scramble && windows_ > 1 && windows_ < 40) {
      switch (rng_() % 4) {
        case 0:
          std::shuffle(order.begin(), order.end(), rng_);
          break;
        case 1:
          order.push_back(order[rng_() % order.size()]);
          break;
        case 2:
          if (order.size() > 1) order.erase(order.begin() + 1 + rng_() % (order.size() - 1));
          break;
        default:
          order.insert(order.begin(), std::max(0, next_ - 1));  // an old one again
          break;
      }
    }
    for (int i : order) {
      probe_.SendTo(host, port, Unicast(Segment(i)));
      ++segments_sent;
    }
  }
  // Unacknowledged for a while: the window again, as a server's segment timer does.
  void Resend(const std::string&, int) {
    if (!active_ || silent) return;
    if (std::chrono::steady_clock::now() - last_send_ < std::chrono::milliseconds(400)) return;
    SendWindow(host_, port_);
  }

  test::UdpProbe& probe_;
  std::string name_;
  std::mt19937 rng_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<std::string> segments_;
  uint8_t invoke_ = 0;
  int next_ = 0, window_ = 4, window_sent_ = 4, windows_ = 0;
  bool active_ = false;
  std::string host_;
  int port_ = 0;
  std::chrono::steady_clock::time_point last_send_;
};

class RobustnessSegments : public CommandsTest {
 protected:
  void Start() {
    StartSite(2, false);
    if (IsSkipped() || HasFatalFailure()) return;
    net_->In(1, [&] { probe_ = std::make_unique<test::UdpProbe>("0.0.0.0", 47808); });
    ASSERT_TRUE(probe_->ok());
    device_ = std::make_unique<SegmentingDevice>(*probe_, name_);
    o_ = Connect();
    ASSERT_TRUE(WaitForDevices(o_, 1)) << server_.LogText();
  }
  void TearDown() override {
    device_.reset();
    probe_.reset();
    CommandsTest::TearDown();
  }
  Texts Read() { return Run(o_, {"COMMAND=POINTGETVALUE", "POINT={x}{10.47.0.2-AVAL#1:77}{}{}"}); }
  Texts Right() const {
    return {"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", "VALUE=" + name_, ""};
  }

  std::string name_ = [] {
    std::string s;
    for (int i = 0; s.size() < 3000; ++i) s += "segment text " + std::to_string(i) + " ";
    return s;
  }();
  std::unique_ptr<test::UdpProbe> probe_;
  std::unique_ptr<SegmentingDevice> device_;
  int o_ = 0;
};

TEST_F(RobustnessSegments, DeviceVanishingMidTransferFailsTheReadThenReadsWork) {
  Start();
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_EQ(Read(), Right()) << server_.LogText();  // segmented and well behaved
  device_->mode = Mode::Vanish;
  auto t0 = std::chrono::steady_clock::now();
  Texts t = Read();
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t[0], "COMMANDSTATUS=FALSE") << Join(t);
  std::printf("vanished device: read failed after %lld ms\n", static_cast<long long>(ms.count()));
  device_->mode = Mode::Good;
  device_->silent = false;
  EXPECT_EQ(Read(), Right()) << server_.LogText();
}

TEST_F(RobustnessSegments, DuplicatedReorderedAndMissingSegments) {
  Start();
  if (IsSkipped() || HasFatalFailure()) return;
  device_->mode = Mode::Scramble;
  int right = 0, failed = 0;
  for (int i = 0; i < 3; ++i) {
    Texts t = Read();
    ASSERT_FALSE(t.empty());
    if (t == Right())
      ++right;
    else if (t[0] == "COMMANDSTATUS=FALSE")
      ++failed;
    else
      ADD_FAILURE() << "neither the right value nor a failure: " << Join(t).substr(0, 300);
  }
  std::printf("scrambled segments: %d right, %d failed; %d segments sent, %d acks, %d naks\n",
              right, failed, device_->segments_sent.load(), device_->acks.load(),
              device_->naks.load());
  EXPECT_GT(device_->naks.load(), 0);
  device_->mode = Mode::Good;
  EXPECT_EQ(Read(), Right()) << server_.LogText();
}

}  // namespace
}  // namespace zb::e2e
