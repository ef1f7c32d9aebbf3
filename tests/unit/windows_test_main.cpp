// The unit tests' main on Windows. GoogleTest's own printer also hands every
// failure and skip message to OutputDebugStringA, which raises an exception
// to reach a debugger; 32-bit Wine running under an emulated CPU cannot
// dispatch that and kills the process at the first skip. This printer says
// the same on stdout only.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

class StdoutOnlyPrinter : public testing::EmptyTestEventListener {
 public:
  explicit StdoutOnlyPrinter(testing::TestEventListener* inner) : inner_(inner) {}

  void OnTestProgramStart(const testing::UnitTest& u) override { inner_->OnTestProgramStart(u); }
  void OnTestIterationStart(const testing::UnitTest& u, int i) override { inner_->OnTestIterationStart(u, i); }
  void OnEnvironmentsSetUpStart(const testing::UnitTest& u) override { inner_->OnEnvironmentsSetUpStart(u); }
  void OnEnvironmentsSetUpEnd(const testing::UnitTest& u) override { inner_->OnEnvironmentsSetUpEnd(u); }
  void OnTestSuiteStart(const testing::TestSuite& s) override { inner_->OnTestSuiteStart(s); }
  void OnTestStart(const testing::TestInfo& t) override { inner_->OnTestStart(t); }
  void OnTestPartResult(const testing::TestPartResult& r) override {
    if (r.type() == testing::TestPartResult::kSuccess) return;
    std::printf("%s:%d: %s\n%s\n", r.file_name() ? r.file_name() : "unknown file", r.line_number(),
                r.skipped() ? "Skipped" : "Failure", r.message());
    std::fflush(stdout);
  }
  void OnTestEnd(const testing::TestInfo& t) override { inner_->OnTestEnd(t); }
  void OnTestSuiteEnd(const testing::TestSuite& s) override { inner_->OnTestSuiteEnd(s); }
  void OnEnvironmentsTearDownStart(const testing::UnitTest& u) override { inner_->OnEnvironmentsTearDownStart(u); }
  void OnEnvironmentsTearDownEnd(const testing::UnitTest& u) override { inner_->OnEnvironmentsTearDownEnd(u); }
  void OnTestIterationEnd(const testing::UnitTest& u, int i) override { inner_->OnTestIterationEnd(u, i); }
  void OnTestProgramEnd(const testing::UnitTest& u) override { inner_->OnTestProgramEnd(u); }

 private:
  std::unique_ptr<testing::TestEventListener> inner_;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
  listeners.Append(new StdoutOnlyPrinter(listeners.Release(listeners.default_result_printer())));
  return RUN_ALL_TESTS();
}
#endif
