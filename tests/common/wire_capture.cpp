#include "tests/common/wire_capture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace zb::test {

namespace {

void Pause(int ms) {
  timespec t{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}

// The command's standard output, one entry per line.
std::vector<std::string> Lines(const std::string& command) {
  std::vector<std::string> lines;
  FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) return lines;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, p)) {
    std::string l(buf);
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    lines.push_back(l);
  }
  pclose(p);
  return lines;
}

std::vector<std::string> Split(const std::string& line, char at) {
  std::vector<std::string> cols;
  size_t from = 0;
  for (;;) {
    const size_t next = line.find(at, from);
    cols.push_back(line.substr(from, next == std::string::npos ? std::string::npos : next - from));
    if (next == std::string::npos) return cols;
    from = next + 1;
  }
}

void Put32(FILE* f, uint32_t v) { std::fwrite(&v, 4, 1, f); }
void Put16(FILE* f, uint16_t v) { std::fwrite(&v, 2, 1, f); }

// An Ethernet frame carrying IPv4 UDP.
bool IsUDP(const unsigned char* frame, size_t n) {
  return n >= 14 + 20 && frame[12] == 0x08 && frame[13] == 0x00 && frame[14 + 9] == 17;
}

}  // namespace

std::string CaptureSummary::Text() const {
  if (!ok) return "capture failed: " + error;
  std::string t = "capture: " + std::to_string(frames) + " frames, " + std::to_string(malformed) +
                  " malformed or with expert errors";
  for (const auto& b : bad) t += "\n  " + b;
  if (!error.empty()) t += "\n  " + error;
  return t;
}

bool CaptureToolsInstalled() { return access("/usr/bin/tshark", X_OK) == 0; }

WireCapture::~WireCapture() {
  if (fd_ >= 0) close(fd_);
}

bool WireCapture::Start(const std::string& netns, const std::string& iface) {
  if (fd_ >= 0 || !CaptureToolsInstalled()) return false;
  int here = -1, there = -1;
  if (!netns.empty()) {
    here = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    there = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (here < 0 || there < 0 || setns(there, CLONE_NEWNET) != 0) {
      if (here >= 0) close(here);
      if (there >= 0) close(there);
      return false;
    }
  }
  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
  bool ok = fd >= 0;
  if (ok) {
    // Room for every frame of a test; the queue is read only at the end.
    int size = 16 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(if_nametoindex(iface.c_str()));
    ok = at.sll_ifindex > 0 && bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
  }
  if (here >= 0) {
    setns(here, CLONE_NEWNET);
    close(here);
    close(there);
  }
  if (!ok) {
    if (fd >= 0) close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

CaptureSummary WireCapture::Stop(const std::vector<int>& extra_ports) {
  CaptureSummary s;
  if (fd_ < 0) {
    s.error = "not capturing";
    return s;
  }
  // Datagrams still in flight get their moment.
  Pause(100);
  static int counter = 0;
  const std::string file =
      "/tmp/zbcap-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".pcap";
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) {
    s.error = "cannot write " + file;
    close(fd_);
    fd_ = -1;
    return s;
  }
  // Classic pcap: microsecond time stamps, Ethernet.
  Put32(f, 0xa1b2c3d4);
  Put16(f, 2);
  Put16(f, 4);
  Put32(f, 0);
  Put32(f, 0);
  Put32(f, 65535);
  Put32(f, 1);
  static unsigned char frame[65536];
  for (;;) {
    const ssize_t n = recv(fd_, frame, sizeof frame, MSG_DONTWAIT);
    if (n < 0) break;
    if (!IsUDP(frame, static_cast<size_t>(n))) continue;
    timeval tv{};
    if (ioctl(fd_, SIOCGSTAMP, &tv) != 0) gettimeofday(&tv, nullptr);
    Put32(f, static_cast<uint32_t>(tv.tv_sec));
    Put32(f, static_cast<uint32_t>(tv.tv_usec));
    Put32(f, static_cast<uint32_t>(n));
    Put32(f, static_cast<uint32_t>(n));
    std::fwrite(frame, 1, static_cast<size_t>(n), f);
  }
  std::fclose(f);
  close(fd_);
  fd_ = -1;

  std::string decode;
  for (int port : extra_ports) decode += " -d udp.port==" + std::to_string(port) + ",bvlc";
  // One pass: every frame as number, malformed marks, expert severities, summary.
  const std::vector<std::string> frames =
      Lines("tshark -n -r " + file + decode +
            " -T fields -E separator=/t -e frame.number -e _ws.malformed"
            " -e _ws.expert.severity -e _ws.col.Info -e _ws.expert.message");
  s.frames = static_cast<int>(frames.size());
  for (const std::string& line : frames) {
    std::vector<std::string> cols = Split(line, '\t');
    cols.resize(5);
    bool bad = !cols[1].empty();
    // Severities are comma-separated; errors are 0x00800000 and above.
    for (const std::string& one : Split(cols[2], ','))
      if (!one.empty() && std::strtoul(one.c_str(), nullptr, 0) >= 0x00800000UL) bad = true;
    if (bad) s.bad.push_back(cols[0] + " " + cols[3] + " " + cols[4]);
  }
  s.malformed = static_cast<int>(s.bad.size());
  s.ok = true;
  if (getenv("ZB_KEEP_CAPTURES")) {
    s.error = "kept " + file;
  } else {
    unlink(file.c_str());
  }
  return s;
}

}  // namespace zb::test
