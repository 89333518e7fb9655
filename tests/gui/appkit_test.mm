// The AppKit layer in process, on a private X server: the threading between
// the service thread and the main thread when the user quits mid-installation.
// Message boxes are answered through the application's modal session, as a
// click on a button would.
#import <AppKit/AppKit.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LCInstallerUICore.h"
#include "MLCInstallerUIAppKit.h"
#include "MLCMainThread.h"

// Presses a button of the running modal box, found by its title, once a
// condition holds: the same path as a click on it.
@interface MLCTestBoxAnswerer : NSObject {
  NSString* m_title;
  std::atomic<bool>* m_when;  // not owned; null answers at once
}
- (id)initWithTitle:(NSString*)title when:(std::atomic<bool>*)when;
- (void)check:(NSTimer*)timer;
@end

@implementation MLCTestBoxAnswerer
- (id)initWithTitle:(NSString*)title when:(std::atomic<bool>*)when {
  self = [super init];
  if (self) {
    m_title = [title retain];
    m_when = when;
  }
  return self;
}

- (void)dealloc {
  [m_title release];
  [super dealloc];
}

- (NSButton*)findButtonIn:(NSView*)view {
  if ([view isKindOfClass:[NSButton class]] && [[(NSButton*)view title] isEqualToString:m_title]) {
    return (NSButton*)view;
  }
  NSEnumerator* children = [[view subviews] objectEnumerator];
  NSView* child = nil;
  while ((child = [children nextObject])) {
    NSButton* found = [self findButtonIn:child];
    if (found) return found;
  }
  return nil;
}

- (void)check:(NSTimer*)timer {
  if (m_when && !m_when->load()) return;
  NSWindow* box = [[NSApplication sharedApplication] modalWindow];
  NSButton* button = box ? [self findButtonIn:[box contentView]] : nil;
  if (!button) return;
  [timer invalidate];
  [button performClick:nil];
  // GNUstep's modal loop looks at the stop only after an event.
  [[NSApplication sharedApplication] postEvent:[NSEvent otherEventWithType:NSApplicationDefined
                                                                  location:NSMakePoint(0, 0)
                                                             modifierFlags:0
                                                                 timestamp:0
                                                              windowNumber:0
                                                                   context:nil
                                                                   subtype:0
                                                                     data1:0
                                                                     data2:0]
                                       atStart:NO];
}
@end

namespace {

const int kGiveUpSeconds = 60;

// A deadlock shows as a hang: end the process with a message instead.
class Watchdog {
 public:
  explicit Watchdog(const char* what) : m_thread([=] { Run(what); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_done = true;
    }
    m_wake.notify_all();
    m_thread.join();
  }

 private:
  void Run(const char* what) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_wake.wait_for(lock, std::chrono::seconds(kGiveUpSeconds), [this] { return m_done; })) {
      std::fprintf(stderr, "deadlock: %s did not finish within %d s\n", what, kGiveUpSeconds);
      std::abort();
    }
  }
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_done = false;
  std::thread m_thread;
};

bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kGiveUpSeconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Answers each box the main thread shows with its default button when `when` holds.
// (GCC's Objective-C++ misreads capture lists with commas, hence [=].)
void AnswerBoxes(std::vector<std::string>& shown, std::atomic<bool>* when) {
  std::vector<std::string>* record = &shown;
  MLCSetMessageBoxObserverForTesting([=](const KWString& message, LCInstallerMBType type) {
    record->push_back(message.GetUTF8String());
    NSString* defaultTitle = type == kLCInstallerMBTypeYesNo         ? @"Yes"
                             : type == kLCInstallerMBTypeRetryCancel ? @"Retry"
                                                                     : @"OK";
    MLCTestBoxAnswerer* answerer = [[[MLCTestBoxAnswerer alloc] initWithTitle:defaultTitle when:when] autorelease];
    NSTimer* timer = [NSTimer timerWithTimeInterval:0.01
                                             target:answerer
                                           selector:@selector(check:)
                                           userInfo:nil
                                            repeats:YES];
    [[NSRunLoop currentRunLoop] addTimer:timer forMode:NSModalPanelRunLoopMode];
  });
}

class AppKitQuitTest : public ::testing::Test {
 protected:
  void TearDown() override { MLCSetMessageBoxObserverForTesting(nullptr); }
};

// The user confirms quitting while the service thread is running: the main
// thread then waits in OnAppClose until OnInstallDone. Everything the service
// asks of the UI in that time must return without the main thread's help.
TEST_F(AppKitQuitTest, ServiceCallsWhileTheMainThreadWaitsForItReturn) {
  Watchdog watchdog("quitting during an installation");
  LCInstallerUICore core{LCInstallerUICoreInitParams()};
  core.CreateUI();
  std::vector<std::string> shown;
  AnswerBoxes(shown, nullptr);

  std::atomic<bool> installing{false};
  LCInstallerMBResult directAnswer = kLCInstallerMBResultOK;
  bool retryAfterError = true;
  std::thread service([&] {
    core.OnInstallBegin();
    installing = true;
    ASSERT_TRUE(WaitUntil([&] { return core.IsExitRequested().load(); }));
    // The main thread is now blocked in OnAppClose (or about to be).
    core.OnHandshakeBegin();
    core.OnError(kLCInstallerErrorHandshakeFailed);
    retryAfterError = core.IsValidInstallAttempt();
    directAnswer = LCInstallerUICore::ShowMessageBox("Ostrel Clipvane", "asked while quitting",
                                                     kLCInstallerMBTypeRetryCancel, kLCInstallerMBDefaultButton1);
    core.MaximizeUI();
    core.MinimizeUI();
    LCInstallerUICore::BreakEventProcessingLoop();
    core.OnInstallDone();
  });

  MLCRunOnMainThreadLater([&] {
    ASSERT_TRUE(WaitUntil([&] { return installing.load(); }));
    core.OnMouseClick(kLCInstallerButtonClose);  // asks, answered Yes, waits for the service
  });
  const std::atomic<bool> keepRunning{true};
  core.RunEventLoop(keepRunning);
  service.join();

  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "Are you sure you want to cancel the installation?");
  EXPECT_EQ(directAnswer, kLCInstallerMBResultCancel);
  EXPECT_FALSE(retryAfterError);
  EXPECT_EQ(core.GetState(), kLCInstallerStateInstallDone);
  EXPECT_TRUE(core.IsExitRequested());
}

// The service raises an error box while the question is up. It waits behind
// the question; when the user answers Yes it is answered Cancel without being
// shown, so the service winds down and the main thread's wait ends.
TEST_F(AppKitQuitTest, ErrorBoxQueuedBehindTheQuestionIsDroppedOnQuit) {
  Watchdog watchdog("an error box queued behind the quit question");
  LCInstallerUICore core{LCInstallerUICoreInitParams()};
  core.CreateUI();
  std::vector<std::string> shown;
  std::atomic<bool> serviceAsked{false};
  AnswerBoxes(shown, &serviceAsked);

  std::atomic<bool> installing{false};
  bool retryAfterError = true;
  std::thread service([&] {
    core.OnInstallBegin();
    installing = true;
    ASSERT_TRUE(WaitUntil([&] { return core.IsUIDisabled(); }));  // the question is up
    core.OnError(kLCInstallerErrorDownloadFailed);
    retryAfterError = core.IsValidInstallAttempt();
    core.OnInstallDone();
  });
  // Yes is pressed only once the error box really waits behind the question.
  std::thread watcher([&] {
    EXPECT_TRUE(WaitUntil([] { return MLCPendingMessageBoxCountForTesting() == 1; }));
    serviceAsked = true;
  });

  MLCRunOnMainThreadLater([&] {
    ASSERT_TRUE(WaitUntil([&] { return installing.load(); }));
    core.OnMouseClick(kLCInstallerButtonClose);
  });
  const std::atomic<bool> keepRunning{true};
  core.RunEventLoop(keepRunning);
  service.join();
  watcher.join();

  // Only the question was shown; the error box never was.
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "Are you sure you want to cancel the installation?");
  EXPECT_FALSE(retryAfterError);
  EXPECT_EQ(core.GetState(), kLCInstallerStateInstallDone);
}

// Without a quit, a box asked for on the service thread is shown on the main
// thread and its answer reaches the service; the frame timer keeps running
// meanwhile, so the disabled mask is drawn behind the box.
TEST_F(AppKitQuitTest, ServiceThreadBoxIsShownOnTheMainThreadAndAnswered) {
  Watchdog watchdog("a box from the service thread");
  LCInstallerUICore core{LCInstallerUICoreInitParams()};
  core.CreateUI();
  std::vector<std::string> shown;
  std::atomic<bool> always{true};
  AnswerBoxes(shown, &always);

  bool retry = false;
  std::thread service([&] {
    core.OnInstallBegin();
    core.OnError(kLCInstallerErrorDownloadFailed);
    retry = core.IsValidInstallAttempt();
    core.OnInstallDone();
  });
  const std::atomic<bool> keepRunning{true};
  core.RunEventLoop(keepRunning);
  service.join();

  ASSERT_EQ(shown.size(), 1u);
  EXPECT_NE(shown[0].find("Unable to download Ostrel Clipvane."), std::string::npos);
  EXPECT_TRUE(retry);  // the default button is Retry
  EXPECT_FALSE(core.IsUIDisabled());
}

}  // namespace
