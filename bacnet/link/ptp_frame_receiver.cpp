#include "bacnet/link/ptp_frame_receiver.h"

namespace zb::bacnet {

void TPTPFrameReceiver::Reset() {
  State = frIdle;
  SilenceTimer = 0;
  mask_ = 0;
  index_ = 0;
  length_ = 0;
}

void TPTPFrameReceiver::Queue(bool invalid) {
  TPTPReceivedFrame f;
  f.Invalid = invalid;
  if (!invalid) {
    f.FrameType = frame_type_;
    f.Data.assign(reinterpret_cast<const char*>(buffer_), static_cast<size_t>(length_));
  }
  ReceiveQueue.push_back(std::move(f));
  State = frIdle;
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
