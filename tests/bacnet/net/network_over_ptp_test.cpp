// The network layer on the PTP link, over a pseudo-terminal to the scripted PTP peer: the
// stack's open connects the line, NPDUs travel in Data frames both ways.
#include <gtest/gtest.h>

#include <cstring>

#include "bacnet/link/data_link_ptp.h"
#include "bacnet/net/network.h"
#include "tests/common/fast_clock.h"
#include "tests/common/ptp_peer.h"
#include "tests/common/pty.h"
#include "tests/common/run_task.h"

namespace zb::bacnet {
namespace {

TEST(NetworkOverPTP, OpenSendAndReceive) {
  platform::MessageLoop loop;
  test::FastClock time(loop);
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  pty.MapToPort(58);
  test::PTPPeer peer(loop, pty.master());
  TBACnetDataLinkPTP link(loop);
  link.DirectConnect = true;
  link.SetComport(58);
  TBACnetNetwork net;
  net.DataLink = &link;
  std::vector<std::string> apdus;
  std::string source;
  net.OnReceive = [&](void*, const TBACnetNPDU& n) {
    apdus.emplace_back(reinterpret_cast<const char*>(n.Data), static_cast<size_t>(n.Length));
    source = n.SourceAddress.str();
  };
  ASSERT_TRUE(test::RunTask(loop, net.OpenAsync(true)));
  EXPECT_EQ(net.MaxAPDUCode(), 3);
  EXPECT_EQ(net.WindowLimit(), 1);

  auto npdu = std::make_unique<TBACnetNPDU>();
  const std::string apdu("\x10\x08", 2);  // Who-Is
  npdu->Length = static_cast<int32_t>(apdu.size());
  std::memcpy(npdu->Data, apdu.data(), apdu.size());
  ASSERT_TRUE(net.SendNPDU(*npdu));
  ASSERT_TRUE(time.RunUntil([&] { return peer.npdus.size() == 1; }, 2000));
  const std::string& got = peer.npdus[0];
  ASSERT_GE(got.size(), 4u);
  EXPECT_EQ(got[0], '\x01');  // NPDU version
  EXPECT_EQ(got.substr(got.size() - 2), apdu);

  // An I-Am from the device at the far end: version 1, no control bits, then the APDU.
  const std::string iam("\x10\x00\xC4\x02\x00\x00\x07\x22\x01\xE0\x91\x00\x21\x2A", 14);
  peer.SendData(std::string("\x01\x00", 2) + iam);
  ASSERT_TRUE(time.RunUntil([&] { return apdus.size() == 1; }, 2000));
  EXPECT_EQ(apdus[0], iam);
  EXPECT_EQ(source, "<Local>");

  EXPECT_FALSE(test::RunTask(loop, net.OpenAsync(false)));
  EXPECT_EQ(peer.Count(test::ptp::kDisconnectRequest), 1);
}

}  // namespace
}  // namespace zb::bacnet
