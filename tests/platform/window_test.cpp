#include "platform/window.h"

#include <gtest/gtest.h>

#include "platform/message_loop.h"

namespace zb::platform {
namespace {

// A viewer whose person comes and goes as the test says.
struct Viewer : WindowViewer {
  bool watching = false;
  bool PersonWatching() const override { return watching; }
};

class TestForm : public Form {
 public:
  explicit TestForm(Desktop& desktop, Form* parent = nullptr)
      : Form(desktop, "TestForm", "TTestForm", parent) {}
  TextView Memo{*this, "Memo"};
  CheckBox Check{*this, "Check", "Log Enabled", true};
  Button Btn{*this, "Btn", "WhoIs"};
  MenuItem Exit{*this, "Exit", "File", "Exit"};
  StatusPanel Panel{*this, "Panel", "0 Connections"};
};

TEST(Window, FormsAndControlsKeepCreationOrder) {
  MessageLoop loop;
  Desktop desktop(loop);
  TestForm frame(desktop);
  auto child1 = std::make_unique<TestForm>(desktop, &frame);
  auto child2 = std::make_unique<TestForm>(desktop, &frame);
  ASSERT_EQ(frame.Children().size(), 2u);
  EXPECT_EQ(frame.Children()[0], child1.get());
  EXPECT_EQ(frame.Children()[1], child2.get());
  ASSERT_EQ(frame.Controls().size(), 5u);
  EXPECT_EQ(frame.Controls()[0]->Name(), "Memo");
  EXPECT_EQ(frame.Controls()[4]->Name(), "Panel");
  EXPECT_EQ(desktop.FromHandle(child1->Handle()), child1.get());
  int h = child1->Handle();
  child1.reset();
  EXPECT_EQ(desktop.FromHandle(h), nullptr);
  EXPECT_EQ(frame.Children().size(), 1u);
  EXPECT_NE(child2->Handle(), h);
  EXPECT_EQ(desktop.Forms(), (std::vector<Form*>{&frame, child2.get()}));
}

TEST(Window, DesktopsKeepTheirOwnForms) {
  MessageLoop loop;
  Desktop one(loop), two(loop);
  TestForm a(one), b(two);
  EXPECT_EQ(one.Forms(), std::vector<Form*>{&a});
  EXPECT_EQ(two.Forms(), std::vector<Form*>{&b});
  EXPECT_EQ(one.FromHandle(a.Handle()), &a);
  EXPECT_EQ(two.FromHandle(a.Handle()), a.Handle() == b.Handle() ? &b : nullptr);
  TestForm child(two, &a);  // a parent on another desktop is still only that desktop's child
  EXPECT_TRUE(a.Children().empty());
}

TEST(Window, ChildOutlivingItsFrameBecomesTopLevel) {
  MessageLoop loop;
  Desktop desktop(loop);
  auto frame = std::make_unique<TestForm>(desktop);
  TestForm child(desktop, frame.get());
  frame.reset();
  EXPECT_EQ(child.Parent(), nullptr);
}

TEST(Window, ClicksRunHandlers) {
  MessageLoop loop;
  Desktop desktop(loop);
  TestForm f(desktop);
  int clicks = 0;
  f.Btn.OnClick = [&] { ++clicks; };
  f.FindControl("Btn")->Click();
  EXPECT_EQ(clicks, 1);
  bool seen = true;
  f.Check.OnClick = [&] { seen = f.Check.Checked; };
  f.Check.Click();
  EXPECT_FALSE(f.Check.Checked);
  EXPECT_FALSE(seen);
  f.Memo.Click();  // nothing happens
  f.Memo.Add("a");
  f.Memo.Add("b\r");
  EXPECT_EQ(f.Memo.Count(), 2);
  EXPECT_EQ(f.Memo.Lines()[1], "b\r");
  f.Memo.Clear();
  EXPECT_EQ(f.Memo.Count(), 0);
}

TEST(Window, CloseQueryCanRefuse) {
  MessageLoop loop;
  Desktop desktop(loop);
  TestForm f(desktop);
  f.Show();
  bool allow = false;
  int closed = 0;
  f.OnCloseQuery = [&](bool& can) { can = allow; };
  f.OnClose = [&] { ++closed; };
  EXPECT_FALSE(f.Close());
  EXPECT_TRUE(f.Visible());
  EXPECT_EQ(closed, 0);
  allow = true;
  EXPECT_TRUE(f.Close());
  EXPECT_FALSE(f.Visible());
  EXPECT_EQ(closed, 1);
}

TEST(Confirmation, YesWhenNobodyWatches) {
  MessageLoop loop;
  Desktop desktop(loop);
  EXPECT_TRUE(desktop.Ask("COM Server Warning", "sure?"));
  Viewer viewer;
  desktop.AddViewer(viewer);
  EXPECT_TRUE(desktop.Ask("COM Server Warning", "sure?"));
}

TEST(Confirmation, AViewerGoingLeavesTheOthersWatching) {
  MessageLoop loop;
  Desktop desktop(loop);
  Viewer first, second;
  desktop.AddViewer(first);
  desktop.AddViewer(second);
  desktop.AddViewer(second);
  second.watching = true;
  EXPECT_TRUE(desktop.PersonWatching());
  desktop.RemoveViewer(first);
  EXPECT_TRUE(desktop.PersonWatching()) << "the person watching through the other one still is";
  desktop.RemoveViewer(second);
  EXPECT_FALSE(desktop.PersonWatching());
}

TEST(Confirmation, WaitsForThePersonsAnswer) {
  MessageLoop loop;
  Desktop desktop(loop);
  Viewer viewer;
  viewer.watching = true;
  desktop.AddViewer(viewer);
  // The answer arrives as a later event on the loop, as it would from the host tool.
  loop.Post([&] {
    const ConfirmationRequest* q = desktop.PendingQuestion();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->Caption, "COM Server Warning");
    EXPECT_FALSE(desktop.Answer(q->Id + 1000, true));
    EXPECT_TRUE(desktop.Answer(q->Id, false));
  });
  EXPECT_FALSE(desktop.Ask("COM Server Warning", "sure?"));
  EXPECT_EQ(desktop.PendingQuestion(), nullptr);

  // A question asked while another waits is answered first; then the outer one.
  std::vector<std::string> order;
  loop.Post([&] {
    loop.Post([&] {
      ASSERT_NE(desktop.PendingQuestion(), nullptr);
      order.push_back(desktop.PendingQuestion()->Caption);
      desktop.Answer(desktop.PendingQuestion()->Id, true);
    });
    order.push_back(desktop.Ask("inner", "?") ? "inner yes" : "inner no");
    ASSERT_NE(desktop.PendingQuestion(), nullptr);
    order.push_back(desktop.PendingQuestion()->Caption);
    desktop.Answer(desktop.PendingQuestion()->Id, false);
  });
  EXPECT_FALSE(desktop.Ask("outer", "?"));
  EXPECT_EQ(order, (std::vector<std::string>{"inner", "inner yes", "outer"}));

  // The person goes away without answering: the action proceeds.
  loop.Post([&] { viewer.watching = false; });
  EXPECT_TRUE(desktop.Ask("COM Server Warning", "sure?"));
}

}  // namespace
}  // namespace zb::platform
