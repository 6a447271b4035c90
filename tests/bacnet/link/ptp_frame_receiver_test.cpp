#include "bacnet/link/ptp_frame_receiver.h"

#include <gtest/gtest.h>

#include "tests/common/ptp_peer.h"

namespace zb::bacnet {
namespace {

struct Got {
  bool invalid;
  int type;
  std::string data;
  bool operator==(const Got&) const = default;
};

std::vector<Got> Drain(TPTPFrameReceiver& r) {
  std::vector<Got> out;
  for (auto& f : r.ReceiveQueue) out.push_back({f.Invalid, f.Invalid ? -1 : f.FrameType, f.Data});
  r.ReceiveQueue.clear();
  return out;
}

void Tick(TPTPFrameReceiver& r) {
  ++r.SilenceTimer;
  r.CheckTimeout();
}

TEST(PTPFrameReceiver, ReceivesReferenceFramesWithEscapes) {
  TPTPFrameReceiver r;
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  std::string max(kPTPMaxData, '\x10');
  r.ReceiveOctets(test::RefWireFrame(0x01, "") + test::RefWireFrame(0x02, "abc") +
                  test::RefWireFrame(0x14, all) + test::RefWireFrame(0x03, max));
  EXPECT_EQ(Drain(r), (std::vector<Got>{
                          {false, 1, ""}, {false, 2, "abc"}, {false, 0x14, all}, {false, 3, max}}));
  EXPECT_EQ(r.State, frIdle);
}

TEST(PTPFrameReceiver, DropsXonXoffAnywhere) {
  TPTPFrameReceiver r;
  std::string wire = test::RefWireFrame(0x02, std::string("\x10\x11\x13 data", 8));
  std::string noisy;
  for (char c : wire) {
    noisy += '\x11';
    noisy += c;
    noisy += '\x13';
  }
  r.ReceiveOctets(noisy);
  EXPECT_EQ(Drain(r), (std::vector<Got>{{false, 2, std::string("\x10\x11\x13 data", 8)}}));
}

TEST(PTPFrameReceiver, HeaderChecks) {
  TPTPFrameReceiver r;
  // Wrong header CRC: nothing at all, and the next frame is found.
  std::string bad = test::RefLogicalFrame(0x01, "");
  bad[5] ^= 0x01;
  r.ReceiveOctets(bad);
  EXPECT_TRUE(Drain(r).empty());
  EXPECT_EQ(r.State, frIdle);
  // 502 octets announced: one marker right after the header.
  std::string hdr = "\x55\xFF\x02\x01\xF6";
  hdr += static_cast<char>(test::RefHeaderCRC(0x02, 502));
  r.ReceiveOctets(hdr);
  EXPECT_EQ(Drain(r), (std::vector<Got>{{true, -1, ""}}));
  EXPECT_EQ(r.State, frIdle);
  // Repeated first preamble octets are skipped; a lone 0x55 0x00 is no start.
  r.ReceiveOctets(std::string("\x55\x00", 2) + "\x55\x55\x55" +
                  test::RefWireFrame(0x06, "").substr(1));
  EXPECT_EQ(Drain(r), (std::vector<Got>{{false, 6, ""}}));
  // Unnamed types with good CRCs are queued like any other.
  r.ReceiveOctets(test::RefWireFrame(0x16, "z") + test::RefWireFrame(0xFF, ""));
  EXPECT_EQ(Drain(r), (std::vector<Got>{{false, 0x16, "z"}, {false, 0xFF, ""}}));
}

TEST(PTPFrameReceiver, DataCRCWrongGivesMarker) {
  TPTPFrameReceiver r;
  std::string f = test::RefLogicalFrame(0x02, "hello");
  f[8] ^= 0x20;
  r.ReceiveOctets(f + test::RefWireFrame(0x03, "ok"));
  EXPECT_EQ(Drain(r), (std::vector<Got>{{true, -1, ""}, {false, 3, "ok"}}));
}

TEST(PTPFrameReceiver, SilenceTimeOut) {
  TPTPFrameReceiver r;
  std::string f = test::RefWireFrame(0x02, "hello");
  // Header complete, data stop: a marker after more than 20 ticks, not at 20.
  r.ReceiveOctets(f.substr(0, 8));
  EXPECT_EQ(r.State, frData);
  for (int i = 0; i < 20; ++i) Tick(r);
  EXPECT_TRUE(r.ReceiveQueue.empty());
  Tick(r);
  EXPECT_EQ(Drain(r), (std::vector<Got>{{true, -1, ""}}));
  // Octets inside the frame do not restart the count: a slow frame fails as a whole.
  r.ReceiveOctets(f.substr(0, 3));
  for (size_t i = 3; i < f.size(); ++i) {
    for (int t = 0; t < 3; ++t) Tick(r);
    r.ReceiveOctet(static_cast<uint8_t>(f[i]));
  }
  auto got = Drain(r);
  EXPECT_TRUE(got.empty() || got[0].invalid);
  EXPECT_EQ(r.State, frIdle);
  // A header cut short times out silently.
  r.ReceiveOctets(f.substr(0, 4));
  for (int i = 0; i < 21; ++i) Tick(r);
  EXPECT_TRUE(Drain(r).empty());
  EXPECT_EQ(r.State, frIdle);
}

TEST(PTPFrameReceiver, LineErrors) {
  TPTPFrameReceiver r;
  std::string f = test::RefWireFrame(0x02, "hello");
  r.ReceiveOctets(f.substr(0, 9));
  r.SilenceTimer = 7;
  r.LineError();
  EXPECT_EQ(Drain(r), (std::vector<Got>{{true, -1, ""}}));
  EXPECT_EQ(r.SilenceTimer, 0);
  r.ReceiveOctets(f.substr(0, 4));
  r.LineError();
  EXPECT_TRUE(Drain(r).empty());
  EXPECT_EQ(r.State, frIdle);
  r.ReceiveOctets(f);
  EXPECT_EQ(Drain(r), (std::vector<Got>{{false, 2, "hello"}}));
}

TEST(PTPFrameReceiver, SplitAtEveryOffsetWithTicksBetween) {
  std::string stream = std::string("BACnet\r") + test::RefWireFrame(0x0C, "") +
                       test::RefWireFrame(0x02, std::string("\x10\x55\xFF\x13", 4)) +
                       test::RefWireFrame(0x07, "");
  std::vector<Got> want = {
      {false, 0x0C, ""}, {false, 2, std::string("\x10\x55\xFF\x13", 4)}, {false, 7, ""}};
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    TPTPFrameReceiver r;
    int starts = 0;
    r.OnFrameStart = [&] { ++starts; };
    r.ReceiveOctets(stream.substr(0, cut));
    Tick(r);
    Tick(r);
    r.ReceiveOctets(stream.substr(cut));
    ASSERT_EQ(Drain(r), want) << "cut at " << cut;
    EXPECT_EQ(starts, 3);
  }
}

TEST(PTPFrameReceiver, TruncatedFramesNeverYieldAFrameAndRecover) {
  std::string f = test::RefWireFrame(0x02, "0123456789");
  for (size_t cut = 0; cut < f.size(); ++cut) {
    TPTPFrameReceiver r;
    r.ReceiveOctets(f.substr(0, cut));
    for (int i = 0; i < 21; ++i) Tick(r);
    for (auto& g : Drain(r)) ASSERT_TRUE(g.invalid) << cut;
    r.ReceiveOctets(f);
    ASSERT_EQ(Drain(r), (std::vector<Got>{{false, 2, "0123456789"}})) << cut;
  }
}

}  // namespace
}  // namespace zb::bacnet
