// Message boxes: titled as the product, owned by the installer window, and
// shown on the main thread also when the service thread asks for one. A box
// still waiting when the user quits is answered at once without being shown
// (MLCAbandonPendingMessageBoxes): from then on the main thread waits for the
// service and could never show it.
#import <AppKit/AppKit.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "KWLogger.h"
#include "LCInstallerText.h"
#include "LCInstallerUICore.h"
#include "MKWAutoReleasePoolWrapper.h"
#include "MLCAlertText.h"
#include "MLCInstallerUIAppKit.h"
#include "MLCInstallerWindowLayer.h"
#include "MLCMainThread.h"
#include "MLCWindowSystem.h"

// A box's close request, and Escape where no button takes it, give the
// box's neutral answer: the modal run ends without a button.
@interface MLCBoxCloser : NSObject
- (BOOL)windowShouldClose:(id)sender;
@end

@implementation MLCBoxCloser
- (BOOL)windowShouldClose:(id)sender {
  (void)sender;
  NSApplication* app = [NSApplication sharedApplication];
  if ([app modalWindow]) [app stopModal];
  return NO;
}
@end

namespace {

MLCBoxCloser* g_boxCloser = nil;

struct MessageBoxRequest {
  KWString title;
  KWString message;
  LCInstallerMBType type = kLCInstallerMBTypeOK;
  LCInstallerMBDefaultButton defaultButton = kLCInstallerMBDefaultButton1;
  LCInstallerMBResult result = kLCInstallerMBResultOK;
  bool done = false;
};

std::mutex g_boxMutex;
std::condition_variable g_boxAnswered;
std::vector<MessageBoxRequest*> g_pendingBoxes;  // guarded by g_boxMutex
bool g_boxesAbandoned = false;                   // guarded by g_boxMutex
MLCMessageBoxObserver g_boxObserver;             // main thread

bool IsPendingLocked(MessageBoxRequest* request) {
  return std::find(g_pendingBoxes.begin(), g_pendingBoxes.end(), request) != g_pendingBoxes.end();
}

// The button that Return presses, found in the box's views.
NSButton* DefaultButtonIn(NSView* view) {
  if ([view isKindOfClass:[NSButton class]] && [[(NSButton*)view keyEquivalent] isEqualToString:@"\r"]) {
    return (NSButton*)view;
  }
  NSArray* children = [view subviews];
  for (NSUInteger i = 0; i < [children count]; ++i) {
    if (NSButton* button = DefaultButtonIn([children objectAtIndex:i])) return button;
  }
  return nil;
}

// Main thread: the box is titled as the product, belongs to the installer
// window (centred over it while it is shown) and takes the close request.
// The keyboard focus starts on the default button, so that Space answers as
// Return does (on the quit question: No, the installation goes on).
void MakeInstallerBox(NSWindow* box) {
  if (!box) return;
  if (NSButton* button = DefaultButtonIn([box contentView])) {
    [box setInitialFirstResponder:button];
    [box makeFirstResponder:button];
  }
  if (!g_boxCloser) g_boxCloser = [[MLCBoxCloser alloc] init];
  [box setTitle:MLCToNSString(LCInstallerText::Get("installer.name"))];
  [box setDelegate:(id)g_boxCloser];
  NSWindow* owner = static_cast<NSWindow*>(LCInstallerUICore::m_window);
  if (owner && [owner isVisible]) {
    const NSRect over = [owner frame];
    const NSRect frame = [box frame];
    [box setFrameOrigin:NSMakePoint(over.origin.x + (over.size.width - frame.size.width) / 2,
                                    over.origin.y + (over.size.height - frame.size.height) / 2)];
  } else {
    [box center];
  }
  MLCMakeBoxOf(box, owner && [owner isVisible] ? owner : nil);
}

// Main thread. Return answers with the default button and Escape with the
// neutral one; a box closed without a button gives the neutral answer.
LCInstallerMBResult RunAlertModally(const KWString& title, const KWString& message, LCInstallerMBType type,
                                    LCInstallerMBDefaultButton defaultButton) {
  MKWAutoReleasePoolWrapper pool;
  [NSApplication sharedApplication];
  NSString* defaultTitle = MLCToNSString(LCInstallerText::Get("button.ok"));
  NSString* alternateTitle = nil;
  switch (type) {
    case kLCInstallerMBTypeOKCancel:
      alternateTitle = MLCToNSString(LCInstallerText::Get("button.cancel"));
      break;
    case kLCInstallerMBTypeYesNo:
      defaultTitle = MLCToNSString(LCInstallerText::Get("button.yes"));
      alternateTitle = MLCToNSString(LCInstallerText::Get("button.no"));
      break;
    case kLCInstallerMBTypeRetryCancel:
      defaultTitle = MLCToNSString(LCInstallerText::Get("button.retry"));
      alternateTitle = MLCToNSString(LCInstallerText::Get("button.cancel"));
      break;
    default:
      break;
  }
  NSAlert* alert = MLCNewAlert(MakeInstallerBox);
  // The product's icon also in a box shown before the window (whose start
  // sets it as the application's).
  if (NSImage* icon = MLCLoadApplicationIcon()) [alert setIcon:icon];
  NSButton* first = [alert addButtonWithTitle:defaultTitle];
  NSButton* second = alternateTitle ? [alert addButtonWithTitle:alternateTitle] : nil;
  if (second && defaultButton == kLCInstallerMBDefaultButton2) {
    [first setKeyEquivalent:@""];
    [second setKeyEquivalent:@"\r"];
  } else if (second) {
    [second setKeyEquivalent:@"\033"];
  }
  MLCSetAlertTexts(alert, title, message);
  MLCAlertReadyToRun(alert);
  if (g_boxObserver) g_boxObserver(message, type);
  MLCBringToFront();
  const NSInteger answer = [alert runModal];
  KWLOG("UI: message box answered %d", static_cast<int>(answer));
  if (answer == NSAlertFirstButtonReturn) {
    switch (type) {
      case kLCInstallerMBTypeYesNo:
        return kLCInstallerMBResultYes;
      case kLCInstallerMBTypeRetryCancel:
        return kLCInstallerMBResultRetry;
      default:
        return kLCInstallerMBResultOK;
    }
  }
  // The alternate button, and a box closed without a button, give the answer
  // that changes nothing.
  return LCNeutralMessageBoxAnswer(type);
}

}  // namespace

// Main thread, on a timer while a box is up before the window exists (and
// with it the core's quit watch): a quit signal closes the box unanswered,
// and the process goes on to its end.
@interface MLCQuitSignalWatch : NSObject
- (void)look:(NSTimer*)timer;
@end

@implementation MLCQuitSignalWatch
- (void)look:(NSTimer*)timer {
  (void)timer;
  NSApplication* app = [NSApplication sharedApplication];
  if (![app modalWindow]) return;  // the signal waits for the box
  if (const int signalNumber = LCInstallerUICore::TakeQuitSignal()) {
    KWLOG("UI: signal %d, the box is closed unanswered", signalNumber);
    [app stopModal];
    MLCWakeEventLoop();
  }
}
@end

// Main thread. A box raised before the window exists (a start-up failure in
// main) comes before any event loop: it runs inside one, as a box of a
// launched application, since GNUstep gives a modal box no input otherwise.
LCInstallerMBResult MLCRunAlert(const KWString& title, const KWString& message, LCInstallerMBType type,
                                LCInstallerMBDefaultButton defaultButton) {
  NSApplication* app = [NSApplication sharedApplication];
  if (g_pUICore || [app isRunning]) return RunAlertModally(title, message, type, defaultButton);
  MKWAutoReleasePoolWrapper pool;
  MLCQuitSignalWatch* watch = [[[MLCQuitSignalWatch alloc] init] autorelease];
  NSTimer* quitWatch = [NSTimer timerWithTimeInterval:0.1
                                               target:watch
                                             selector:@selector(look:)
                                             userInfo:nil
                                              repeats:YES];
  [[NSRunLoop currentRunLoop] addTimer:quitWatch forMode:NSDefaultRunLoopMode];
  [[NSRunLoop currentRunLoop] addTimer:quitWatch forMode:NSModalPanelRunLoopMode];
  LCInstallerMBResult result = kLCInstallerMBResultOK;
  MLCRunOnMainThreadLater([&] {
    // GNUstep's application object took the quit signals for itself as it
    // started running.
    LCInstallerUICore::InstallQuitSignalHandlers();
    MLCBringToFront();
    result = RunAlertModally(title, message, type, defaultButton);
    MLCStopApplication();
  });
  [app run];
  [quitWatch invalidate];
  return result;
}

namespace {

// Main thread: shows a box that another thread waits for, unless it was
// abandoned while queued.
void PresentQueuedBox(MessageBoxRequest* request) {
  KWString title;
  KWString message;
  LCInstallerMBType type;
  LCInstallerMBDefaultButton defaultButton;
  {
    std::lock_guard<std::mutex> lock(g_boxMutex);
    if (!IsPendingLocked(request)) return;  // answered already; the asker may be gone
    title = request->title;
    message = request->message;
    type = request->type;
    defaultButton = request->defaultButton;
  }
  const LCInstallerMBResult result = MLCRunAlert(title, message, type, defaultButton);
  std::lock_guard<std::mutex> lock(g_boxMutex);
  if (!IsPendingLocked(request)) return;
  request->result = result;
  request->done = true;
  g_pendingBoxes.erase(std::find(g_pendingBoxes.begin(), g_pendingBoxes.end(), request));
  g_boxAnswered.notify_all();
}

}  // namespace

LCInstallerMBResult MLCAskOnMainThread(const KWString& title, const KWString& message, LCInstallerMBType type,
                                       LCInstallerMBDefaultButton defaultButton) {
  MessageBoxRequest request;
  request.title = title;
  request.message = message;
  request.type = type;
  request.defaultButton = defaultButton;
  {
    std::lock_guard<std::mutex> lock(g_boxMutex);
    if (g_boxesAbandoned) {
      KWLOG("UI: the user is quitting; message box not shown");
      return LCNeutralMessageBoxAnswer(type);
    }
    g_pendingBoxes.push_back(&request);
  }
  MessageBoxRequest* queued = &request;
  MLCRunOnMainThread([queued] { PresentQueuedBox(queued); });
  std::unique_lock<std::mutex> lock(g_boxMutex);
  g_boxAnswered.wait(lock, [&request] { return request.done; });
  return request.result;
}

bool MLCAbandonPendingMessageBoxes(int lockMilliseconds) {
  std::unique_lock<std::mutex> lock(g_boxMutex, std::defer_lock);
  if (lockMilliseconds < 0) {
    lock.lock();
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lockMilliseconds);
    while (!lock.try_lock()) {
      if (std::chrono::steady_clock::now() >= deadline) {
        KWLOG("UI: the message boxes stayed locked for %d ms; not answered", lockMilliseconds);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  g_boxesAbandoned = true;
  for (MessageBoxRequest* request : g_pendingBoxes) {
    request->result = LCNeutralMessageBoxAnswer(request->type);
    request->done = true;
  }
  if (!g_pendingBoxes.empty())
    KWLOG("UI: the user is quitting; %d message box(es) not shown", static_cast<int>(g_pendingBoxes.size()));
  g_pendingBoxes.clear();
  g_boxAnswered.notify_all();
  return true;
}

void MLCSetMessageBoxObserverForTesting(MLCMessageBoxObserver observer) { g_boxObserver = observer; }

int MLCPendingMessageBoxCountForTesting() {
  std::lock_guard<std::mutex> lock(g_boxMutex);
  return static_cast<int>(g_pendingBoxes.size());
}

LCInstallerMBResult LCInstallerUICore::ShowMessageBox(const KWString& title, const KWString& message,
                                                      LCInstallerMBType type,
                                                      LCInstallerMBDefaultButton defaultButton) {
  if (MLCIsMainThread()) return MLCRunAlert(title, message, type, defaultButton);
  return MLCAskOnMainThread(title, message, type, defaultButton);
}
