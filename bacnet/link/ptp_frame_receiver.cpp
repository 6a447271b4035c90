#include "bacnet/link/ptp_frame_receiver.h"

#include <algorithm>

namespace zb::bacnet {

void TPTPFrameReceiver::Reset() {
  State = frIdle;
  SilenceTimer = 0;
  mask_ = 0;
  index_ = 0;
  length_ = 0;
}

bool TPTPFrameReceiver::CarriesState(const TPTPReceivedFrame& f) {
  return !f.Invalid && f.FrameType >= ptpData0 && f.FrameType <= ptpDisconnectResponse;
}

void TPTPFrameReceiver::Enqueue(TPTPReceivedFrame f) {
  auto& q = ReceiveQueue;
  // The far end repeating itself while we are busy: one repetition waits (its answer tells the
  // far end it was heard again), more add nothing.
  auto same = [&f](const TPTPReceivedFrame& e) {
    return e.Invalid == f.Invalid && e.FrameType == f.FrameType && e.Data == f.Data;
  };
  if (q.size() >= 2 && same(q.back()) && same(q[q.size() - 2])) {
    ++Discarded;
    return;
  }
  auto oldest_housekeeping = [&q] {
    return std::find_if(q.begin(), q.end(), [](const auto& e) { return !CarriesState(e); });
  };
  if (!CarriesState(f)) {
    // Only the latest heartbeats and test frames matter; older ones make way.
    size_t n = static_cast<size_t>(
        std::count_if(q.begin(), q.end(), [](const auto& e) { return !CarriesState(e); }));
    if (n >= kMaxHousekeeping) {
      q.erase(oldest_housekeeping());
      ++Discarded;
    }
  }
  if (q.size() >= kMaxQueued) {
    auto it = oldest_housekeeping();
    if (it == q.end()) {
      // Full of data-carrying frames: the newest is left out; its sender repeats it.
      ++Discarded;
      return;
    }
    q.erase(it);
    ++Discarded;
  }
  q.push_back(std::move(f));
}

void TPTPFrameReceiver::Queue(bool invalid) {
  TPTPReceivedFrame f;
  f.Invalid = invalid;
  if (!invalid) {
    f.FrameType = frame_type_;
    f.Data.assign(reinterpret_cast<const char*>(buffer_), static_cast<size_t>(length_));
  }
  State = frIdle;
  Enqueue(std::move(f));
  if (OnQueued) OnQueued();
}

void TPTPFrameReceiver::ReceiveOctet(uint8_t b) {
  // Flow-control octets never belong to a frame: the sender escapes them.
  if (b == kPTPXON || b == kPTPXOFF) {
    SilenceTimer = 0;
    return;
  }
  switch (State) {
    case frIdle:
      SilenceTimer = 0;
      if (b == kPTPPreamble1) {
        State = frPreamble;
        if (OnFrameStart) OnFrameStart();
      }
      break;
    case frPreamble:
      SilenceTimer = 0;
      if (b == kPTPPreamble1) break;
      if (b == kPTPPreamble2) {
        mask_ = 0;
        header_crc_ = 0xFF;
        index_ = 0;
        State = frHeader;
      } else {
        State = frIdle;
      }
      break;
    case frHeader: {
      if (b == kPTPDLE) {
        mask_ = 0x80;
        break;
      }
      uint8_t v = static_cast<uint8_t>(b & ~mask_);
      mask_ = 0;
      header_crc_ = PTPHeaderCRCUpdate(v, header_crc_);
      switch (index_) {
        case 0:
          frame_type_ = v;
          break;
        case 1:
          length_ = v * 256;
          break;
        case 2:
          length_ += v;
          break;
        default:
          if (header_crc_ != kPTPHeaderCRCGood) {
            State = frIdle;  // forgotten without trace
            return;
          }
          if (length_ > kPTPMaxData) {
            Queue(true);
          } else if (length_ == 0) {
            Queue(false);
          } else {
            index_ = 0;
            data_crc_ = 0xFFFF;
            State = frData;
          }
          return;
      }
      ++index_;
      break;
    }
    case frData: {
      if (b == kPTPDLE) {
        mask_ = 0x80;
        break;
      }
      uint8_t v = static_cast<uint8_t>(b & ~mask_);
      mask_ = 0;
      data_crc_ = PTPDataCRCUpdate(v, data_crc_);
      if (index_ < length_) {
        buffer_[index_++] = v;  // length_ <= kPTPMaxData, checked with the header
      } else if (index_ == length_) {
        ++index_;
      } else {
        Queue(data_crc_ != kPTPDataCRCGood);
      }
      break;
    }
  }
}

void TPTPFrameReceiver::CheckTimeout() {
  if (SilenceTimer <= kSilenceLimit) return;
  if (State == frData)
    Queue(true);
  else
    State = frIdle;
}

void TPTPFrameReceiver::LineError() {
  SilenceTimer = 0;
  if (State == frData)
    Queue(true);
  else
    State = frIdle;
}

}  // namespace zb::bacnet
