// The independent referee of what goes over the wire: taps a test's traffic inside its private
// namespaces and has tshark decode it; a frame tshark calls malformed, or one that carries an
// expert error, is a fault of whoever sent it.
#pragma once

#include <string>
#include <vector>

namespace zb::test {

struct CaptureSummary {
  bool ok = false;  // captured and decoded
  std::string error;
  int frames = 0;
  int malformed = 0;             // frames marked malformed or with an expert error
  std::vector<std::string> bad;  // "number info expert-message" of each such frame
  std::string Text() const;
};

class WireCapture {
 public:
  WireCapture() = default;
  ~WireCapture();
  WireCapture(const WireCapture&) = delete;
  WireCapture& operator=(const WireCapture&) = delete;

  // Taps every frame that passes `iface` inside the named namespace (the calling thread's when
  // empty): a packet socket whose queue holds them until Stop, so that none is lost however
  // busy the machine is. False when that is impossible here.
  bool Start(const std::string& netns, const std::string& iface);
  bool Running() const { return fd_ >= 0; }
  // Writes the UDP frames to a capture file and has tshark judge them. Datagrams to
  // `extra_ports` are decoded as BACnet/IP too (47808 is by default). ZB_KEEP_CAPTURES=1 in
  // the environment keeps the file for a look.
  CaptureSummary Stop(const std::vector<int>& extra_ports = {});

 private:
  int fd_ = -1;
};

// Whether tshark is installed (tools/setup.sh).
bool CaptureToolsInstalled();

}  // namespace zb::test
