// NPDUs too short for any header reach nothing above the network layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bacnet/net/network.h"
#include "tests/bacnet/net/scripted_link.h"

namespace zb::bacnet {
namespace {

TEST(NetworkRegressions, NPDUsOfZeroOneAndTwoOctets) {
  testing::ScriptedLink link;
  TBACnetNetwork net;
  net.DataLink = &link;
  std::vector<int> lengths;
  net.OnReceive = [&](void*, const TBACnetNPDU& npdu) { lengths.push_back(npdu.Length); };
  ASSERT_TRUE(net.Open(true));
  const std::string source("\x0A\x00\x00\x07\xBA\xC0", 6);
  // No header, half a header, headers that announce more than follows, a wrong version.
  for (const std::string& npdu :
       {std::string(), std::string("\x01", 1), std::string("\x00", 1), std::string("\x01\x80", 2),
        std::string("\x01\x20", 2), std::string("\x01\x08", 2), std::string("\x01\x28", 2),
        std::string("\xFF\xFF", 2)})
    link.Inject(npdu, source);
  EXPECT_TRUE(lengths.empty());
  // A bare header goes up with an empty APDU (the application layer drops it), never a
  // negative length.
  link.Inject(std::string("\x01\x00", 2), source);
  link.Inject(std::string("\x01\x04", 2), source);
  for (int n : lengths) EXPECT_EQ(n, 0);
  lengths.clear();
  link.Inject(std::string("\x01\x00\x10\x08", 4), source);
  EXPECT_EQ(lengths, std::vector<int>{2});
}

}  // namespace
}  // namespace zb::bacnet
