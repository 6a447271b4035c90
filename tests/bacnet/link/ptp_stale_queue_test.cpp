// Frames queued while no connection was up are not carried into the next connection: their
// requests have long been given up above, and a late write would still take effect.
#include <gtest/gtest.h>

#include <cstring>

#include "bacnet/link/data_link_ptp.h"
#include "tests/common/fast_clock.h"
#include "tests/common/ptp_peer.h"
#include "tests/common/pty.h"
#include "tests/common/run_task.h"

namespace zb::bacnet {
namespace {

bool Queue(TBACnetDataLinkPTP& link, const std::string& npdu) {
  auto f = std::make_unique<TBACnetFrame>();
  f->Length = static_cast<int32_t>(npdu.size());
  std::memcpy(f->Data, npdu.data(), npdu.size());
  return link.Send(*f);
}

TEST(PTPStaleQueue, FramesQueuedWithoutAConnectionAreDroppedByTheNextOpen) {
  platform::MessageLoop loop;
  test::FastClock time(loop);
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  pty.MapToPort(57);
  test::PTPPeer peer(loop, pty.master());
  TBACnetDataLinkPTP link(loop);
  link.DirectConnect = true;
  link.SetComport(57);

  ASSERT_TRUE(Queue(link, "before the first open"));
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  ASSERT_TRUE(Queue(link, "first"));
  ASSERT_TRUE(time.RunUntil([&] { return peer.npdus.size() == 1; }, 3000));
  EXPECT_EQ(peer.npdus[0], "first");

  EXPECT_FALSE(test::RunTask(loop, link.Activate(false)));
  ASSERT_TRUE(Queue(link, "while closed"));
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  ASSERT_TRUE(Queue(link, "second"));
  ASSERT_TRUE(time.RunUntil([&] { return peer.npdus.size() >= 2; }, 3000));
  time.RunFor(1000);
  EXPECT_EQ(peer.npdus, (std::vector<std::string>{"first", "second"}));
}

}  // namespace
}  // namespace zb::bacnet
