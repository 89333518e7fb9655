// The AppKit layer in process, on a private X server: the threading between
// the service thread and the main thread when the user quits mid-installation.
// Message boxes are answered through the application's modal session, as a
// click on a button would.
#import <AppKit/AppKit.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "KWFileUtil.h"
#include "LCInstallerEndpoints.h"
#include "LCInstallerText.h"
#include "LCInstallerUICore.h"
#include "LCLocale.h"
#include "MKWAutoReleasePoolWrapper.h"
#include "MLCInstallerUIAppKit.h"
#include "MLCInstallerWindowLayer.h"
#include "MLCMainThread.h"

// What a box showed on screen: each text field's text, and whether every
// field is tall enough for its text wrapped to the field's width and lies
// inside the box's window.
struct ShownBox {
  std::vector<std::string> texts;
  bool fits = true;
  double tallestText = 0;  // height the longest text needs, in points
  double lineHeight = 0;   // one line of that field's font
};

// Presses a button of the running modal box, found by its title, once a
// condition holds: the same path as a click on it.
@interface MLCTestBoxAnswerer : NSObject {
  NSString* m_title;
  std::atomic<bool>* m_when;  // not owned; null answers at once
 @public
  std::vector<ShownBox>* m_shown;  // not owned; null records nothing
}
- (id)initWithTitle:(NSString*)title when:(std::atomic<bool>*)when;
- (void)check:(NSTimer*)timer;
- (void)wake:(NSTimer*)timer;
@end

namespace {

void CollectTexts(NSView* view, NSRect windowBounds, ShownBox& box) {
  if ([view isKindOfClass:[NSTextField class]] && ![view isHidden]) {
    NSTextField* field = (NSTextField*)view;
    NSString* text = [field stringValue];
    if ([text length] > 0) {
      box.texts.push_back([text UTF8String]);
      const NSRect frame = [field convertRect:[field bounds] toView:nil];
      const NSSize needed = [[field cell] cellSizeForBounds:NSMakeRect(0, 0, frame.size.width, 10000)];
      if (needed.height > frame.size.height + 0.5 || !NSContainsRect(windowBounds, frame)) box.fits = false;
      if (needed.height > box.tallestText) {
        box.tallestText = needed.height;
        box.lineHeight = [[field font] defaultLineHeightForFont];
      }
    }
  }
  NSEnumerator* children = [[view subviews] objectEnumerator];
  NSView* child = nil;
  while ((child = [children nextObject])) CollectTexts(child, windowBounds, box);
}

}  // namespace

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
  if (m_shown) {
    ShownBox shown;
    NSView* content = [box contentView];
    CollectTexts(content, [content convertRect:[content bounds] toView:nil], shown);
    m_shown->push_back(shown);
  }
  [button performClick:nil];
  // GNUstep's modal loop looks at the stop only after an event.
  MLCWakeEventLoop();
  // A click from a timer is not an event: GNUstep looks at posted events
  // before it runs timers and then waits for the next input or timer, so the
  // event above may sit unseen (a hang when nothing else comes). A short timer
  // in the modal mode makes the loop look again.
  [[NSRunLoop currentRunLoop] addTimer:[NSTimer timerWithTimeInterval:0.01
                                                               target:self
                                                             selector:@selector(wake:)
                                                             userInfo:nil
                                                              repeats:NO]
                               forMode:NSModalPanelRunLoopMode];
}

- (void)wake:(NSTimer*)timer {
  (void)timer;
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

// Answers each box the main thread shows with its default button (or the
// button `answerKey` names) when `when` holds; `asked`, when given, is set
// as each box is about to run.
// (GCC's Objective-C++ misreads capture lists with commas, hence [=].)
void AnswerBoxes(std::vector<std::string>& shown, std::atomic<bool>* when, std::vector<ShownBox>* onScreen = nullptr,
                 const char* answerKey = nullptr, std::atomic<bool>* asked = nullptr) {
  std::vector<std::string>* record = &shown;
  MLCSetMessageBoxObserverForTesting([=](const KWString& message, LCInstallerMBType type) {
    record->push_back(message.GetUTF8String());
    if (asked) *asked = true;
    const char* defaultKey = answerKey                               ? answerKey
                             : type == kLCInstallerMBTypeYesNo       ? "button.yes"
                             : type == kLCInstallerMBTypeRetryCancel ? "button.retry"
                                                                     : "button.ok";
    NSString* defaultTitle = MLCToNSString(LCInstallerText::Get(defaultKey));
    MLCTestBoxAnswerer* answerer = [[[MLCTestBoxAnswerer alloc] initWithTitle:defaultTitle when:when] autorelease];
    answerer->m_shown = onScreen;
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
  void TearDown() override {
    MLCSetMessageBoxObserverForTesting(nullptr);
    LCInstallerText::Reset();
  }
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

// Every box shows its whole message, wrapped inside the box: the long ones
// with the support suffix and the code, the quit question, and one raised
// before the window exists. A box that shows one cut line fails.
TEST_F(AppKitQuitTest, EveryBoxShowsItsWholeWrappedMessage) {
  Watchdog watchdog("the message boxes");
  const std::string kNoSecondInstance =
      "Another instance of Ostrel Clipvane Installer is running. Please wait for it to finish.";
  std::vector<std::string> asked;
  std::vector<ShownBox> onScreen;
  AnswerBoxes(asked, nullptr, &onScreen);
  // As main raises it when a second installer starts: before any window.
  LCInstallerUICore::ShowMessageBox("Ostrel Clipvane Installer", kNoSecondInstance.c_str(), kLCInstallerMBTypeOK,
                                    kLCInstallerMBDefaultButton1);

  LCInstallerUICore core{LCInstallerUICoreInitParams()};
  core.CreateUI();
  MLCRunOnMainThreadLater([&] {
    core.OnError(kLCInstallerErrorNoNetwork);
    core.OnError(kLCInstallerErrorDownloadFailed);
    core.OnError(kLCInstallerErrorAppLaunchFailed);
    core.OnAppClose();  // answered Yes before the install click: stops the loop
  });
  const std::atomic<bool> keepRunning{true};
  core.RunEventLoop(keepRunning);

  ASSERT_EQ(onScreen.size(), 5u);
  const std::string support = std::string("\n\nFor more help, please contact ") + kCLVSupportEmail;
  const std::string expected[] = {
      kNoSecondInstance,
      "Unable to connect to the network. Please verify your internet connection settings and click retry." + support +
          " with the error code 9000.",
      "Unable to download Ostrel Clipvane. Please verify your internet connection settings and click retry." + support +
          " with the error code 9002.",
      "Please launch Ostrel Clipvane from Launchpad.", "Are you sure you want to cancel the installation?"};
  for (size_t i = 0; i < onScreen.size(); ++i) {
    SCOPED_TRACE(expected[i]);
    const std::vector<std::string>& texts = onScreen[i].texts;
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Ostrel Clipvane Installer"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), expected[i]), texts.end());
    EXPECT_TRUE(onScreen[i].fits);
  }
  // The long messages need several lines, and get them.
  EXPECT_GT(onScreen[1].tallestText, 2.5 * onScreen[1].lineHeight);
}

// With LANG=de_DE.UTF-8 the locale is German: the 9000 box shows the German
// message whole, with its suffix, and German buttons (the answerer presses
// "Wiederholen" and "Ja" by their titles).
TEST_F(AppKitQuitTest, GermanBoxShowsTheWholeGermanMessage) {
  Watchdog watchdog("the German boxes");
  setenv("LANG", "de_DE.UTF-8", 1);
  unsetenv("LANGUAGE");
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  const std::string locale = LCLocale::Choose(LCLocale::SystemPreferences(), LCLocale::Available());
  ASSERT_EQ("de", locale);
  LCInstallerText::Load(KWPath(CLIPVANE_ASSET_DIR), locale);
  std::vector<std::string> asked;
  std::vector<ShownBox> onScreen;
  AnswerBoxes(asked, nullptr, &onScreen);
  LCInstallerUICore core{LCInstallerUICoreInitParams()};
  core.CreateUI();
  MLCRunOnMainThreadLater([&] {
    core.OnError(kLCInstallerErrorNoNetwork);
    core.OnAppClose();
  });
  const std::atomic<bool> keepRunning{true};
  core.RunEventLoop(keepRunning);

  ASSERT_EQ(onScreen.size(), 2u);
  const std::string expected[] = {
      std::string("Es konnte keine Verbindung zum Netzwerk hergestellt werden. Bitte überprüfen Sie Ihre "
                  "Internetverbindung und klicken Sie auf „Wiederholen“.\n\nWenn Sie weitere Hilfe benötigen, "
                  "wenden Sie sich bitte unter Angabe des Fehlercodes 9000 an ") +
          kCLVSupportEmail + ".",
      "Möchten Sie die Installation wirklich abbrechen?"};
  for (size_t i = 0; i < onScreen.size(); ++i) {
    SCOPED_TRACE(expected[i]);
    const std::vector<std::string>& texts = onScreen[i].texts;
    EXPECT_NE(std::find(texts.begin(), texts.end(), expected[i]), texts.end());
    EXPECT_TRUE(onScreen[i].fits);
  }
}

// The Dock's Quit is -terminate:. On the welcome screen the installer quits
// at once, without a question and without AppKit's own exit().
TEST_F(AppKitQuitTest, TerminateOnTheWelcomeScreenQuitsAtOnce) {
  Watchdog watchdog("-terminate: on the welcome screen");
  LCInstallerUICore welcome{LCInstallerUICoreInitParams()};
  welcome.CreateUI();
  std::vector<std::string> shown;
  AnswerBoxes(shown, nullptr);
  MLCRunOnMainThreadLater([] { [[NSApplication sharedApplication] terminate:nil]; });
  welcome.RunEventLoop(welcome.IsWaitingOnInstallButtonClick());
  EXPECT_TRUE(shown.empty());
  EXPECT_TRUE(welcome.IsExitRequested());
}

// During a download -terminate: asks (answered later, NSTerminateLater), and
// No keeps the installation going.
TEST_F(AppKitQuitTest, TerminateDuringADownloadAsksAndNoGoesOn) {
  Watchdog watchdog("-terminate: during a download");
  LCInstallerUICore core{LCInstallerUICoreInitParams()};
  core.CreateUI();
  std::vector<std::string> shown;
  std::atomic<bool> asked{false};
  AnswerBoxes(shown, nullptr, nullptr, "button.no", &asked);
  std::atomic<bool> downloading{false};
  bool exitAfterNo = true;
  std::thread service([&] {
    core.OnInstallBegin();
    core.OnDownloadBegin();
    downloading = true;
    ASSERT_TRUE(WaitUntil([&] { return asked.load(); }));          // the question is up
    ASSERT_TRUE(WaitUntil([&] { return !core.IsUIDisabled(); }));  // and answered
    exitAfterNo = core.IsExitRequested();
    core.OnDownloadProgress(50);
    core.OnDownloadDone(1);
    core.OnInstallDone();
  });
  MLCRunOnMainThreadLater([&] {
    ASSERT_TRUE(WaitUntil([&] { return downloading.load(); }));
    [[NSApplication sharedApplication] terminate:nil];
  });
  const std::atomic<bool> keepRunning{true};
  core.RunEventLoop(keepRunning);
  service.join();

  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "Are you sure you want to cancel the installation?");
  EXPECT_FALSE(exitAfterNo);
  EXPECT_FALSE(core.IsExitRequested());
  EXPECT_EQ(core.GetState(), kLCInstallerStateInstallDone);
}

// A logout or shutdown during a download: no question, the service is told
// to stop, and the session folder is gone when the event loop returns.
TEST_F(AppKitQuitTest, PowerOffStopsTheDownloadWithoutAskingAndRemovesTheSessionFolder) {
  Watchdog watchdog("a shutdown during a download");
  LCInstallerUICore core{LCInstallerUICoreInitParams()};
  core.CreateUI();
  std::vector<std::string> shown;
  AnswerBoxes(shown, nullptr);
  const KWString partFile = KWFileUtil::GetUniqueTemporaryFile("clv_build").GetPath().GetPathAsKWString();
  const std::string sessionFolder = KWFileUtil::GetSessionTempFolder().GetPath().GetPathAsKWString().GetUTF8String();
  ASSERT_FALSE(sessionFolder.empty());
  std::atomic<bool> downloading{false};
  std::thread service([&] {
    core.OnInstallBegin();
    core.OnDownloadBegin();
    downloading = true;
    ASSERT_TRUE(WaitUntil([&] { return core.IsExitRequested().load(); }));
    core.OnInstallDone();
  });
  MLCRunOnMainThreadLater([&] {
    ASSERT_TRUE(WaitUntil([&] { return downloading.load(); }));
    [[[NSWorkspace sharedWorkspace] notificationCenter] postNotificationName:NSWorkspaceWillPowerOffNotification
                                                                      object:nil];
  });
  const std::atomic<bool> keepRunning{true};
  core.RunEventLoop(keepRunning);
  service.join();

  EXPECT_TRUE(shown.empty());
  EXPECT_TRUE(core.IsExitRequested());
  EXPECT_EQ(core.GetState(), kLCInstallerStateInstallDone);
  EXPECT_NE(access(sessionFolder.c_str(), F_OK), 0);
}

}  // namespace

namespace {

// A representation of the layout given, holding the picture's pixels
// (straight colour, alpha last in the picture).
NSBitmapImageRep* RepresentationOf(const LCBGRAImage& picture, bool alpha, bool alphaFirst, bool premultiplied,
                                   int bits, int pixelBytes, int rowPadding) {
  const int width = static_cast<int>(picture.GetWidth());
  const int height = static_cast<int>(picture.GetHeight());
  const int samples = alpha ? 4 : 3;
  NSUInteger format =
      (alphaFirst ? NSAlphaFirstBitmapFormat : 0) | (premultiplied ? 0 : NSAlphaNonpremultipliedBitmapFormat);
  if (!alpha) format = 0;
  const int rowBytes = width * pixelBytes + rowPadding;
  NSBitmapImageRep* rep = [[[NSBitmapImageRep alloc] initWithBitmapDataPlanes:NULL
                                                                   pixelsWide:width
                                                                   pixelsHigh:height
                                                                bitsPerSample:bits
                                                              samplesPerPixel:samples
                                                                     hasAlpha:alpha
                                                                     isPlanar:NO
                                                               colorSpaceName:NSDeviceRGBColorSpace
                                                                 bitmapFormat:static_cast<NSBitmapFormat>(format)
                                                                  bytesPerRow:rowBytes
                                                                 bitsPerPixel:pixelBytes * 8] autorelease];
  unsigned char* data = [rep bitmapData];
  std::fill(data, data + rowBytes * height, 0xAB);  // padding that must not show
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const unsigned char* from = picture.GetData() + (y * width + x) * 4;
      unsigned char* to = data + y * rowBytes + x * pixelBytes;
      const int first = alpha && alphaFirst ? 1 : 0;
      for (int s = 0; s < samples; ++s) {
        const int source = s < 3 ? s : 3;
        const int index = alpha && s == 3 ? (alphaFirst ? 0 : 3) : first + s;
        unsigned int value = from[source] * 257u;  // 16 bits
        if (premultiplied && s < 3) value = (value * (from[3] * 257u) + 32767u) / 65535u;
        if (bits == 8) {
          to[index] = static_cast<unsigned char>((value + 128) / 257);
        } else {
          const uint16_t wide = static_cast<uint16_t>(value);
          std::memcpy(to + index * 2, &wide, 2);
        }
      }
    }
  }
  return rep;
}

}  // namespace

// A decoder hands back the layout it likes (macOS: RGB padded to 32 bits,
// alpha first, 16 bits a sample, premultiplied): the core gets the same
// pixels from each.
TEST(AppKitPixelsTest, EveryDecoderLayoutGivesTheSamePixels) {
  MKWAutoReleasePoolWrapper pool;
  LCBGRAImage picture;
  picture.Allocate(7, 3);
  const unsigned char alphas[] = {255, 200, 128, 64, 33};
  for (unsigned int i = 0; i < 21; ++i) {
    unsigned char* pixel = picture.GetData() + i * 4;
    pixel[0] = static_cast<unsigned char>(i * 12);
    pixel[1] = static_cast<unsigned char>(255 - i * 7);
    pixel[2] = static_cast<unsigned char>((i * 53) % 256);
    pixel[3] = alphas[i % 5];
  }
  LCBGRAImage opaque = picture;
  for (unsigned int i = 0; i < 21; ++i) opaque.GetData()[i * 4 + 3] = 255;
  struct Layout {
    const char* name;
    bool alpha, alphaFirst, premultiplied;
    int bits, pixelBytes, rowPadding;
  } layouts[] = {
      {"RGB", false, false, false, 8, 3, 0},          {"RGBX", false, false, false, 8, 4, 4},
      {"RGBA", true, false, false, 8, 4, 0},          {"ARGB", true, true, false, 8, 4, 8},
      {"RGBA 16 bits", true, false, false, 16, 8, 0}, {"ARGB 16 bits premultiplied", true, true, true, 16, 8, 2},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    const LCBGRAImage& expected = layout.alpha ? picture : opaque;
    NSBitmapImageRep* rep = RepresentationOf(expected, layout.alpha, layout.alphaFirst, layout.premultiplied,
                                             layout.bits, layout.pixelBytes, layout.rowPadding);
    ASSERT_EQ(layout.pixelBytes * 8, [rep bitsPerPixel]);
    const LCBGRAImage got = MLCBitmapToBGRA(rep);
    ASSERT_EQ(7u, got.GetWidth());
    ASSERT_EQ(3u, got.GetHeight());
    for (unsigned int i = 0; i < 21 * 4; ++i) ASSERT_EQ(expected.GetData()[i], got.GetData()[i]) << "byte " << i;
  }
}
