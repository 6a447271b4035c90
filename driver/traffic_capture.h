// Live captures of a session's traffic for hosts: the host connection's "capture" operation.
//
//   {"id":N,"op":"capture","site":"<Description>"}  -> {"id":N,"capture":K,"pcap":"<hex>"}
//   (the pcap file header), then, unasked, lines {"capture":K,"pcap":"<hex>"} (one record each),
//   {"capture":K,"dropped":D} when D records in all had to be dropped for a slow reader,
//   {"capture":K,"end":"<reason>"} when the session went away
//   {"id":N,"op":"capture","stop":K}                -> {"id":N,"stopped":K,"dropped":D}
//
// A capture ends with its connection too. What waits unread for a connection is bounded by
// MaxBacklog: records beyond it are dropped and counted, never buffered.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "bacnet/link/captured_packet.h"
#include "driver/main_form.h"
#include "platform/host_connection.h"

namespace zb {

class TTrafficCapture {
 public:
  TTrafficCapture(TMainForm& form, platform::HostConnection& host);
  ~TTrafficCapture();
  TTrafficCapture(const TTrafficCapture&) = delete;
  TTrafficCapture& operator=(const TTrafficCapture&) = delete;

  size_t MaxBacklog = 1u << 20;
  int ActiveCount() const { return static_cast<int>(captures_.size()); }

 private:
  struct Capture {
    int Client;
    TBACnetForm* Session;
    int Sink;
    long long Dropped = 0;
    bool DropReported = true;
  };

  platform::Json Serve(int client, const platform::Json& request);
  void Packet(int key, const bacnet::TCapturedPacket& packet);
  void SessionGone(int key);
  void Stop(int key);
  bool Push(Capture& c, const std::string& line);

  TMainForm& form_;
  platform::HostConnection& host_;
  std::map<int, Capture> captures_;
  int next_key_ = 1;
};

}  // namespace zb
