// PTP line rate: ReadProperty of one point back to back through the device, application layer,
// network layer and PTP link, over a pseudo-terminal whose far end is a scripted PTP device that
// carries every octet at the nominal baud rate in both directions. Prints point reads per second
// against what the line can carry (its octets per second over the octets one read puts on it).
// Targets: at least 0.6 of it at 9600 bit/s and 0.35 at 38400 bit/s.
//
// The far end runs on a thread of its own, as a device at the other end of a cable would: it
// must keep the line's pace while the driver's one thread does what it does.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>

#include "bacnet/app/application.h"
#include "bacnet/app/device.h"
#include "bacnet/link/data_link_ptp.h"
#include "bacnet/net/network.h"
#include "bench/load_harness.h"
#include "tests/common/ptp_device.h"
#include "tests/common/ptp_peer.h"
#include "tests/common/pty.h"
#include "tests/common/run_task.h"

using namespace zb;
using namespace zb::bench;

namespace {

constexpr int kComPort = 63;

// Both directions of a serial line at `baud` (10 bits an octet): an octet written at one end
// reaches the other one octet time after the previous octet in that direction has.
class PacedFarEnd {
 public:
  PacedFarEnd(int fd, int baud)
      : fd_(fd),
        octet_(std::chrono::nanoseconds(10'000'000'000LL / baud)),
        peer_([this](const std::string& octets) { Queue(octets); }),
        device_(peer_, 77) {
    device_.Set(2, 1, 85, test::PTPDevice::Real(21.5f));
    thread_ = std::thread([this] { Run(); });
  }
  ~PacedFarEnd() {
    stop_ = true;
    thread_.join();
  }
  long OctetsOnLine() const { return octets_; }
  // Frames written as fast as the pseudo-terminal takes them, beside the paced line, as from a
  // far end gone wild.
  void Flood(std::string octets) {
    flood_ = std::move(octets);
    flooding_ = true;
  }
  bool Flooding() const { return flooding_; }

 private:
  using Due = std::pair<Clock::time_point, char>;

  void Queue(const std::string& octets) {
    for (char c : octets) {
      out_free_ = std::max(out_free_, Clock::now()) + octet_;
      outbound_.emplace_back(out_free_, c);
    }
  }

  void Run() {
    char buf[512];
    while (!stop_) {
      auto now = Clock::now();
      for (;;) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
          in_free_ = std::max(in_free_, now) + octet_;
          inbound_.emplace_back(in_free_, buf[i]);
        }
      }
      now = Clock::now();
      std::string arrived;
      while (!inbound_.empty() && inbound_.front().first <= now) {
        arrived += inbound_.front().second;
        inbound_.pop_front();
      }
      if (!arrived.empty()) {
        octets_ += static_cast<long>(arrived.size());
        peer_.Receive(arrived);  // answers go to outbound_ through Queue
      }
      std::string leaving;
      while (!outbound_.empty() && outbound_.front().first <= now) {
        leaving += outbound_.front().second;
        outbound_.pop_front();
      }
      if (!leaving.empty()) {
        octets_ += static_cast<long>(leaving.size());
        size_t done = 0;
        while (done < leaving.size()) {
          ssize_t n = ::write(fd_, leaving.data() + done, leaving.size() - done);
          if (n > 0)
            done += static_cast<size_t>(n);
          else if (!stop_)
            ::usleep(100);
          else
            break;
        }
      }
      if (flooding_) {
        ssize_t n = ::write(fd_, flood_.data() + flooded_, flood_.size() - flooded_);
        if (n > 0) flooded_ += static_cast<size_t>(n);
        if (flooded_ == flood_.size()) flooding_ = false;
      }
      // Sleep until the next octet is due either way, or the driver writes.
      auto next = now + std::chrono::milliseconds(flooding_ ? 0 : 5);
      if (!inbound_.empty()) next = std::min(next, inbound_.front().first);
      if (!outbound_.empty()) next = std::min(next, outbound_.front().first);
      auto wait = std::max(next - Clock::now(), Clock::duration::zero());
      timespec ts{0, static_cast<long>(std::chrono::nanoseconds(wait).count())};
      pollfd p{fd_, POLLIN, 0};
      ::ppoll(&p, 1, &ts, nullptr);
    }
  }

  int fd_;
  Clock::duration octet_;
  test::PTPPeer peer_;
  test::PTPDevice device_;
  std::deque<Due> inbound_, outbound_;
  Clock::time_point in_free_{}, out_free_{};
  std::atomic<long> octets_{0};
  std::string flood_;
  size_t flooded_ = 0;
  std::atomic<bool> flooding_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Result {
  double reads_per_s = 0, octets_per_read = 0, line_reads_per_s = 0;
  long reads = 0, failed = 0;
  long flood_rss_kb = 0;     // growth while 20 000 full frames arrive unpaced
  double read_after_ms = 0;  // the first read once they are in
  bool read_after_ok = false;
};

Result Measure(int baud, bacnet::TBACnetPTPBaudRate rate, double seconds) {
  Result r;
  test::PtyPair pty;
  if (!pty.ok()) return r;
  pty.MapToPort(kComPort);
  PacedFarEnd far(pty.master(), baud);

  platform::MessageLoop loop;
  bacnet::TBACnetDataLinkPTP link(loop);
  bacnet::TBACnetNetwork network;
  bacnet::TBACnetApplication app(loop);
  bacnet::TBACnetDevice dev(loop);
  dev.App = &app;
  dev.LoadStoredDefaults();
  app.Network = &network;
  network.NetworkNumber = 13689;
  network.DataLink = &link;
  link.SetBaudRate(rate);
  link.DirectConnect = true;
  link.SetComport(kComPort);
  if (!test::RunTask(loop, dev.OpenAsync(true))) {
    std::printf("  %5d bit/s: the line did not come up\n", baud);
    return r;
  }
  // Who-Is and the rest of the set-up traffic out of the way first.
  const Variant point = Variant::MakeList({Variant("@<Local>-AVAL#1"), Variant("85")});
  for (int i = 0; i < 3; ++i) {
    int response = 0;
    Variant values;
    dev.ReadSync(point, response, values);
  }
  const long octets0 = far.OctetsOnLine();
  const auto t0 = Clock::now();
  while (Seconds(Clock::now() - t0) < seconds) {
    int response = 0;
    Variant values;
    dev.ReadSync(point, response, values);
    if (response == 3)
      ++r.reads;
    else
      ++r.failed;
  }
  const double elapsed = Seconds(Clock::now() - t0);
  const long octets = far.OctetsOnLine() - octets0;
  r.reads_per_s = double(r.reads) / elapsed;
  r.octets_per_read = r.reads > 0 ? double(octets) / double(r.reads) : 0;
  r.line_reads_per_s = r.octets_per_read > 0 ? baud / 10.0 / r.octets_per_read : 0;

  // 20 000 valid full-length frames that want no answer (test responses nobody asked for) with
  // heartbeats between them, then one more read. (Frames that want an answer would only measure
  // the answers' backlog on the paced line.)
  std::string flood;
  for (int i = 0; i < 20000; ++i) {
    std::string data(bacnet::kPTPMaxData, static_cast<char>('a' + i % 26));
    std::memcpy(data.data(), &i, sizeof i);
    flood += test::RefWireFrame(test::ptp::kTestResponse, data);
    flood += test::RefWireFrame(test::ptp::kHeartbeatXOn, "");
  }
  const long rss0 = StatusKb(getpid(), "VmRSS");
  far.Flood(std::move(flood));
  long rss_most = rss0;
  while (far.Flooding()) {
    loop.WaitAndProcess(5);
    rss_most = std::max(rss_most, StatusKb(getpid(), "VmRSS"));
  }
  r.flood_rss_kb = rss_most - rss0;
  const auto t1 = Clock::now();
  int response = 0;
  Variant values;
  dev.ReadSync(point, response, values);
  r.read_after_ms = Seconds(Clock::now() - t1) * 1000;
  r.read_after_ok = response == 3;
  test::RunTask(loop, dev.OpenAsync(false));
  app.OnIndication = nullptr;
  app.OnTransactionFailed = nullptr;
  return r;
}

}  // namespace

int main() {
  std::printf(
      "PTP line rate (ReadProperty back to back, far end paced at the baud rate), load %s\n",
      LoadAverage().c_str());
  struct Case {
    int baud;
    bacnet::TBACnetPTPBaudRate rate;
    double target;
  } cases[] = {{9600, bacnet::br9600, 0.6}, {38400, bacnet::br38400, 0.35}};
  for (const Case& c : cases) {
    Result r = Measure(c.baud, c.rate, 10.0);
    const double share = r.line_reads_per_s > 0 ? r.reads_per_s / r.line_reads_per_s : 0;
    std::printf(
        "  %5d bit/s: %.2f reads/s = %.2f of the line's %.1f/s (%.1f octets a read; target %.2f)"
        "  %ld read, %ld failed\n",
        c.baud, r.reads_per_s, share, r.line_reads_per_s, r.octets_per_read, c.target, r.reads,
        r.failed);
    std::printf(
        "      20 000 full frames unpaced: RSS +%ld kB at most; the next read took %.0f ms (%s)\n",
        r.flood_rss_kb, r.read_after_ms, r.read_after_ok ? "answered" : "failed");
  }
  std::printf("  load %s\n", LoadAverage().c_str());
  return 0;
}
