#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "KWException.h"
#include "KWInternet.h"
#include "LCInstallerService.h"
#include "LCProductLauncher.h"
#include "TestDoubles.h"
#include "TestUtil.h"

namespace {

// A user interface that records the service's calls and answers error boxes
// from a script: each OnError pops the next answer (true = Retry).
class FakeUI : public StubInstallerUI {
 public:
  void OnInstallDone() override {
    ++installDoneCalls;
    if (throwOnInstallDone) throw std::runtime_error("UI gone");
  }
  void OnError(LCInstallerErrorEnum code) override {
    std::lock_guard<std::mutex> lock(mutex);
    errors.push_back(code);
    retry = !retryAnswers.empty() && retryAnswers.front();
    if (!retryAnswers.empty()) retryAnswers.erase(retryAnswers.begin());
  }
  // As in the real interface: only after Retry, before the launch and without an exit request.
  bool IsValidInstallAttempt() override { return retry && !exitRequested && state < kLCInstallerStateLaunchDone; }

  std::mutex mutex;
  std::vector<int> errors;
  std::vector<bool> retryAnswers;
  bool retry = false;
  bool throwOnInstallDone = false;
  std::atomic<int> installDoneCalls{0};
};

// Each pipeline run performs the next scripted step.
class ScriptedService : public LCInstallerService {
 public:
  using Step = std::function<void(ScriptedService&)>;
  ScriptedService(FakeUI& ui, IKWCustomExceptionHandler& handler, std::vector<Step> steps)
      : LCInstallerService(ui, handler), m_ui(ui), m_steps(std::move(steps)) {}
  ~ScriptedService() override { StopService(true); }

  void SetMountPath(const std::string& path) { m_mountPath = KWPath(KWString(path)); }
  int runs = 0;

 protected:
  int DownloadAndInstallCLV() override {
    const size_t index = static_cast<size_t>(runs++);
    if (index < m_steps.size()) m_steps[index](*this);
    m_ui.state = kLCInstallerStateLaunchDone;  // a run that returns has launched the product
    return 0;
  }

 private:
  FakeUI& m_ui;
  std::vector<Step> m_steps;
};

void Succeed(ScriptedService&) {}
void Fail9002(ScriptedService&) { throw KWLCException(9002, "test", 1, false); }

class InstallerServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("FAKE_HDIUTIL_LOG", m_dir.File("hdiutil.txt").c_str(), 1);
    unsetenv("FAKE_HDIUTIL_EXIT");
  }
  void TearDown() override { unsetenv("FAKE_HDIUTIL_LOG"); }

  void RunService(ScriptedService& service) {
    service.StartService();
    service.Join();
  }
  // The recorded command lines of the disk-image tool, one string per run.
  std::vector<std::string> ToolRuns() {
    std::vector<std::string> runs;
    std::string current;
    for (const std::string& line : SplitLines(ReadFileBytes(m_dir.File("hdiutil.txt")))) {
      if (line == "--") {
        runs.push_back(current);
        current.clear();
      } else {
        current += (current.empty() ? "" : "|") + line;
      }
    }
    return runs;
  }
  static std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }

  ScopedTempDir m_dir;
  LogCapture m_log;
  FakeUI m_ui;
  CountingExceptionHandler m_handler;
};

TEST_F(InstallerServiceTest, SuccessfulRunEndsDoneWithoutErrorOrDetach) {
  ScriptedService service(m_ui, m_handler, {Succeed});
  RunService(service);
  EXPECT_EQ(service.runs, 1);
  EXPECT_TRUE(service.IsSuccess());
  EXPECT_TRUE(service.IsDone());
  EXPECT_TRUE(m_ui.errors.empty());
  EXPECT_EQ(m_ui.installDoneCalls, 1);
  EXPECT_TRUE(ToolRuns().empty()) << "nothing was mounted, so nothing may be detached";
  EXPECT_NE(m_log.IndexOf("LCInstallerService::Run"), -1);
}

TEST_F(InstallerServiceTest, RetryRunsThePipelineAgainUntilItSucceeds) {
  m_ui.retryAnswers = {true, true};
  ScriptedService service(m_ui, m_handler, {Fail9002, Fail9002, Succeed});
  RunService(service);
  EXPECT_EQ(service.runs, 3);
  EXPECT_EQ(m_ui.errors, (std::vector<int>{9002, 9002}));
  EXPECT_TRUE(service.IsSuccess());
  EXPECT_NE(m_log.IndexOf("Caught exception: 9002 validAttempt:0 exitRequested:0"), -1);
  EXPECT_NE(m_log.IndexOf("Caught exception: 9002 validAttempt:1 exitRequested:0"), -1);
}

TEST_F(InstallerServiceTest, FailureWithoutRetryEndsUnsuccessful) {
  m_ui.retryAnswers = {false};
  ScriptedService service(m_ui, m_handler, {Fail9002, Succeed});
  RunService(service);
  EXPECT_EQ(service.runs, 1);
  EXPECT_FALSE(service.IsSuccess());
  EXPECT_TRUE(service.IsDone());
  EXPECT_EQ(m_ui.installDoneCalls, 1);
}

TEST_F(InstallerServiceTest, ExitRequestedSuppressesErrorAndRetryButStillDetaches) {
  m_ui.retryAnswers = {true};
  ScriptedService service(m_ui, m_handler,
                          {[this](ScriptedService& s) {
                             s.SetMountPath(m_dir.File("mnt/Ostrel Clipvane 11"));
                             m_ui.retry = true;
                             m_ui.exitRequested = true;
                             Fail9002(s);
                           },
                           Succeed});
  RunService(service);
  EXPECT_EQ(service.runs, 1);
  EXPECT_TRUE(m_ui.errors.empty());
  EXPECT_EQ(m_ui.installDoneCalls, 1);
  EXPECT_EQ(ToolRuns(), (std::vector<std::string>{"detach|" + m_dir.File("mnt/Ostrel Clipvane 11")}));
  EXPECT_NE(m_log.IndexOf("Caught exception: 9002 validAttempt:0 exitRequested:1"), -1);
}

TEST_F(InstallerServiceTest, UnknownExceptionIsLoggedWithoutOnError) {
  ScriptedService service(m_ui, m_handler, {[](ScriptedService&) { throw std::runtime_error("odd"); }});
  RunService(service);
  EXPECT_TRUE(m_ui.errors.empty());
  EXPECT_FALSE(service.IsSuccess());
  EXPECT_TRUE(service.IsDone());
  EXPECT_NE(m_log.IndexOf("Caught unknown exception in LCInstallerService::Run"), -1);
  EXPECT_EQ(m_handler.calls, 0) << "the service catches it; the worker thread's handler is not involved";
}

TEST_F(InstallerServiceTest, FailedDetachIsForcedOnceAndLogsTheExitCodes) {
  setenv("FAKE_HDIUTIL_EXIT", "3", 1);
  const std::string mount = m_dir.File("mount root/Ostrel Clipvane 11");
  ScriptedService service(m_ui, m_handler, {[&](ScriptedService& s) { s.SetMountPath(mount); }});
  RunService(service);
  EXPECT_EQ(ToolRuns(), (std::vector<std::string>{"detach|" + mount, "detach|" + mount + "|-force"}));
  const int detaching = m_log.IndexOf("Detaching device " + mount);
  const int returned = m_log.IndexOf("hdiutil detach returned: 3");
  const int forcing = m_log.IndexOf("hdiutil: detach failed, trying again with -force");
  ASSERT_NE(detaching, -1);
  EXPECT_GT(returned, detaching);
  EXPECT_GT(forcing, returned);
  EXPECT_FALSE(m_log.Contains("Error while executing hdiutil for detach"));
}

TEST_F(InstallerServiceTest, ThrowingOnInstallDoneIsLoggedAndTheThreadStillEnds) {
  m_ui.throwOnInstallDone = true;
  ScriptedService service(m_ui, m_handler, {Succeed});
  RunService(service);
  EXPECT_TRUE(service.IsDone());
  EXPECT_NE(m_log.IndexOf("Caught unknown exception in LCInstallerService::Run when calling "
                          "m_uiInterface.OnInstallDone"),
            -1);
}

TEST_F(InstallerServiceTest, UnsupportedOperationsThrowInternalError) {
  ScriptedService service(m_ui, m_handler, {});
  for (const std::function<void()>& call : std::vector<std::function<void()>>{
           [&] { service.Pause(true); }, [&] { service.Resume(); }, [&] { service.StopService(false); }}) {
    try {
      call();
      ADD_FAILURE() << "expected KWLCException";
    } catch (const KWLCException& exception) {
      EXPECT_EQ(exception.GetCode(), kKWErrorInternal);
    }
  }
  EXPECT_FALSE(service.IsPaused());
}

// Holds the real pipeline at its connection check until released.
class HeldDetector : public IKWInternetConnectionDetector {
 public:
  void SetURLToConnect(const KWString&) override {}
  // Only the first look is held; the service looks again before it gives up.
  bool IsConnectedToInternet() override {
    if (m_looks++ == 0) {
      m_asked.set_value();
      m_release.get_future().wait();
    }
    return false;
  }
  std::promise<void> m_asked;
  std::promise<void> m_release;
  int m_looks = 0;  // service thread
};

TEST_F(InstallerServiceTest, DestructorJoinsARunningService) {
  // The service class itself, not a test double with a destructor of its
  // own: the thread is released only once the destructor has begun, so only
  // the destructor's own stop and join can see the run end inside the scope.
  HeldDetector detector;
  IKWInternetConnectionDetector::SetInstanceForTesting(&detector);
  std::thread releaser([&] {
    detector.m_asked.get_future().wait();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!m_log.Contains("LCInstallerService::StopService") && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    detector.m_release.set_value();
  });
  {
    LCInstallerService service(m_ui, m_handler);
    service.StartService();
  }
  EXPECT_EQ(m_ui.installDoneCalls, 1) << "the run had not ended when the service was gone";
  EXPECT_EQ(m_ui.errors, std::vector<int>{kLCInstallerErrorNoNetwork});
  releaser.join();
  IKWInternetConnectionDetector::SetInstanceForTesting(nullptr);
  ASSERT_GE(m_log.IndexOf("LCInstallerService::StopService"), 0);
  EXPECT_LT(m_log.IndexOf("LCInstallerService::StopService"),
            m_log.IndexOf("Caught exception: 9000 validAttempt:0 exitRequested:0"));
}

// macOS opens the product's bundle through LaunchServices; a wrong bundle
// there starts nothing, or some other application.
TEST(ProductLauncherTest, FindsTheBundleOfTheLaunchPathAndBuildsTheOpenCommandLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/Applications/Clipvane.app/Contents/MacOS/Clipvane", "/Applications/Clipvane.app"},
      {"/Applications/Clipvane.app", "/Applications/Clipvane.app"},
      {"/Applications/Clipvane.app/", "/Applications/Clipvane.app"},
      {"/Volumes/My.app/Clipvane.app/Contents/MacOS/Clipvane", "/Volumes/My.app/Clipvane.app"},
      {"/Applications/Clipvane.app/Contents/MacOS/tools/helper", ""},
      {"/Applications/Clipvane.app/Contents/MacOS/", ""},
      {"/Applications/Clipvane.app/Contents/Resources/Clipvane", ""},
      {"/usr/local/bin/clipvane", ""},
  };
  for (const auto& [program, bundle] : cases) {
    EXPECT_EQ(LCApplicationBundleOf(program).GetUTF8String(), bundle) << program;
  }
  const std::vector<KWString> open = LCLaunchServicesArguments("/Applications/Clipvane.app", {"--campaignID", "cnet"});
  EXPECT_EQ(open, (std::vector<KWString>{"-n", "-a", "/Applications/Clipvane.app", "--args", "--campaignID", "cnet"}));
}

}  // namespace
