// The main of every test executable. Under CI (CI=true) a skipped test fails its executable:
// there a missing namespace, peer or referee is a broken setup, not a reason to pass quietly.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

class SkipCounter : public testing::EmptyTestEventListener {
 public:
  explicit SkipCounter(int& skipped) : skipped_(skipped) {}
  void OnTestEnd(const testing::TestInfo& info) override {
    if (!info.result()->Skipped()) return;
    ++skipped_;
    std::fprintf(stderr, "CI: %s.%s was skipped, which counts as a failure here\n",
                 info.test_suite_name(), info.name());
  }

 private:
  int& skipped_;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const char* ci = std::getenv("CI");
  const bool strict = ci != nullptr && std::strcmp(ci, "true") == 0;
  int skipped = 0;
  if (strict) testing::UnitTest::GetInstance()->listeners().Append(new SkipCounter(skipped));
  const int result = RUN_ALL_TESTS();
  return result != 0 ? result : (skipped > 0 ? 1 : 0);
}
