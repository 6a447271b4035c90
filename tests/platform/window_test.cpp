#include "platform/window.h"

#include <gtest/gtest.h>

#include "platform/message_loop.h"

namespace zb::platform {
namespace {

class TestForm : public Form {
 public:
  explicit TestForm(Form* parent = nullptr) : Form("TestForm", "TTestForm", parent) {}
  TextView Memo{*this, "Memo"};
  CheckBox Check{*this, "Check", "Log Enabled", true};
  Button Btn{*this, "Btn", "WhoIs"};
  MenuItem Exit{*this, "Exit", "File", "Exit"};
  StatusPanel Panel{*this, "Panel", "0 Connections"};
};

TEST(Window, FormsAndControlsKeepCreationOrder) {
  TestForm frame;
  auto child1 = std::make_unique<TestForm>(&frame);
  auto child2 = std::make_unique<TestForm>(&frame);
  ASSERT_EQ(frame.Children().size(), 2u);
  EXPECT_EQ(frame.Children()[0], child1.get());
  EXPECT_EQ(frame.Children()[1], child2.get());
  ASSERT_EQ(frame.Controls().size(), 5u);
  EXPECT_EQ(frame.Controls()[0]->Name(), "Memo");
  EXPECT_EQ(frame.Controls()[4]->Name(), "Panel");
  EXPECT_EQ(Form::FromHandle(child1->Handle()), child1.get());
  int h = child1->Handle();
  child1.reset();
  EXPECT_EQ(Form::FromHandle(h), nullptr);
  EXPECT_EQ(frame.Children().size(), 1u);
  EXPECT_NE(child2->Handle(), h);
}

TEST(Window, ChildOutlivingItsFrameBecomesTopLevel) {
  auto frame = std::make_unique<TestForm>();
  TestForm child(frame.get());
  frame.reset();
  EXPECT_EQ(child.Parent(), nullptr);
}

TEST(Window, ClicksRunHandlers) {
  TestForm f;
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
  TestForm f;
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
  Confirmation::PersonWatching = nullptr;
  EXPECT_TRUE(Confirmation::Ask("COM Server Warning", "sure?"));
  Confirmation::PersonWatching = [] { return false; };
  EXPECT_TRUE(Confirmation::Ask("COM Server Warning", "sure?"));
  Confirmation::PersonWatching = nullptr;
}

TEST(Confirmation, WaitsForThePersonsAnswer) {
  auto& loop = MessageLoop::Current();
  bool watching = true;
  Confirmation::PersonWatching = [&] { return watching; };
  // The answer arrives as a later event on the loop, as it would from the host tool.
  loop.Post([] {
    const ConfirmationRequest* q = Confirmation::Pending();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->Caption, "COM Server Warning");
    EXPECT_FALSE(Confirmation::Answer(q->Id + 1000, true));
    EXPECT_TRUE(Confirmation::Answer(q->Id, false));
  });
  EXPECT_FALSE(Confirmation::Ask("COM Server Warning", "sure?"));
  EXPECT_EQ(Confirmation::Pending(), nullptr);

  // A question asked while another waits is answered first; then the outer one.
  std::vector<std::string> order;
  loop.Post([&] {
    loop.Post([&] {
      ASSERT_NE(Confirmation::Pending(), nullptr);
      order.push_back(Confirmation::Pending()->Caption);
      Confirmation::Answer(Confirmation::Pending()->Id, true);
    });
    order.push_back(Confirmation::Ask("inner", "?") ? "inner yes" : "inner no");
    ASSERT_NE(Confirmation::Pending(), nullptr);
    order.push_back(Confirmation::Pending()->Caption);
    Confirmation::Answer(Confirmation::Pending()->Id, false);
  });
  EXPECT_FALSE(Confirmation::Ask("outer", "?"));
  EXPECT_EQ(order, (std::vector<std::string>{"inner", "inner yes", "outer"}));

  // The person goes away without answering: the action proceeds.
  loop.Post([&] { watching = false; });
  EXPECT_TRUE(Confirmation::Ask("COM Server Warning", "sure?"));
  Confirmation::PersonWatching = nullptr;
}

}  // namespace
}  // namespace zb::platform
