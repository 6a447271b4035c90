// A message for the user from a session's PTP link (its port cannot be re-opened) reaches the
// driver window's status panel and stays there while the session moves on.
#include <gtest/gtest.h>

#include <cstdlib>

#include "driver/main_form.h"
#include "tests/common/pty.h"

namespace zb {
namespace {

TEST(DriverWindowMessages, PortThatCannotBeReopenedIsShownInTheStatusPanel) {
  platform::MessageLoop loop;
  platform::Desktop desktop(loop);
  TMainForm main(desktop);
  TConnectionInfo info;
  info.Description = "Line";
  info.PanelType = 1;
  TBACnetForm* s = main.FindOrCreateSession(info);
  ASSERT_NE(s, nullptr);
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  pty.MapToPort(43);
  bacnet::TBACnetDataLinkPTP& link = s->Stack.PTP;
  link.SetComport(43);
  link.Port().SetOpen(true);
  ::setenv("ZELBACNET_COM43", "/nonexistent/tty", 1);
  link.SetComport(43);  // re-opens the port it had open
  EXPECT_EQ(main.MessagePnl.Caption, "COM43 is invalid or already in use.");
  EXPECT_FALSE(link.Port().Open());
  s->Queue.SetStatus("Connecting...");
  EXPECT_EQ(main.MessagePnl.Caption, "COM43 is invalid or already in use.");
}

}  // namespace
}  // namespace zb
