// The octet-by-octet PTP frame receiver: fed one octet at a time, it hunts for the preamble,
// checks header and data CRCs and queues complete frames or invalid-frame markers in
// ReceiveQueue. No I/O inside; the owner feeds octets, ticks and line errors.
//
// The owner handles each frame as it is queued, so entries wait only while it is busy writing a
// frame of its own. A far end that keeps sending meanwhile must neither grow the queue without
// bound nor bury its data behind heartbeats and repetitions, hence the limits below.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "bacnet/link/ptp_frame.h"

namespace zb::bacnet {

enum TFrameReceiverState { frIdle, frPreamble, frHeader, frData };

struct TPTPReceivedFrame {
  bool Invalid = false;  // an invalid-frame marker (data CRC, length, time-out, line error)
  uint8_t FrameType = 0;
  std::string Data;
};

class TPTPFrameReceiver {
 public:
  void ReceiveOctet(uint8_t b);
  void ReceiveOctets(const std::string& octets) {
    for (unsigned char c : octets) ReceiveOctet(c);
  }
  // After the tick has incremented SilenceTimer: abandon a frame whose rest did not arrive
  // within 2 s.
  void CheckTimeout();
  void LineError();
  void Reset();

  TFrameReceiverState State = frIdle;
  int SilenceTimer = 0;  // 100 ms ticks since the last octet that may start a frame
  std::deque<TPTPReceivedFrame> ReceiveQueue;
  // Frames and markers left out by the limits, for the curious.
  uint32_t Discarded = 0;

  // A first preamble octet arrived in frIdle (the machines clear their waiting indication).
  std::function<void()> OnFrameStart;
  // A frame or marker was queued.
  std::function<void()> OnQueued;

  static constexpr int kSilenceLimit = 20;
  // Entries in all, and of those, entries that carry no data and no connection state
  // (heartbeats, test frames, unassigned types, invalid-frame markers).
  static constexpr size_t kMaxQueued = 16;
  static constexpr size_t kMaxHousekeeping = 2;
  // Data, acknowledgements and connection frames; the rest may be dropped first.
  static bool CarriesState(const TPTPReceivedFrame& f);

 private:
  void Queue(bool invalid);
  void Enqueue(TPTPReceivedFrame f);

  uint8_t mask_ = 0;
  int index_ = 0;
  uint8_t frame_type_ = 0;
  int length_ = 0;
  uint8_t header_crc_ = 0xFF;
  uint16_t data_crc_ = 0xFFFF;
  uint8_t buffer_[kPTPMaxData] = {};
};

}  // namespace zb::bacnet
